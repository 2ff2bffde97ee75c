#pragma once
// Binary16 bit patterns of the small floating-point codes. Each decodes through
// half_to_float, so every such weight is an exact fp16 value before any scale.

#include <cstdint>

#include "common/half_bits.h"

namespace vorn::formats {

// w shifted left by kBy bits, or right by -kBy.
template <int kBy, class U>
inline U shifted_by(U w) {
  if constexpr (kBy >= 0) {
    return w << kBy;
  } else {
    return w >> -kBy;
  }
}

// fp8_e4m3 weights (code 15): sign, 4-bit exponent and 3-bit mantissa placed into a binary16
// pattern with the bit below the mantissa set: 2^-8 times the usual e4m3 reading, taken at the
// middle of the code's interval. Exponent 0 is a binary16 subnormal; no code is inf or NaN.
// The _pattern forms take codes held in wider unsigned lanes (uint32_t, or a vector of them);
// the _pattern_at forms a code in bits kAt .. kAt + 7 of 16-bit lanes whose other bits may be
// anything, each field masked after its shift (the byte of a word needs no masking or shift
// of its own first: for the high byte of an 8-bit pair, three operations instead of six).
template <int kAt, class U>
inline U fp8_e4m3_half_pattern_at(U w) {
  return (shifted_by<8 - kAt>(w) & 0x8000) | (shifted_by<7 - kAt>(w) & 0x3f80) | 0x40;
}
template <class U>
inline U fp8_e4m3_half_pattern(U c) {
  return fp8_e4m3_half_pattern_at<0>(c);
}
inline uint16_t fp8_e4m3_half_bits(uint8_t c) { return uint16_t(fp8_e4m3_half_pattern(uint32_t(c))); }

// fp8_e5m2 weights (code 19): the e5m2 byte as the top of a binary16 with the bit below its
// mantissa set. An all-ones exponent therefore decodes to NaN, never to infinity.
template <int kAt, class U>
inline U fp8_e5m2_half_pattern_at(U w) {
  return (shifted_by<8 - kAt>(w) & 0xff00) | 0x80;
}
template <class U>
inline U fp8_e5m2_half_pattern(U c) {
  return fp8_e5m2_half_pattern_at<0>(c);
}
inline uint16_t fp8_e5m2_half_bits(uint8_t c) { return uint16_t(fp8_e5m2_half_pattern(uint32_t(c))); }

// fp6 and fp6_k weights: 6-bit code s e2 e1 e0 m1 m0 (bit 5 down to bit 0).
template <class U>
inline U fp6_half_pattern(U code) {
  return ((code & 0x20) << 10) | ((code & 0x1f) << 8) | 0x80;
}
inline uint16_t fp6_half_bits(int code) { return uint16_t(fp6_half_pattern(uint32_t(code) & 0x3f)); }

// Mixture-of-experts code 35: the plain e5m2 reading, byte c as binary16 c << 8 (the values
// of torch.float8_e5m2, infinities and NaNs included).
inline uint16_t moe_e5m2_half_bits(uint8_t c) { return uint16_t(c << 8); }

// Mixture-of-experts code 36: e4m3 with bias 7, (-1)^s 2^(E-7) (1 + m/8) for E >= 1 and
// (-1)^s 2^-6 m/8 for E = 0. It agrees with torch.float8_e4m3fn except that 0x7f and 0xff
// are +-480 rather than NaN: this format has no NaN.
// Its value as fp32, by selects rather than branches, so that bulk decodes vectorise: E >= 1 is
// a normal fp32 with the exponent rebased, E = 0 is m * 2^-9.
inline float moe_e4m3_value(uint8_t c) {
  const uint32_t sign = uint32_t(c >> 7) << 31, exponent = (c >> 3) & 15, mantissa = c & 7;
  const uint32_t normal = ((exponent + 120) << 23) | (mantissa << 20);
  const uint32_t small = float_bits(float(mantissa) * 0x1p-9f);
  return bits_float(sign | (exponent != 0 ? normal : small));
}
// Its binary16 bits: every value is zero or a normal binary16.
inline uint16_t moe_e4m3_half_bits(uint8_t c) { return exact_half_bits(moe_e4m3_value(c)); }

}  // namespace vorn::formats
