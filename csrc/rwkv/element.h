#pragma once
// Element types of the RWKV kernels, free of any tensor library.
//
// fp16 elements are IEEE binary16 bit patterns, decoded exactly by the library's half_to_float.
// Encoding rounds to nearest even, overflows to infinity and turns NaN into the quiet NaN 0x7e00;
// unlike float_to_half it is written without branches, so that a loop over a work-group's items
// vectorises (the compiler's own binary16 conversions are one scalar step per element, which
// would dominate the fp16 kernels).

#include <cstdint>

#include "common/half_bits.h"

namespace rwkv {

struct half {
  uint16_t bits;
};
static_assert(sizeof(half) == 2, "binary16 is two bytes");

inline float to_float(float x) { return x; }
inline float to_float(half x) { return vorn::half_to_float(x.bits); }

template <typename scalar_t>
inline scalar_t from_float(float x);

template <>
inline float from_float<float>(float x) {
  return x;
}

template <>
inline half from_float<half>(float x) {
  const uint32_t bits = vorn::float_bits(x);
  const uint32_t magnitude = bits & 0x7fffffffu;
  // From 2^16 up: infinity, or the quiet NaN. (From 65520 up the rounding below carries there.)
  const uint32_t overflow = magnitude > 0x7f800000u ? 0x7e00u : 0x7c00u;
  // Below 2^-14 the result is subnormal: adding 2^-1 aligns the ten mantissa bits at the
  // bottom of the sum, and the addition itself rounds to nearest even.
  constexpr uint32_t kSubnormalMagic = (127 - 15 + 23 - 10 + 1) << 23;
  const uint32_t subnormal =
      vorn::float_bits(vorn::bits_float(magnitude) + vorn::bits_float(kSubnormalMagic)) - kSubnormalMagic;
  // Normal: rebias the exponent and round the thirteen dropped bits to nearest even; a carry
  // runs into the exponent, and from the largest finite value into infinity.
  const uint32_t normal = (magnitude + ((15u - 127u) << 23) + 0xfffu + ((magnitude >> 13) & 1u)) >> 13;
  const uint32_t result = magnitude >= (143u << 23) ? overflow : (magnitude < (113u << 23) ? subnormal : normal);
  return half{static_cast<uint16_t>(result | ((bits >> 16) & 0x8000u))};
}

// Arithmetic in the element type: one rounding per operation, as the device's half arithmetic.
template <typename scalar_t>
inline scalar_t sub(scalar_t a, scalar_t b) {
  return from_float<scalar_t>(to_float(a) - to_float(b));
}
template <typename scalar_t>
inline scalar_t mul(scalar_t a, scalar_t b) {
  return from_float<scalar_t>(to_float(a) * to_float(b));
}
template <typename scalar_t>
inline scalar_t add(scalar_t a, scalar_t b) {
  return from_float<scalar_t>(to_float(a) + to_float(b));
}

// The element name in kernel names, as the launch trace shows them.
template <typename scalar_t>
constexpr const char* element_name();
template <>
constexpr const char* element_name<float>() { return "float"; }
template <>
constexpr const char* element_name<half>() { return "half"; }

}  // namespace rwkv
