#include "formats/level_tables.h"

#include <cstdint>
#include <vector>

#include "common/half_bits.h"
#include "formats/codebooks.h"
#include "formats/float_codes.h"
#include "formats/planar_4bit.h"
#include "formats/planar_fp6.h"

namespace vorn::formats {
namespace {

// Levels of the magnitude codes 0 .. count-1 of a binary16-pattern format.
template <class HalfBits>
NearestLevel half_pattern_levels(int count, HalfBits half_bits) {
  std::vector<float> levels(count);
  for (int c = 0; c < count; ++c) levels[c] = half_to_float(half_bits(c));
  return NearestLevel(levels.data(), count);
}

// The values of every code of a format.
template <class Value>
DecodedHalfScale code_values(int codes, Value value) {
  std::vector<float> values(codes);
  for (int c = 0; c < codes; ++c) values[c] = value(c);
  return DecodedHalfScale(values.data(), codes);
}

}  // namespace

const NearestLevel& nf4_levels() {
  static const NearestLevel levels(dequantNF4, 16);
  return levels;
}

const NearestLevel& nf3_levels() {
  static const NearestLevel levels(dequantNF3, 8);
  return levels;
}

const NearestLevel& fp4_magnitudes() {
  static const NearestLevel levels(kFp4Magnitude, 8);
  return levels;
}

const NearestLevel& fp6_magnitudes() {
  static const NearestLevel levels = half_pattern_levels(32, fp6_half_bits);
  return levels;
}

float fp6_top() { return fp6_value(31); }

const NearestLevel& fp8_e4m3_magnitudes() {
  static const NearestLevel levels =
      half_pattern_levels(128, [](int c) { return fp8_e4m3_half_bits(uint8_t(c)); });
  return levels;
}

// Codes 0x7c..0x7f have an all-ones exponent: NaN (code 19) or inf/NaN (code 35).
const NearestLevel& fp8_e5m2_magnitudes() {
  static const NearestLevel levels =
      half_pattern_levels(124, [](int c) { return fp8_e5m2_half_bits(uint8_t(c)); });
  return levels;
}

const NearestLevel& moe_e5m2_magnitudes() {
  static const NearestLevel levels =
      half_pattern_levels(124, [](int c) { return moe_e5m2_half_bits(uint8_t(c)); });
  return levels;
}

const NearestLevel& moe_e4m3_magnitudes() {
  static const NearestLevel levels =
      half_pattern_levels(128, [](int c) { return moe_e4m3_half_bits(uint8_t(c)); });
  return levels;
}

const DecodedHalfScale& nf4_decoded_scale() {
  static const DecodedHalfScale decoded(dequantNF4, 16);
  return decoded;
}

const DecodedHalfScale& nf3_decoded_scale() {
  static const DecodedHalfScale decoded(dequantNF3, 8);
  return decoded;
}

const DecodedHalfScale& fp4_decoded_scale() {
  static const DecodedHalfScale decoded = code_values(16, Fp4Level::value);
  return decoded;
}

const DecodedHalfScale& fp6_decoded_scale() {
  static const DecodedHalfScale decoded = code_values(64, fp6_value);
  return decoded;
}

}  // namespace vorn::formats
