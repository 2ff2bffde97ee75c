// Quantizers of the 256-weight super-block formats with per-sub-block scales.
//   q2_k, q4_k, q5_k: a sub-block starts from lo = min(0, min x) and hi = max x (step
//     (hi - lo) / qmax, lift -lo), refitted twice by least squares over the codes they give;
//     the fp16 d and dmin map the largest step and lift onto the largest sub-scale (15, 255,
//     63), sub-scales and mins round to nearest, and codes round (x + dmin*mn) / (d*sc) with the
//     products the decoder forms.
//   q6_k: per 16-weight group s = (element of largest magnitude) / -32 as for q4_0; the fp16 d
//     maps the largest |s| onto sub-scale -128; sub-scales round s / d into -128..127.
//   fp6_k: per group s = max|x| / (1.875 * 2^-8); d maps the largest s onto sub-scale 127
//     through the binary16 product the decoder forms; codes are the nearest fp6 values of
//     x / half(d * sc).
// q6_k and fp6_k groups that are exactly decoded groups keep their scale, so quantizing decoded
// weights again gives the same weights. Decoded bytes come back unchanged when d > 0 (q6_k:
// d != 0) and a sub-block reaches the largest sub-scale (q6_k: -128; fp6_k: 127); sub-blocks of
// non-zero scale reach their extreme codes (0 and qmax; q6_k: 0; fp6_k: magnitude 31) and those
// of scale 0 hold code 0 (q6_k: 32); and, for q2_k/q4_k/q5_k, dmin >= 0 with a min of
// 15/255/63 (or dmin = 0 and all mins 0) and dmin * mn no larger than the sub-block's range
// qmax * d * sc. Other q2_k/q4_k/q5_k bytes may come back as different weights.

#include <algorithm>

#include "formats/level_tables.h"
#include "formats/quantize_blocks.h"
#include "formats/quantize_math.h"

namespace vorn::formats {
namespace {

struct Affine {
  float step, lift;  // weight = q * step - lift
};

// Least-squares refit of a sub-block's step and lift (lift >= 0, step > 0) for the codes that
// the current ones give; kept only if it lowers the squared error.
template <int kSize>
Affine refit_affine(const float* x, int qmax, Affine a) {
  const float inverse = inverse_or_zero(a.step);
  double q[kSize], sq = 0, sx = 0, sqq = 0, sqx = 0;
  for (int j = 0; j < kSize; ++j) {
    q[j] = clamp_int(round_int((x[j] + a.lift) * inverse), 0, qmax);
    sq += q[j], sx += x[j], sqq += q[j] * q[j], sqx += q[j] * x[j];
  }
  auto squared_error = [&](double step, double lift) {
    double sum = 0;
    for (int j = 0; j < kSize; ++j)
      sum += (x[j] - (q[j] * step - lift)) * (x[j] - (q[j] * step - lift));
    return sum;
  };
  const double det = kSize * sqq - sq * sq;
  if (det <= 0) return a;
  double step = (kSize * sqx - sq * sx) / det, lift = (step * sq - sx) / kSize;
  if (lift < 0) lift = 0, step = sqx / sqq;
  if (!(step > 0) || squared_error(step, lift) >= squared_error(a.step, a.lift)) return a;
  return {float(step), float(lift)};
}

// weight = q * (d * sc) - dmin * mn over kCount sub-blocks of kSize weights.
template <int kCount, int kSize, class Fields>
void affine_sub_blocks(const float* x, int qmax, int scale_max, Fields& f) {
  Affine a[kCount];
  float max_step = 0.0f, max_lift = 0.0f;
  for (int s = 0; s < kCount; ++s) {
    const float* xs = x + kSize * s;
    float lo = 0.0f, hi = xs[0];
    for (int j = 0; j < kSize; ++j) {
      lo = std::fmin(lo, xs[j]);
      hi = std::fmax(hi, xs[j]);
    }
    a[s] = {(hi - lo) / float(qmax), -lo};
    for (int iteration = 0; iteration < 2; ++iteration) a[s] = refit_affine<kSize>(xs, qmax, a[s]);
    max_step = std::fmax(max_step, a[s].step);
    max_lift = std::fmax(max_lift, a[s].lift);
  }
  f.d = scale_to_half(max_step / float(scale_max));
  f.dmin = scale_to_half(max_lift / float(scale_max));
  const float d = half_to_float(f.d), dmin = half_to_float(f.dmin);
  const float inverse_d = inverse_or_zero(d), inverse_dmin = inverse_or_zero(dmin);
  for (int s = 0; s < kCount; ++s) {
    f.sc[s] = uint8_t(clamp_int(round_int(a[s].step * inverse_d), 0, scale_max));
    f.mn[s] = uint8_t(clamp_int(round_int(a[s].lift * inverse_dmin), 0, scale_max));
    const float scale = d * float(f.sc[s]), offset = dmin * float(f.mn[s]);
    const float inverse = inverse_or_zero(scale);
    for (int j = kSize * s; j < kSize * (s + 1); ++j)
      f.q[j] = uint8_t(clamp_int(round_int((x[j] + offset) * inverse), 0, qmax));
  }
}

// q6_k group scale: the decoded group's own scale when the group is one (its largest element
// then sits at an offset of -32 .. -16, where rounding the sub-scale leaves it), else
// (element of largest magnitude) / -32.
template <class Snap>
float q6k_group_scale(const float* x, Snap snap) {
  const float m = max_abs_signed(x, 16);
  if (m == 0.0f) return 0.0f;
  for (int offset = -32; offset <= -16; ++offset)
    if (reproduces(x, 16, m / float(offset), snap)) return m / float(offset);
  return m / -32.0f;
}

float fp6k_sub_scale(float s, float inverse_d) {
  return float(clamp_int(round_int(s * inverse_d), 0, 127));
}

// fp6_k d: max_s / 127 rounded to fp16 (at most 65504 / 127), or the fp16 next to it whose binary16
// products half(d * sc) give back every group scale, when the groups are decoded ones. d -> half(127 d)
// is not one-to-one, so the rounded quotient alone can miss the d they were decoded with.
uint16_t fp6k_scale(const float* s, float max_s) {
  uint16_t rounded = scale_to_half(max_s / 127.0f);
  // Keep the largest group scale a finite binary16 (it saturates at 65504).
  while (rounded > 0 && !std::isfinite(Fp6K::group_scale(half_to_float(rounded), 127))) --rounded;
  for (const int step : {0, -1, 1, -2, 2}) {
    const uint16_t candidate = uint16_t(rounded + step);
    if (candidate > 0x7bff) continue;
    const float d = half_to_float(candidate), inverse_d = inverse_or_zero(d);
    bool all = true;
    for (int g = 0; g < 16 && all; ++g)
      all = Fp6K::group_scale(d, int(fp6k_sub_scale(s[g], inverse_d))) == s[g];
    if (all) return candidate;
  }
  return rounded;
}

}  // namespace

template <>
void encode_block<Q2K>(const Q2K::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q2K::Fields f;
  affine_sub_blocks<16, 16>(x, 3, 15, f);
  Q2K::store(out, at, blk, f);
}

template <>
void encode_block<Q4K>(const Q4K::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q4K::Fields f;
  affine_sub_blocks<8, 32>(x, 15, 255, f);
  Q4K::store(out, at, blk, f);
}

template <>
void encode_block<Q5K>(const Q5K::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Q5K::Fields f;
  affine_sub_blocks<8, 32>(x, 31, 63, f);
  Q5K::store(out, at, blk, f);
}

template <>
void encode_block<Q6K>(const Q6K::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  auto snap = [](float y) { return float(clamp_int(round_int(y), -32, 31)); };
  Q6K::Fields f;
  float s[16];
  for (int g = 0; g < 16; ++g) s[g] = q6k_group_scale(x + 16 * g, snap);
  f.d = scale_to_half(max_abs_signed(s, 16) / -128.0f);
  const float d = half_to_float(f.d), inverse_d = inverse_or_zero(d);
  for (int g = 0; g < 16; ++g) {
    f.sc[g] = int8_t(clamp_int(round_int(s[g] * inverse_d), -128, 127));
    const float inverse = inverse_or_zero(d * float(f.sc[g]));
    for (int j = 16 * g; j < 16 * (g + 1); ++j) f.q[j] = uint8_t(snap(x[j] * inverse) + 32);
  }
  Q6K::store(out, at, blk, f);
}

template <>
void encode_block<Fp6K>(const Fp6K::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  const NearestLevel& magnitudes = fp6_magnitudes();
  auto snap = [&](float y) { return sign_magnitude_value(magnitudes, y); };
  Fp6K::Fields f;
  float s[16], max_s = 0.0f;
  for (int g = 0; g < 16; ++g) {
    const float* xg = x + 16 * g;
    s[g] = fp6_decoded_scale().find(xg, 16, max_abs_signed(xg, 16), snap);
    // Beyond the largest binary16 a group scale saturates.
    if (s[g] == 0.0f) s[g] = std::fmin(max_abs(xg, 16) / fp6_top(), 65504.0f);
    max_s = std::fmax(max_s, s[g]);
  }
  f.d = fp6k_scale(s, max_s);
  const float d = half_to_float(f.d), inverse_d = inverse_or_zero(d);
  for (int g = 0; g < 16; ++g) {
    f.sc[g] = int8_t(fp6k_sub_scale(s[g], inverse_d));
    const float inverse = inverse_or_zero(Fp6K::group_scale(d, f.sc[g]));
    for (int j = 16 * g; j < 16 * (g + 1); ++j)
      f.q[j] = uint8_t(sign_magnitude_code(magnitudes, x[j] * inverse, 5));
  }
  Fp6K::store(out, at, blk, f);
}

}  // namespace vorn::formats
