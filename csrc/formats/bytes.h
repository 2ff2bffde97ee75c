#pragma once
// Little-endian loads and stores of the packed formats' multi-byte fields.

#include <cstdint>
#include <cstring>

#include "common/half_bits.h"

namespace vorn::formats {

[[gnu::always_inline]] inline uint16_t load_u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t load_u32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t load_u64(const uint8_t* p) { return load_u32(p) | (uint64_t(load_u32(p + 4)) << 32); }
[[gnu::always_inline]] inline float load_half(const uint8_t* p) { return half_to_float(load_u16(p)); }
inline float load_f32(const uint8_t* p) { return bits_float(load_u32(p)); }

inline void store_u16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void store_u32(uint8_t* p, uint32_t v) {
  store_u16(p, uint16_t(v));
  store_u16(p + 2, uint16_t(v >> 16));
}
inline void store_u64(uint8_t* p, uint64_t v) {
  store_u32(p, uint32_t(v));
  store_u32(p + 4, uint32_t(v >> 32));
}
inline void store_f32(uint8_t* p, float f) { store_u32(p, float_bits(f)); }

// Byte runs and lanes as values of the compiler's vector extension, so that a decoder can state
// a byte rule once for a scalar and for a whole run (each build maps them onto its registers).
typedef uint8_t u8x32 __attribute__((vector_size(32)));
typedef uint32_t u32x8 __attribute__((vector_size(32)));
typedef int32_t i32x8 __attribute__((vector_size(32)));
typedef float f32x8 __attribute__((vector_size(32)));
typedef uint32_t u32x16 __attribute__((vector_size(64)));
typedef int32_t i32x16 __attribute__((vector_size(64)));
typedef float f32x16 __attribute__((vector_size(64)));
typedef uint16_t u16x16 __attribute__((vector_size(32)));
typedef uint16_t u16x32 __attribute__((vector_size(64)));
[[gnu::always_inline]] inline u8x32 load_run(const uint8_t* p) {
  u8x32 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void store_run(uint8_t* p, u8x32 v) { std::memcpy(p, &v, sizeof v); }
// Byte p of `bytes` (little-endian) as lane p.
[[gnu::always_inline]] inline f32x8 byte_lanes(uint64_t bytes) {
  const uint32_t low = uint32_t(bytes), high = uint32_t(bytes >> 32);
  const u32x8 words = {low, low, low, low, high, high, high, high};
  const u32x8 shifts = {0, 8, 16, 24, 0, 8, 16, 24};
  return __builtin_convertvector(i32x8((words >> shifts) & 255), f32x8);
}

}  // namespace vorn::formats
