// Quantizers of the codebook and small-float formats: each weight takes the nearest level
// (ties to the even code), and the block scale maps the block's largest magnitude onto the
// format's largest level: d = max|x| for nf4/nf3, max|x| / 6 for fp4, max|x| / (1.875 * 2^-8)
// for fp6, max|x| / 1.9375 for fp8_e4m3 (so d also carries the format's 2^8). fp8_e5m2 and
// codes 35/36 have no block scale: values round to the nearest code, saturating at the largest
// finite one; fp8_e5m2 stores 1.0 as the block fp32 that only the fused MLP reads.
// A block that is exactly a decoded nf4/nf3/fp4/fp6 block keeps its weights (DecodedHalfScale),
// and its bytes when d > 0 and it holds a code of the largest magnitude (nf4: 0 or 15; nf3: 0
// or 7; fp4 and fp6: the largest magnitude code). fp8_e4m3 blocks keep their bytes when d > 0
// and they hold 0x7f or 0xff; every non-NaN code of fp8_e5m2 and every finite code of 35/36
// is kept.

#include "formats/level_tables.h"
#include "formats/quantize_blocks.h"
#include "formats/quantize_math.h"

namespace vorn::formats {
namespace {

// fp16 d: the decoded block's own scale if x is one, else max|x| / top; codes code_of(x / d).
template <class F, class Snap, class CodeOf>
void encode_half_scaled(const typename F::Layout& at, uint8_t* out, int64_t blk, const float* x,
                        float top, const DecodedHalfScale& decoded, Snap snap, CodeOf code_of) {
  typename F::Fields f;
  const float m = max_abs_signed(x, 64);
  float d = decoded.find(x, 64, m, snap);
  if (d == 0.0f) d = std::fabs(m) / top;
  f.d = scale_to_half(d);
  const float inverse = inverse_or_zero(half_to_float(f.d));
  for (int j = 0; j < 64; ++j) f.q[j] = uint8_t(code_of(x[j] * inverse));
  F::store(out, at, blk, f);
}

template <class F>
void encode_unscaled(const typename F::Layout& at, uint8_t* out, int64_t blk, const float* x,
                     const NearestLevel& magnitudes, typename F::Fields& f) {
  for (int j = 0; j < 64; ++j) f.q[j] = uint8_t(sign_magnitude_code(magnitudes, x[j], 7));
  F::store(out, at, blk, f);
}

}  // namespace

template <>
void encode_block<Nf4>(const Nf4::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  const NearestLevel& levels = nf4_levels();
  encode_half_scaled<Nf4>(
      at, out, blk, x, 1.0f, nf4_decoded_scale(), [&](float y) { return levels.value(y); },
      [&](float y) { return levels.index(y); });
}

template <>
void encode_block<Nf3>(const Nf3::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  const NearestLevel& levels = nf3_levels();
  encode_half_scaled<Nf3>(
      at, out, blk, x, 1.0f, nf3_decoded_scale(), [&](float y) { return levels.value(y); },
      [&](float y) { return levels.index(y); });
}

template <>
void encode_block<Fp4>(const Fp4::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  const NearestLevel& magnitudes = fp4_magnitudes();
  encode_half_scaled<Fp4>(
      at, out, blk, x, kFp4Magnitude[7], fp4_decoded_scale(),
      [&](float y) { return sign_magnitude_value(magnitudes, y); },
      [&](float y) { return sign_magnitude_code(magnitudes, y, 3); });
}

template <>
void encode_block<Fp6>(const Fp6::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  const NearestLevel& magnitudes = fp6_magnitudes();
  encode_half_scaled<Fp6>(
      at, out, blk, x, fp6_top(), fp6_decoded_scale(),
      [&](float y) { return sign_magnitude_value(magnitudes, y); },
      [&](float y) { return sign_magnitude_code(magnitudes, y, 5); });
}

template <>
void encode_block<Fp8E4m3>(const Fp8E4m3::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  const NearestLevel& magnitudes = fp8_e4m3_magnitudes();
  Fp8E4m3::Fields f;
  f.d = fp32_scale(x, 64, max_abs(x, 64), half_to_float(fp8_e4m3_half_bits(0x7f)),
                   [&](float y) { return sign_magnitude_value(magnitudes, y); });
  const float inverse = inverse_or_zero(f.d);
  for (int j = 0; j < 64; ++j) f.q[j] = uint8_t(sign_magnitude_code(magnitudes, x[j] * inverse, 7));
  Fp8E4m3::store(out, at, blk, f);
}

template <>
void encode_block<Fp8E5m2>(const Fp8E5m2::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Fp8E5m2::Fields f;
  f.d = 1.0f;
  encode_unscaled<Fp8E5m2>(at, out, blk, x, fp8_e5m2_magnitudes(), f);
}

template <>
void encode_block<MoeFp8E5m2>(const MoeFp8E5m2::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  MoeFp8E5m2::Fields f;
  encode_unscaled<MoeFp8E5m2>(at, out, blk, x, moe_e5m2_magnitudes(), f);
}

template <>
void encode_block<MoeFp8E4m3>(const MoeFp8E4m3::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  MoeFp8E4m3::Fields f;
  encode_unscaled<MoeFp8E4m3>(at, out, blk, x, moe_e4m3_magnitudes(), f);
}

}  // namespace vorn::formats
