// Linear forwards of q5_0 and q5_1 (interleaved 44-byte blocks).

#include "formats/qtype.h"
#include "linear/dequantize_kernels.h"
#include "linear/forward_paths.h"
#include "linear/matvec_kernels.h"
#include "linear/xpu_forwards.h"

using namespace vorn::kernels;
using namespace vorn::linear;
namespace qt = vorn::formats::qtype;

template <int SG, int W>
at::Tensor xpu_forward_q5_0(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q5_0, members::Q5_0::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q5_0<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  return at::linear(x, expanded(x, weight, N, K, [&](auto tag, const uint8_t* w, auto* out) {
                      qlinear_xpu_dequantize_kernel_q5_0<decltype(tag), SG>(w, out, K, N, device);
                    }));
}

template <int SG, int W>
at::Tensor xpu_forward_q5_1(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q5_1, members::Q5_1::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q5_1<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  return at::linear(x, expanded(x, weight, N, K, [&](auto tag, const uint8_t* w, auto* out) {
                      qlinear_xpu_dequantize_kernel_q5_1<decltype(tag), SG>(w, out, K, N, device);
                    }));
}

#define VORN_INSTANTIATE(fn)                                                                         \
  template at::Tensor fn<32, 64>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t); \
  template at::Tensor fn<16, 32>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t);
VORN_INSTANTIATE(xpu_forward_q5_0)
VORN_INSTANTIATE(xpu_forward_q5_1)
#undef VORN_INSTANTIATE
