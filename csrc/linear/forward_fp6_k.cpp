// Linear forwards of fp6, fp6_k, q4_k and q6_k.

#include "dequant/esimd_dequantize.h"
#include "formats/qtype.h"
#include "linear/dequantize_kernels.h"
#include "linear/forward_paths.h"
#include "linear/matvec_kernels.h"
#include "linear/xpu_forwards.h"

using namespace vorn::kernels;
using namespace vorn::linear;
namespace qt = vorn::formats::qtype;

template <int SG, int W>
at::Tensor xpu_forward_fp6(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::fp6, members::Fp6::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_fp6_2x16<decltype(tag), SG, W, 2>(w, xs, y, K, N, device);
    });
  }
  const GpuType gpu = get_gpu_type(device);
  const int64_t threshold = tile_threshold();
  const uint64_t rows_per_tile = tile_size();
  const bool low_mem = low_memory();
  if (N > threshold && (gpu == DUKOR || low_mem) && batch > 128) {
    return tiled_forward(x, weight, K, N, rows_per_tile, /*by_run_linear=*/false, gpu,
                         [&](auto tag, const uint8_t* w, auto* tile, int64_t rows, int64_t start) {
                           qlinear_xpu_tile_dequantize_kernel_fp6_1x16<decltype(tag), SG>(w, tile, K, N, rows, start,
                                                                                          device);
                         });
  }
  if (!explicit_simd_type(x) || blocks_of_64(N, K) % 8 != 0) unsupported_input_dtype();
  return at::linear(x, dequantize_fp6(weight, at::empty({N, K}, x.options())));
}

template <int SG, int W>
at::Tensor xpu_forward_fp6_k(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                             int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::fp6_k, members::Fp6K::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_fp6_k_2x16<decltype(tag), SG, W, 2>(w, xs, y, K, N, device);
    });
  }
  if (!explicit_simd_type(x) || blocks_of_64(N, K) % 8 != 0) unsupported_input_dtype();
  return at::linear(x, dequantize_fp6_k(weight, at::empty({N, K}, x.options())));
}

template <int SG, int W>
at::Tensor xpu_forward_q4_k(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                            int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q4_k, members::Q4K::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q4_k_2x16<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  at::Tensor dense = explicit_simd_type(x) && K % 256 == 0
                         ? dequantize_q4_k(weight, at::empty({N, K}, x.options()))
                         : expanded(x, weight, N, K, [&](auto tag, const uint8_t* w, auto* out) {
                             qlinear_xpu_dequantize_kernel_q4_k<decltype(tag)>(w, out, K, N, device);
                           });
  return at::linear(x, dense);
}

template <int SG, int W>
at::Tensor xpu_forward_q6_k(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                            int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q6_k, members::Q6K::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q6_k_2x16<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  at::Tensor dense = explicit_simd_type(x) && K % 256 == 0
                         ? dequantize_q6_k(weight, at::empty({N, K}, x.options()))
                         : expanded(x, weight, N, K, [&](auto tag, const uint8_t* w, auto* out) {
                             qlinear_xpu_dequantize_kernel_q6_k<decltype(tag)>(w, out, K, N, device);
                           });
  return at::linear(x, dense);
}

#define VORN_INSTANTIATE(fn)                                                                         \
  template at::Tensor fn<32, 64>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t); \
  template at::Tensor fn<16, 32>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t);
VORN_INSTANTIATE(xpu_forward_fp6)
VORN_INSTANTIATE(xpu_forward_fp6_k)
VORN_INSTANTIATE(xpu_forward_q4_k)
VORN_INSTANTIATE(xpu_forward_q6_k)
#undef VORN_INSTANTIATE
