#include "dequant/dequantize_rows.h"

#include <ATen/ATen.h>

#include "common/checks.h"
#include "common/saturating.h"
#include "common/submit_kernel.h"
#include "formats/formats.h"
#include "linear/weight_checks.h"

namespace {

namespace fmt = vorn::formats;

// One work-group per super-block of one output row: group g writes result elements
// 256g .. 256g + 255 from super-block index[g / B] * B + g % B of the weight. The group's
// `work_items` work-items split the 256 weights; on the host the group writes them in order.
template <class F>
void gather_super_blocks(const char* name, const uint8_t* weight, int32_t nk, const int64_t* index,
                         float* out, int64_t rows, int64_t per_row, int work_items,
                         const c10::Device& device) {
  const fmt::Packed<F> packed(weight, nk);
  hostxpu::kernel_desc desc{name, hostxpu::nd_range(static_cast<size_t>(rows * per_row * work_items),
                                                    static_cast<size_t>(work_items)), 0, 0};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t group = static_cast<int64_t>(g.linear_id);
          const auto block = packed.block(index[group / per_row] * per_row + group % per_row);
          float* dst = out + group * 256;
          for (int j = 0; j < 256; ++j) dst[j] = block.weight(j);
        });
      },
      device, name);
}

void xpu_dequantize_rows_kernel_q2_k(const uint8_t* weight, const int64_t* index, float* out, int64_t d0,
                                     int64_t d1, int64_t state_size, int64_t /*output_size*/,
                                     const c10::Device& device) {
  common_utils::check_multiple_of_64(state_size);
  gather_super_blocks<fmt::Q2K>("xpu_dequantize_rows_kernel_q2_k", weight, 0, index, out, d0 * d1,
                                state_size / 256, 64, device);
}

void xpu_dequantize_rows_kernel_q4_k(const uint8_t* weight, const int64_t* index, float* out, int64_t d0,
                                     int64_t d1, int64_t state_size, int64_t output_size,
                                     const c10::Device& device) {
  common_utils::check_multiple_of_64(state_size);
  const int32_t nk = static_cast<int32_t>(output_size * state_size) / 256 * 256;
  gather_super_blocks<fmt::Q4K>("xpu_dequantize_rows_kernel_q4_k", weight, nk, index, out, d0 * d1,
                                state_size / 256, 32, device);
}

// What the kernels take on trust, checked: the two formats (other codes would return an
// unwritten result), whole super-blocks per row (a row of K = 64*odd
// would not be laid out as [d0, d1, K]), indices inside the matrix, and a weight that holds it.
void check_gather(const at::Tensor& input, const at::Tensor& weight, int qtype, int64_t state_size,
                  int64_t output_size) {
  TORCH_CHECK(qtype == fmt::qtype::q2_k || qtype == fmt::qtype::q4_k,
              "dequantize_rows supports q2_k (23) and q4_k (27); ", fmt::unsupported_qtype_message(qtype));
  TORCH_CHECK(input.scalar_type() == at::kLong, "dequantize_rows: input must hold int64 row indices, got ",
              input.scalar_type());
  vorn::check_packed_weight(weight);
  common_utils::check_multiple_of_64(state_size);
  TORCH_CHECK(input.device() == weight.device(), "input (", input.device(), ") and weight (", weight.device(),
              ") must be on the same device");
  TORCH_CHECK(state_size % 256 == 0, "dequantize_rows: state_size ", state_size,
              " must be a multiple of 256, the super-block size");
  TORCH_CHECK(output_size > 0 && common_utils::saturating_product(output_size, state_size) <=
                                     std::numeric_limits<int32_t>::max(),
              "dequantize_rows: output_size ", output_size, " x state_size ", state_size,
              " must be a positive matrix below 2^31 weights");
  const int64_t needed = output_size * state_size / 256 * static_cast<int64_t>(fmt::GGML_TYPE_SIZE[qtype]);
  TORCH_CHECK(weight.numel() >= needed, "dequantize_rows: weight holds ", weight.numel(), " bytes, ",
              output_size, " rows of ", state_size, " ", fmt::qtype_name(qtype), " weights need ", needed);
  const int64_t count = input.size(0) * input.size(1);
  if (count > 0) {
    at::Tensor used = input.reshape(-1).narrow(0, 0, count);
    const int64_t low = used.min().item<int64_t>(), high = used.max().item<int64_t>();
    TORCH_CHECK(low >= 0 && high < output_size, "dequantize_rows: row indices must lie in [0, ", output_size,
                "), got values from ", low, " to ", high);
  }
}

}  // namespace

at::Tensor xpu_dequantize_rows(const at::Tensor& input, const at::Tensor& weight, int qtype, int64_t state_size,
                               int64_t output_size) {
  const int64_t d0 = input.size(0), d1 = input.size(1);
  check_gather(input, weight, qtype, state_size, output_size);
  at::Tensor result = at::empty({d0, d1, state_size}, weight.options().dtype(at::kFloat));
  const auto kernel = qtype == fmt::qtype::q4_k ? &xpu_dequantize_rows_kernel_q4_k : &xpu_dequantize_rows_kernel_q2_k;
  if (d0 * d1 > 0) {
    kernel(weight.const_data_ptr<uint8_t>(), input.const_data_ptr<int64_t>(), result.mutable_data_ptr<float>(),
           d0, d1, state_size, output_size, weight.device());
  }
  return result;
}
