#pragma once
// fp6 (code 29) and fp6_k (code 30): 6-bit floats spread over a 4-bit plane P4 and a 2-bit
// plane P2 in groups of 16 weights (8 bytes of P4 and 4 bytes of P2 per group).
//   fp6:   P4 at 0, P2 at nb*32, fp16 d at nb*48 + 2*blk (nb = N*K/64 blocks of four groups).
//   fp6_k: P4 at 0, P2 at nb*128, int8 sub-scales at nb*192 (one per group), fp16 d at
//          nb*208 + 2*sb (nb = N*K/256 super-blocks of sixteen groups).

#include <cstdint>
#include <cstring>

#include "common/half_bits.h"
#include "formats/bytes.h"
#include "formats/float_codes.h"
#include "formats/format_base.h"
#include "formats/plane_codes.h"
#include "formats/qtype.h"

namespace vorn::formats {

// Weight 4t + u of a group takes its bits from byte r = (1, 3, 0, 2)[u] of the group's P2
// bytes and of its first (t < 2) or second (t >= 2) four P4 bytes: sign and top exponent bit
// at bits 7-2t and 6-2t of P2[r], the other four bits in the high (t even) or low (t odd)
// nibble of P4.
inline constexpr int kFp6ByteOfColumn[4] = {1, 3, 0, 2};

// The same as bit positions in a group's 8 P4 bytes and 4 P2 bytes read as little-endian words.
constexpr int fp6_p4_bit(int jj) {
  const int t = jj >> 2, r = kFp6ByteOfColumn[jj & 3];
  return 8 * (r + 4 * (t >> 1)) + ((t & 1) ? 0 : 4);
}
constexpr int fp6_p2_bit(int jj) { return 8 * kFp6ByteOfColumn[jj & 3] + 6 - 2 * (jj >> 2); }

inline int fp6_group_code(const uint8_t* p2, const uint8_t* p4, int jj) {
  const int top = (p2[fp6_p2_bit(jj) / 8] >> (fp6_p2_bit(jj) % 8)) & 3;
  const int nibble = (p4[fp6_p4_bit(jj) / 8] >> (fp6_p4_bit(jj) % 8)) & 15;
  return top << 4 | nibble;
}

// fp6 levels as binary16 patterns, also for codes in wider lanes, with their significant bits
// (two of the code, its leading one and the bit below them: few enough to be bf16 values too).
struct Fp6Levels {
  static constexpr int kSignificantBits = 4;
  template <class U>
  static U half_pattern(U code) { return fp6_half_pattern(code); }
};

// What fp6 and fp6_k share: each 16-weight group's codes are one 8-byte word of the P4 stream
// (from 0) and one 4-byte word of the P2 stream (from p2(0)), group after group.
struct Fp6Planes {
  static constexpr int kCodeBits = 6;
  static constexpr int kPlaneGroup = 16;
  static constexpr int p4_bit(int jj) { return fp6_p4_bit(jj); }
  static constexpr int p2_bit(int jj) { return fp6_p2_bit(jj); }
  using Levels = Fp6Levels;
};

// The binary16 bits of the 16 values of a group, for the dequantize kernels.
[[gnu::always_inline]] inline void fp6_group_half_values(const uint8_t* p2, const uint8_t* p4, uint16_t* out) {
  const u16x16 bits = __builtin_convertvector(fp6_half_pattern(plane_group_codes<Fp6Planes>(p2, p4)), u16x16);
  std::memcpy(out, &bits, sizeof bits);
}

inline void fp6_group_store(uint8_t* p2, uint8_t* p4, const uint8_t* codes) {
  for (int i = 0; i < 4; ++i) p2[i] = 0;
  for (int i = 0; i < 8; ++i) p4[i] = 0;
  for (int jj = 0; jj < 16; ++jj) {
    const int t = jj >> 2, r = kFp6ByteOfColumn[jj & 3];
    p2[r] |= uint8_t((codes[jj] >> 4) << (6 - 2 * t));
    p4[r + 4 * (t >> 1)] |= uint8_t((codes[jj] & 15) << ((t & 1) ? 0 : 4));
  }
}

inline float fp6_value(int code) { return half_to_float(fp6_half_bits(code)); }

struct Fp6 : Fp6Planes {
  static constexpr int kQtype = qtype::fp6;
  static constexpr int kBlock = 64;
  static constexpr int kGroup = 64;
  static constexpr Scaling kScaling = Scaling::scale;
  using Scales = ScaleRun<FieldType::f16, 1>;  // d

  struct Fields {
    uint8_t q[64];  // 6-bit codes
    uint16_t d;
  };

  struct Layout {
    int64_t p2_region, scale_region;

    explicit Layout(int32_t nk)
        : p2_region(int64_t(nk / 64) * 32), scale_region(int64_t(nk / 64) * 48) {}
    int64_t p4(int64_t blk) const { return 32 * blk; }
    int64_t p2(int64_t blk) const { return p2_region + 16 * blk; }
    int64_t scales(int64_t blk) const { return scale_region + 2 * blk; }
  };

  struct Block {
    const uint8_t* p4;
    const uint8_t* p2;
    float d;

    Block(const uint8_t* w, const Layout& at, int64_t blk)
        : p4(w + at.p4(blk)), p2(w + at.p2(blk)), d(load_half(w + at.scales(blk))) {}
    int code(int j) const { return fp6_group_code(p2 + 4 * (j >> 4), p4 + 8 * (j >> 4), j & 15); }
    float value(int j) const { return fp6_value(code(j)); }
    float scale(int) const { return d; }
    float weight(int j) const { return value(j) * d; }
    [[gnu::always_inline]] void half_values(uint16_t* out) const {
      for (int g = 0; g < 4; ++g) fp6_group_half_values(p2 + 4 * g, p4 + 8 * g, out + 16 * g);
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    for (int g = 0; g < 4; ++g)
      fp6_group_store(w + at.p2(blk) + 4 * g, w + at.p4(blk) + 8 * g, f.q + 16 * g);
    store_u16(w + at.scales(blk), f.d);
  }
};

struct Fp6K : Fp6Planes {
  static constexpr int kQtype = qtype::fp6_k;
  static constexpr int kBlock = 256;
  static constexpr int kGroup = 16;
  static constexpr Scaling kScaling = Scaling::scale;

  struct Fields {
    uint8_t q[256];  // 6-bit codes
    int8_t sc[16];
    uint16_t d;
  };

  // d * sc rounded to binary16, as a binary16 multiplication gives it (the fp32 product of an
  // fp16 and an int8 is exact, so one rounding to fp16 is the binary16 product).
  // Also for lanes of values, with their own rounding to binary16.
  template <class V, class RoundToHalf>
  static V group_scale(V d, V sc, RoundToHalf round_to_half) { return round_to_half(d * sc); }
  static float group_scale(float d, int sc) {
    return group_scale(d, float(sc), [](float v) { return half_to_float(float_to_half(v)); });
  }

  struct Layout {
    int64_t p2_region, sub_scale_region, scale_region;

    explicit Layout(int32_t nk)
        : p2_region(int64_t(nk / 256) * 128),
          sub_scale_region(int64_t(nk / 256) * 192),
          scale_region(int64_t(nk / 256) * 208) {}
    int64_t p4(int64_t sb) const { return 128 * sb; }
    int64_t p2(int64_t sb) const { return p2_region + 64 * sb; }
    int64_t sub_scales(int64_t sb) const { return sub_scale_region + 16 * sb; }
    int64_t scales(int64_t sb) const { return scale_region + 2 * sb; }
  };

  struct Block {
    const uint8_t* p4;
    const uint8_t* p2;
    const int8_t* sc;
    float d;

    Block(const uint8_t* w, const Layout& at, int64_t sb)
        : p4(w + at.p4(sb)),
          p2(w + at.p2(sb)),
          sc(reinterpret_cast<const int8_t*>(w + at.sub_scales(sb))),
          d(load_half(w + at.scales(sb))) {}
    int code(int j) const { return fp6_group_code(p2 + 4 * (j >> 4), p4 + 8 * (j >> 4), j & 15); }
    float value(int j) const { return fp6_value(code(j)); }
    float scale(int g) const { return group_scale(d, sc[g]); }
    float weight(int j) const { return value(j) * scale(j >> 4); }
    [[gnu::always_inline]] void half_values(uint16_t* out) const {
      for (int g = 0; g < 16; ++g) fp6_group_half_values(p2 + 4 * g, p4 + 8 * g, out + 16 * g);
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t sb, const Fields& f) {
    for (int g = 0; g < 16; ++g)
      fp6_group_store(w + at.p2(sb) + 4 * g, w + at.p4(sb) + 8 * g, f.q + 16 * g);
    for (int g = 0; g < 16; ++g) w[at.sub_scales(sb) + g] = uint8_t(f.sc[g]);
    store_u16(w + at.scales(sb), f.d);
  }
};

}  // namespace vorn::formats
