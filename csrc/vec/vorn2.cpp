#include "vec/vorn2.h"

#include <c10/util/Half.h>

#include <stdexcept>

#include "formats/qtype.h"
#include "vec/operand_checks.h"
#include "vec/vec_kernels.h"

namespace {

namespace qt = vorn::formats::qtype;
using half = c10::Half;

void check_vec_qtype(int qtype) {
  if (qtype != qt::q4_0_woq && qtype != qt::q4_0) throw std::runtime_error(vorn::formats::unsupported_qtype_message(qtype));
}

bool is_fp32(const at::Tensor& input) {
  if (input.scalar_type() == at::kFloat) return true;
  if (input.scalar_type() == at::kHalf) return false;
  throw std::runtime_error("unsupported dtype, only fp32 and fp16 are supported");
}

// The single activation row and the [1, N] result.
void check_row_and_output(const at::Tensor& input, const at::Tensor& output, int K, int N) {
  vorn::vec::check_in_features(K);
  vorn::vec::check_operand(input, "input", input.device(), K);
  vorn::vec::check_operand(output, "output", input.device(), N);
  TORCH_CHECK(output.scalar_type() == input.scalar_type(), "output must have input's dtype ", input.scalar_type(),
              ", got ", output.scalar_type());
}

}  // namespace

void linear_forward_vorn2(const at::Tensor& input, const at::Tensor& weight, const at::Tensor& output, int K, int N,
                          int qtype) {
  using vorn::vec::linear_forward_kernel;
  check_vec_qtype(qtype);
  const bool fp32 = is_fp32(input);
  check_row_and_output(input, output, K, N);
  vorn::vec::check_planar_weight(weight, "weight", input.device(), qtype, N, K);
  const auto* w = weight.const_data_ptr<uint8_t>();
  const void* x = input.const_data_ptr();
  void* y = output.mutable_data_ptr();
  if (fp32) {
    if (qtype == qt::q4_0) linear_forward_kernel<float, 4, 4, 16, qt::q4_0>(x, w, y, K, N, input.device());
    else linear_forward_kernel<float, 4, 4, 16, qt::q4_0_woq>(x, w, y, K, N, input.device());
  } else {
    if (qtype == qt::q4_0) linear_forward_kernel<half, 4, 4, 32, qt::q4_0>(x, w, y, K, N, input.device());
    else linear_forward_kernel<half, 4, 4, 32, qt::q4_0_woq>(x, w, y, K, N, input.device());
  }
}

void mlp_forward_vorn2(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                       const at::Tensor& output, int K, int N, int qtype) {
  using vorn::vec::mlp_forward_kernel;
  check_vec_qtype(qtype);
  const bool fp32 = is_fp32(input);
  check_row_and_output(input, output, K, N);
  vorn::vec::check_planar_weight(weight1, "weight1", input.device(), qtype, N, K);
  vorn::vec::check_planar_weight(weight2, "weight2", input.device(), qtype, N, K);
  const auto* w1 = weight1.const_data_ptr<uint8_t>();
  const auto* w2 = weight2.const_data_ptr<uint8_t>();
  const void* x = input.const_data_ptr();
  void* y = output.mutable_data_ptr();
  if (fp32) {
    if (qtype == qt::q4_0) mlp_forward_kernel<float, 2, 4, 16, qt::q4_0>(x, w1, w2, y, K, N, input.device());
    else mlp_forward_kernel<float, 2, 4, 16, qt::q4_0_woq>(x, w1, w2, y, K, N, input.device());
  } else {
    if (qtype == qt::q4_0) mlp_forward_kernel<half, 2, 4, 32, qt::q4_0>(x, w1, w2, y, K, N, input.device());
    else mlp_forward_kernel<half, 2, 4, 32, qt::q4_0_woq>(x, w1, w2, y, K, N, input.device());
  }
}
