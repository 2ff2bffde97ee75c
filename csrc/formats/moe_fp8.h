#pragma once
// Codes 35 and 36, the one-byte expert weights of the mixture-of-experts FP8 path: one byte per
// weight, row-major (weight (n, k) at byte n*K + k), nothing else in the matrix. 64-weight
// blocks of 64 bytes only keep the qtype tables uniform. Each expert's single fp32 scale lives
// in a separate allocation, so these decoders return the unscaled value and the kernels apply
// that scale.
//   35: e5m2, byte c read as binary16 c << 8 (torch.float8_e5m2).
//   36: e4m3 with bias 7 and no NaN: torch.float8_e4m3fn except 0x7f/0xff = +-480.

#include <cstdint>
#include <cstring>

#include "common/half_bits.h"
#include "formats/float_codes.h"
#include "formats/format_base.h"
#include "formats/qtype.h"

namespace vorn::formats {

template <int kCode, uint16_t (*kHalfBits)(uint8_t)>
struct MoeFp8 {
  static constexpr int kQtype = kCode;
  static constexpr int kBlock = 64;
  static constexpr int kGroup = 64;
  static constexpr Scaling kScaling = Scaling::none;
  using Layout = InterleavedLayout<64>;

  struct Fields {
    uint8_t q[64];
  };

  struct Block {
    const uint8_t* qs;

    Block(const uint8_t* w, const Layout& at, int64_t blk) : qs(w + at.block(blk)) {}
    int code(int j) const { return qs[j]; }
    float value(int j) const { return half_to_float(kHalfBits(qs[j])); }
    float scale(int) const { return 1.0f; }
    float weight(int j) const { return value(j); }
    // The binary16 bits of value(j) for all 64 weights, for the explicit-SIMD kernels.
    void half_values(uint16_t* out) const {
      for (int j = 0; j < 64; ++j) out[j] = kHalfBits(qs[j]);
    }
  };

  static void store(uint8_t* w, const Layout& at, int64_t blk, const Fields& f) {
    std::memcpy(w + at.block(blk), f.q, 64);
  }
};

using MoeFp8E5m2 = MoeFp8<qtype::moe_fp8_e5m2, moe_e5m2_half_bits>;

// e4m3's subnormal codes make its binary16 decode branchy: its blocks also decode straight to
// fp32, by selects, which vectorises.
struct MoeFp8E4m3 : MoeFp8<qtype::moe_fp8_e4m3, moe_e4m3_half_bits> {
  struct Block : MoeFp8::Block {
    using MoeFp8::Block::Block;
    float value(int j) const { return moe_e4m3_value(qs[j]); }
    float weight(int j) const { return value(j); }
    // value(j) of all 64 weights as fp32, for the dequantize kernels.
    [[gnu::always_inline]] void values(float* out) const {
      for (int j = 0; j < 64; ++j) out[j] = moe_e4m3_value(qs[j]);
    }
  };
};

}  // namespace vorn::formats
