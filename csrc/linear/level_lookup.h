#pragma once
// Table lookups of 4-bit codes in a 16-entry fp32 table (a format's levels), with the machine's
// permute instructions where it has them (AVX2, AVX-512): compilers turn the plain loop into
// lane-by-lane loads.

#include <cstdint>

namespace vorn::kernels {

// out[i] = table[codes[i]] for codes below 16.
void lookup_levels(const float* table, const uint8_t* codes, float* out, int64_t n);

}  // namespace vorn::kernels
