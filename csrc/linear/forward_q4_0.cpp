// Linear forwards of q4_0 and q4_0_woq.

#include "dequant/esimd_dequantize.h"
#include "formats/qtype.h"
#include "gemm/int4_gemm.h"
#include "linear/dequantize_kernels.h"
#include "linear/forward_paths.h"
#include "linear/matvec_kernels.h"
#include "linear/xpu_dequant.h"
#include "linear/xpu_forwards.h"

using namespace vorn::kernels;
using namespace vorn::linear;
namespace qt = vorn::formats::qtype;

template <int SG, int W, int R>
at::Tensor xpu_forward_q4_0_new(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                                int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q4_0, members::Q4_0::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q4_0_2x16<decltype(tag), SG, W, R>(w, xs, y, K, N, device);
    });
  }
  const GpuType gpu = get_gpu_type(device);
  if (gpu != SELUM && batch <= 7) {
    return matvec_forward(x, weight, batch, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q4_0_2x16_by_batch<decltype(tag), SG, W>(w, xs, y, K, N, batch, device);
    });
  }
  const int64_t threshold = tile_threshold();
  const uint64_t rows_per_tile = tile_size();
  const bool low_mem = low_memory();
  if (N > threshold && (gpu == DUKOR || low_mem) && batch > 128) {
    return tiled_forward(x, weight, K, N, rows_per_tile, /*by_run_linear=*/true, gpu,
                         [&](auto tag, const uint8_t* w, auto* tile, int64_t rows, int64_t start) {
                           using T = decltype(tag);
                           if (gpu == SELUM) {
                             qlinear_xpu_tile_dequantize_kernel_q4_0_1x4<T, SG>(w, tile, K, N, rows, start, device);
                           } else {
                             qlinear_xpu_tile_dequantize_kernel_q4_0_1x2<T, SG>(w, tile, K, N, rows, start, device);
                           }
                         });
  }
  at::Tensor dense = explicit_simd_type(x) && blocks_of_64(N, K) % 8 == 0
                         ? dequantize_q4_0(weight, at::empty({N, K}, x.options()))
                         : xpu_dequant(x, weight, qt::q4_0);
  return run_linear(x, dense, gpu);
}

template <int SG, int W, int R>
at::Tensor xpu_forward_q4_0_woq_new(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                                    int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q4_0_woq, members::Q4_0Woq::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q4_0_woq_2x16<decltype(tag), SG, W, R>(w, xs, y, K, N, device);
    });
  }
  return run_linear_woq(x, weight, get_gpu_type(device));
}

#define VORN_INSTANTIATE(fn, SG, W, R) \
  template at::Tensor fn<SG, W, R>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t);
VORN_INSTANTIATE(xpu_forward_q4_0_new, 32, 64, 2)
VORN_INSTANTIATE(xpu_forward_q4_0_new, 16, 32, 2)
VORN_INSTANTIATE(xpu_forward_q4_0_new, 16, 32, 8)
VORN_INSTANTIATE(xpu_forward_q4_0_woq_new, 32, 64, 2)
VORN_INSTANTIATE(xpu_forward_q4_0_woq_new, 16, 32, 2)
VORN_INSTANTIATE(xpu_forward_q4_0_woq_new, 16, 32, 8)
#undef VORN_INSTANTIATE
