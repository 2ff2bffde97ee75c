#pragma once
// The planar super-block formats q4_k (code 27) and q6_k (code 26), 256 weights per block
// (nb = N*K/256 super-blocks).
//   q4_k: codes at 0 (16 bytes per 32-weight sub-block: byte j holds weight j in its low
//         nibble and weight j + 16 in its high nibble), a scale byte and a min byte per
//         sub-block at nb*128, fp16 d and dmin per super-block at nb*144.
//         Weight = q * (d * sc) - dmin * mn, in fp32.
//   q6_k: high-bit plane at 0 (4 bytes per 16-weight group), low-nibble plane at nb*64
//         (8 bytes per group), int8 sub-scales at nb*192, fp16 d at nb*208.
//         Weight = (q - 32) * (d * sc), in fp32.

#include <cstdint>
#include <cstring>

#include "formats/bytes.h"
#include "formats/format_base.h"
#include "formats/plane_codes.h"
#include "formats/qtype.h"

namespace vorn::formats {

struct Q4K {
  static constexpr int kQtype = qtype::q4_k;
  static constexpr int kBlock = 256;
  static constexpr int kGroup = 32;
  static constexpr Scaling kScaling = Scaling::scale_offset;
  // The codes of all super-blocks form one stream of 4-bit slots from byte 0 (super-block sb's
  // from slot 256*sb); the sub-scale pairs and the (d, dmin) pairs lie block after block too.
  static constexpr int kCodeBits = 4;
  static constexpr int slot(int j) { return 2 * (16 * (j >> 5) + (j & 15)) + ((j >> 4) & 1); }
  static int32_t level(int code) { return code; }

  struct Fields {
    uint8_t q[256];
    uint8_t sc[8], mn[8];
    uint16_t d, dmin;
  };

  struct Layout {
    int64_t sub_scale_region, scale_region;

    explicit Layout(int32_t nk)
        : sub_scale_region(int64_t(nk / 256) * 128), scale_region(int64_t(nk / 256) * 144) {}
    int64_t codes(int64_t sb) const { return 128 * sb; }
    int64_t sub_scales(int64_t sb) const { return sub_scale_region + 16 * sb; }
    int64_t scales(int64_t sb) const { return scale_region + 4 * sb; }
  };

  struct Block {
    const uint8_t* qs;
    const uint8_t* sub;  // sc, mn pairs
    float d, dmin;

    Block(const uint8_t* w, const Layout& at, int64_t sb)
        : qs(w + at.codes(sb)),
          sub(w + at.sub_scales(sb)),
          d(load_half(w + at.scales(sb))),
          dmin(load_half(w + at.scales(sb) + 2)) {}
    int sc(int s) const { return sub[2 * s]; }
    int mn(int s) const { return sub[2 * s + 1]; }
    int code(int j) const { return (qs[16 * (j >> 5) + (j & 15)] >> (((j >> 4) & 1) << 2)) & 15; }
    int32_t value(int j) const { return code(j); }
    float scale(int s) const { return d * float(sc(s)); }
    float offset(int s) const { return -(dmin * float(mn(s))); }
    float weight(int j) const { return float(value(j)) * scale(j >> 5) + offset(j >> 5); }
    // value(j) of all 256 weights as fp32, for the dequantize kernels.
    [[gnu::always_inline]] void values(float* out) const {
      for (int s = 0; s < 8; ++s) {
        for (int j = 0; j < 16; ++j) {
          out[32 * s + j] = float(qs[16 * s + j] & 15);
          out[32 * s + 16 + j] = float(qs[16 * s + j] >> 4);
        }
      }
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t sb, const Fields& f) {
    uint8_t* qs = w + at.codes(sb);
    for (int s = 0; s < 8; ++s)
      for (int j = 0; j < 16; ++j)
        qs[16 * s + j] = uint8_t(f.q[32 * s + j] | (f.q[32 * s + 16 + j] << 4));
    uint8_t* sub = w + at.sub_scales(sb);
    for (int s = 0; s < 8; ++s) {
      sub[2 * s] = f.sc[s];
      sub[2 * s + 1] = f.mn[s];
    }
    store_u16(w + at.scales(sb), f.d);
    store_u16(w + at.scales(sb) + 2, f.dmin);
  }
};

// q6_k levels: a code less 32, also for codes in wider lanes.
struct Q6Levels {
  template <class I>
  static I integer(I code) { return code - 32; }
};

struct Q6K {
  static constexpr int kQtype = qtype::q6_k;
  static constexpr int kBlock = 256;
  static constexpr int kGroup = 16;
  static constexpr Scaling kScaling = Scaling::scale;
  // Each 16-weight group's codes are one 8-byte word of the low-nibble plane and one 4-byte word
  // of the high-bit plane, group after group: weight 4t + u's nibble and high bits (see code()).
  static constexpr int kCodeBits = 6;
  static constexpr int kPlaneGroup = 16;
  static constexpr int p4_bit(int jj) { return 8 * ((jj & 3) + 4 * (jj >> 3)) + (((jj >> 2) & 1) ? 0 : 4); }
  static constexpr int p2_bit(int jj) { return 8 * (jj & 3) + 6 - 2 * (jj >> 2); }
  using Levels = Q6Levels;

  struct Fields {
    uint8_t q[256];  // 6-bit codes
    int8_t sc[16];
    uint16_t d;
  };

  struct Layout {
    int64_t low_region, sub_scale_region, scale_region;

    explicit Layout(int32_t nk)
        : low_region(int64_t(nk / 256) * 64),
          sub_scale_region(int64_t(nk / 256) * 192),
          scale_region(int64_t(nk / 256) * 208) {}
    int64_t p2(int64_t sb) const { return 64 * sb; }            // high bits
    int64_t p4(int64_t sb) const { return low_region + 128 * sb; }  // low nibbles
    int64_t sub_scales(int64_t sb) const { return sub_scale_region + 16 * sb; }
    int64_t scales(int64_t sb) const { return scale_region + 2 * sb; }
  };

  struct Block {
    const uint8_t* qh;
    const uint8_t* ql;
    const int8_t* sc;
    float d;

    Block(const uint8_t* w, const Layout& at, int64_t sb)
        : qh(w + at.p2(sb)),
          ql(w + at.p4(sb)),
          sc(reinterpret_cast<const int8_t*>(w + at.sub_scales(sb))),
          d(load_half(w + at.scales(sb))) {}
    // Weight 4t + u of group g: low nibble source l[u + 4*(t/2)] (high nibble for even t), high
    // bits at 6 - 2t of h[u].
    int code(int j) const {
      const uint8_t* l = ql + 8 * (j >> 4);
      const uint8_t* h = qh + 4 * (j >> 4);
      const int jj = j & 15;
      return ((l[p4_bit(jj) / 8] >> (p4_bit(jj) % 8)) & 15) | ((h[p2_bit(jj) / 8] >> (p2_bit(jj) % 8)) & 3) << 4;
    }
    int32_t value(int j) const { return code(j) - 32; }
    float scale(int g) const { return d * float(sc[g]); }
    float weight(int j) const { return float(value(j)) * scale(j >> 4); }
    // value(j) of all 256 weights as fp32, for the dequantize kernels, a group at a time.
    [[gnu::always_inline]] void values(float* out) const {
      for (int g = 0; g < 16; ++g) {
        const i32x16 codes = i32x16(plane_group_codes<Q6K>(qh + 4 * g, ql + 8 * g));
        const f32x16 v = __builtin_convertvector(Levels::integer(codes), f32x16);
        std::memcpy(out + 16 * g, &v, sizeof v);
      }
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t sb, const Fields& f) {
    uint8_t* qh = w + at.p2(sb);
    uint8_t* ql = w + at.p4(sb);
    for (int i = 0; i < 64; ++i) qh[i] = 0;
    for (int i = 0; i < 128; ++i) ql[i] = 0;
    for (int j = 0; j < 256; ++j) {
      const int g = j >> 4, t = (j >> 2) & 3, u = j & 3;
      ql[8 * g + u + 4 * (t >> 1)] |= uint8_t((f.q[j] & 15) << ((t & 1) ? 0 : 4));
      qh[4 * g + u] |= uint8_t((f.q[j] >> 4) << (6 - 2 * t));
    }
    for (int g = 0; g < 16; ++g) w[at.sub_scales(sb) + g] = uint8_t(f.sc[g]);
    store_u16(w + at.scales(sb), f.d);
  }
};

}  // namespace vorn::formats
