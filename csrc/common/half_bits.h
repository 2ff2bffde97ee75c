#pragma once
// Bit-level binary16 (fp16) and bfloat16 conversions, free of any tensor library, so that the
// format decoders, the quantizers and the kernels share one exact definition.
//
// Decoding is exact (subnormals, signed zeros, infinities and NaN payloads are kept); encoding
// rounds to nearest, ties to even, and overflows to infinity as IEEE 754 prescribes.

#include <cstdint>
#include <cstring>

namespace vorn {

inline uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline float bits_float(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Always inlined, also into the SIMD kernels compiled for other targets, where an out-of-line
// call would cost a vector-state transition per block.
[[gnu::always_inline]] inline float half_to_float(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000u) << 16;
  const uint32_t exponent = (h >> 10) & 0x1fu;
  const uint32_t mantissa = h & 0x3ffu;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24, exact in binary32.
    const float magnitude = float(mantissa) * 5.9604644775390625e-08f;
    return bits_float(float_bits(magnitude) | sign);
  }
  if (exponent == 31) return bits_float(sign | 0x7f800000u | (mantissa << 13));
  return bits_float(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

inline uint16_t float_to_half(float f) {
  const uint32_t x = float_bits(f);
  const uint16_t sign = uint16_t((x >> 16) & 0x8000u);
  const uint32_t magnitude = x & 0x7fffffffu;
  if (magnitude >= 0x7f800000u) {
    if (magnitude == 0x7f800000u) return sign | 0x7c00u;
    return uint16_t(sign | 0x7e00u | ((magnitude >> 13) & 0x3ffu));  // quiet NaN, payload kept
  }
  const uint32_t exponent = magnitude >> 23;
  if (exponent >= 143) return sign | 0x7c00u;  // 2^16 and above
  uint32_t significand;
  int shift;
  uint32_t h;
  if (exponent >= 113) {
    // Normal binary16 range: drop 13 mantissa bits. A carry out of the mantissa moves into the
    // exponent, and out of the largest finite value into infinity, as rounding requires.
    significand = magnitude;
    shift = 13;
    h = ((exponent - 112) << 10) | ((magnitude & 0x7fffffu) >> 13);
  } else {
    // Subnormal binary16 (units of 2^-24), or zero.
    shift = int(126 - exponent);
    if (shift > 24) return sign;
    significand = (magnitude & 0x7fffffu) | 0x800000u;
    h = significand >> shift;
  }
  const uint32_t rest = significand & ((1u << shift) - 1);
  const uint32_t half_way = 1u << (shift - 1);
  if (rest > half_way || (rest == half_way && (h & 1))) ++h;
  return uint16_t(sign | h);
}

inline float bf16_to_float(uint16_t b) { return bits_float(uint32_t(b) << 16); }

inline uint16_t float_to_bf16(float f) {
  const uint32_t x = float_bits(f);
  if ((x & 0x7fffffffu) > 0x7f800000u) return uint16_t((x >> 16) | 0x40u);  // quiet NaN
  return uint16_t((x + 0x7fffu + ((x >> 16) & 1u)) >> 16);
}

// The binary16 bits of a float that holds a binary16 value (an infinity, a NaN, or a result of
// rounding to binary16): bit moves with selects, no rounding, so that store loops vectorise. A
// NaN becomes the quiet NaN 0x7e00 with its sign, as c10::Half stores one.
inline uint16_t exact_half_bits(float f) {
  const int32_t x = static_cast<int32_t>(float_bits(f));
  const int32_t sign = (x >> 16) & 0x8000, magnitude = x & INT32_MAX;
  const int32_t normal = (magnitude >> 13) - (112 << 10);
  const int32_t subnormal = static_cast<int32_t>(bits_float(static_cast<uint32_t>(magnitude)) * 16777216.0f);
  int32_t h = magnitude < 0x38800000 ? subnormal : normal;  // below 2^-14: units of 2^-24
  h = magnitude >= 0x7f800000 ? 0x7c00 : h;
  h = magnitude > 0x7f800000 ? 0x7e00 : h;
  return static_cast<uint16_t>(sign | h);
}

// The bfloat16 bits of a float that holds a bfloat16 value; a NaN becomes 0x7fc0, as
// c10::BFloat16 stores one.
inline uint16_t exact_bf16_bits(float f) {
  const int32_t x = static_cast<int32_t>(float_bits(f));
  return static_cast<uint16_t>((x & INT32_MAX) > 0x7f800000 ? 0x7fc0 : (x >> 16) & 0xffff);
}

}  // namespace vorn
