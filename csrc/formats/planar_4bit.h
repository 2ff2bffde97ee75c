#pragma once
// The 4-bit planar formats q4_0, q4_0_woq, q4_1, nf4 and fp4: 32 code bytes per 64-weight
// block from offset 0, then the scale data of every block from N*K/2.

#include <cstdint>

#include "formats/bytes.h"
#include "formats/codebooks.h"
#include "formats/format_base.h"
#include "formats/qtype.h"

namespace vorn::formats {

template <int kScaleBytes>
struct Planar4Layout {
  int64_t scale_region;

  explicit Planar4Layout(int32_t nk) : scale_region(nk / 2) {}
  int64_t codes(int64_t blk) const { return 32 * blk; }
  int64_t scales(int64_t blk) const { return scale_region + kScaleBytes * blk; }
};

// Nibble orders within a block's 32 code bytes.
// Each order also names the weight at nibble position q of a block's codes (q < 32: the low
// nibble of byte q; q >= 32: the high nibble of byte q - 32), and slot(j), the nibble that holds
// weight j counted through the bytes low nibble first (slot s: byte s / 2, high nibble if odd).

// Halves: byte j holds weight j in its low nibble and weight j + 32 in its high nibble.
struct HalvesLowFirst {
  static constexpr int weight_at(int q) { return q; }
  static constexpr int slot(int j) { return 2 * (j & 31) + (j >> 5); }
  static int get(const uint8_t* qs, int j) { return (qs[j & 31] >> ((j >> 5) << 2)) & 15; }
  static void put(uint8_t* qs, const uint8_t* q) {
    for (int j = 0; j < 32; ++j) qs[j] = uint8_t(q[j] | (q[j + 32] << 4));
  }
  // q[j] = fn(code of weight j) for the whole block.
  template <class Out, class Fn>
  static void unpack(const uint8_t* qs, Out* q, Fn fn) {
    for (int j = 0; j < 32; ++j) {
      q[j] = fn(qs[j] & 15);
      q[j + 32] = fn(qs[j] >> 4);
    }
  }
};

// nf4: byte j holds weight j in its high nibble and weight j + 32 in its low nibble.
struct HalvesHighFirst {
  static constexpr int slot(int j) { return 2 * (j & 31) + 1 - (j >> 5); }
  static int get(const uint8_t* qs, int j) { return (qs[j & 31] >> (((j >> 5) ^ 1) << 2)) & 15; }
  static void put(uint8_t* qs, const uint8_t* q) {
    for (int j = 0; j < 32; ++j) qs[j] = uint8_t((q[j] << 4) | q[j + 32]);
  }
  template <class Out, class Fn>
  static void unpack(const uint8_t* qs, Out* q, Fn fn) {
    for (int j = 0; j < 32; ++j) {
      q[j] = fn(qs[j] >> 4);
      q[j + 32] = fn(qs[j] & 15);
    }
  }
};

// q4_0_woq: byte j holds weight 2j in its low nibble and weight 2j + 1 in its high nibble.
struct Pairs {
  static constexpr int weight_at(int q) { return 2 * (q % 32) + q / 32; }
  static constexpr int slot(int j) { return j; }
  static int get(const uint8_t* qs, int j) { return (qs[j >> 1] >> ((j & 1) << 2)) & 15; }
  static void put(uint8_t* qs, const uint8_t* q) {
    for (int j = 0; j < 32; ++j) qs[j] = uint8_t(q[2 * j] | (q[2 * j + 1] << 4));
  }
  template <class Out, class Fn>
  static void unpack(const uint8_t* qs, Out* q, Fn fn) {
    for (int j = 0; j < 32; ++j) {
      q[2 * j] = fn(qs[j] & 15);
      q[2 * j + 1] = fn(qs[j] >> 4);
    }
  }
};

// Fields of a block with one fp16 scale: 64 codes and the scale's bits.
struct Codes64Scale {
  uint8_t q[64];
  uint16_t d;
};

// A 4-bit format with one fp16 scale per block and weight = decode(code) * d.
template <int kCode, class Order, class Decode>
struct Scaled4 {
  static constexpr int kQtype = kCode;
  static constexpr int kBlock = 64;
  static constexpr int kGroup = 64;
  static constexpr Scaling kScaling = Scaling::scale;
  // The codes of all blocks form one stream of 4-bit slots from byte 0 (block blk's from slot 64*blk).
  static constexpr int kCodeBits = 4;
  static constexpr int slot(int j) { return Order::slot(j); }
  using Scales = ScaleRun<FieldType::f16, 1>;  // d
  using Layout = Planar4Layout<Scales::kBytes>;
  using Fields = Codes64Scale;
  using Nibbles = Order;

  struct Block {
    const uint8_t* qs;
    float d;

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : qs(w + at.codes(blk)), d(load_half(w + at.scales(blk))) {}
    int code(int j) const { return Order::get(qs, j); }
    auto value(int j) const { return Decode::value(code(j)); }
    float scale(int) const { return d; }
    float weight(int j) const { return float(value(j)) * d; }
    // value(j) of all 64 weights, for integer-valued codes: the bulk decode of the
    // explicit-SIMD kernels, plain loops that compilers vectorise.
    void values(int8_t* out) const {
      Order::unpack(qs, out, [](int code) { return int8_t(Decode::value(code)); });
    }
    // value(j) of all 64 weights as fp32, for the dequantize kernels.
    [[gnu::always_inline]] void values(float* out) const {
      Order::unpack(qs, out, [](int code) { return float(Decode::value(code)); });
    }
  };

  // The unscaled value of a code: value(j) == level(code(j)).
  static auto level(int code) { return Decode::value(code); }

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    Order::put(w + at.codes(blk), f.q);
    store_u16(w + at.scales(blk), f.d);
  }
};

struct OffsetBy8 {
  static int32_t value(int code) { return code - 8; }
};
struct Nf4Level {
  static float value(int code) { return dequantNF4[code]; }
};
// Bit 3 is the sign, bits 2..0 the magnitude code (moved into the sign bit: no branch, so that
// bulk decodes vectorise).
struct Fp4Level {
  static float value(int code) {
    return bits_float(float_bits(kFp4Magnitude[code & 7]) | static_cast<uint32_t>(code & 8) << 28);
  }
};

using Q4_0 = Scaled4<qtype::q4_0, HalvesLowFirst, OffsetBy8>;
using Q4_0Woq = Scaled4<qtype::q4_0_woq, Pairs, OffsetBy8>;
using Nf4 = Scaled4<qtype::nf4, HalvesHighFirst, Nf4Level>;
using Fp4 = Scaled4<qtype::fp4, HalvesLowFirst, Fp4Level>;

// q4_1: fp16 d and m per block (4 bytes in the scale region); weight = q * d + m.
struct Q4_1 {
  static constexpr int kQtype = qtype::q4_1;
  static constexpr int kBlock = 64;
  static constexpr int kGroup = 64;
  static constexpr Scaling kScaling = Scaling::scale_offset;
  static constexpr int kCodeBits = 4;
  static constexpr int slot(int j) { return HalvesLowFirst::slot(j); }
  static int32_t level(int code) { return code; }
  using Nibbles = HalvesLowFirst;
  using Scales = ScaleRun<FieldType::f16, 2>;  // d, m
  using Layout = Planar4Layout<Scales::kBytes>;

  struct Fields {
    uint8_t q[64];
    uint16_t d, m;
  };

  struct Block {
    const uint8_t* qs;
    float d, m;

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : qs(w + at.codes(blk)),
          d(load_half(w + at.scales(blk))),
          m(load_half(w + at.scales(blk) + 2)) {}
    int code(int j) const { return HalvesLowFirst::get(qs, j); }
    int32_t value(int j) const { return code(j); }
    float scale(int) const { return d; }
    float offset(int) const { return m; }
    float weight(int j) const { return float(value(j)) * d + m; }
    // value(j) of all 64 weights as fp32, for the dequantize kernels.
    [[gnu::always_inline]] void values(float* out) const {
      HalvesLowFirst::unpack(qs, out, [](int code) { return float(code); });
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    HalvesLowFirst::put(w + at.codes(blk), f.q);
    store_u16(w + at.scales(blk), f.d);
    store_u16(w + at.scales(blk) + 2, f.m);
  }
};

}  // namespace vorn::formats
