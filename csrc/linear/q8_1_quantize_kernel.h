#pragma once
// quantize_xpu_kernel_q8_1: an activation stream into block_q8_1 blocks. One work-item per
// activation in work-groups of 256; each sub-group of 32 owns one block.

#include <c10/core/Device.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/submit_kernel.h"
#include "linear/block_q8_1.h"

namespace vorn::kernels {

// The fp32 value nearest 1/127, used as a multiplier: d = amax / 127 without a division.
inline constexpr float kInverse127 = 0.007874016f;

// x / d to 8 bits: nearest integer, halves away from zero. |x / d| <= 127 whenever d is a normal
// number; a subnormal d (amax below about 2^-119) or a non-finite input can leave that range, so
// the conversion saturates to the int8 range and NaN becomes 0, as a device's saturating
// conversion does, instead of being undefined.
inline int8_t q8_1_code(float ratio) {
  const float r = std::round(ratio);
  if (!(r == r)) return 0;
  return int8_t(std::min(127.0f, std::max(-128.0f, r)));
}

// The larger of two magnitudes; a NaN wins, so that a NaN activation makes its block's scale NaN
// rather than quantizing silently to a finite value.
inline float max_or_nan(float a, float b) { return (b > a || b != b) ? b : a; }

// One sub-group's work: 32 activations into block y. The sub-group sum and maximum are trees
// over halving strides 16, 8, 4, 2, 1 (the order of this library's sub-group reductions); q is
// formed with the fp32 d, which is then stored as fp16 together with the fp32 sum.
inline void quantize_block_q8_1(const float* x, block_q8_1& y) {
  float sum[kQ8_1Block], amax[kQ8_1Block];
  for (int j = 0; j < kQ8_1Block; ++j) {
    sum[j] = x[j];
    amax[j] = std::fabs(x[j]);
  }
  for (int stride = kQ8_1Block / 2; stride > 0; stride /= 2) {
    for (int j = 0; j < stride; ++j) {
      sum[j] += sum[j + stride];
      amax[j] = max_or_nan(amax[j], amax[j + stride]);
    }
  }
  const float d = amax[0] * kInverse127;
  for (int j = 0; j < kQ8_1Block; ++j) y.qs[j] = amax[0] == 0.0f ? int8_t(0) : q8_1_code(x[j] / d);
  y.d = float_to_half(d);
  y.s = float_to_half(sum[0]);
}

// Quantizes the rows * K activations of `input` (one contiguous stream) into the
// (rows * K / 32) blocks at `out`. Work-items past the last whole block do nothing, so a
// stream that is not a whole number of blocks never writes past the buffer; callers keep K a
// multiple of 32 so that no activation is left out.
template <class T>
void quantize_xpu_kernel_q8_1(const T* input, uint8_t* out, uint64_t rows, uint64_t K, const c10::Device& device) {
  constexpr size_t kWorkGroup = 256;
  constexpr size_t kSubGroups = kWorkGroup / kQ8_1Block;
  const uint64_t count = rows * K;
  const uint64_t blocks = count / kQ8_1Block;
  auto* y = reinterpret_cast<block_q8_1*>(out);
  const hostxpu::kernel_desc desc{"quantize_xpu_kernel_q8_1",
                                  hostxpu::nd_range((count + kWorkGroup - 1) / kWorkGroup * kWorkGroup, kWorkGroup),
                                  kQ8_1Block, 0};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          for (size_t s = 0; s < kSubGroups; ++s) {
            const uint64_t b = g.linear_id * kSubGroups + s;
            if (b >= blocks) return;
            float x[kQ8_1Block];
            for (int j = 0; j < kQ8_1Block; ++j) x[j] = static_cast<float>(input[b * kQ8_1Block + j]);
            quantize_block_q8_1(x, y[b]);
          }
        });
      },
      device, "quantize_xpu_kernel_q8_1");
}

}  // namespace vorn::kernels
