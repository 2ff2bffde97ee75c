// Linear forwards of q4_1, fp4, nf4 and nf3.

#include "dequant/esimd_dequantize.h"
#include "formats/qtype.h"
#include "linear/dequantize_kernels.h"
#include "linear/forward_paths.h"
#include "linear/matvec_kernels.h"
#include "linear/xpu_dequant.h"
#include "linear/xpu_forwards.h"

using namespace vorn::kernels;
using namespace vorn::linear;
namespace qt = vorn::formats::qtype;

template <int SG, int W>
at::Tensor xpu_forward_q4_1_new(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                                int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q4_1, members::Q4_1::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q4_1_2x16<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  at::Tensor dense = explicit_simd_type(x) && blocks_of_64(N, K) % 8 == 0
                         ? dequantize_q4_1(weight, at::empty({N, K}, x.options()))
                         : xpu_dequant(x, weight, qt::q4_1);
  return at::linear(x, dense);
}

template <int SG, int W>
at::Tensor xpu_forward_fp4(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::fp4, members::Fp4::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_fp4_2x16<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  at::Tensor dense = explicit_simd_type(x) && blocks_of_64(N, K) % 8 == 0
                         ? dequantize_fp4(weight, at::empty({N, K}, x.options()))
                         : xpu_dequant(x, weight, qt::fp4);
  return at::linear(x, dense);
}

template <int SG, int W>
at::Tensor xpu_forward_nf4_new(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                               int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::nf4, members::Nf4::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_nf4_2x16<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  if (batch <= 14) {
    return matvec_forward(x, weight, batch, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_nf4_2x16_batch<decltype(tag), SG, W>(w, xs, y, K, N, batch, device);
    });
  }
  const bool selum = get_gpu_type(device) == SELUM;
  at::Tensor dense = expanded(x, weight, N, K, [&](auto tag, const uint8_t* w, auto* out) {
    using T = decltype(tag);
    if (selum) {
      qlinear_xpu_dequantize_kernel_nf4_1x4<T, SG>(w, out, K, N, device);
    } else {
      qlinear_xpu_dequantize_kernel_nf4_1x2<T, SG>(w, out, K, N, device);
    }
  });
  return at::linear(x, dense);
}

template <int SG, int W>
at::Tensor xpu_forward_nf3_new(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                               int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::nf3, members::Nf3::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_nf3_2x16<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  at::Tensor dense = expanded(x, weight, N, K, [&](auto tag, const uint8_t* w, auto* out) {
    qlinear_xpu_dequantize_kernel_nf3_new<decltype(tag), SG>(w, out, K, N, device);
  });
  return at::linear(x, dense);
}

#define VORN_INSTANTIATE(fn)                                                                         \
  template at::Tensor fn<32, 64>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t); \
  template at::Tensor fn<16, 32>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t);
VORN_INSTANTIATE(xpu_forward_q4_1_new)
VORN_INSTANTIATE(xpu_forward_fp4)
VORN_INSTANTIATE(xpu_forward_nf4_new)
VORN_INSTANTIATE(xpu_forward_nf3_new)
#undef VORN_INSTANTIATE
