#pragma once
// The formats whose values are binary16 values with one scale per group (fp6, fp6_k, fp8_e4m3),
// expanded in fp16 arithmetic: that is one binary16 multiplication per weight, of its value by
// its group's scale (half_rounding.h). A translation unit of its own, so that its code does not
// count against the inlining budget of expand_blocks.cpp's decoders.

#include <cstdint>

#include "formats/format_base.h"

namespace vorn::kernels {

// Writes blocks first .. first + count - 1 to out[0 .. count * F::kBlock - 1], as binary16 bits
// (Out = uint16_t) or their fp32 values (Out = float).
template <class F, class Out>
void expand_scaled_half_values(const formats::Packed<F>& packed, int64_t first, int64_t count, Out* out);

}  // namespace vorn::kernels
