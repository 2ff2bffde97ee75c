// Quantizers of the lattice formats. Each 32-weight group first gets the scale that maps its
// largest magnitude onto the largest level (iq2_xxs: 43; iq1_s: 1.125), refined once by least
// squares over the levels its runs snap to. The fp16 d maps the largest group scale onto the
// largest group multiplier (iq2_xxs: 31/8; iq1_s: 15), the multipliers round to nearest, and
// every run of eight snaps to the nearest grid entry (TernaryLattice) at the stored scale.
//   iq2_xxs: signs come from the weights; a run with an odd number of negatives (the sign
//     table only holds even ones) flips the sign of its smallest weight.
//   iq1_s: both offsets are tried and the one with the smaller error is kept.
// A group that is exactly a decoded group keeps its scale (and offset), so re-quantizing
// decoded weights gives the same weights; the same bytes when d > 0, a group reaches the
// largest multiplier (ls 15 / 7), and every group holds a weight of the largest level
// (iq2_xxs: magnitude 43; iq1_s: grid value 0 with offset -1.125, 2 with offset -0.875).

#include <bitset>

#include "formats/quantize_blocks.h"
#include "formats/quantize_math.h"
#include "formats/ternary_lattice.h"

namespace vorn::formats {
namespace {

const TernaryLattice& iq2xxs_lattice() {
  static const TernaryLattice lattice = [] {
    std::vector<TernaryLattice::Pattern> patterns(256);
    for (int e = 0; e < 256; ++e)
      for (int t = 0; t < 8; ++t) {
        const int magnitude = int((iq2xxs_grid[e] >> (8 * t)) & 255);
        patterns[e][t] = uint8_t(magnitude == 8 ? 0 : magnitude == 25 ? 1 : 2);
      }
    return TernaryLattice(std::move(patterns));
  }();
  return lattice;
}

const TernaryLattice& iq1s_lattice() {
  static const TernaryLattice lattice = [] {
    std::vector<TernaryLattice::Pattern> patterns(2048);
    for (int e = 0; e < 2048; ++e)
      for (int t = 0; t < 8; ++t)
        patterns[e][t] = uint8_t((iq1s_grid[e] >> (8 * (t & 3) + 4 * (t >> 2))) & 15);
    return TernaryLattice(std::move(patterns));
  }();
  return lattice;
}

// The grid entries of a group's four runs at `scale`.
void snap_runs(const TernaryLattice& lattice, const float* x, float scale, const float* levels,
               int* entries) {
  const float inverse = inverse_or_zero(scale);
  // Weights past a saturated scale are clamped far outside the levels, where squared errors
  // still fit a float; the extreme level stays the nearest.
  const float bound = 64.0f * std::fmax(std::fabs(levels[0]), std::fabs(levels[2]));
  for (int l = 0; l < 4; ++l) {
    float y[8];
    for (int t = 0; t < 8; ++t) y[t] = std::fmin(std::fmax(x[8 * l + t] * inverse, -bound), bound);
    entries[l] = lattice.nearest(y, levels);
  }
}

struct GroupFit {
  float scale;
  double error;
};

// Snaps the four runs of a group at `scale` and returns the least-squares scale for the levels
// they took, with the squared error there (when no positive scale fits, `scale` with the
// error of zero weights).
GroupFit refit(const TernaryLattice& lattice, const float* x, float scale, const float* levels) {
  int entries[4];
  snap_runs(lattice, x, scale, levels, entries);
  double xl = 0, ll = 0, xx = 0;
  for (int l = 0; l < 4; ++l) {
    const TernaryLattice::Pattern& pattern = lattice.pattern(entries[l]);
    for (int t = 0; t < 8; ++t) {
      const double level = levels[pattern[t]], v = x[8 * l + t];
      xl += v * level;
      ll += level * level;
      xx += v * v;
    }
  }
  const float fitted = ll > 0 ? float(xl / ll) : 0.0f;
  if (!(fitted > 0) || !std::isfinite(fitted)) return {scale, xx};
  return {fitted, xx - xl * xl / ll};
}

constexpr float kIq2Magnitudes[3] = {8.0f, 25.0f, 43.0f};

// iq2_xxs group scale over the sign-free targets: the decoded group's own scale when the group
// is one (every target is a grid magnitude times it; the largest may sit at any magnitude),
// else the refined fit.
float iq2xxs_group_scale(const float* target) {
  const float m = max_abs(target, 32);
  if (m == 0.0f) return 0.0f;
  auto snap = [](float y) {
    const float a = std::fabs(y);
    return std::copysign(a < 16.5f ? 8.0f : a < 34.0f ? 25.0f : 43.0f, y);
  };
  for (int level = 2; level >= 0; --level)
    if (reproduces(target, 32, m / kIq2Magnitudes[level], snap)) return m / kIq2Magnitudes[level];
  return refit(iq2xxs_lattice(), target, m / kIq2Magnitudes[2], kIq2Magnitudes).scale;
}

struct Iq1Group {
  float scale;
  bool negative_delta;
};

// Levels of an iq1_s group: v + delta for v = 0, 1, 2.
void iq1s_levels(bool negative_delta, float* levels) {
  const float delta = kIq1sDelta[negative_delta ? 0 : 1];
  for (int v = 0; v < 3; ++v) levels[v] = float(v) + delta;
}

// iq1_s group scale and offset: the decoded group's own when the group is one (its largest
// weight m is scale * (v + delta) for a level of magnitude 1.125, 0.875 or 0.125, whose sign
// picks delta), else the better refined fit of the two offsets.
Iq1Group iq1s_group(const float* x) {
  const float m = max_abs_signed(x, 32);
  if (m == 0.0f) return {0.0f, false};
  for (const float level : {1.125f, 0.875f, 0.125f}) {
    const float v = std::copysign(level, m);
    const bool negative_delta = v == -1.125f || v == -0.125f || v == 0.875f;
    float levels[3];
    iq1s_levels(negative_delta, levels);
    auto snap = [&](float y) { return levels[clamp_int(round_int(y - levels[0]), 0, 2)]; };
    if (reproduces(x, 32, m / v, snap)) return {m / v, negative_delta};
  }
  Iq1Group best{0.0f, false};
  double best_error = INFINITY;
  for (const bool negative_delta : {m < 0.0f, m >= 0.0f}) {
    float levels[3];
    iq1s_levels(negative_delta, levels);
    const GroupFit fit = refit(iq1s_lattice(), x, std::fabs(m) / 1.125f, levels);
    if (fit.error < best_error) {
      best_error = fit.error;
      best = {fit.scale, negative_delta};
    }
  }
  return best;
}

}  // namespace

template <>
void encode_block<Iq2Xxs>(const Iq2Xxs::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Iq2Xxs::Fields f;
  float target[256];  // the weights with the stored signs taken out
  for (int r = 0; r < 32; ++r) {
    const float* xr = x + 8 * r;
    unsigned negative = 0;
    int smallest = 0;
    for (int t = 0; t < 8; ++t) {
      if (xr[t] < 0.0f) negative |= 1u << t;
      if (std::fabs(xr[t]) < std::fabs(xr[smallest])) smallest = t;
    }
    if (std::bitset<8>(negative).count() & 1) negative ^= 1u << smallest;
    for (int t = 0; t < 8; ++t) target[8 * r + t] = (negative >> t) & 1 ? -xr[t] : xr[t];
    f.signs[r] = uint8_t(negative & 127);
  }
  float s[8], max_s = 0.0f;
  for (int p = 0; p < 8; ++p) {
    s[p] = iq2xxs_group_scale(target + 32 * p);
    max_s = std::fmax(max_s, s[p]);
  }
  f.d = scale_to_half(max_s * 8.0f / 31.0f);
  const float d = half_to_float(f.d), inverse_d = inverse_or_zero(d);
  for (int p = 0; p < 8; ++p) {
    f.ls[p] = uint8_t(clamp_int(round_int((8.0f * s[p] * inverse_d - 1.0f) / 2.0f), 0, 15));
    int entries[4];
    snap_runs(iq2xxs_lattice(), target + 32 * p, Iq2Xxs::group_scale(d, float(f.ls[p])), kIq2Magnitudes,
              entries);
    for (int l = 0; l < 4; ++l) f.grid[4 * p + l] = uint8_t(entries[l]);
  }
  Iq2Xxs::store(out, at, blk, f);
}

template <>
void encode_block<Iq1S>(const Iq1S::Layout& at, uint8_t* out, int64_t blk, const float* x) {
  Iq1S::Fields f;
  float s[8], max_s = 0.0f;
  for (int p = 0; p < 8; ++p) {
    const Iq1Group group = iq1s_group(x + 32 * p);
    f.negative_delta[p] = group.negative_delta;
    s[p] = group.scale;
    max_s = std::fmax(max_s, s[p]);
  }
  f.d = scale_to_half(max_s / 15.0f);
  const float d = half_to_float(f.d), inverse_d = inverse_or_zero(d);
  for (int p = 0; p < 8; ++p) {
    f.ls[p] = uint8_t(clamp_int(round_int((s[p] * inverse_d - 1.0f) / 2.0f), 0, 7));
    float levels[3];
    iq1s_levels(f.negative_delta[p], levels);
    int entries[4];
    snap_runs(iq1s_lattice(), x + 32 * p, Iq1S::group_scale(d, float(f.ls[p])), levels, entries);
    for (int l = 0; l < 4; ++l) f.grid[4 * p + l] = uint16_t(entries[l]);
  }
  Iq1S::store(out, at, blk, f);
}

}  // namespace vorn::formats
