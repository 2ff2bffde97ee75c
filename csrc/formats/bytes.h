#pragma once
// Little-endian loads and stores of the packed formats' multi-byte fields.

#include <cstdint>

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

}  // namespace vorn::formats
