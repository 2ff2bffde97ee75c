#pragma once
// Matrix-vector work-groups of the members whose lanes find their codes in fixed words
// (lane_codes.h).
//
// The work-group's lanes become the lanes of vector instructions: for each position n, every
// lane extracts its code, takes the code's level and adds level times activation to its sum, in
// the member's order and T's arithmetic, exactly as matvec_group computes it; per step the sums
// meet the lanes' fields (lane_fields.h) through the member's combine. The activations are read
// from a table laid out [step][n][lane] (with the lanes' activation sums where the combine needs
// them), which each pool thread builds once per launch.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "common/per_launch.h"
#include "formats/formats.h"
#include "linear/lane_arith.h"
#include "linear/lane_codes.h"
#include "linear/lane_fields.h"
#include "linear/lane_isa.h"
#include "linear/matvec_members.h"
#include "platform/launch.h"

namespace vorn::kernels {

// A launch's activations in lane layout, built by each pool thread for the launch it serves.
template <class C>
struct LaneActivations {
  int64_t row_size = 0;  // elements of one activation row in `table`
  // [row * row_size + (step * lane weights + n) * W + l]: lane l's n-th activation, 0 past K
  std::vector<C> table;
  std::vector<C> sums;  // [step * W + l]: lane l's activations (of row 0) added in its order
  // fp16 with W a multiple of 32: the table's binary16 patterns, each 32 lanes in pair order
  // (lane 32p + i at word 32p + 2i, lane 32p + 16 + i at word 32p + 2i + 1).
  std::vector<uint16_t> half_pairs;
  // bf16: every activation is zero, not finite or at least 2^-40 in magnitude. A weight's level
  // in bf16 is zero or at least 2^-31 (its fp16 fields are at least 2^-24), so every product of
  // the two and every sum of such products is then zero or far from the subnormals.
  bool normal_bf16_products = false;
  // fp16: the largest magnitude of an activation, infinite when one is not finite.
  float largest_magnitude = INFINITY;
  const C* row(int64_t b) const { return table.data() + b * row_size; }
};

// The activations of rows 0 .. rows - 1 of x ([rows, K]) in lane layout.
template <class M, class T, int W>
LaneActivations<typename Arith<T>::C> arrange_activations(const T* x, int64_t rows, int64_t K) {
  using A = Arith<T>;
  using WL = WordLanes<M>;
  constexpr int kLaneWeights = WL::kLaneWeights, kStep = kLaneWeights * W;
  LaneActivations<typename A::C> prepared;
  const int64_t steps = (K + kStep - 1) / kStep;
  prepared.row_size = steps * kStep;
  prepared.table.assign(rows * prepared.row_size, 0);
  for (int64_t b = 0; b < rows; ++b) {
    for (int64_t step = 0; step < steps; ++step) {
      const int lanes = static_cast<int>(std::min<int64_t>(W, (K - step * kStep) / kLaneWeights));
      for (int l = 0; l < lanes; ++l) {
        const int64_t unit_column = b * K + step * kStep + (l / WL::kLanesPerUnit) * WL::kUnit;
        for (int n = 0; n < kLaneWeights; ++n) {
          prepared.table[b * prepared.row_size + (step * kLaneWeights + n) * W + l] =
              A::load(x[unit_column + WL::weight_of(l % WL::kLanesPerUnit, n)]);
        }
      }
    }
  }
  if constexpr (std::is_same_v<T, c10::BFloat16>) {
    prepared.normal_bf16_products = std::all_of(x, x + rows * K, [](T v) {
      const float magnitude = std::fabs(float(v));
      return magnitude == 0.0f || !(magnitude < 0x1p-40f);
    });
  }
  if constexpr (std::is_same_v<T, c10::Half>) {
    if constexpr (W % 32 == 0) {
      prepared.half_pairs.resize(prepared.table.size());
      for (size_t i = 0; i < prepared.table.size(); ++i) {
        const size_t lane = i % 32, word = i - lane + 2 * (lane % 16) + lane / 16;
        prepared.half_pairs[word] = c10::Half(prepared.table[i]).x;
      }
    }
    prepared.largest_magnitude = std::accumulate(x, x + rows * K, 0.0f, [](float m, T v) {
      const float magnitude = std::fabs(float(v));
      return std::isfinite(magnitude) ? std::max(m, magnitude) : INFINITY;
    });
  }
  if constexpr (M::kNeedsActivationSums) {
    prepared.sums.assign(steps * W, 0);
    for (int64_t step = 0; step < steps; ++step) {
      for (int n = 0; n < kLaneWeights; ++n) {
        for (int l = 0; l < W; ++l) {
          auto& sum = prepared.sums[step * W + l];
          sum = A::add(sum, prepared.table[(step * kLaneWeights + n) * W + l]);
        }
      }
    }
  }
  return prepared;
}

// The same for the launch `launch`, built once per pool thread.
template <class M, class T, int W>
const LaneActivations<typename Arith<T>::C>& lane_activations(const T* x, int64_t rows, int64_t K, uint64_t launch) {
  return per_launch<LaneActivations<typename Arith<T>::C>>(launch,
                                                           [&] { return arrange_activations<M, T, W>(x, rows, K); });
}

// Running sums that take two vectors of a row at once: add(a0, b0, a1, b1) and value(i).
template <class S>
inline constexpr bool kTakesVectorPairs = false;
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
template <>
inline constexpr bool kTakesVectorPairs<NormalBf16ProductSums> = true;
#endif

// What the other running sums S take per addition: the levels and activations of one lane vector
// as fp32 lanes, or (HalfPairProductSum) of kVectors = 2 as binary16 patterns in pair order
// (level_pair(), LaneActivations::half_pairs); and lanes(sums, h), vector h of their sums.
template <class S>
struct SumInputs {
  static constexpr int kVectors = 1;
  static const float* activations(const LaneActivations<float>& a) { return a.table.data(); }
  static f32x16 activation(const float* x) { return load_lanes<f32x16>(x); }
  template <class Codes>
  static f32x16 level(const Codes& codes, int n, int v) {
    return codes.level(n, v);
  }
  template <class T, class Isa>
  static typename SumLanes<T, Isa>::V lanes(const S& sums, int) {
    return SumLanes<T, Isa>::of(sums);
  }
};
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
template <>
struct SumInputs<HalfPairProductSum> {
  static constexpr int kVectors = 2;
  static const uint16_t* activations(const LaneActivations<float>& a) { return a.half_pairs.data(); }
  static u16x32 activation(const uint16_t* x) { return load_lanes<u16x32>(x); }
  template <class Codes>
  static u16x32 level(const Codes& codes, int n, int p) {
    return codes.level_pair(n, p);
  }
  template <class T, class Isa>
  static __m256h lanes(const HalfPairProductSum& sums, int h) {
    return sums.half_lanes(h);
  }
};
#endif
template <class S>
inline constexpr bool kTakesHalfPairs = SumInputs<S>::kVectors == 2;

// Adds the product of a step's n-th weight to a running sum: its first (n = 0) starts the sum.
template <class S, class... Inputs>
inline void add_product(S& sums, int n, const Inputs&... inputs) {
  if (n == 0) {
    sums.start(inputs...);
  } else {
    sums.add(inputs...);
  }
}

// The sums of one step of kRows weight rows, whose activations start at lane-table element
// `first` (rows in kGroups groups, group g's at first + g * group_stride: the rows of two steps):
// for the 16 lanes of each vector v of row r, s[r][v] = sum over the lanes' words of level times
// activation, added in the lanes' order in T's arithmetic by Sums. A sum begins with its first
// product (Sums::start), not with an addition to zero: they differ only in the sign of a zero
// sum, which no result can show, as the accumulators start at +0.
template <class M, class T, int W, class Isa, class Sums, size_t kGroups, class Codes, size_t kRows>
inline void word_sums(const std::array<Codes, kRows>& codes, const LaneActivations<float>& activations,
                      int64_t first, int64_t group_stride, typename SumLanes<T, Isa>::V (*s)[W / 16]) {
  static_assert(kRows % kGroups == 0, "whole groups of rows");
  constexpr size_t kGroupRows = kRows / kGroups;
  if constexpr (kTakesVectorPairs<Sums>) {
    const float* x = activations.table.data() + first;
    Sums sums[kRows][W / 32];
#pragma GCC unroll 16
    for (int n = 0; n < M::kLaneWeights; ++n) {
      for (size_t r = 0; r < kRows; ++r) {
        const float* xr = x + static_cast<int64_t>(r / kGroupRows) * group_stride + n * W;
        for (int v = 0; v < W / 16; v += 2) {
          add_product(sums[r][v / 2], n, codes[r].level(n, v), load_lanes<f32x16>(xr + 16 * v),
                      codes[r].level(n, v + 1), load_lanes<f32x16>(xr + 16 * v + 16));
        }
      }
    }
    for (size_t r = 0; r < kRows; ++r) {
      for (int v = 0; v < W / 16; ++v) s[r][v] = sums[r][v / 2].value(v % 2);
    }
  } else {
    using In = SumInputs<Sums>;
    constexpr int kLanes = 16 * In::kVectors;  // per addition
    const auto* x = In::activations(activations) + first;
    Sums sums[kRows][W / kLanes];
#pragma GCC unroll 16
    for (int n = 0; n < M::kLaneWeights; ++n) {
      for (int i = 0; i < W / kLanes; ++i) {
        // The activations of each group first, and the rows' loop innermost: nested in a loop over
        // the groups it was not always unrolled (q5_0 in fp32 took 30% longer).
        decltype(In::activation(x)) activation[kGroups];
        for (size_t g = 0; g < kGroups; ++g) {
          activation[g] = In::activation(x + static_cast<int64_t>(g) * group_stride + n * W + kLanes * i);
        }
        for (size_t r = 0; r < kRows; ++r) {
          add_product(sums[r][i], n, In::level(codes[r], n, i), activation[r / kGroupRows]);
        }
      }
    }
    for (size_t r = 0; r < kRows; ++r) {
      for (int v = 0; v < W / 16; ++v) {
        s[r][v] = In::template lanes<T, Isa>(sums[r][v / In::kVectors], v % In::kVectors);
      }
    }
  }
}

// How a step's combine takes the lane vectors: one at a time in the arithmetic of SumLanes, or,
// after NormalBf16ProductSums, two at a time, each operation rounding both by one conversion
// (exact there: the combine's operands are no nearer the subnormals than the sums).
template <class Sums, class T, class Isa>
struct CombinedVectors {
  static constexpr int kCount = 1;
  using V = typename SumLanes<T, Isa>::V;
  using Ar = typename SumLanes<T, Isa>::Ar;
  // The combine operand of vectors v .. v + kCount - 1, vector(i) giving vector v + i.
  template <class Vector>
  static V of(const Vector& vector) {
    return vector(0);
  }
  static V part(V c, int) { return c; }
};
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
template <class T, class Isa>
struct CombinedVectors<NormalBf16ProductSums, T, Isa> {
  static constexpr int kCount = 2;
  using V = Bf16Pair;
  using Ar = NormalBf16PairArith;
  template <class Vector>
  static V of(const Vector& vector) {
    return {{vector(0), vector(1)}};
  }
  static f32x16 part(V c, int i) { return c.v[i]; }
};
#endif

// Formats whose scales are fp32 (q8_0, fp8), which may be as small as the subnormals.
template <class F, class = void>
struct HasFp32Scales : std::false_type {};
template <class F>
struct HasFp32Scales<F, std::void_t<typename F::Scales>>
    : std::bool_constant<F::Scales::kType == formats::FieldType::f32> {};

// acc = the member's combine of every lane's accumulator with its step sums s (and activation
// sums sx), with the fields of each lane's block. Lanes at or past `lanes` (past the row) keep
// their accumulators, as the work-items that have no weights in a partial step do.
template <class M, class T, int W, class Isa, class Sums, class Fields, class V = typename SumLanes<T, Isa>::V>
inline void combine_lanes(const Fields& step_fields, int lanes, const V* s, const float* sx, V* acc) {
  using Params = typename M::template Params<Arith<T>>;
  using L = SumLanes<T, Isa>;
  // Products with fp32 scales could be subnormal: those combines take one vector at a time.
  constexpr bool kScaledByFp32 = Params::kFields > 0 && HasFp32Scales<typename M::F>::value;
  using C = CombinedVectors<std::conditional_t<kScaledByFp32, void, Sums>, T, Isa>;
  for (int v = 0; v < W / 16; v += C::kCount) {
    std::array<typename C::V, Params::kFields> fields;
    for (int f = 0; f < Params::kFields; ++f) {
      fields[f] = C::of([&](int i) { return L::from(step_fields.lanes(f, v + i)); });
    }
    const auto sums_x = M::kNeedsActivationSums
                            ? C::of([&](int i) { return L::from(load_lanes<f32x16>(sx + 16 * (v + i))); })
                            : typename C::V{};
    const auto combined = Params::template combine<typename C::Ar>(
        C::of([&](int i) { return acc[v + i]; }), C::of([&](int i) { return s[v + i]; }), sums_x, fields);
    for (int i = 0; i < C::kCount; ++i) {
      const V c = C::part(combined, i);
      acc[v + i] = lanes == W ? c : L::first_lanes(c, acc[v + i], lanes - 16 * (v + i));
    }
  }
}

// Whether a scaled member names the member its lanes combine as when every scale of their rows
// is 1 (M::AtUnitScales).
template <class M, class = void>
struct HasUnitScaleForm : std::false_type {};
template <class M>
struct HasUnitScaleForm<M, std::void_t<typename M::AtUnitScales>> : std::true_type {};

// Whether every block that weights of the rows fall in stores 1 as its fp32 scale.
template <class Isa, class F, size_t kRows>
inline bool rows_have_unit_scales(const formats::Packed<F>* const (&weights)[kRows], const int64_t (&rows)[kRows],
                                  int64_t K) {
  static_assert(F::Scales::kType == formats::FieldType::f32 && F::Scales::kFields == 1, "one fp32 per block");
  for (size_t r = 0; r < kRows; ++r) {
    const formats::Packed<F>& packed = *weights[r];
    const int64_t end = (rows[r] * K + K - 1) / F::kBlock + 1;
    for (int64_t b = rows[r] * K / F::kBlock; b < end; b += 16) {
      const int count = static_cast<int>(std::min<int64_t>(16, end - b));
      const f32x16 scales = FieldLoad<Isa>::floats(packed.w + packed.at.scales(b), count);  // consecutive
      if (!LaneTest<Isa>::all_equal(scales, 1.0f, count)) return false;
    }
  }
  return true;
}

// The end of a step of one weight row: its sums s meet the fields of the step's blocks, which
// start at flat weight `first`.
template <class M, class T, int W, class Isa, class Sums, class V = typename SumLanes<T, Isa>::V>
inline void combine_step(const formats::Packed<typename M::F>& packed, const LaneActivations<float>& activations,
                         int64_t first, int64_t step, int lanes, const V* s, V* acc) {
  const typename StepFieldsOf<M, T, W, Isa>::type fields(packed, first, lanes);
  const float* sums_x = M::kNeedsActivationSums ? activations.sums.data() + step * W : nullptr;
  combine_lanes<M, T, W, Isa, Sums>(fields, lanes, s, sums_x, acc);
}

// The codes of one step of each of the rows that start at flat weights first[r] of *weights[r].
template <class M, class T, int W, class Isa, class Prefetch, size_t... r>
inline std::array<StepCodes<M, T, W, Isa, Prefetch>, sizeof...(r)> step_codes(
    const formats::Packed<typename M::F>* const* weights, const int64_t* first, int lanes,
    const LaneLevels<typename M::F, T, Isa>& levels, std::index_sequence<r...>) {
  return {StepCodes<M, T, W, Isa, Prefetch>(*weights[r], first[r], lanes, levels)...};
}

// Steps step .. step + kCount - 1 of kRows weight rows (row rows[r] of *weights[r]), each with
// `lanes` lanes in the row: their sums formed together, then each row's combines in step order.
template <class M, class T, int W, class Isa, class Sums, class Prefetch, size_t kCount, size_t kRows,
          class V = typename SumLanes<T, Isa>::V>
inline void word_lane_steps(const formats::Packed<typename M::F>* const (&weights)[kRows],
                            const int64_t (&rows)[kRows], const LaneActivations<float>& activations,
                            const LaneLevels<typename M::F, T, Isa>& levels, int64_t K, int64_t step, int lanes,
                            V (*acc)[W / 16]) {
  constexpr int kStep = M::kLaneWeights * W;
  constexpr size_t kSums = kCount * kRows;  // step i / kRows of row i % kRows
  const formats::Packed<typename M::F>* step_weights[kSums];
  int64_t first[kSums];
  for (size_t i = 0; i < kSums; ++i) {
    step_weights[i] = weights[i % kRows];
    first[i] = rows[i % kRows] * K + (step + static_cast<int64_t>(i / kRows)) * kStep;
  }
  const auto codes =
      step_codes<M, T, W, Isa, Prefetch>(step_weights, first, lanes, levels, std::make_index_sequence<kSums>{});
  V s[kSums][W / 16];
  word_sums<M, T, W, Isa, Sums, kCount>(codes, activations, step * kStep, kStep, s);
  for (size_t i = 0; i < kSums; ++i) {
    combine_step<M, T, W, Isa, Sums>(*step_weights[i], activations, first[i], step + static_cast<int64_t>(i / kRows),
                                     lanes, s[i], acc[i % kRows]);
  }
}

// How a row's steps are taken:
// - whole: the steps whose lanes all lie in the row with a constant lane count (no lane checks,
//   in the cache up to 7% faster), then the rest;
// - whole_pairs: those two at a time (a step's sums do not depend on the step before);
// - checked: every step with its lane count taken at run time.
enum class StepWalk { whole, whole_pairs, checked };

// The lane accumulators of kRows weight rows, row rows[r] of *weights[r], over the whole of K.
// The rows advance together, giving the additions kRows times the independent chains; each row's
// accumulators are formed exactly as alone, whatever the walk.
template <class M, class T, int W, class Isa, class Sums, class Prefetch, StepWalk kWalk, size_t kRows,
          class V = typename SumLanes<T, Isa>::V>
inline void word_lane_rows_together(const formats::Packed<typename M::F>* const (&weights)[kRows],
                                    const int64_t (&rows)[kRows], const LaneActivations<float>& activations,
                                    const LaneLevels<typename M::F, T, Isa>& levels, int64_t K, V (*acc)[W / 16]) {
  if constexpr (HasUnitScaleForm<M>::value) {
    // s * 1 is s in T: rows whose scales are all 1 skip the multiplications (and the reading of
    // their scales every step), with the same results.
    if (rows_have_unit_scales<Isa>(weights, rows, K)) {
      return word_lane_rows_together<typename M::AtUnitScales, T, W, Isa, Sums, Prefetch, kWalk>(
          weights, rows, activations, levels, K, acc);
    }
  }
  constexpr int kStep = M::kLaneWeights * W;
  for (size_t r = 0; r < kRows; ++r) {
    for (int v = 0; v < W / 16; ++v) acc[r][v] = V{};
  }
  int64_t step = 0;
  if constexpr (kWalk != StepWalk::checked) {
    constexpr int kCount = kWalk == StepWalk::whole_pairs ? 2 : 1;
    for (; step + kCount <= K / kStep; step += kCount) {
      word_lane_steps<M, T, W, Isa, Sums, Prefetch, kCount>(weights, rows, activations, levels, K, step, W, acc);
    }
  }
  for (const int64_t steps = (K + kStep - 1) / kStep; step < steps; ++step) {
    const int lanes = static_cast<int>(std::min<int64_t>(W, (K - step * kStep) / M::kLaneWeights));
    word_lane_steps<M, T, W, Isa, Sums, Prefetch, 1>(weights, rows, activations, levels, K, step, lanes, acc);
  }
}

template <class S, int Rows>
struct SumsOf {
  using type = S;
  static constexpr int kRows = Rows;  // weight rows that advance together
};

// Runs body(SumsOf<S, kRows>{}) with the running sums S of a launch's word lanes and the rows
// they take together:
// - for fp16 with AVX512-FP16, HalfPairProductSum where the codes give their levels as binary16
//   patterns (the codebook and table formats) and W is a multiple of 32;
// - for fp16 on AVX-512 without binary16 arithmetic, where converting every product and sum to
//   binary16 and back is slow, InRangeHalfProductSum when no product or step sum can reach
//   65504 (each is at most 1.01 x kLaneWeights x the largest level x the largest activation);
//   the decoded members' levels carry their block's scale, so they are not bounded so;
// - for bf16 with AVX512-BF16, NormalBf16ProductSums when no product or sum can be subnormal
//   (LaneActivations::normal_bf16_products), two vectors at a time;
// - else ProductSum, one row at a time.
// The first three round with long latencies: two weight rows advance together to give the
// additions enough independent chains.
template <class M, class T, int W, class Isa, class Body>
inline void with_word_sums(const LaneActivations<float>& activations, const Body& body) {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
  if constexpr (std::is_same_v<Isa, Avx512Fp16Isa> && HasHalfPairLevels<StepCodes<M, T, W, Isa>>::value &&
                W % 32 == 0) {
    return body(SumsOf<HalfPairProductSum, 2>{});
  }
#endif
  if constexpr (std::is_same_v<T, c10::Half> && std::is_same_v<Isa, Avx512Isa> && M::kValue == LaneValue::value) {
    const LevelRange<typename M::F>& levels = LevelRange<typename M::F>::get();
    if (1.01f * M::kLaneWeights * levels.largest * activations.largest_magnitude < 65504.0f) {
      if (levels.integers) return body(SumsOf<InRangeHalfProductSum<true>, 2>{});
      return body(SumsOf<InRangeHalfProductSum<false>, 2>{});
    }
  }
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
  if constexpr (std::is_same_v<Isa, Avx512Bf16Isa> && W % 32 == 0) {
    if (activations.normal_bf16_products) return body(SumsOf<NormalBf16ProductSums, 2>{});
  }
#endif
  body(SumsOf<ProductSum<T, Isa>, 1>{});
}

// The work-group's tree reduction of a row's lane accumulators, in T (strides W/2, ..., 1, as
// tree_sum): across the vectors first, then within one by shuffles that halve the stride, where
// a scalar loop over the lanes cost as much as a tenth of a 4096-column row.
template <class T, int W, class Isa, class V>
inline T reduce_lanes(const V* acc) {
  using VA = VectorArith<T, Isa>;
  f32x16 v[W / 16];
  for (int i = 0; i < W / 16; ++i) v[i] = widened(acc[i]);
  for (int vectors = W / 16; vectors > 1; vectors /= 2) {
    for (int i = 0; i < vectors / 2; ++i) v[i] = VA::add(v[i], v[i + vectors / 2]);
  }
  f32x16 sum = v[0];
  sum = VA::add(sum, __builtin_shuffle(sum, u32x16{8, 9, 10, 11, 12, 13, 14, 15, 8, 9, 10, 11, 12, 13, 14, 15}));
  sum = VA::add(sum, __builtin_shuffle(sum, u32x16{4, 5, 6, 7, 4, 5, 6, 7, 4, 5, 6, 7, 4, 5, 6, 7}));
  sum = VA::add(sum, __builtin_shuffle(sum, u32x16{2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3}));
  sum = VA::add(sum, __builtin_shuffle(sum, u32x16{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
  return Arith<T>::store(sum[0]);
}

// Work-group g of a matrix-vector launch of a word-lane member: rows R*g .. R*g + R - 1.
template <class M, class T, int W, int R, class Isa>
inline void word_lane_rows(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N,
                           const hostxpu::work_group& g) {
  const LaneLevels<typename M::F, T, Isa> levels;
  const auto& activations = lane_activations<M, T, W>(x, 1, K, g.launch_serial);
  const int64_t row0 = R * static_cast<int64_t>(g.linear_id), row_end = std::min<int64_t>(row0 + R, N);
  with_word_sums<M, T, W, Isa>(activations, [&](auto sums) {
    using Sums = typename decltype(sums)::type;
    // A group of one row (q5) advances it alone (a second row would be that row again), two
    // steps at a time in every dtype: from memory q5_0 in fp16 9% faster, q5_1 in fp16 and fp32
    // 5 to 6%.
    constexpr size_t kRows = std::min<size_t>(decltype(sums)::kRows, R);
    const formats::Packed<typename M::F>* weights[kRows];
    std::fill_n(weights, kRows, &packed);
    // The bf16 sums (long latencies) take two steps at a time as well: in the cache 7 to 18%
    // less time, but 3 to 7% more for the two-plane formats (fp6, q6_k, fp6_k); with the fp16
    // sums of two rows nothing or up to 23% more. The two-plane formats in bf16 check every
    // step's lanes: for fp6_k 10% faster than whole steps (fp6 and q6_k the same).
    constexpr bool kPlanesInBf16 = kTakesVectorPairs<Sums> && HasPlaneGroups<typename M::F>::value;
    constexpr StepWalk kWalk = kPlanesInBf16                       ? StepWalk::checked
                               : kTakesVectorPairs<Sums> || R == 1 ? StepWalk::whole_pairs
                                                                   : StepWalk::whole;
    // A last group of fewer rows computes the last row again, and writes it once.
    for (int64_t row = row0; row < row_end; row += kRows) {
      int64_t rows[kRows];
      for (size_t r = 0; r < kRows; ++r) rows[r] = std::min<int64_t>(row + r, row_end - 1);
      typename SumLanes<T, Isa>::V acc[kRows][W / 16];
      word_lane_rows_together<M, T, W, Isa, Sums, FarCodePrefetch, kWalk>(weights, rows, activations, levels, K,
                                                                          acc);
      for (size_t r = 0; r < kRows && row + static_cast<int64_t>(r) < row_end; ++r) {
        y[row + r] = reduce_lanes<T, W, Isa>(acc[r]);
      }
    }
  });
}

// Work-group (gb, gn) of a by-batch launch of a word-lane member: output rows 2gn, 2gn + 1 for
// activation rows 2gb, 2gb + 1. Each lane's weight is decoded once in T (level times its block's
// scale) and its product with each activation row's activation is added straight into that
// row's accumulator. Both weight rows advance together, so the four accumulators of a lane
// vector form four independent chains of additions; a group past the last weight or activation
// row computes that last row twice and writes it once.
//
// A step takes its lane vectors two at a time (kChunk) through its weights: all four of a 64-lane
// group at once, the accumulators, codes and scales outgrew the registers (nf4 in bf16 took 26%
// longer). fp32 unrolls the walk over the weights by four only: fully unrolled, GCC decoded later
// weights ahead and spilled them, and q4_0 and nf4 at batch 2 to 7 took 35 to 50% longer from
// memory. fp16 and bf16, with more operations per product, are 10 to 30% faster fully unrolled.
template <class M, class T, int W, class Isa>
inline void word_lane_by_batch_rows(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K,
                                    int64_t N, int64_t B, int64_t gb, int64_t gn, uint64_t launch) {
  static_assert(M::kValue == LaneValue::decoded && M::F::kScaling == formats::Scaling::scale,
                "by-batch members multiply the level by the block's scale");
  using VA = VectorArith<T, Isa>;
  constexpr int kStep = M::kLaneWeights * W, kVectors = W / 16, kChunk = std::min(kVectors, 2);
  const LaneLevels<typename M::F, T, Isa> levels;
  const auto& activations = lane_activations<M, T, W>(x, B, K, launch);
  const int64_t batch_rows[2] = {2 * gb, std::min(2 * gb + 1, B - 1)};
  const int64_t weight_rows[2] = {2 * gn, std::min(2 * gn + 1, N - 1)};
  ProductSum<T, Isa> acc[2][2][kVectors];  // [weight row][activation row][vector]
  for (int64_t step = 0, steps = (K + kStep - 1) / kStep; step < steps; ++step) {
    const int lanes = static_cast<int>(std::min<int64_t>(W, (K - step * kStep) / M::kLaneWeights));
    const int64_t first[2] = {weight_rows[0] * K + step * kStep, weight_rows[1] * K + step * kStep};
    const StepCodes<M, T, W, Isa> codes[2] = {{packed, first[0], lanes, levels}, {packed, first[1], lanes, levels}};
    f32x16 scale[2][kVectors];
    for (int r = 0; r < 2; ++r) {
      const StepScales<M, T, W, Isa, 1> scales(packed, first[r], lanes);
      for (int v = 0; v < kVectors; ++v) scale[r][v] = scales.lanes(0, v);
    }
    const float* xs[2] = {activations.row(batch_rows[0]) + step * kStep, activations.row(batch_rows[1]) + step * kStep};
    for (int v0 = 0; v0 < kVectors; v0 += kChunk) {
      // A local copy of the chunk's accumulators stays in registers however the loop is unrolled.
      ProductSum<T, Isa> chunk[2][2][kChunk];
      for (int r = 0; r < 2; ++r) {
        for (int b = 0; b < 2; ++b) std::copy_n(acc[r][b] + v0, kChunk, chunk[r][b]);
      }
      const auto add_products = [&](int n) {
        for (int c = 0; c < kChunk; ++c) {
          const int v = v0 + c;
          const f32x16 activation[2] = {load_lanes<f32x16>(xs[0] + n * W + 16 * v),
                                        load_lanes<f32x16>(xs[1] + n * W + 16 * v)};
          for (int r = 0; r < 2; ++r) {
            const f32x16 weight = VA::mul(codes[r].level(n, v), scale[r][v]);
            for (int b = 0; b < 2; ++b) chunk[r][b][c].add(weight, activation[b]);
          }
        }
      };
      // Two loops: GCC's unroll pragma takes no count that depends on T.
      if constexpr (std::is_same_v<T, float>) {
#pragma GCC unroll 4
        for (int n = 0; n < M::kLaneWeights; ++n) add_products(n);
      } else {
#pragma GCC unroll 16
        for (int n = 0; n < M::kLaneWeights; ++n) add_products(n);
      }
      for (int r = 0; r < 2; ++r) {
        for (int b = 0; b < 2; ++b) std::copy_n(chunk[r][b], kChunk, acc[r][b] + v0);
      }
    }
  }
  for (int r = 0; r < 2; ++r) {
    if (r == 1 && weight_rows[1] == weight_rows[0]) break;
    for (int b = 0; b < 2; ++b) {
      if (b == 1 && batch_rows[1] == batch_rows[0]) break;
      f32x16 sums[kVectors];
      for (int v = 0; v < kVectors; ++v) sums[v] = acc[r][b][v].value();
      y[batch_rows[b] * N + weight_rows[r]] = reduce_lanes<T, W, Isa>(sums);
    }
  }
}

template <class M, class T, int W, int R>
void word_lane_group(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N,
                     const hostxpu::work_group& g) {
  with_lane_isa<T>([&](auto isa) { word_lane_rows<M, T, W, R, decltype(isa)>(packed, x, y, K, N, g); });
}

template <class M, class T, int W>
void word_lane_by_batch_group(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N,
                              int64_t B, const hostxpu::work_group& g) {
  with_lane_isa<T>([&](auto isa) {
    word_lane_by_batch_rows<M, T, W, decltype(isa)>(packed, x, y, K, N, B, static_cast<int64_t>(g.id[0]),
                                                    static_cast<int64_t>(g.id[1]), g.launch_serial);
  });
}

}  // namespace vorn::kernels
