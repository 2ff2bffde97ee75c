#pragma once
// qlinear_xpu_kernel_q5_k: the q5_k matrix-vector kernel, reading the activation row as it is.
//
// One work-group of 32 work-items per pair of output rows 2g, 2g + 1. Work-item l takes the
// super-blocks of parity l / 16 and, inside each, the weights j = 16t + (l mod 16), t = 0..15:
// one weight of every 16-weight run, so the 16 work-items of a parity read 16 consecutive
// weights together and every run lies inside one 32-weight sub-block (one scale and min).
// Each weight is decoded as the format's rule has it (fp32 q * (d * sc) - dmin * mn) and
// multiplied by the activation widened to fp32; the per-row sums are fp32 and are reduced
// through local memory. The second row of the last pair is neither read nor written when N is
// odd.

#include <c10/core/Device.h>

#include <algorithm>
#include <cstdint>

#include "common/submit_kernel.h"
#include "formats/interleaved_k.h"
#include "linear/group_reduce.h"

namespace vorn::kernels {

template <class T>
void qlinear_xpu_kernel_q5_k(const T* input, const uint8_t* weight, T* out, uint64_t K, uint64_t N,
                             const c10::Device& device) {
  using formats::Q5K;
  constexpr int kWorkItems = 32, kRows = 2, kRun = 16;
  const int64_t super_blocks = static_cast<int64_t>(K / 256);
  const int64_t rows = static_cast<int64_t>(N);
  const formats::Packed<Q5K> packed(weight, 0);
  const hostxpu::kernel_desc desc{"qlinear_xpu_kernel_q5_k",
                                  hostxpu::nd_range((N + kRows - 1) / kRows * kWorkItems, kWorkItems), 8,
                                  kRows * kWorkItems * sizeof(float)};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t row0 = kRows * static_cast<int64_t>(g.linear_id);
          const int valid = static_cast<int>(std::min<int64_t>(kRows, rows - row0));
          float acc[kRows][kWorkItems] = {};
          for (int64_t i = 0; i < super_blocks; ++i) {
            float x[256];
            for (int j = 0; j < 256; ++j) x[j] = static_cast<float>(input[256 * i + j]);
            for (int r = 0; r < valid; ++r) {
              const Q5K::Block block = packed.block((row0 + r) * super_blocks + i);
              float w[256];
              for (int p = 0; p < 8; ++p) {
                const float scale = block.scale(p), offset = block.offset(p);
                for (int l = 0; l < 32; ++l) w[32 * p + l] = float(block.code(p, l)) * scale + offset;
              }
              float* a = acc[r] + kRun * (i % 2);
              for (int t = 0; t < 256 / kRun; ++t) {
                for (int m = 0; m < kRun; ++m) a[m] += x[kRun * t + m] * w[kRun * t + m];
              }
            }
          }
          float* local = g.local_as<float>();
          for (int r = 0; r < valid; ++r) {
            std::copy(acc[r], acc[r] + kWorkItems, local + r * kWorkItems);
            out[row0 + r] = T(tree_sum_32(local + r * kWorkItems));
          }
        });
      },
      device, "qlinear_xpu_kernel_q5_k");
}

}  // namespace vorn::kernels
