// Linear forwards of q8_0, fp8_e5m2 and fp8_e4m3.

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

namespace {

// Batches other than 1 of q8_0 and fp8_e5m2: tiled from TILE_THRESHOLD rows up (inclusive) on
// TAVOK devices, otherwise the dense product of the explicit-SIMD (4-block threads) or the
// dequantize kernel expansion.
template <class Tile>
at::Tensor eight_bit_product(const at::Tensor& x, const at::Tensor& weight, int64_t K, int64_t N, int qtype,
                             at::Tensor (*explicit_simd)(const at::Tensor&, at::Tensor), Tile&& tile) {
  const GpuType gpu = get_gpu_type(x.device());
  const int64_t threshold = tile_threshold();
  const uint64_t rows_per_tile = tile_size();
  if (N >= threshold && gpu == TAVOK) {
    return tiled_forward(x, weight, K, N, rows_per_tile, /*by_run_linear=*/false, gpu, tile);
  }
  at::Tensor dense = explicit_simd_type(x) && blocks_of_64(N, K) % 4 == 0
                         ? explicit_simd(weight, at::empty({N, K}, x.options()))
                         : xpu_dequant(x, weight, qtype);
  return at::linear(x, dense);
}

}  // namespace

template <int SG, int W>
at::Tensor xpu_forward_q8_0_new(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                                int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::q8_0, members::Q8_0::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_q8_0_2x8<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  return eight_bit_product(x, weight, K, N, qt::q8_0, dequantize_q8_0,
                           [&](auto tag, const uint8_t* w, auto* tile, int64_t rows, int64_t start) {
                             qlinear_xpu_tile_dequantize_kernel_q8_0_1x1<decltype(tag), SG>(w, tile, K, N, rows,
                                                                                            start, device);
                           });
}

template <int SG, int W>
at::Tensor xpu_forward_fp8_e5m2(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                                int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::fp8_e5m2, members::Fp8E5m2::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_fp8_e5m2_2x8<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  return eight_bit_product(x, weight, K, N, qt::fp8_e5m2, dequantize_fp8_e5m2,
                           [&](auto tag, const uint8_t* w, auto* tile, int64_t rows, int64_t start) {
                             qlinear_xpu_tile_dequantize_kernel_fp8_e5m2_1x1<decltype(tag), SG>(w, tile, K, N, rows,
                                                                                                start, device);
                           });
}

template <int SG, int W>
at::Tensor xpu_forward_fp8_e4m3(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                                int64_t N) {
  const at::Tensor x = checked_input(input, weight, batch, K, N, qt::fp8_e4m3, members::Fp8E4m3::kSubBlock);
  const c10::Device device = x.device();
  if (batch == 1) {
    return matvec_forward(x, weight, 1, N, [&](auto tag, const uint8_t* w, const auto* xs, auto* y) {
      qlinear_xpu_kernel_fp8_e4m3_2x8<decltype(tag), SG, W>(w, xs, y, K, N, device);
    });
  }
  if (!explicit_simd_type(x)) unsupported_input_dtype();
  return at::linear(x, dequantize_fp8_e4m3(weight, at::empty({N, K}, x.options())));
}

#define VORN_INSTANTIATE(fn)                                                                         \
  template at::Tensor fn<32, 64>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t); \
  template at::Tensor fn<16, 32>(const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t);
VORN_INSTANTIATE(xpu_forward_q8_0_new)
VORN_INSTANTIATE(xpu_forward_fp8_e5m2)
VORN_INSTANTIATE(xpu_forward_fp8_e4m3)
#undef VORN_INSTANTIATE
