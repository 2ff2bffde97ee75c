#include "linear/xpu_dequant.h"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>

#include "device/gpu_type.h"
#include "linear/dequantize_kernels.h"
#include "linear/weight_checks.h"

namespace {

using namespace vorn::kernels;
namespace qt = vorn::formats::qtype;

// Expands through the kernel the device class calls for: the 32-lane kernels on SELUM, the
// 16-lane ones elsewhere. Formats the class split does not cover have one kernel each.
template <class T>
void expand(int qtype, bool selum, const uint8_t* w, T* out, int64_t K, int64_t N, const c10::Device& d) {
  switch (qtype) {
    case qt::q4_0:
      return selum ? qlinear_xpu_dequantize_kernel_q4_0_1x4<T, 32>(w, out, K, N, d)
                   : qlinear_xpu_dequantize_kernel_q4_0_1x2<T, 16>(w, out, K, N, d);
    case qt::q4_1:
      return selum ? qlinear_xpu_dequantize_kernel_q4_1_1x4<T, 32>(w, out, K, N, d)
                   : qlinear_xpu_dequantize_kernel_q4_1_1x2<T, 16>(w, out, K, N, d);
    case qt::q8_0:
      return selum ? qlinear_xpu_dequantize_kernel_q8_0_1x2<T, 32>(w, out, K, N, d)
                   : qlinear_xpu_dequantize_kernel_q8_0_1x1<T, 16>(w, out, K, N, d);
    case qt::nf4:
      return selum ? qlinear_xpu_dequantize_kernel_nf4_1x4<T, 32>(w, out, K, N, d)
                   : qlinear_xpu_dequantize_kernel_nf4_1x2<T, 16>(w, out, K, N, d);
    case qt::fp4:
      return selum ? qlinear_xpu_dequantize_kernel_fp4_1x4<T, 32>(w, out, K, N, d)
                   : qlinear_xpu_dequantize_kernel_fp4_1x2<T, 16>(w, out, K, N, d);
    case qt::fp8_e5m2:
      return selum ? qlinear_xpu_dequantize_kernel_fp8_e5m2_1x2<T, 32>(w, out, K, N, d)
                   : qlinear_xpu_dequantize_kernel_fp8_e5m2_1x1<T, 16>(w, out, K, N, d);
    case qt::iq2_xxs: return qlinear_xpu_dequantize_kernel_iq2_xxs<T>(w, out, K, N, d);
    case qt::q5_0: return qlinear_xpu_dequantize_kernel_q5_0<T, 16>(w, out, K, N, d);
    case qt::q5_1: return qlinear_xpu_dequantize_kernel_q5_1<T, 16>(w, out, K, N, d);
    case qt::nf3: return qlinear_xpu_dequantize_kernel_nf3_new<T, 16>(w, out, K, N, d);
    case qt::fp6: return qlinear_xpu_tile_dequantize_kernel_fp6_1x16<T, 16>(w, out, K, N, N, 0, d);
    case qt::fp8_e4m3: return qlinear_xpu_dequantize_kernel_fp8_e4m3_1x1<T, 16>(w, out, K, N, d);
    case qt::q4_0_woq: return qlinear_xpu_dequantize_kernel_q4_0_woq_1x2<T, 16>(w, out, K, N, d);
    case qt::moe_fp8_e5m2: return qlinear_xpu_dequantize_kernel_moe_fp8_e5m2_1x1<T, 16>(w, out, K, N, d);
    case qt::moe_fp8_e4m3: return qlinear_xpu_dequantize_kernel_moe_fp8_e4m3_1x1<T, 16>(w, out, K, N, d);
    case qt::q2_k: return qlinear_xpu_dequantize_kernel_q2_k<T>(w, out, K, N, d);
    case qt::iq1_s: return qlinear_xpu_dequantize_kernel_iq1_s<T>(w, out, K, N, d);
    case qt::q6_k: return qlinear_xpu_dequantize_kernel_q6_k<T>(w, out, K, N, d);
    case qt::q4_k: return qlinear_xpu_dequantize_kernel_q4_k<T>(w, out, K, N, d);
    case qt::q5_k: return qlinear_xpu_dequantize_kernel_q5_k<T>(w, out, K, N, d);
    case qt::fp6_k: return qlinear_xpu_dequantize_kernel_fp6_k<T>(w, out, K, N, d);
  }
  TORCH_CHECK(false, vorn::formats::unsupported_qtype_message(qtype));
}

}  // namespace

at::Tensor xpu_dequant(const at::Tensor& input, const at::Tensor& weight, int qtype) {
  const int64_t K = input.size(1);
  vorn::check_packed_weight(weight);
  TORCH_CHECK(weight.device() == input.device(), "weight (", weight.device(), ") and input (", input.device(),
              ") must be on the same device");
  const int64_t N = vorn::packed_rows(weight, qtype, K);
  const bool selum = get_gpu_type(input.device()) == SELUM;
  at::Tensor out = at::empty({N, K}, input.options());
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, input.scalar_type(), "qlinear_forward_xpu", [&] {
    expand<scalar_t>(qtype, selum, weight.const_data_ptr<uint8_t>(), out.mutable_data_ptr<scalar_t>(), K, N,
                     weight.device());
  });
  return out;
}
