#pragma once
// The lattice formats iq2_xxs (code 21, 66 bytes) and iq1_s (code 24, 50 bytes): 256 weights
// per block in eight 32-weight groups, each group in four runs of eight weights that index a
// grid of eight-value patterns.

#include <array>
#include <cstdint>
#include <cstring>

#include "formats/bytes.h"
#include "formats/codebooks.h"
#include "formats/format_base.h"
#include "formats/lattice_tables.h"
#include "formats/qtype.h"

namespace vorn::formats {

// The entries of ksigns_iq2xs as byte masks: byte t all ones where bit t is set. Built at load
// time, so that the decoders read them without a first-use check.
inline const std::array<uint64_t, 128> kKsignsByteMasks = [] {
  std::array<uint64_t, 128> masks{};
  for (int s = 0; s < 128; ++s) {
    for (int t = 0; t < 8; ++t) masks[s] |= uint64_t((ksigns_iq2xs[s] >> t) & 1) * 0xff << (8 * t);
  }
  return masks;
}();

// The iq2xxs_grid magnitudes, and each entry as the indices into them of its eight magnitudes,
// two bits per weight: weights 0..3 in byte g, weights 4..7 in byte 256 + g (weight t at bits
// 2(t mod 4)). The vector kernels look the codes up by a byte permutation, not a gather. Built at
// load time as well.
inline constexpr uint8_t kIq2xxsMagnitudes[3] = {8, 25, 43};
inline const std::array<uint8_t, 512> kIq2xxsGridCodes = [] {
  std::array<uint8_t, 512> codes{};
  for (int g = 0; g < 256; ++g) {
    for (int t = 0; t < 8; ++t) {
      const uint8_t magnitude = uint8_t(iq2xxs_grid[g] >> (8 * t));
      const int code = magnitude == kIq2xxsMagnitudes[0] ? 0 : magnitude == kIq2xxsMagnitudes[1] ? 1 : 2;
      codes[256 * (t / 4) + g] |= uint8_t(code << (2 * (t % 4)));
    }
  }
  return codes;
}();

// The iq1s_grid entries as the grid values (0..2) of their runs: byte t of a word is weight t of
// the run, from the entry's low nibbles of bytes 0..3 (weights 0..3) and its high nibbles
// (weights 4..7). Built at load time as well.
inline const std::array<uint64_t, 2048> kIq1sRunValues = [] {
  std::array<uint64_t, 2048> split{};
  for (int i = 0; i < 2048; ++i) {
    const uint32_t entry = iq1s_grid[i];
    split[i] = (entry & 0x0f0f0f0fu) | uint64_t((entry >> 4) & 0x0f0f0f0fu) << 32;
  }
  return split;
}();

// iq2_xxs: bytes 0..1 fp16 d; group p at 2 + 8p: four grid indices, then a 32-bit word w whose
// bits 7l..7l+6 select the signs of run l (ksigns_iq2xs) and whose top four bits ls scale the
// group. Weight = d * (0.125 + 0.25 * ls) * magnitude * sign.
struct Iq2Xxs {
  static constexpr int kQtype = qtype::iq2_xxs;
  static constexpr int kBlock = 256;
  static constexpr int kGroup = 32;
  static constexpr Scaling kScaling = Scaling::scale;
  using Layout = InterleavedLayout<66>;
  static constexpr int kDAt = 0;  // byte offset of the fp16 d

  // For fp32 values and for vectors of them alike.
  template <class V>
  static V group_scale(V d, V ls) { return d * (0.125f + 0.25f * ls); }

  struct Fields {
    uint8_t grid[32];   // per run of eight
    uint8_t signs[32];  // 7-bit ksigns_iq2xs index per run
    uint8_t ls[8];      // 4-bit group scale
    uint16_t d;
  };

  struct Block {
    const uint8_t* b;
    float d;

    Block(const uint8_t* w, const Layout& at, int64_t blk) : b(w + at.block(blk)), d(load_half(b + kDAt)) {}
    uint32_t word(int p) const { return load_u32(b + 2 + 8 * p + 4); }
    int grid_index(int p, int l) const { return b[2 + 8 * p + l]; }
    // The eight magnitudes and the sign byte (bit t: weight t negative) of run l of group p.
    uint64_t magnitudes(int p, int l) const { return iq2xxs_grid[grid_index(p, l)]; }
    int sign_field(int p, int l) const { return (word(p) >> (7 * l)) & 127; }
    uint8_t sign_byte(int p, int l) const { return ksigns_iq2xs[sign_field(p, l)]; }
    // The eight signed weights of run l of group p as the bytes of a word (a magnitude is never
    // 0, so negating a byte as (m ^ 0xff) + 1 never carries out of it).
    uint64_t run_weights(int p, int l) const {
      const uint64_t negative = kKsignsByteMasks[sign_field(p, l)];
      return (magnitudes(p, l) ^ negative) + (negative & 0x0101010101010101u);
    }
    int32_t value(int j) const {
      const int p = j >> 5, l = (j >> 3) & 3, t = j & 7;
      const int32_t magnitude = int32_t((magnitudes(p, l) >> (8 * t)) & 255);
      return (sign_byte(p, l) >> t) & 1 ? -magnitude : magnitude;
    }
    float scale(int p) const { return group_scale(d, float(word(p) >> 28)); }
    float weight(int j) const { return scale(j >> 5) * float(value(j)); }
    // value(j) of all 256 weights as fp32, for the dequantize kernels: the signed bytes of each
    // run in a 64-bit word, then one conversion loop over the block, which vectorises.
    [[gnu::always_inline]] void values(float* out) const {
      int8_t v[256];
      for (int r = 0; r < 32; ++r) {
        const uint64_t bytes = run_weights(r >> 2, r & 3);
        std::memcpy(v + 8 * r, &bytes, 8);
      }
      for (int j = 0; j < 256; ++j) out[j] = float(v[j]);
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    uint8_t* b = w + at.block(blk);
    store_u16(b, f.d);
    for (int p = 0; p < 8; ++p) {
      uint32_t word = uint32_t(f.ls[p]) << 28;
      for (int l = 0; l < 4; ++l) {
        b[2 + 8 * p + l] = f.grid[4 * p + l];
        word |= uint32_t(f.signs[4 * p + l] & 127) << (7 * l);
      }
      store_u32(b + 2 + 8 * p + 4, word);
    }
  }
};

// iq1_s: bytes 0..1 fp16 d; 2..33 the low eight bits of one 11-bit grid index per run; 34..49
// one 16-bit word qh per group: bits 3l..3l+2 the index's top bits for run l, bits 12..14 ls,
// bit 15 the sign flag choosing delta. Weight = d * (2 * ls + 1) * (v + delta).
struct Iq1S {
  static constexpr int kQtype = qtype::iq1_s;
  static constexpr int kBlock = 256;
  static constexpr int kGroup = 32;
  static constexpr Scaling kScaling = Scaling::scale;
  using Layout = InterleavedLayout<50>;
  static constexpr int kDAt = 0;  // byte offset of the fp16 d

  // For fp32 values and for vectors of them alike; 2 ls + 1 is exact in fp32.
  template <class V>
  static V group_scale(V d, V ls) { return d * (2.0f * ls + 1.0f); }

  struct Fields {
    uint16_t grid[32];          // 11-bit index per run of eight
    uint8_t ls[8];              // 3-bit group scale
    uint8_t negative_delta[8];  // 1: delta = -1.125, 0: delta = -0.875
    uint16_t d;
  };

  struct Block {
    const uint8_t* b;
    float d;

    Block(const uint8_t* w, const Layout& at, int64_t blk) : b(w + at.block(blk)), d(load_half(b + kDAt)) {}
    uint16_t qh(int p) const { return load_u16(b + 34 + 2 * p); }
    int grid_index(int p, int l) const { return b[2 + 4 * p + l] | ((qh(p) >> (3 * l)) & 7) << 8; }
    // The grid values of run l of group p, byte t for weight t of the run.
    uint64_t run_values(int p, int l) const { return kIq1sRunValues[grid_index(p, l)]; }
    int grid_value(int j) const { return int(run_values(j >> 5, (j >> 3) & 3) >> (8 * (j & 7))) & 255; }
    float delta(int p) const { return kIq1sDelta[(qh(p) >> 15) ? 0 : 1]; }
    float value(int j) const { return float(grid_value(j)) + delta(j >> 5); }
    float scale(int p) const { return group_scale(d, float((qh(p) >> 12) & 7)); }
    float weight(int j) const { return scale(j >> 5) * value(j); }
    // value(j) of all 256 weights, for the dequantize kernels: the grid values of each run in a
    // 64-bit word (run_values, with the group's qh read once), then one loop per group that
    // vectorises.
    [[gnu::always_inline]] void values(float* out) const {
      uint8_t grid[256];
      for (int p = 0; p < 8; ++p) {
        const uint32_t top = qh(p);
#pragma GCC unroll 4
        for (int l = 0; l < 4; ++l) {
          const uint64_t bytes = kIq1sRunValues[b[2 + 4 * p + l] | ((top >> (3 * l)) & 7) << 8];
          std::memcpy(grid + 32 * p + 8 * l, &bytes, 8);
        }
      }
      for (int p = 0; p < 8; ++p) {
        const float shift = delta(p);
        for (int t = 0; t < 32; ++t) out[32 * p + t] = float(grid[32 * p + t]) + shift;
      }
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    uint8_t* b = w + at.block(blk);
    store_u16(b, f.d);
    for (int p = 0; p < 8; ++p) {
      uint16_t qh = uint16_t(f.ls[p] << 12 | f.negative_delta[p] << 15);
      for (int l = 0; l < 4; ++l) {
        b[2 + 4 * p + l] = uint8_t(f.grid[4 * p + l]);
        qh = uint16_t(qh | (f.grid[4 * p + l] >> 8) << (3 * l));
      }
      store_u16(b + 34 + 2 * p, qh);
    }
  }
};

}  // namespace vorn::formats
