#pragma once
// Matrix-vector kernels over q8_1 activations for the 256-weight interleaved formats q2_k,
// iq2_xxs and iq1_s: out[row] = sum over the row's super-blocks of the format's vec_dot.
//
// One work-group of 32 work-items per output row. Work-item l takes super-block phase
// p = l / S and slice iqs = l mod S (S slices per super-block) and visits super-blocks
// p, p + 32/S, p + 2*32/S, ... of its row, accumulating in fp32; the 32 partial sums are then
// reduced through local memory. On the host a work-group walks its row's super-blocks in
// order and hands each one to the work-items of its phase, which keeps every work-item's own
// order of additions.

#include <c10/core/Device.h>

#include <cstdint>

#include "common/submit_kernel.h"
#include "formats/qtype.h"
#include "linear/block_q8_1.h"
#include "linear/group_reduce.h"
#include "linear/vec_dot_q8_1.h"

namespace vorn::kernels {

using VecDotQ8_1 = float (*)(const void*, const block_q8_1*, const int&);

// The slices of one super-block of a format whose vec_dot needs nothing shared between slices.
template <VecDotQ8_1 vec_dot>
struct VecDotSlices {
  const void* block;
  const block_q8_1* q8;
  float operator()(int iqs) const { return vec_dot(block, q8, iqs); }
};

// Slices(block, q8)(iqs) is vec_dot(block, q8, iqs) of the format F.
template <class F, int kSlices, class Slices, class T>
void q8_1_matvec_kernel(const char* name, int sub_group_size, const uint8_t* weight, const uint8_t* q8, T* out,
                        uint64_t K, uint64_t N, const c10::Device& device) {
  static_assert(F::kBlock == 256 && 32 % kSlices == 0, "super-blocks of 256 weights, 32 work-items per row");
  constexpr int kWorkItems = 32;
  constexpr int kPhases = kWorkItems / kSlices;
  constexpr int64_t kBlockBytes = static_cast<int64_t>(formats::GGML_TYPE_SIZE[F::kQtype]);
  const int64_t super_blocks = static_cast<int64_t>(K / 256);
  const auto* y = reinterpret_cast<const block_q8_1*>(q8);
  const hostxpu::kernel_desc desc{name, hostxpu::nd_range(N * kWorkItems, kWorkItems), sub_group_size,
                                  kWorkItems * sizeof(float)};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t row = static_cast<int64_t>(g.linear_id);
          const uint8_t* w = weight + row * super_blocks * kBlockBytes;
          float acc[kWorkItems] = {};
          for (int64_t i = 0; i < super_blocks; ++i) {
            float* phase = acc + (i % kPhases) * kSlices;
            const Slices slices{w + i * kBlockBytes, y + 8 * i};
            for (int iqs = 0; iqs < kSlices; ++iqs) phase[iqs] += slices(iqs);
          }
          float* local = g.local_as<float>();
          for (int l = 0; l < kWorkItems; ++l) local[l] = acc[l];
          out[row] = T(tree_sum_32(local));
        });
      },
      device, name);
}

// The named kernels: (weight, q8, out, K, N, device), K a multiple of 256.
template <class T>
void qlinear_xpu_kernel_q2_k_q8_1(const uint8_t* weight, const uint8_t* q8, T* out, uint64_t K, uint64_t N,
                                  const c10::Device& device) {
  q8_1_matvec_kernel<formats::Q2K, 16, Q2KSlices>("qlinear_xpu_kernel_q2_k_q8_1", 0, weight, q8, out, K, N, device);
}

template <class T>
void qlinear_xpu_kernel_iq2_xxs_q8_1(const uint8_t* weight, const uint8_t* q8, T* out, uint64_t K, uint64_t N,
                                     const c10::Device& device) {
  q8_1_matvec_kernel<formats::Iq2Xxs, 8, VecDotSlices<vec_dot_iq2_xxs_q8_1>>("qlinear_xpu_kernel_iq2_xxs_q8_1", 32,
                                                                             weight, q8, out, K, N, device);
}

template <class T>
void qlinear_xpu_kernel_iq1_s_q8_1(const uint8_t* weight, const uint8_t* q8, T* out, uint64_t K, uint64_t N,
                                   const c10::Device& device) {
  q8_1_matvec_kernel<formats::Iq1S, 8, VecDotSlices<vec_dot_iq1_s_q8_1>>("qlinear_xpu_kernel_iq1_s_q8_1", 32, weight,
                                                                         q8, out, K, N, device);
}

}  // namespace vorn::kernels
