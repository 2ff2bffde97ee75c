// Quantizers of the integer-code formats with one scale per 64-weight block.
//   q4_0, q4_0_woq, q5_0: weight = (q - z) * d with d = (element of largest magnitude) / -z, so
//     that element gets code 0 and the sign of d follows it.
//   q4_1, q5_1: weight = q * d + m with m = min and d = (max - min) / qmax.
//   q8_0: weight = q * d with d = max|x| / 127 and codes in -127..127.
// Codes round to nearest against the stored (fp16-rounded) scales. A block that is exactly a
// decoded q4_0/q4_0_woq/q5_0 block keeps its weights (DecodedHalfScale), and its bytes when it
// holds code 0. q4_1 and q5_1 blocks keep their bytes when they hold codes 0 and qmax, d > 0
// and |m| is at most about 2^10 d; q8_0 blocks when they hold |q| = 127, no -128 and d > 0.

#include "formats/quantize_blocks.h"
#include "formats/quantize_math.h"

namespace vorn::formats {
namespace {

// Codes of weight = (q - zero) * d, q in 0 .. 2*zero - 1.
template <int kZero>
uint16_t offset_codes(const float* x, uint8_t* q) {
  static const DecodedHalfScale decoded = [] {
    float values[2 * kZero];
    for (int v = 0; v < 2 * kZero; ++v) values[v] = float(v - kZero);
    return DecodedHalfScale(values, 2 * kZero);
  }();
  auto snap = [](float y) { return float(clamp_int(round_int(y), -kZero, kZero - 1)); };
  const float m = max_abs_signed(x, 64);
  float d = decoded.find(x, 64, m, snap);
  if (d == 0.0f) d = m / -float(kZero);
  const uint16_t bits = scale_to_half(d);
  const float inverse = inverse_or_zero(half_to_float(bits));
  for (int j = 0; j < 64; ++j) q[j] = uint8_t(snap(x[j] * inverse) + kZero);
  return bits;
}

// Codes of weight = q * d + m, q in 0 .. qmax.
template <class Fields>
void min_codes(const float* x, int qmax, Fields& f) {
  float lo = x[0], hi = x[0];
  for (int j = 1; j < 64; ++j) {
    lo = std::fmin(lo, x[j]);
    hi = std::fmax(hi, x[j]);
  }
  f.d = scale_to_half((hi - lo) / float(qmax));
  f.m = scale_to_half(lo);
  const float m = half_to_float(f.m), inverse = inverse_or_zero(half_to_float(f.d));
  for (int j = 0; j < 64; ++j) f.q[j] = uint8_t(clamp_int(round_int((x[j] - m) * inverse), 0, qmax));
}

}  // namespace

template <>
void encode_block<Q4_0>(const Q4_0::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q4_0::Fields f;
  f.d = offset_codes<8>(x, f.q);
  Q4_0::store(out, at, blk, f);
}

template <>
void encode_block<Q4_0Woq>(const Q4_0Woq::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q4_0Woq::Fields f;
  f.d = offset_codes<8>(x, f.q);
  Q4_0Woq::store(out, at, blk, f);
}

template <>
void encode_block<Q5_0>(const Q5_0::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q5_0::Fields f;
  f.d = offset_codes<16>(x, f.q);
  f.m = 0;
  Q5_0::store(out, at, blk, f);
}

template <>
void encode_block<Q4_1>(const Q4_1::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q4_1::Fields f;
  min_codes(x, 15, f);
  Q4_1::store(out, at, blk, f);
}

template <>
void encode_block<Q5_1>(const Q5_1::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q5_1::Fields f;
  min_codes(x, 31, f);
  Q5_1::store(out, at, blk, f);
}

template <>
void encode_block<Q8_0>(const Q8_0::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  auto snap = [](float y) { return float(clamp_int(round_int(y), -127, 127)); };
  Q8_0::Fields f;
  f.d = fp32_scale(x, 64, max_abs(x, 64), 127.0f, snap);
  const float inverse = inverse_or_zero(f.d);
  for (int j = 0; j < 64; ++j) f.q[j] = uint8_t(int8_t(snap(x[j] * inverse)));
  Q8_0::store(out, at, blk, f);
}

}  // namespace vorn::formats
