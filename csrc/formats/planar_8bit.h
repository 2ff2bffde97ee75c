#pragma once
// The 8-bit planar formats q8_0, fp8_e4m3 and fp8_e5m2: one code byte per weight (weight j of
// block blk at byte 64*blk + j), then an fp32 per block from N*K.

#include <cstdint>
#include <cstring>

#include "common/half_bits.h"
#include "formats/bytes.h"
#include "formats/float_codes.h"
#include "formats/format_base.h"
#include "formats/qtype.h"

namespace vorn::formats {

struct Planar8Layout {
  int64_t scale_region;

  explicit Planar8Layout(int32_t nk) : scale_region(nk) {}
  int64_t codes(int64_t blk) const { return 64 * blk; }
  int64_t scales(int64_t blk) const { return scale_region + 4 * blk; }
};

// Fields of an 8-bit block: 64 code bytes and the fp32 stored after the codes.
struct Bytes64Scale {
  uint8_t q[64];
  float d;
};

template <int kCode, Scaling kScale, class Decode>
struct Planar8 {
  static constexpr int kQtype = kCode;
  static constexpr int kBlock = 64;
  static constexpr int kGroup = 64;
  static constexpr Scaling kScaling = kScale;
  // The codes of all blocks form one stream of bytes from byte 0 (block blk's from byte 64*blk).
  static constexpr int kCodeBits = 8;
  static constexpr int slot(int j) { return j; }
  static auto level(int code) { return Decode::value(uint8_t(code)); }
  using Scales = ScaleRun<FieldType::f32, 1>;  // d
  using Layout = Planar8Layout;
  using Fields = Bytes64Scale;
  using Levels = Decode;

  struct Block {
    const uint8_t* qs;
    float d;  // the block's fp32; fp8_e5m2 weights do not use it (see Fp8E5m2)

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : qs(w + at.codes(blk)), d(load_f32(w + at.scales(blk))) {}
    int code(int j) const { return qs[j]; }
    auto value(int j) const { return Decode::value(qs[j]); }
    float scale(int) const { return kScale == Scaling::none ? 1.0f : d; }
    float weight(int j) const {
      return kScale == Scaling::none ? float(value(j)) : float(value(j)) * d;
    }
    // The binary16 bits of value(j) for all 64 weights (fp8 codes): the bulk decode of the
    // explicit-SIMD kernels, a plain loop that compilers vectorise.
    void half_values(uint16_t* out) const {
      for (int j = 0; j < 64; ++j) out[j] = Decode::half_bits(qs[j]);
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    std::memcpy(w + at.codes(blk), f.q, 64);
    store_f32(w + at.scales(blk), f.d);
  }
};

struct SignedByte {
  static constexpr bool kTwosComplement = true;  // a code's top bit is its sign
  static int32_t value(uint8_t c) { return int8_t(c); }
  // value() of a code 0 .. 255 held in a wider signed lane (a scalar or a vector of them).
  template <class I>
  static I integer(I c) { return (c ^ 0x80) - 0x80; }
};
// The fp8 levels are binary16 patterns of the code, also stated for codes in wider lanes, with
// their significant bits (the mantissa, its leading one and the bit below it: few enough to be
// bf16 values too).
struct E4m3Mid {
  static constexpr int kSignificantBits = 5;
  static uint16_t half_bits(uint8_t c) { return fp8_e4m3_half_bits(c); }
  template <class U>
  static U half_pattern(U c) { return fp8_e4m3_half_pattern(c); }
  template <int kAt, class U>
  static U half_pattern_at(U w) { return fp8_e4m3_half_pattern_at<kAt>(w); }
  static float value(uint8_t c) { return half_to_float(half_bits(c)); }
};
struct E5m2Mid {
  static constexpr int kSignificantBits = 4;
  static uint16_t half_bits(uint8_t c) { return fp8_e5m2_half_bits(c); }
  template <class U>
  static U half_pattern(U c) { return fp8_e5m2_half_pattern(c); }
  template <int kAt, class U>
  static U half_pattern_at(U w) { return fp8_e5m2_half_pattern_at<kAt>(w); }
  static float value(uint8_t c) { return half_to_float(half_bits(c)); }
};

using Q8_0 = Planar8<qtype::q8_0, Scaling::scale, SignedByte>;
using Fp8E4m3 = Planar8<qtype::fp8_e4m3, Scaling::scale, E4m3Mid>;
// fp8_e5m2 weights carry no scale: the linear and dequantize kernels read only the codes. The
// fused MLP alone multiplies each block's partial sum by the stored fp32 (Block::d), so the
// quantizer stores 1.0 there and both paths agree.
using Fp8E5m2 = Planar8<qtype::fp8_e5m2, Scaling::none, E5m2Mid>;

}  // namespace vorn::formats
