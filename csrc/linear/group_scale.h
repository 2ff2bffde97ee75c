#pragma once
// The scale of one group of a block, as the dequantize kernels form it.

#include <type_traits>

#include "formats/formats.h"
#include "linear/lane_arith.h"

namespace vorn::kernels {

// fp6_k rounds d * sc to binary16, by `Round`: the branch-free rounding, so that a block's scales
// vectorise (the same bits as the format's own rounding, since d is a binary16 value: a NaN
// product has no payload below binary16's), or none where binary16 arithmetic rounds the scale
// anyway. The other formats hold their scales as they are.
inline float round_scale_to_half(float v) { return round_to_half(v); }
inline float unrounded_scale(float v) { return v; }

template <class F, float (*Round)(float) = round_scale_to_half>
[[gnu::always_inline]] inline float group_scale(const typename F::Block& block, int g) {
  if constexpr (std::is_same_v<F, formats::Fp6K>) {
    return F::group_scale(block.d, float(block.sc[g]), Round);
  } else {
    return block.scale(g);
  }
}

}  // namespace vorn::kernels
