#pragma once
// The interleaved super-block formats q2_k (code 23, 84 bytes) and q5_k (code 28, 176 bytes),
// 256 weights per block, weight = q * (d * sc) - dmin * mn in fp32 per sub-block.

#include <cstdint>

#include "formats/bytes.h"
#include "formats/format_base.h"
#include "formats/qtype.h"

namespace vorn::formats {

// q2_k: bytes 0..15 one scale byte per 16 weights (low nibble scale, high nibble min); 16..79
// 2-bit codes; 80..81 fp16 d; 82..83 fp16 dmin. Weight 128h + 32s + l takes bits 2s..2s+1 of
// qs[32h + l].
struct Q2K {
  static constexpr int kQtype = qtype::q2_k;
  static constexpr int kBlock = 256;
  static constexpr int kGroup = 16;
  static constexpr Scaling kScaling = Scaling::scale_offset;
  using Layout = InterleavedLayout<84>;
  static constexpr int kDAt = 80, kDminAt = 82;  // byte offsets of the fp16 d and dmin

  struct Fields {
    uint8_t q[256];
    uint8_t sc[16], mn[16];  // 4-bit each
    uint16_t d, dmin;
  };

  struct Block {
    const uint8_t* scales;
    const uint8_t* qs;
    float d, dmin;

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : scales(w + at.block(blk)),
          qs(w + at.block(blk) + 16),
          d(load_half(w + at.block(blk) + kDAt)),
          dmin(load_half(w + at.block(blk) + kDminAt)) {}
    int sc(int g) const { return scales[g] & 15; }
    int mn(int g) const { return scales[g] >> 4; }
    // Code of weight l of the 32-weight run r (weight 32r + l): bits 2(r mod 4) of qs[32(r / 4) + l].
    int code(int r, int l) const { return (qs[32 * (r >> 2) + l] >> (2 * (r & 3))) & 3; }
    int code(int j) const { return code(j >> 5, j & 31); }
    int32_t value(int j) const { return code(j); }
    float scale(int g) const { return d * float(sc(g)); }
    float offset(int g) const { return -(dmin * float(mn(g))); }
    float weight(int j) const { return float(value(j)) * scale(j >> 4) + offset(j >> 4); }
    // value(j) of all 256 weights as fp32, for the dequantize kernels.
    [[gnu::always_inline]] void values(float* out) const {
      for (int r = 0; r < 8; ++r) {
        for (int l = 0; l < 32; ++l) out[32 * r + l] = float(code(r, l));
      }
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    uint8_t* b = w + at.block(blk);
    for (int g = 0; g < 16; ++g) b[g] = uint8_t(f.sc[g] | f.mn[g] << 4);
    for (int i = 0; i < 64; ++i) b[16 + i] = 0;
    for (int j = 0; j < 256; ++j)
      b[16 + 32 * (j >> 7) + (j & 31)] |= uint8_t(f.q[j] << (2 * ((j >> 5) & 3)));
    store_u16(b + 80, f.d);
    store_u16(b + 82, f.dmin);
  }
};

// q5_k: bytes 0..1 fp16 d; 2..3 fp16 dmin; 4..15 6-bit scales and mins of eight 32-weight
// sub-blocks; 16..47 qh; 48..175 qs. Sub-block p's weight l takes the low (p even) or high
// nibble of qs[32*(p/2) + l] and bit p of qh[l] as its fifth bit.
struct Q5K {
  static constexpr int kQtype = qtype::q5_k;
  static constexpr int kBlock = 256;
  static constexpr int kGroup = 32;
  static constexpr Scaling kScaling = Scaling::scale_offset;
  using Layout = InterleavedLayout<176>;

  struct Fields {
    uint8_t q[256];        // 5-bit codes
    uint8_t sc[8], mn[8];  // 6-bit each
    uint16_t d, dmin;
  };

  struct Block {
    const uint8_t* b;
    float d, dmin;

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : b(w + at.block(blk)), d(load_half(b)), dmin(load_half(b + 2)) {}
    // The eight 6-bit scales (first = 4, nibble = 0) or mins (first = 8, nibble = 4), byte p
    // for sub-block p: sub-blocks 0..3 keep their 6 bits in bytes first..first + 3; 4..7 split
    // theirs between a nibble of bytes 12..15 and the top two bits of bytes first..first + 3.
    uint64_t six_bit_fields(int first, int nibble) const {
      const uint32_t low = load_u32(b + first), split = load_u32(b + 12) >> nibble;
      return (low & 0x3f3f3f3fu) | uint64_t((split & 0x0f0f0f0fu) | ((low >> 2) & 0x30303030u)) << 32;
    }
    int sc(int p) const { return int(six_bit_fields(4, 0) >> 8 * p) & 63; }
    int mn(int p) const { return int(six_bit_fields(8, 4) >> 8 * p) & 63; }
    // The code of sub-block p's weight from its qs byte and qh byte (the nibble, and bit p of qh
    // moved to bit 4): for one weight (int) or for the 32 weights of the sub-block at once (u8x32).
    template <class Bytes>
    [[gnu::always_inline]] static Bytes code_bits(Bytes qs, Bytes qh, int p) {
      return ((qs >> ((p & 1) << 2)) & 15) | ((p <= 4 ? qh << (4 - p) : qh >> (p - 4)) & 16);
    }
    // Code of weight l of sub-block p (weight 32p + l).
    int code(int p, int l) const { return code_bits<int>(b[48 + 32 * (p >> 1) + l], b[16 + l], p); }
    int code(int j) const { return code(j >> 5, j & 31); }
    // code(j) of all 256 weights (out[j]), a sub-block at a time, for the matrix-vector kernel.
    [[gnu::always_inline]] void codes(uint8_t* out) const {
      const u8x32 qh = load_run(b + 16);
      for (int p = 0; p < 8; ++p) store_run(out + 32 * p, code_bits(load_run(b + 48 + 32 * (p >> 1)), qh, p));
    }
    int32_t value(int j) const { return code(j); }
    float scale(int p) const { return d * float(sc(p)); }
    float offset(int p) const { return -(dmin * float(mn(p))); }
    // scale(p) and offset(p) of all eight sub-blocks at once (lane p).
    [[gnu::always_inline]] void scales(f32x8& scale_lanes, f32x8& offset_lanes) const {
      scale_lanes = d * byte_lanes(six_bit_fields(4, 0));
      offset_lanes = -(dmin * byte_lanes(six_bit_fields(8, 4)));
    }
    float weight(int j) const { return float(value(j)) * scale(j >> 5) + offset(j >> 5); }
    // value(j) of all 256 weights as fp32, for the dequantize kernels.
    [[gnu::always_inline]] void values(float* out) const {
      uint8_t all[256];
      codes(all);
      for (int j = 0; j < 256; ++j) out[j] = float(all[j]);
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    uint8_t* b = w + at.block(blk);
    store_u16(b, f.d);
    store_u16(b + 2, f.dmin);
    for (int p = 0; p < 4; ++p) {
      b[4 + p] = uint8_t(f.sc[p] | (f.sc[p + 4] >> 4) << 6);
      b[8 + p] = uint8_t(f.mn[p] | (f.mn[p + 4] >> 4) << 6);
      b[12 + p] = uint8_t((f.sc[p + 4] & 15) | (f.mn[p + 4] & 15) << 4);
    }
    for (int i = 16; i < 176; ++i) b[i] = 0;
    for (int j = 0; j < 256; ++j) {
      const int p = j >> 5, l = j & 31;
      b[48 + 32 * (p >> 1) + l] |= uint8_t((f.q[j] & 15) << ((p & 1) << 2));
      b[16 + l] |= uint8_t((f.q[j] >> 4) << p);
    }
  }
};

}  // namespace vorn::formats
