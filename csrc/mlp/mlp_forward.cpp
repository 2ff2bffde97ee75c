#include "mlp/mlp_forward.h"

#include <ATen/ATen.h>
#include <ATen/record_function.h>

#include <array>
#include <string>

#include "common/dispatch.h"
#include "common/saturating.h"
#include "device/gpu_type.h"
#include "formats/qtype.h"
#include "linear/weight_checks.h"
#include "linear/quantize_row_q8_1.h"
#include "mlp/mlp_iq2_xxs_kernel.h"
#include "mlp/mlp_kernel.h"

namespace {

namespace fmt = vorn::formats;
using MlpFn = at::Tensor (*)(const at::Tensor&, const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t, int);

// What the kernels take on trust, checked: whole 64-weight blocks per row (the kernels address
// rows in blocks; K = 32 would pair weights with input elements beyond the row), weights that
// hold output_size rows, and an input that holds batch_size rows.
void check_mlp_arguments(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                         int64_t batch_size, int64_t K, int64_t N, int qtype) {
  TORCH_CHECK(K % 64 == 0, "mlp_forward_xpu: state_size ", K, " must be a multiple of 64");
  TORCH_CHECK(N >= 0 && batch_size >= 0 && K >= 0,
              "mlp_forward_xpu: output_size, batch_size and state_size must not be negative");
  const int64_t inputs = common_utils::saturating_product(batch_size, K);
  TORCH_CHECK(input.is_contiguous() && input.numel() >= inputs, "mlp_forward_xpu: input must be contiguous ",
              "and hold batch_size x state_size = ", batch_size, " x ", K, " elements, it holds ", input.numel());
  const int64_t weights = common_utils::saturating_product(N, K);
  TORCH_CHECK(weights <= std::numeric_limits<int32_t>::max(), "mlp_forward_xpu: ", N, " x ", K,
              " weights exceed the 2^31 its 32-bit region offsets address");
  const int64_t bytes = weights / fmt::GGML_BLCK_SIZE[qtype] * static_cast<int64_t>(fmt::GGML_TYPE_SIZE[qtype]);
  for (const at::Tensor* w : {&weight1, &weight2}) {
    vorn::check_packed_weight(*w, w == &weight1 ? "weight1" : "weight2");
    TORCH_CHECK(w->numel() >= bytes, "mlp_forward_xpu: ", w == &weight1 ? "weight1" : "weight2", " holds ",
                w->numel(), " bytes; ", N, " rows of ", K, " ", fmt::qtype_name(qtype), " weights need ", bytes);
    TORCH_CHECK(w->device() == input.device(), "mlp_forward_xpu: weights and input must be on one device");
  }
}

// mlp_forward_<fmt>_xpu_t: every input row is computed, one launch per row.
template <class F, int SG, int WG, int R>
at::Tensor mlp_forward_xpu_t(const char* name, const char* kernel, const at::Tensor& input,
                             const at::Tensor& weight1, const at::Tensor& weight2, int64_t batch_size,
                             int64_t state_size, int64_t output_size, int act_type) {
  at::Tensor output;
  common_utils::dispatch_floating_types(name, input.scalar_type(), [&](auto type) {
    using scalar_t = typename decltype(type)::type;
    TORCH_CHECK(state_size % vorn::kernels::MlpChunk<F>::kSubBlk == 0, state_size, " must be a multiple of ",
                vorn::kernels::MlpChunk<F>::kSubBlk);
    check_mlp_arguments(input, weight1, weight2, batch_size, state_size, output_size, F::kQtype);
    output = at::empty({batch_size, output_size}, input.options().device(weight1.device()));
    const scalar_t* x = input.const_data_ptr<scalar_t>();
    scalar_t* y = output.mutable_data_ptr<scalar_t>();
    for (int64_t row = 0; row < batch_size; ++row) {
      vorn::kernels::mlp_forward_kernel<F, scalar_t, SG, WG, R>(
          kernel, x + row * state_size, weight1.const_data_ptr<uint8_t>(), weight2.const_data_ptr<uint8_t>(),
          y + row * output_size, state_size, output_size, act_type, weight1.device());
    }
  });
  return output;
}

#define VORN_MLP_FORWARD(fmt_name, F)                                                                          \
  template <int SG, int WG, int R = 2>                                                                         \
  at::Tensor mlp_forward_##fmt_name##_xpu_t(const at::Tensor& input, const at::Tensor& weight1,                \
                                            const at::Tensor& weight2, int64_t batch_size, int64_t state_size, \
                                            int64_t output_size, int act_type) {                               \
    return mlp_forward_xpu_t<fmt::F, SG, WG, R>("mlp_forward_" #fmt_name "_xpu_t",                             \
                                                "mlp_forward_" #fmt_name "_kernel", input, weight1, weight2,   \
                                                batch_size, state_size, output_size, act_type);                \
  }
VORN_MLP_FORWARD(q4_0, Q4_0)
VORN_MLP_FORWARD(q4_0_woq, Q4_0Woq)
VORN_MLP_FORWARD(fp4, Fp4)
VORN_MLP_FORWARD(fp8_e5m2, Fp8E5m2)
VORN_MLP_FORWARD(fp6, Fp6)
#undef VORN_MLP_FORWARD

// iq2_xxs: the activation rows are quantized to q8_1 first; K must be whole 256-weight
// super-blocks (the kernel addresses rows in them).
at::Tensor mlp_forward_iq2_xxs_xpu(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                                   int64_t batch_size, int64_t state_size, int64_t output_size, int act_type) {
  TORCH_CHECK(state_size % 256 == 0, "mlp_forward_iq2_xxs_xpu: state_size ", state_size,
              " must be a multiple of 256, the iq2_xxs super-block");
  check_mlp_arguments(input, weight1, weight2, batch_size, state_size, output_size, fmt::qtype::iq2_xxs);
  at::Tensor output = at::empty({batch_size, output_size}, input.options().device(weight1.device()));
  common_utils::dispatch_floating_types("mlp_forward_iq2_xxs_xpu", input.scalar_type(), [&](auto type) {
    using scalar_t = typename decltype(type)::type;
    const at::Tensor q8 = quantize_row_q8_1(input, batch_size, state_size);
    const int64_t row_bytes = state_size / 32 * static_cast<int64_t>(sizeof(vorn::kernels::block_q8_1));
    for (int64_t row = 0; row < batch_size; ++row) {
      vorn::kernels::mlp_forward_iq2_xxs_kernel<scalar_t>(
          q8.const_data_ptr<uint8_t>() + row * row_bytes, weight1.const_data_ptr<uint8_t>(),
          weight2.const_data_ptr<uint8_t>(), output.mutable_data_ptr<scalar_t>() + row * output_size, state_size,
          output_size, act_type, weight1.device());
    }
  });
  return output;
}

using MlpTable = std::array<MlpFn, fmt::kQTypeCount>;

MlpTable make_table(std::initializer_list<std::pair<int, MlpFn>> slots) {
  MlpTable table{};
  for (const auto& [qtype, fn] : slots) table[qtype] = fn;
  return table;
}

namespace qt = fmt::qtype;

const MlpTable mlp_forward_fns = make_table({
    {qt::q4_0, &mlp_forward_q4_0_xpu_t<16, 32, 2>},
    {qt::fp4, &mlp_forward_fp4_xpu_t<16, 32>},
    {qt::fp8_e5m2, &mlp_forward_fp8_e5m2_xpu_t<16, 32>},
    {qt::fp6, &mlp_forward_fp6_xpu_t<16, 32, 2>},
    {qt::q4_0_woq, &mlp_forward_q4_0_woq_xpu_t<16, 32, 2>},
});
const MlpTable mlp_forward_fns_32 = make_table({
    {qt::q4_0, &mlp_forward_q4_0_xpu_t<32, 64, 2>},
    {qt::fp4, &mlp_forward_fp4_xpu_t<32, 64>},
    {qt::fp8_e5m2, &mlp_forward_fp8_e5m2_xpu_t<32, 64>},
    {qt::iq2_xxs, &mlp_forward_iq2_xxs_xpu},
    {qt::fp6, &mlp_forward_fp6_xpu_t<32, 64, 2>},
    {qt::q4_0_woq, &mlp_forward_q4_0_woq_xpu_t<32, 64, 2>},
});
const MlpTable mlp_forward_fns_dimla = make_table({
    {qt::q4_0, &mlp_forward_q4_0_xpu_t<16, 32, 8>},
    {qt::fp4, &mlp_forward_fp4_xpu_t<16, 32>},
    {qt::fp8_e5m2, &mlp_forward_fp8_e5m2_xpu_t<16, 32>},
    {qt::iq2_xxs, &mlp_forward_iq2_xxs_xpu},
    {qt::fp6, &mlp_forward_fp6_xpu_t<16, 32, 8>},
    {qt::q4_0_woq, &mlp_forward_q4_0_woq_xpu_t<16, 32, 8>},
});

}  // namespace

at::Tensor mlp_forward_xpu(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                           int64_t batch_size, int64_t state_size, int64_t output_size, int64_t act_type,
                           int64_t qtype) {
  RECORD_FUNCTION("mlp_forward", std::vector<c10::IValue>({input}));
  const GpuType gpu = get_gpu_type(input.device());
  const MlpTable& table = gpu == LEGACY ? mlp_forward_fns_dimla : gpu == SELUM ? mlp_forward_fns_32 : mlp_forward_fns;
  const MlpFn fn = qtype >= 0 && qtype < fmt::kQTypeCount ? table[qtype] : nullptr;
  TORCH_CHECK(fn != nullptr, "mlp_forward_xpu has no fused kernel for qtype ", qtype, " (",
              fmt::qtype_name(static_cast<int>(qtype)), ") on a device of class ", get_xpu_device_name(input.device()));
  return fn(input, weight1, weight2, batch_size, state_size, output_size, static_cast<int>(act_type));
}
