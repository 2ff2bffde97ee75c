#pragma once
// The dequantize kernel family: expands a packed [N, K] weight into a dense row-major matrix of
// an element type T, each weight in T's arithmetic (element_math.h).
//
//   qlinear_xpu_dequantize_kernel_<fmt>_1x<E>       every row
//   qlinear_xpu_tile_dequantize_kernel_<fmt>_1x<E>  weight rows start .. start + rows - 1 into
//                                                   output rows 0 .. rows - 1
//   qlinear_xpu_dequantize_kernel_<fmt>             256-weight formats: one work-group per
//                                                   super-block
//
// A row kernel runs one work-group of P work-items per output row, each expanding E weights per
// step, P = min(256, largest power of two dividing K, / E). On the host a work-group expands its
// row block by block, which writes the same values as the work-items' order would.

#include <c10/core/Device.h>

#include <algorithm>
#include <cstdint>

#include "common/checks.h"
#include "common/streaming_stores.h"
#include "common/submit_kernel.h"
#include "formats/formats.h"
#include "linear/expand_blocks.h"

namespace vorn::kernels {

inline int64_t dequantize_work_items_per_row(int64_t K, int E) {
  return std::min<int64_t>(256, (K & -K) / E);
}

// The row kernel `name` of format F (64-weight blocks, or 16-weight runs for E = 16).
template <class F, int E, int SG, class T>
void dequantize_row_kernel(const char* name, const uint8_t* weight, T* out, int64_t K, int64_t N,
                           int64_t rows, int64_t start, const c10::Device& device) {
  common_utils::check_multiple_of_64(K);
  const int64_t P = dequantize_work_items_per_row(K, E);
  const int64_t blocks_per_row = K / F::kBlock;
  const formats::Packed<F> packed(weight, static_cast<int32_t>(N * K));
  const bool streamed = common_utils::streams_output(rows * K * int64_t(sizeof(T)));
  hostxpu::kernel_desc desc{name, hostxpu::nd_range(rows * P, P), SG, 0};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t row = static_cast<int64_t>(g.linear_id);
          expand_blocks<F, T, T>(packed, (start + row) * blocks_per_row, blocks_per_row, out + row * K, streamed);
        });
      },
      device, name);
}

// The super-block kernel `name` of a 256-weight format F: one work-group of 32 work-items per
// super-block sb, writing out[256*sb .. 256*sb + 255]; work-item w writes weights 8w .. 8w + 7.
template <class F, class T>
void dequantize_super_block_kernel(const char* name, const uint8_t* weight, T* out, int64_t K,
                                   int64_t N, const c10::Device& device) {
  static_assert(F::kBlock == 256, "super-block kernels expand 256-weight blocks");
  common_utils::check_multiple_of_64(K);
  constexpr int kWorkItems = 32;
  const int64_t super_blocks = N * K / 256;
  const formats::Packed<F> packed(weight, static_cast<int32_t>(N * K));
  const bool streamed = common_utils::streams_output(N * K * int64_t(sizeof(T)));
  hostxpu::kernel_desc desc{name, hostxpu::nd_range(super_blocks * kWorkItems, kWorkItems), 0, 0};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t sb = static_cast<int64_t>(g.linear_id);
          expand_blocks<F, T, T>(packed, sb, 1, out + sb * 256, streamed);
        });
      },
      device, name);
}

// The named kernels. Row kernels take (weight, out, K, N, device); tile kernels also (rows,
// start) before the device; super-block kernels are templates on T only.
#define VORN_DEQUANTIZE_KERNEL(fmt, F, E)                                                          \
  template <class T, int SG>                                                                      \
  void qlinear_xpu_dequantize_kernel_##fmt##_1x##E(const uint8_t* weight, T* out, int64_t K,     \
                                                   int64_t N, const c10::Device& device) {        \
    dequantize_row_kernel<formats::F, E, SG>("qlinear_xpu_dequantize_kernel_" #fmt "_1x" #E,     \
                                             weight, out, K, N, N, 0, device);                    \
  }
#define VORN_TILE_DEQUANTIZE_KERNEL(fmt, F, E)                                                      \
  template <class T, int SG>                                                                       \
  void qlinear_xpu_tile_dequantize_kernel_##fmt##_1x##E(const uint8_t* weight, T* out, int64_t K,  \
                                                        int64_t N, int64_t rows, int64_t start,    \
                                                        const c10::Device& device) {               \
    dequantize_row_kernel<formats::F, E, SG>("qlinear_xpu_tile_dequantize_kernel_" #fmt "_1x" #E, \
                                             weight, out, K, N, rows, start, device);              \
  }
#define VORN_NAMED_ROW_DEQUANTIZE_KERNEL(name, F, E)                                               \
  template <class T, int SG>                                                                      \
  void name(const uint8_t* weight, T* out, int64_t K, int64_t N, const c10::Device& device) {     \
    dequantize_row_kernel<formats::F, E, SG>(#name, weight, out, K, N, N, 0, device);            \
  }
#define VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(fmt, F)                                                 \
  template <class T>                                                                              \
  void qlinear_xpu_dequantize_kernel_##fmt(const uint8_t* weight, T* out, int64_t K, int64_t N,  \
                                           const c10::Device& device) {                           \
    dequantize_super_block_kernel<formats::F>("qlinear_xpu_dequantize_kernel_" #fmt, weight, out, \
                                              K, N, device);                                      \
  }

VORN_DEQUANTIZE_KERNEL(q4_0, Q4_0, 4)
VORN_DEQUANTIZE_KERNEL(q4_0, Q4_0, 2)
VORN_TILE_DEQUANTIZE_KERNEL(q4_0, Q4_0, 4)
VORN_TILE_DEQUANTIZE_KERNEL(q4_0, Q4_0, 2)
VORN_DEQUANTIZE_KERNEL(q4_1, Q4_1, 4)
VORN_DEQUANTIZE_KERNEL(q4_1, Q4_1, 2)
VORN_DEQUANTIZE_KERNEL(nf4, Nf4, 4)
VORN_DEQUANTIZE_KERNEL(nf4, Nf4, 2)
VORN_DEQUANTIZE_KERNEL(fp4, Fp4, 4)
VORN_DEQUANTIZE_KERNEL(fp4, Fp4, 2)
VORN_DEQUANTIZE_KERNEL(q8_0, Q8_0, 2)
VORN_DEQUANTIZE_KERNEL(q8_0, Q8_0, 1)
VORN_TILE_DEQUANTIZE_KERNEL(q8_0, Q8_0, 1)
VORN_DEQUANTIZE_KERNEL(fp8_e5m2, Fp8E5m2, 2)
VORN_DEQUANTIZE_KERNEL(fp8_e5m2, Fp8E5m2, 1)
VORN_TILE_DEQUANTIZE_KERNEL(fp8_e5m2, Fp8E5m2, 1)
VORN_TILE_DEQUANTIZE_KERNEL(fp6, Fp6, 16)
VORN_NAMED_ROW_DEQUANTIZE_KERNEL(qlinear_xpu_dequantize_kernel_nf3_new, Nf3, 4)
VORN_NAMED_ROW_DEQUANTIZE_KERNEL(qlinear_xpu_dequantize_kernel_q5_0, Q5_0, 2)
VORN_NAMED_ROW_DEQUANTIZE_KERNEL(qlinear_xpu_dequantize_kernel_q5_1, Q5_1, 2)
// Formats the forward paths expand elsewhere; whole-weight kernels let `dequant` expand them too.
VORN_DEQUANTIZE_KERNEL(fp8_e4m3, Fp8E4m3, 1)
VORN_DEQUANTIZE_KERNEL(q4_0_woq, Q4_0Woq, 2)
VORN_DEQUANTIZE_KERNEL(moe_fp8_e5m2, MoeFp8E5m2, 1)
VORN_DEQUANTIZE_KERNEL(moe_fp8_e4m3, MoeFp8E4m3, 1)

VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(q4_k, Q4K)
VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(q6_k, Q6K)
VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(q2_k, Q2K)
VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(q5_k, Q5K)
VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(iq2_xxs, Iq2Xxs)
VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(iq1_s, Iq1S)
VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL(fp6_k, Fp6K)

#undef VORN_DEQUANTIZE_KERNEL
#undef VORN_TILE_DEQUANTIZE_KERNEL
#undef VORN_NAMED_ROW_DEQUANTIZE_KERNEL
#undef VORN_SUPER_BLOCK_DEQUANTIZE_KERNEL

}  // namespace vorn::kernels
