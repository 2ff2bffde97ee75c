#pragma once
// Sixteen lanes of a work-group as one vector of the compiler's vector extension, so that a
// work-group function states its lane loops once and every instruction-set clone of it maps
// them onto its own registers (one AVX-512 register, two AVX2 or four SSE2 ones).
//
// The same arithmetic templates serve single lanes (float, int32_t) and lane vectors.

#include <cstdint>
#include <cstring>

#include "formats/bytes.h"

namespace vorn::kernels {

using formats::f32x16;
using formats::f32x8;
using formats::i32x16;
using formats::u16x16;
using formats::u16x32;
using formats::u32x16;

// The int32 and uint32 lanes of a float type: int32_t and uint32_t for float, i32x16 and
// u32x16 for f32x16.
template <class V>
struct IntLanes;
template <>
struct IntLanes<float> {
  using type = int32_t;
  using unsigned_type = uint32_t;
};
template <>
struct IntLanes<f32x16> {
  using type = i32x16;
  using unsigned_type = u32x16;
};

template <class To, class From>
[[gnu::always_inline]] inline To bit_as(const From& from) {
  static_assert(sizeof(To) == sizeof(From), "a reinterpretation keeps the size");
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

template <class V>
[[gnu::always_inline]] inline V load_lanes(const void* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace vorn::kernels
