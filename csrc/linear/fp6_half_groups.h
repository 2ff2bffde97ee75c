#pragma once
// fp6 and fp6_k weights in binary16 arithmetic straight from their code planes, 32 weights per
// vector: byte shifts pick each weight's bits from the plane words, a byte permute maps its code
// to the high byte of its binary16 value, and one binary16 multiplication applies the scales.
// Where the value-by-value decode took most of the expand time (20 instructions per 16 weights),
// this takes about 10 per 32. It needs AVX512-FP16 and VBMI; other machines decode first
// (half_scaled_values.h).

#include <cstdint>

namespace vorn::kernels {

// out[16q + jj] = the value of weight jj of plane group q times scales[q], exactly as
// scale_half_groups forms it from the group's binary16 values (half_rounding.h), for q = 0 ..
// groups - 1 (an even count). Group q's codes lie in the 8-byte word at p4 + 8q of the 4-bit
// plane and the 4-byte word at p2 + 4q of the 2-bit plane (formats::Fp6Planes). Returns false,
// having written nothing, on a machine without the extensions.
bool scale_fp6_groups(const uint8_t* p4, const uint8_t* p2, const float* scales, int64_t groups, uint16_t* out);
bool scale_fp6_groups(const uint8_t* p4, const uint8_t* p2, const float* scales, int64_t groups, float* out);

}  // namespace vorn::kernels
