#pragma once
// q5_0 (code 6) and q5_1 (code 7): self-contained 44-byte blocks of 64 weights.
// Bytes 0..1 fp16 d; 2..3 fp16 m (q5_1; unused by q5_0); 4..11 a little-endian 64-bit word H
// of fifth bits (bit j for weight j); 12..43 nibbles, byte j holding weight j low and j + 32
// high. q5_0: weight = (q - 16) * d. q5_1: weight = q * d + m.

#include <cstdint>

#include "formats/bytes.h"
#include "formats/format_base.h"
#include "formats/qtype.h"

namespace vorn::formats {

template <int kCode, Scaling kScale>
struct Q5 {
  static constexpr int kQtype = kCode;
  static constexpr int kBlock = 64;
  static constexpr int kGroup = 64;
  static constexpr Scaling kScaling = kScale;
  static constexpr bool kHasMin = kScale == Scaling::scale_offset;
  using Layout = InterleavedLayout<44>;
  // Weights j and j + 32 (j < 32) share nibble byte j and take bits j and j + 32 of H: the pair
  // is what one lane of a work-group reads.
  static constexpr int kCodeBits = 5;
  static constexpr int kPairStride = 32;
  // value() of a code held in a wider signed lane (a scalar or a vector of them).
  struct Levels {
    template <class I>
    static I integer(I code) { return kHasMin ? code : code - 16; }
  };

  // A block's fp16 d (and m) lie at its start.
  static const uint8_t* scale_fields(const uint8_t* w, const Layout& at, int64_t blk) { return w + at.block(blk); }

  struct Fields {
    uint8_t q[64];  // 5-bit codes
    uint16_t d, m;  // m is stored as 0 by q5_0
  };

  struct Block {
    const uint8_t* qs;
    uint64_t high;
    float d, m;

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : qs(w + at.block(blk) + 12),
          high(load_u64(w + at.block(blk) + 4)),
          d(load_half(scale_fields(w, at, blk))),
          m(kHasMin ? load_half(scale_fields(w, at, blk) + 2) : 0.0f) {}
    int code(int j) const { return ((qs[j & 31] >> ((j >> 5) << 2)) & 15) | int((high >> j) & 1) << 4; }
    int32_t value(int j) const { return kHasMin ? code(j) : code(j) - 16; }
    float scale(int) const { return d; }
    float offset(int) const { return m; }
    float weight(int j) const { return kHasMin ? float(value(j)) * d + m : float(value(j)) * d; }
    // value(j) of all 64 weights as fp32, for the dequantize kernels.
    [[gnu::always_inline]] void values(float* out) const {
      const uint32_t high_low = uint32_t(high), high_up = uint32_t(high >> 32);
      for (int j = 0; j < 32; ++j) {
        const int low = (qs[j] & 15) | int((high_low >> j) & 1) << 4;
        const int up = (qs[j] >> 4) | int((high_up >> j) & 1) << 4;
        out[j] = float(kHasMin ? low : low - 16);
        out[j + 32] = float(kHasMin ? up : up - 16);
      }
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    uint8_t* b = w + at.block(blk);
    store_u16(b, f.d);
    store_u16(b + 2, f.m);
    uint64_t high = 0;
    for (int j = 0; j < 64; ++j) high |= uint64_t(f.q[j] >> 4) << j;
    store_u64(b + 4, high);
    for (int j = 0; j < 32; ++j) b[12 + j] = uint8_t((f.q[j] & 15) | (f.q[j + 32] & 15) << 4);
  }
};

using Q5_0 = Q5<qtype::q5_0, Scaling::scale>;
using Q5_1 = Q5<qtype::q5_1, Scaling::scale_offset>;

}  // namespace vorn::formats
