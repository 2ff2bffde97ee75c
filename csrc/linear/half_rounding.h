#pragma once
// Rounding runs of fp32 values to binary16, ties to even, and widening runs of binary16 bits, with
// the conversion instructions of the machine where it has them (F16C, AVX-512) and branch-free
// lanes elsewhere. A rounded NaN becomes the NaN c10::Half stores (0x7e00 with the sign), so
// every machine writes the same bits.

#include <cstdint>

namespace vorn::kernels {

// out[i] = the binary16 bits of in[i] rounded.
void round_to_half_bits(const float* in, uint16_t* out, int64_t n);

// values[i] = values[i] rounded to binary16, as fp32 (c10::Half's value widened).
void round_to_half_values(float* values, int64_t n);

// out[i] = values[i] times scales[i / group] in binary16 arithmetic: the scale (fp32) rounded to
// binary16, then the binary16 multiplication (the fp32 product of two binary16 values is exact,
// so one rounding gives it), a NaN as round_to_half_bits leaves it; as binary16 bits, or their
// value as fp32. group and n are multiples of 16.
void scale_half_groups(const uint16_t* values, const float* scales, int group, int64_t n, uint16_t* out);
void scale_half_groups(const uint16_t* values, const float* scales, int group, int64_t n, float* out);

// out[i] = the value of the binary16 bits in[i], as fp32. Where the machine converts, a NaN
// keeps its payload with the quiet bit set, so callers that keep NaNs round them afterwards.
void half_bits_to_floats(const uint16_t* in, float* out, int64_t n);

}  // namespace vorn::kernels
