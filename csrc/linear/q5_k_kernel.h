#pragma once
// qlinear_xpu_kernel_q5_k: the q5_k matrix-vector kernel.
//
// One work-group of 32 work-items per pair of output rows 2g, 2g + 1. Work-item l takes the
// super-blocks of parity l / 16 and, inside each, the weights j = 16t + (l mod 16), t = 0..15:
// one weight of every 16-weight run, so the 16 work-items of a parity read 16 consecutive
// weights together and every run lies inside one 32-weight sub-block (one scale and min).
// Each weight is decoded as the format's rule has it (fp32 q * (d * sc) - dmin * mn) and
// multiplied by the activation widened to fp32; the per-row sums are fp32 and are reduced
// through local memory. The second row of the last pair is neither read nor written when N is
// odd.
//
// The 16 work-items of a parity are the 16 lanes of one vector: a run of 16 weights is decoded,
// multiplied and added by a handful of vector instructions. The activation row is widened to
// fp32 once per launch and pool thread.

#include <c10/core/Device.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "common/per_launch.h"
#include "common/prefetch.h"
#include "common/submit_kernel.h"
#include "formats/interleaved_k.h"
#include "linear/group_reduce.h"
#include "linear/lane_isa.h"
#include "linear/lane_vectors.h"

namespace vorn::kernels {

// 16 byte codes as fp32 lanes.
template <class Isa>
struct CodeFloats {
  static f32x16 load(const uint8_t* codes) {
    f32x16 v;
    for (int m = 0; m < 16; ++m) v[m] = float(codes[m]);
    return v;
  }
};
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
template <>
struct CodeFloats<Avx512Isa> {
  [[gnu::target("avx512f")]] static f32x16 load(const uint8_t* codes) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    return bit_as<f32x16>(_mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes)));
  }
};
#endif

// The lane sums of rows row0 .. row0 + rows - 1 into sums[32 * r + l] (l: work-item).
template <class Isa>
inline void q5_k_row_pair(const formats::Packed<formats::Q5K>& packed, const float* x, int64_t super_blocks,
                          int64_t total_rows, int64_t row0, int rows, float* sums) {
  f32x16 acc[2][2] = {};  // [row][parity]
  // The pair of rows after this one (the next work-group of the pool thread, as a rule) is
  // fetched a pair ahead: the weight rows are too short for the hardware's stream prefetchers.
  const int64_t block_bytes = packed.at.block(1), ahead = 2 * packed.at.block(super_blocks);
  const int ahead_rows = static_cast<int>(std::min<int64_t>(rows, total_rows - row0 - 2));
  for (int64_t i = 0; i < super_blocks; ++i) {
    const float* xs = x + 256 * i;
    for (int r = 0; r < rows; ++r) {
      const formats::Q5K::Block block = packed.block((row0 + r) * super_blocks + i);
      if (r < ahead_rows) {
        const uint8_t* next = block.b + ahead;
        for (int64_t byte = 0; byte < block_bytes; byte += 64) prefetch_line<PrefetchInto::l1>(next + byte);
        prefetch_line<PrefetchInto::l1>(next + block_bytes - 1);
      }
      alignas(64) uint8_t codes[256];
      alignas(32) float fields[2][8];  // scale(p), offset(p)
      formats::f32x8 scale, offset;
      block.codes(codes);
      block.scales(scale, offset);
      std::memcpy(fields[0], &scale, sizeof scale);
      std::memcpy(fields[1], &offset, sizeof offset);
      // Read back from memory: a widening load or a broadcast from memory takes no shuffle,
      // where the compiler's forwarding through registers would add one to each.
      asm("" : "+m"(codes), "+m"(fields));
      f32x16& a = acc[r][i % 2];
      for (int j = 0; j < 256; j += 16) {
        const f32x16 w = CodeFloats<Isa>::load(codes + j) * fields[0][j / 32] + fields[1][j / 32];
        a = a + load_lanes<f32x16>(xs + j) * w;
      }
    }
  }
  for (int r = 0; r < rows; ++r) std::memcpy(sums + 32 * r, acc[r], sizeof acc[r]);
}

template <class T>
void qlinear_xpu_kernel_q5_k(const T* input, const uint8_t* weight, T* out, uint64_t K, uint64_t N,
                             const c10::Device& device) {
  constexpr int kWorkItems = 32, kRows = 2;
  const int64_t super_blocks = static_cast<int64_t>(K / 256);
  const int64_t rows = static_cast<int64_t>(N);
  const formats::Packed<formats::Q5K> packed(weight, 0);
  // The activation row as fp32, read inside device work.
  const auto widened_row = [&](const hostxpu::work_group& g) -> const float* {
    if constexpr (std::is_same_v<T, float>) {
      return input;
    } else {
      return per_launch<std::vector<float>>(g.launch_serial, [&] { return std::vector<float>(input, input + K); })
          .data();
    }
  };
  const hostxpu::kernel_desc desc{"qlinear_xpu_kernel_q5_k",
                                  hostxpu::nd_range((N + kRows - 1) / kRows * kWorkItems, kWorkItems), 8,
                                  kRows * kWorkItems * sizeof(float)};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          const int64_t row0 = kRows * static_cast<int64_t>(g.linear_id);
          const int valid = static_cast<int>(std::min<int64_t>(kRows, rows - row0));
          float* local = g.local_as<float>();
          const float* x = widened_row(g);
          with_lane_isa([&](auto isa) {
            q5_k_row_pair<decltype(isa)>(packed, x, super_blocks, rows, row0, valid, local);
          });
          for (int r = 0; r < valid; ++r) out[row0 + r] = T(tree_sum_32(local + r * kWorkItems));
        });
      },
      device, "qlinear_xpu_kernel_q5_k");
}

}  // namespace vorn::kernels
