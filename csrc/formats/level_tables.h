#pragma once
// The levels each codebook or small-float format can express, as nearest-level searches and
// decoded-scale searches for the quantizers. Magnitude tables list the non-negative half of a
// sign-magnitude format by magnitude code; finite codes only.

#include "formats/nearest_level.h"
#include "formats/quantize_math.h"

namespace vorn::formats {

const NearestLevel& nf4_levels();
const NearestLevel& nf3_levels();
const NearestLevel& fp4_magnitudes();
const NearestLevel& fp6_magnitudes();
const NearestLevel& fp8_e4m3_magnitudes();  // code 15, the mid-interval reading
const NearestLevel& fp8_e5m2_magnitudes();  // code 19, the mid-interval reading
const NearestLevel& moe_e5m2_magnitudes();  // code 35
const NearestLevel& moe_e4m3_magnitudes();  // code 36

// Largest fp6 magnitude, 1.875 * 2^-8.
float fp6_top();

// Scale searches over the values of the fp16-scaled formats (see DecodedHalfScale).
const DecodedHalfScale& nf4_decoded_scale();
const DecodedHalfScale& nf3_decoded_scale();
const DecodedHalfScale& fp4_decoded_scale();
const DecodedHalfScale& fp6_decoded_scale();

}  // namespace vorn::formats
