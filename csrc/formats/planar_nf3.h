#pragma once
// nf3 (code 11): 24 code bytes per 64-weight block from offset 0, fp16 scales from
// (N*K/64)*24. Bytes 0..7 of a block are a little-endian plane of the codes' high bits (bit j for
// weight j); bytes 8..23 hold the two low bits of four weights each, the first weight of a byte
// in its top two bits. Weight = dequantNF3[code] * d.

#include <cstdint>

#include "formats/bytes.h"
#include "formats/codebooks.h"
#include "formats/format_base.h"
#include "formats/plane_codes.h"
#include "formats/planar_4bit.h"
#include "formats/qtype.h"

namespace vorn::formats {

struct Nf3 {
  static constexpr int kQtype = qtype::nf3;
  static constexpr int kBlock = 64;
  static constexpr int kGroup = 64;
  static constexpr Scaling kScaling = Scaling::scale;
  static constexpr int kCodeBits = 3;
  using Scales = ScaleRun<FieldType::f16, 1>;  // d
  using Fields = Codes64Scale;

  // Group g (weights 16g .. 16g + 15) of a block keeps its codes' high bits in the 16-bit word at
  // byte 2g and their low bits in the 32-bit word at byte 8 + 4g (both little-endian): where in
  // them weight jj of the group finds its bits.
  static constexpr int kSplitGroup = 16;
  static constexpr int kBlockBytes = 24;
  static constexpr int high_bit(int jj) { return jj; }
  static constexpr int low_bit(int jj) { return 8 * (jj / 4) + 6 - 2 * (jj % 4); }

  static float level(int code) { return dequantNF3[code]; }

  struct Layout {
    int64_t scale_region;

    explicit Layout(int32_t nk) : scale_region(int64_t(nk / 64) * kBlockBytes) {}
    int64_t codes(int64_t blk) const { return kBlockBytes * blk; }
    int64_t scales(int64_t blk) const { return scale_region + 2 * blk; }
  };

  struct Block {
    const uint8_t* low;  // bytes 8..23 of the block
    uint64_t high;
    float d;

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : low(w + at.codes(blk) + 8),
          high(load_u64(w + at.codes(blk))),
          d(load_half(w + at.scales(blk))) {}
    int code(int j) const {
      return int((high >> j) & 1) << 2 | ((low[j >> 2] >> (6 - 2 * (j & 3))) & 3);
    }
    float value(int j) const { return level(code(j)); }
    // value(j) of all 64 weights, for the dequantize kernels: a group's 16 codes on the lanes of
    // a vector, and their levels by one permute of the eight levels (repeated: a permute takes
    // its indices modulo 16).
    [[gnu::always_inline]] void values(float* out) const {
      constexpr f32x16 kLevels = {dequantNF3[0], dequantNF3[1], dequantNF3[2], dequantNF3[3], dequantNF3[4],
                                  dequantNF3[5], dequantNF3[6], dequantNF3[7], dequantNF3[0], dequantNF3[1],
                                  dequantNF3[2], dequantNF3[3], dequantNF3[4], dequantNF3[5], dequantNF3[6],
                                  dequantNF3[7]};
      for (int g = 0; g < 4; ++g) {
        const u32x16 codes = split_group_codes<Nf3>(uint32_t(high >> (16 * g)), load_u32(low + 4 * g));
        const f32x16 levels = __builtin_shuffle(kLevels, codes);
        std::memcpy(out + 16 * g, &levels, sizeof levels);
      }
    }
    float scale(int) const { return d; }
    float weight(int j) const { return value(j) * d; }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    uint8_t* qs = w + at.codes(blk);
    uint64_t high = 0;
    for (int j = 0; j < 64; ++j) high |= uint64_t(f.q[j] >> 2) << j;
    store_u64(qs, high);
    for (int i = 0; i < 16; ++i) {
      const uint8_t* q = f.q + 4 * i;
      qs[8 + i] = uint8_t((q[0] & 3) << 6 | (q[1] & 3) << 4 | (q[2] & 3) << 2 | (q[3] & 3));
    }
    store_u16(w + at.scales(blk), f.d);
  }
};

}  // namespace vorn::formats
