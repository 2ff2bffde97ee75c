#pragma once
// Dot products of one slice of a weight super-block with q8_1 activations: integer sums of
// weight codes times the 8-bit activations, scaled in fp32. `block` points at the super-block,
// `q8` at the first of the 8 block_q8_1 covering it; iqs selects the slice. Summed over all
// slices of a super-block they give the dot product of its decoded weights with the q8_1
// activations (iq1_s: with each group's exact activation sum in its offset term).

#include <cstdint>

#include "formats/interleaved_iq.h"
#include "formats/interleaved_k.h"
#include "linear/block_q8_1.h"

namespace vorn::kernels {

// q2_k, iqs in 0..15: the 16 codes of qs bytes 4*iqs .. 4*iqs + 3, i.e. weights
// 128h + 32s + l0 .. +3 (h = iqs / 8, l0 = 4 * (iqs mod 8), s = 0..3), against q8 block 4h + s.
// Four consecutive weights share one 16-weight group, so one scale byte per q8 block.
inline float vec_dot_q2_k_q8_1(const void* block, const block_q8_1* q8, const int& iqs) {
  using formats::Q2K;
  const Q2K::Block b(static_cast<const uint8_t*>(block), Q2K::Layout(0), 0);
  const int h = iqs / 8, l0 = 4 * (iqs % 8);
  float sumd = 0.0f, summ = 0.0f;
  for (int s = 0; s < 4; ++s) {
    const block_q8_1& y = q8[4 * h + s];
    const int first = 128 * h + 32 * s + l0;
    int32_t dot = 0, sum = 0;
    for (int k = 0; k < 4; ++k) {
      dot += b.code(first + k) * y.qs[l0 + k];
      sum += y.qs[l0 + k];
    }
    const float d8 = q8_1_scale(y);
    sumd += d8 * float(dot) * float(b.sc(first / 16));
    summ += d8 * float(sum) * float(b.mn(first / 16));
  }
  return b.d * sumd - b.dmin * summ;
}

// iq2_xxs, iqs in 0..7: 32-weight group iqs against q8 block iqs,
// d * (0.125 + 0.25 * ls) * d8 * sum(signed magnitude * q).
inline float vec_dot_iq2_xxs_q8_1(const void* block, const block_q8_1* q8, const int& iqs) {
  using formats::Iq2Xxs;
  const Iq2Xxs::Block b(static_cast<const uint8_t*>(block), Iq2Xxs::Layout(0), 0);
  const block_q8_1& y = q8[iqs];
  int8_t w[kQ8_1Block];
  for (int l = 0; l < 4; ++l) {
    const uint64_t magnitudes = b.magnitudes(iqs, l);
    const uint8_t signs = b.sign_byte(iqs, l);
    for (int t = 0; t < 8; ++t) {
      const int8_t m = int8_t((magnitudes >> (8 * t)) & 255);
      w[8 * l + t] = (signs >> t) & 1 ? int8_t(-m) : m;
    }
  }
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
  for (int j = 0; j < kQ8_1Block; ++j) v[j] = int8_t(b.grid_value(kQ8_1Block * iqs + j));
  const int32_t dot = int8_dot<kQ8_1Block>(v, y.qs);
  return b.scale(iqs) * (q8_1_scale(y) * float(dot) + b.delta(iqs) * q8_1_sum(y));
}

}  // namespace vorn::kernels
