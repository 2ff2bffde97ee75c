#pragma once
// Numeric building blocks of the quantizers.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/half_bits.h"

namespace vorn::formats {

// Rounds to the nearest integer; values beyond +-2^30 (weights past a saturated scale) clamp there.
inline int round_int(float v) {
  return int(std::lrintf(std::fmin(std::fmax(v, -1073741824.0f), 1073741824.0f)));
}

inline int clamp_int(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

inline float inverse_or_zero(float d) { return d != 0.0f ? 1.0f / d : 0.0f; }

// fp16 bits of a scale, saturating at the largest finite fp16 instead of becoming infinite.
inline uint16_t scale_to_half(float d) {
  const uint16_t h = float_to_half(d);
  return (h & 0x7fffu) == 0x7c00u ? uint16_t((h & 0x8000u) | 0x7bffu) : h;
}

inline float max_abs(const float* x, int n) {
  float m = 0.0f;
  for (int i = 0; i < n; ++i) m = std::fmax(m, std::fabs(x[i]));
  return m;
}

// The element of largest magnitude, with its sign (the first one on ties).
inline float max_abs_signed(const float* x, int n) {
  float best = 0.0f;
  for (int i = 0; i < n; ++i)
    if (std::fabs(x[i]) > std::fabs(best)) best = x[i];
  return best;
}

// True when every x[i] equals fl(snap(x[i] / scale) * scale), snap giving the format's value
// nearest to its argument: the block holds exactly the weights that `scale` decodes to.
template <class Snap>
bool reproduces(const float* x, int n, float scale, Snap snap) {
  for (int i = 0; i < n; ++i)
    if (float(snap(x[i] / scale)) * scale != x[i]) return false;
  return true;
}

// Decoded blocks are found again by their scale. A block decoded as v * d has its largest
// element m = v * d for one of the format's values v, so d is among the m / v: the first of
// them (largest |v| first, d > 0 before d < 0) that is an fp16 and reproduces the whole block
// re-encodes it exactly. Most weights fail the fp16 test at once, so the search is cheap.
class DecodedHalfScale {
 public:
  DecodedHalfScale(const float* values, int count) {
    for (int i = 0; i < count; ++i) {
      if (values[i] == 0.0f) continue;
      const float a = std::fabs(values[i]);
      auto it = std::find_if(magnitudes_.begin(), magnitudes_.end(),
                             [a](const Magnitude& m) { return m.value == a; });
      if (it == magnitudes_.end())
        it = magnitudes_.insert(magnitudes_.end(), Magnitude{a, false, false});
      (values[i] > 0 ? it->positive : it->negative) = true;
    }
    std::sort(magnitudes_.begin(), magnitudes_.end(),
              [](const Magnitude& l, const Magnitude& r) { return l.value > r.value; });
  }

  // The scale, or 0 when the block is no such decode.
  template <class Snap>
  float find(const float* x, int n, float m, Snap snap) const {
    if (m == 0.0f) return 0.0f;
    for (const Magnitude& a : magnitudes_)
      for (const float sign : {1.0f, -1.0f}) {
        const float v = std::copysign(a.value, m) * sign;
        if (!(v > 0 ? a.positive : a.negative)) continue;
        const float d = m / v;
        // An fp16 has at most 11 significant bits: most quotients fail this before the full test.
        if ((float_bits(d) & 0x1fffu) == 0 && half_to_float(float_to_half(d)) == d &&
            reproduces(x, n, d, snap))
          return d;
      }
    return 0.0f;
  }

 private:
  struct Magnitude {
    float value;
    bool positive, negative;
  };
  std::vector<Magnitude> magnitudes_;  // distinct non-zero |v|, descending
};

// An fp32 scale d = amax / top, or the neighbour of it that reproduces a decoded block: the
// block's largest weight is fl(top * d), and dividing it back can miss d by an ulp or two.
template <class Snap>
float fp32_scale(const float* x, int n, float amax, float top, Snap snap) {
  const float d = amax / top;
  if (top * d == amax && reproduces(x, n, d, snap)) return d;
  float below = d, above = d;
  for (int step = 0; step < 2; ++step) {
    below = std::nextafter(below, 0.0f);
    above = std::nextafter(above, INFINITY);
    for (const float candidate : {below, above})
      if (top * candidate == amax && reproduces(x, n, candidate, snap)) return candidate;
  }
  return d;
}

}  // namespace vorn::formats
