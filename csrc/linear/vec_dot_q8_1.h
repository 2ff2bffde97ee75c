#pragma once
// Dot products of one slice of a weight super-block with q8_1 activations: integer sums of
// weight codes times the 8-bit activations, scaled in fp32. `block` points at the super-block,
// `q8` at the first of the 8 block_q8_1 covering it; iqs selects the slice. Summed over all
// slices of a super-block they give the dot product of its decoded weights with the q8_1
// activations (iq1_s: with each group's exact activation sum in its offset term).
//
// The integer work is written as loops over byte arrays, which the compiler turns into vector
// multiply-adds.

#include <cstdint>
#include <cstring>

#include "formats/interleaved_iq.h"
#include "formats/interleaved_k.h"
#include "linear/block_q8_1.h"

namespace vorn::kernels {

// Bytes 0..7 of v (least significant first) to out[0..7]: the host is little-endian
// (block_q8_1.h), so this is one 8-byte store.
inline void put_bytes(int8_t* out, uint64_t v) { std::memcpy(out, &v, sizeof v); }

// q2_k. Slice iqs (0..15) holds the 16 codes of qs bytes 4*iqs .. 4*iqs + 3: weights
// 128h + 32s + 4g .. +3 (h = iqs / 8, g = iqs mod 8, s = 0..3), met by q8 block 4h + s. Four
// consecutive weights share one 16-weight group, so each q8 block meets one scale byte:
//   value = d * sum_s(d8 * dot * (sc & 15)) - dmin * sum_s(d8 * sum(q) * (sc >> 4)).
// A kernel visits every slice of a super-block, so all 16 values are formed together, lane by
// lane in the same operations and order as for one slice.
class Q2KSlices {
 public:
  Q2KSlices(const void* block, const block_q8_1* q8) {
    const formats::Q2K::Block b(static_cast<const uint8_t*>(block), formats::Q2K::Layout(0), 0);
    float sc[16], mn[16];
    for (int group = 0; group < 16; ++group) {
      sc[group] = float(b.sc(group));
      mn[group] = float(b.mn(group));
    }
    for (int h = 0; h < 2; ++h) {
      // Item i = 8s + g of this half: q8 block 4h + s, its lanes 4g .. 4g + 3.
      int32_t product[4 * kQ8_1Block], q[4 * kQ8_1Block], dot[32], sum[32];
      float d8[4];
      for (int s = 0; s < 4; ++s) {
        const block_q8_1& y = q8[4 * h + s];
        for (int l = 0; l < kQ8_1Block; ++l) {
          product[kQ8_1Block * s + l] = b.code(4 * h + s, l) * y.qs[l];
          q[kQ8_1Block * s + l] = y.qs[l];
        }
        d8[s] = q8_1_scale(y);
      }
      for (int i = 0; i < 32; ++i) {
        dot[i] = product[4 * i] + product[4 * i + 1] + product[4 * i + 2] + product[4 * i + 3];
        sum[i] = q[4 * i] + q[4 * i + 1] + q[4 * i + 2] + q[4 * i + 3];
      }
      float sumd[8] = {}, summ[8] = {};
      for (int s = 0; s < 4; ++s) {
        for (int g = 0; g < 8; ++g) {
          sumd[g] += d8[s] * float(dot[8 * s + g]) * sc[8 * h + 2 * s + g / 4];
          summ[g] += d8[s] * float(sum[8 * s + g]) * mn[8 * h + 2 * s + g / 4];
        }
      }
      for (int g = 0; g < 8; ++g) value_[8 * h + g] = b.d * sumd[g] - b.dmin * summ[g];
    }
  }

  float operator()(int iqs) const { return value_[iqs]; }

 private:
  float value_[16];
};

inline float vec_dot_q2_k_q8_1(const void* block, const block_q8_1* q8, const int& iqs) {
  return Q2KSlices(block, q8)(iqs);
}

// iq2_xxs, iqs in 0..7: 32-weight group iqs against q8 block iqs,
// d * (0.125 + 0.25 * ls) * d8 * sum(signed magnitude * q).
inline float vec_dot_iq2_xxs_q8_1(const void* block, const block_q8_1* q8, const int& iqs) {
  using formats::Iq2Xxs;
  const Iq2Xxs::Block b(static_cast<const uint8_t*>(block), Iq2Xxs::Layout(0), 0);
  const block_q8_1& y = q8[iqs];
  int8_t w[kQ8_1Block];
  for (int l = 0; l < 4; ++l) put_bytes(w + 8 * l, b.run_weights(iqs, l));
  return b.scale(iqs) * q8_1_scale(y) * float(int8_dot<kQ8_1Block>(w, y.qs));
}

// iq1_s, iqs in 0..7: 32-weight group iqs against q8 block iqs,
// d * (2 ls + 1) * (d8 * sum(v * q) + delta * s8). The offset term takes the block's exact
// activation sum s8, not the sum of its quantized values.
inline float vec_dot_iq1_s_q8_1(const void* block, const block_q8_1* q8, const int& iqs) {
  using formats::Iq1S;
  const Iq1S::Block b(static_cast<const uint8_t*>(block), Iq1S::Layout(0), 0);
  const block_q8_1& y = q8[iqs];
  int8_t v[kQ8_1Block];
  for (int l = 0; l < 4; ++l) put_bytes(v + 8 * l, b.run_values(iqs, l));
  return b.scale(iqs) * (q8_1_scale(y) * float(int8_dot<kQ8_1Block>(v, y.qs)) + b.delta(iqs) * q8_1_sum(y));
}

}  // namespace vorn::kernels
