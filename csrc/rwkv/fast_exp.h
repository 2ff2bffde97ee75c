#pragma once
// A reduced-precision single-precision exponential, in the manner of a GPU's native exp:
// branch-free so that a loop over work-items vectorises.

#include <cstdint>
#include <cstring>

namespace rwkv {

// exp(x) = 2^n · 2^f with n = round(x·log2 e) and |f| <= 1/2; 2^f comes from a degree-5
// polynomial (relative error below 2e-7), 2^n from the exponent bits. The result is exact at
// x = 0, flushes to zero below the normal range (x < -87.3, as the device flushes denormals) and
// is +inf above it; NaN stays NaN.
inline float fast_exp(float x) {
  constexpr float kLog2e = 1.44269504088896341f;
  constexpr float kRoundMagic = 12582912.0f;  // 1.5 · 2^23: adding it rounds to an integer
  const float y = x * kLog2e;
  const float clamped = y < -126.0f ? -126.0f : (y > 127.0f ? 127.0f : y);
  const float shifted = clamped + kRoundMagic;
  const float n = shifted - kRoundMagic;
  const float f = clamped - n;
  float p = 1.32200087e-3f;
  p = p * f + 9.67170112e-3f;
  p = p * f + 5.55088855e-2f;
  p = p * f + 2.40222380e-1f;
  p = p * f + 6.93146884e-1f;
  p = p * f + 1.0f;
  uint32_t n_bits;  // the low mantissa bits of `shifted` hold n + 2^22
  std::memcpy(&n_bits, &shifted, sizeof n_bits);
  const uint32_t scale_bits = (n_bits - 0x4b400000u + 127u) << 23;
  float scale;
  std::memcpy(&scale, &scale_bits, sizeof scale);
  const float result = p * scale;
  if (y < -126.0f) return 0.0f;
  if (y > 128.0f) return __builtin_huge_valf();
  return result;
}

}  // namespace rwkv
