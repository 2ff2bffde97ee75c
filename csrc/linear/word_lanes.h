#pragma once
// Matrix-vector work-groups of the members whose lanes each read one 8-byte word of codes.
//
// In the planar 4- and 8-bit formats the weights a lane combines in one step are exactly one
// 8-byte word of the row's code stream: lane l of a step reads word l of the step's codes (16
// nibbles or 8 bytes), its n-th weight at a fixed position of that word. The work-group's lanes
// therefore become the lanes of vector instructions: for each position n, every lane extracts
// its code, takes the code's level and adds level times activation to its sum, in the member's
// order and T's arithmetic, exactly as matvec_group computes it. The activations are read from a
// table laid out [step][n][lane] (with the lanes' activation sums where the combine needs them),
// which each pool thread builds once per launch.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/cpu_features.h"
#include "formats/formats.h"
#include "linear/lane_arith.h"
#include "linear/matvec_members.h"
#include "platform/launch.h"

namespace vorn::kernels {

// Formats whose codes form one stream of kCodeBits-bit slots (slot(j): weight j's slot in its block).
template <class F, class = void>
struct HasCodeStream : std::false_type {};
template <class F>
struct HasCodeStream<F, std::void_t<decltype(F::slot(0))>> : std::true_type {};
// Formats whose kPlaneGroup-weight groups each hold their codes in one 8-byte word of a 4-bit
// plane and one 4-byte word of a 2-bit plane (p4_bit(j), p2_bit(j): where weight j's bits lie).
template <class F, class = void>
struct HasPlaneGroups : std::false_type {};
template <class F>
struct HasPlaneGroups<F, std::void_t<decltype(F::kPlaneGroup)>> : std::true_type {};
// Formats whose weights j and j + kPairStride share a code byte (q5_0, q5_1).
template <class F, class = void>
struct HasCodePairs : std::false_type {};
template <class F>
struct HasCodePairs<F, std::void_t<decltype(F::kPairStride)>> : std::true_type {};

// Which weights of its unit each lane of a member takes.
template <class M>
struct LaneShape {
  static constexpr int kLaneWeights = M::kLaneWeights;
  static constexpr int kUnit = M::kUnit;
  static constexpr int kLanesPerUnit = kUnit / kLaneWeights;

  // The weight of its unit that lane k of the unit takes n-th.
  static constexpr int weight_of(int k, int n) {
    return M::kOrder == LaneOrder::halves ? (n % 2) * (kUnit / 2) + (kLaneWeights / 2) * k + n / 2
                                          : kLaneWeights * k + n;
  }
};

template <class M, class = void>
struct WordLanes {
  static constexpr bool kEnabled = false;
};

template <class M>
struct WordLanes<M, std::enable_if_t<HasCodeStream<typename M::F>::value>> : LaneShape<M> {
  using F = typename M::F;
  using Shape = LaneShape<M>;
  static constexpr int kBits = F::kCodeBits;
  static constexpr int kSlotsPerWord = 64 / kBits;

  // Where in its word a lane finds its n-th weight's code.
  static constexpr int position(int n) { return F::slot(Shape::weight_of(0, n)) % kSlotsPerWord; }

  // Every lane of a block finds its weights in its own word, at the same positions.
  static constexpr bool lanes_are_words() {
    if (Shape::kLaneWeights != kSlotsPerWord) return false;
    for (int u = 0; u < F::kBlock / Shape::kUnit; ++u) {
      for (int k = 0; k < Shape::kLanesPerUnit; ++k) {
        for (int n = 0; n < Shape::kLaneWeights; ++n) {
          const int word = u * Shape::kLanesPerUnit + k;
          if (F::slot(u * Shape::kUnit + Shape::weight_of(k, n)) != word * kSlotsPerWord + position(n)) return false;
        }
      }
    }
    return true;
  }
  static constexpr bool kEnabled = lanes_are_words();
};

// A lane that takes a pair of weights j, j + 32 of a block (each vector of 16 lanes within one
// block) reads one code byte and two bits of the block's fifth-bit word.
template <class M>
struct WordLanes<M, std::enable_if_t<HasCodePairs<typename M::F>::value>> : LaneShape<M> {
  static constexpr bool kEnabled = M::kLaneWeights == 2 && M::kUnit == M::F::kBlock &&
                                   M::F::kPairStride == M::F::kBlock / 2 && M::kOrder == LaneOrder::halves;
};

// A lane that takes one whole group, in weight order, finds its codes in the group's two words.
template <class M>
struct WordLanes<M, std::enable_if_t<HasPlaneGroups<typename M::F>::value>> : LaneShape<M> {
  static constexpr bool kEnabled = M::kLaneWeights == M::F::kPlaneGroup && M::kUnit == M::F::kPlaneGroup &&
                                   M::kOrder == LaneOrder::run;
};

// A launch's activations in lane layout, built by each pool thread for the launch it serves.
template <class C>
struct LaneActivations {
  uint64_t launch = 0;
  int64_t row_size = 0;  // elements of one activation row in `table`
  // [row * row_size + (step * lane weights + n) * W + l]: lane l's n-th activation, 0 past K
  std::vector<C> table;
  std::vector<C> sums;  // [step * W + l]: lane l's activations (of row 0) added in its order
  const C* row(int64_t b) const { return table.data() + b * row_size; }
};

// The activations of rows 0 .. rows - 1 of x ([rows, K]) for the launch `launch`.
template <class M, class T, int W>
const LaneActivations<typename Arith<T>::C>& lane_activations(const T* x, int64_t rows, int64_t K, uint64_t launch) {
  using A = Arith<T>;
  using WL = WordLanes<M>;
  constexpr int kLaneWeights = WL::kLaneWeights, kStep = kLaneWeights * W;
  // One per pool thread, kept for the thread's life: a thread_local object with a destructor,
  // reached from the flattened AVX-512 builds, was destroyed twice at thread exit.
  thread_local LaneActivations<typename A::C>* cache = nullptr;
  if (cache == nullptr) cache = new LaneActivations<typename A::C>();
  LaneActivations<typename A::C>& prepared = *cache;
  if (prepared.launch == launch) return prepared;
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
  prepared.launch = launch;
  return prepared;
}

// Lane-vector arithmetic of T: fp32 as it is, fp16 and bf16 rounded after every operation.
// The AVX-512 build rounds fp16 through the hardware's binary16 conversions (F16C), the
// others through the bit rules of lane_arith.h; both round to nearest, ties to even.
struct PortableIsa {};
struct Avx512Isa {};

template <class T, class Isa>
struct VectorRound {
  static f32x16 apply(f32x16 v) { return v; }
};
template <class Isa>
struct VectorRound<c10::BFloat16, Isa> {
  static f32x16 apply(f32x16 v) { return round_to_bf16(v); }
};
template <>
struct VectorRound<c10::Half, PortableIsa> {
  static f32x16 apply(f32x16 v) { return round_to_half(v); }
};

// Binary16 bit patterns (in the low halves of the lanes) as fp32.
template <class Isa>
struct VectorHalves {
  static f32x16 apply(u32x16 bits) {
    f32x16 v;
    for (int i = 0; i < 16; ++i) v[i] = half_to_float(uint16_t(bits[i]));
    return v;
  }
};
// The first `count` (at most 16) consecutive bytes, fp16 bit patterns or fp32 values at p, in
// the lanes of a vector, zero past `count`: nothing past them is read.
template <class Isa>
struct FieldLoad {
  static u32x16 bytes(const uint8_t* p, int count) {
    uint8_t b[16] = {};
    std::memcpy(b, p, count);
    u32x16 values;
    for (int i = 0; i < 16; ++i) values[i] = b[i];
    return values;
  }
  static u32x16 halves(const uint8_t* p, int count) {
    uint16_t h[16] = {};
    std::memcpy(h, p, 2 * count);
    u32x16 bits;
    for (int i = 0; i < 16; ++i) bits[i] = h[i];
    return bits;
  }
  static f32x16 floats(const uint8_t* p, int count) {
    float f[16] = {};
    std::memcpy(f, p, 4 * count);
    return load_lanes<f32x16>(f);
  }
};

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// These are inlined into the AVX-512 work-group functions, which are flattened.
template <>
struct VectorRound<c10::Half, Avx512Isa> {
  [[gnu::target("avx512f,f16c")]] static f32x16 apply(f32x16 v) {
    const __m256i half = _mm512_cvtps_ph(bit_as<__m512>(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    return bit_as<f32x16>(_mm512_cvtph_ps(half));
  }
};
template <>
struct VectorHalves<Avx512Isa> {
  [[gnu::target("avx512f")]] static f32x16 apply(u32x16 bits) {
    return bit_as<f32x16>(_mm512_cvtph_ps(_mm512_cvtepi32_epi16(bit_as<__m512i>(bits))));
  }
};
// Masked loads: the masked-off elements are not read (and cannot fault), and a load straight
// from memory avoids a stalled forward from the small stores of a copy.
template <>
struct FieldLoad<Avx512Isa> {
  [[gnu::target("avx512f,avx512bw,avx512vl")]] static u32x16 bytes(const uint8_t* p, int count) {
    const __m128i b = _mm_maskz_loadu_epi8(static_cast<__mmask16>((1u << count) - 1), p);
    return bit_as<u32x16>(_mm512_cvtepu8_epi32(b));
  }
  [[gnu::target("avx512f,avx512bw,avx512vl")]] static u32x16 halves(const uint8_t* p, int count) {
    const __m256i h = _mm256_maskz_loadu_epi16(static_cast<__mmask16>((1u << count) - 1), p);
    return bit_as<u32x16>(_mm512_cvtepu16_epi32(h));
  }
  [[gnu::target("avx512f")]] static f32x16 floats(const uint8_t* p, int count) {
    return bit_as<f32x16>(_mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << count) - 1), p));
  }
};
#endif

template <class T, class Isa>
struct VectorArith {
  using R = VectorRound<T, Isa>;
  static f32x16 add(f32x16 a, f32x16 b) { return R::apply(a + b); }
  static f32x16 sub(f32x16 a, f32x16 b) { return R::apply(a - b); }
  static f32x16 mul(f32x16 a, f32x16 b) { return R::apply(a * b); }
};

// The levels in T of a format's codes, for the lanes of a vector, each code in the low bits of
// its lane.
// 6- and 8-bit codes by the format's rule: integers (q8_0's signed bytes, q6_k's codes less 32)
// converted, or binary16 patterns (fp8, fp6) converted and rounded to T.
template <class Rule, class = void>
struct HasHalfPattern : std::false_type {};
template <class Rule>
struct HasHalfPattern<Rule, std::void_t<decltype(Rule::half_pattern(uint32_t{}))>> : std::true_type {};

template <class F, class T, class Isa, int kBits = F::kCodeBits>
struct LaneLevels {
  f32x16 operator()(u32x16 codes) const {
    using Rule = typename F::Levels;
    const u32x16 code = codes & ((1u << kBits) - 1);
    if constexpr (HasHalfPattern<Rule>::value) {
      return VectorRound<T, Isa>::apply(VectorHalves<Isa>::apply(Rule::half_pattern(code)));
    } else {
      return __builtin_convertvector(Rule::integer(bit_as<i32x16>(code)), f32x16);  // exact in every T
    }
  }
};
// 4-bit codes: a 16-entry table held in one vector, indexed by a permute (which takes each
// index modulo 16: the low nibble, so the codes need no mask).
template <class F, class T, class Isa>
struct LaneLevels<F, T, Isa, 4> {
  f32x16 table;
  LaneLevels() {
    for (int c = 0; c < 16; ++c) table[c] = Arith<T>::from(F::level(c));
  }
  f32x16 operator()(u32x16 codes) const { return __builtin_shuffle(table, codes); }
};

// The first byte of the `lanes` lanes' kBytes-byte words at p, or of a zero-padded copy when a
// partial step has fewer than W lanes (lanes past the row then read zero codes with zero
// activations: their sums stay zero).
template <int W, int kBytes>
inline const uint8_t* lane_words(const uint8_t* p, int lanes, uint8_t (&padded)[W * kBytes]) {
  if (lanes == W) return p;
  std::fill(padded, padded + W * kBytes, 0);
  return static_cast<const uint8_t*>(std::memcpy(padded, p, kBytes * lanes));
}

// Lanes 16v .. 16v + 15 of 8-byte words as (low, high) 32-bit halves.
inline void split_words(const uint8_t* words, int v, u32x16& low, u32x16& high) {
  const u32x16 a = load_lanes<u32x16>(words + 128 * v), b = load_lanes<u32x16>(words + 128 * v + 64);
  low = __builtin_shuffle(a, b, u32x16{0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30});
  high = __builtin_shuffle(a, b, u32x16{1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31});
}

// The codes of one step of a code stream: W lanes' words as (low, high) 32-bit halves.
template <class M, class T, int W, class Isa>
struct StreamCodes {
  using F = typename M::F;
  using WL = WordLanes<M>;
  static constexpr int kVectors = W / 16, kHalfSlots = WL::kSlotsPerWord / 2;
  u32x16 low[kVectors], high[kVectors];
  const LaneLevels<F, T, Isa>& levels;

  StreamCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>& levels)
      : levels(levels) {
    const int word = F::slot(static_cast<int>(first % F::kBlock)) / WL::kSlotsPerWord;
    uint8_t padded[W * 8];
    const uint8_t* words = lane_words<W, 8>(packed.w + packed.at.codes(first / F::kBlock) + 8 * word, lanes, padded);
    for (int v = 0; v < kVectors; ++v) split_words(words, v, low[v], high[v]);
  }

  // The level of the n-th code of lanes 16v .. 16v + 15.
  f32x16 level(int n, int v) const {
    return levels((WL::position(n) < kHalfSlots ? low[v] : high[v]) >> (WL::kBits * (WL::position(n) % kHalfSlots)));
  }
};

// The codes of one step of a two-plane format: lane l's group as its 4-bit plane word (in
// (low, high) 32-bit halves) and its 2-bit plane word.
template <class M, class T, int W, class Isa>
struct PlaneCodes {
  using F = typename M::F;
  static constexpr int kVectors = W / 16;
  u32x16 low[kVectors], high[kVectors], top[kVectors];
  const LaneLevels<F, T, Isa>& levels;

  PlaneCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>& levels)
      : levels(levels) {
    const int64_t group = first / F::kPlaneGroup;
    uint8_t padded4[W * 8], padded2[W * 4];
    const uint8_t* p4 = lane_words<W, 8>(packed.w + packed.at.p4(0) + 8 * group, lanes, padded4);
    const uint8_t* p2 = lane_words<W, 4>(packed.w + packed.at.p2(0) + 4 * group, lanes, padded2);
    for (int v = 0; v < kVectors; ++v) {
      split_words(p4, v, low[v], high[v]);
      top[v] = load_lanes<u32x16>(p2 + 64 * v);
    }
  }

  // The level of weight n of the groups of lanes 16v .. 16v + 15.
  f32x16 level(int n, int v) const {
    const int nibble_bit = F::p4_bit(n), top_bit = F::p2_bit(n);
    const u32x16 nibble = ((nibble_bit < 32 ? low[v] : high[v]) >> (nibble_bit % 32)) & 15;
    return levels((((top[v] >> top_bit) & 3) << 4) | nibble);
  }
};

// The codes of one step of q5 lanes: vector v holds lanes 16(v mod 2) .. + 15 of the step's
// block v / 2, each lane's two codes from its nibble byte and fifth bits. The decoded members
// (q5_1) take the decoded weight in T, as decoded_weight forms it, in place of the value.
template <class M, class T, int W, class Isa>
struct PairCodes {
  using F = typename M::F;
  using VA = VectorArith<T, Isa>;
  static constexpr int kVectors = W / 16;
  u32x16 code_[2][kVectors];
  f32x16 scale_[kVectors], offset_[kVectors];
  const LaneLevels<F, T, Isa>& levels;

  PairCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>& levels)
      : levels(levels) {
    for (int v = 0; v < kVectors; ++v) {
      code_[0][v] = code_[1][v] = u32x16{};
      scale_[v] = offset_[v] = f32x16{};
      if (16 * v >= lanes) continue;  // lanes come in whole blocks
      const auto block = packed.block(first / F::kBlock + v / 2);
      u32x16 lane;
      for (int i = 0; i < 16; ++i) lane[i] = 16 * (v % 2) + i;
      const u32x16 nibbles = FieldLoad<Isa>::bytes(block.qs + 16 * (v % 2), 16);
      const u32x16 low_bits = ((u32x16{} + uint32_t(block.high)) >> lane) & 1;
      const u32x16 high_bits = ((u32x16{} + uint32_t(block.high >> 32)) >> lane) & 1;
      code_[0][v] = (nibbles & 15) | low_bits << 4;
      code_[1][v] = (nibbles >> 4) | high_bits << 4;
      if constexpr (M::kValue == LaneValue::decoded) {
        scale_[v] = VectorRound<T, Isa>::apply(f32x16{} + block.scale(0));
        offset_[v] = VectorRound<T, Isa>::apply(f32x16{} + block.offset(0));
      }
    }
  }

  // The value (or decoded weight) of the n-th weight of lanes 16v .. 16v + 15.
  f32x16 level(int n, int v) const {
    const f32x16 value = levels(code_[n][v]);
    if constexpr (M::kValue == LaneValue::decoded) {
      static_assert(F::kScaling == formats::Scaling::scale_offset, "value * scale + offset");
      return VA::add(VA::mul(value, scale_[v]), offset_[v]);
    } else {
      return value;
    }
  }
};

template <class M, class T, int W, class Isa>
using StepCodes = std::conditional_t<
    HasPlaneGroups<typename M::F>::value, PlaneCodes<M, T, W, Isa>,
    std::conditional_t<HasCodePairs<typename M::F>::value, PairCodes<M, T, W, Isa>, StreamCodes<M, T, W, Isa>>>;

// The sums of one step: for the 16 lanes of each vector v, s[v] = sum over the lanes' words of
// level times activation, added in the lanes' order in T's arithmetic.
template <class M, class T, int W, class Isa>
inline void word_sums(const StepCodes<M, T, W, Isa>& codes, const float* x, f32x16* s) {
  using VA = VectorArith<T, Isa>;
  for (int v = 0; v < W / 16; ++v) s[v] = f32x16{};
#pragma GCC unroll 16
  for (int n = 0; n < M::kLaneWeights; ++n) {
    for (int v = 0; v < W / 16; ++v) s[v] = VA::add(s[v], VA::mul(codes.level(n, v), load_lanes<f32x16>(x + n * W + 16 * v)));
  }
}

// The first kFields scale fields of the blocks a step's lanes fall in, converted to T once per
// step, and spread over the lanes. A member's Params fields are the first of its block's scale
// fields: the scale (and offset) of the block, whose one group every lane of the block shares.
template <class M, class T, int W, class Isa, int kFields = M::template Params<Arith<T>>::kFields>
class StepScales {
  using F = typename M::F;
  using S = typename F::Scales;
  static_assert(F::kGroup == F::kBlock && kFields <= S::kFields, "lanes take their fields from their block");
  static constexpr int kStep = M::kLaneWeights * W;
  // A step of a row that starts inside a block (K a multiple of the unit only) spans one more.
  static constexpr int kMaxBlocks = (kStep + (M::kUnit < F::kBlock ? F::kBlock - M::kUnit : 0)) / F::kBlock + 1;
  static constexpr int kRuns = (kMaxBlocks + 15) / 16;  // vectors of block values per field
  static_assert(kRuns <= 2, "a step's lanes take their fields from at most 32 blocks");

  f32x16 block_values_[kFields][kRuns];
  int offset_;  // of the step's first weight in its block

 public:
  StepScales(const formats::Packed<F>& packed, int64_t first, int lanes) : offset_(static_cast<int>(first % F::kBlock)) {
    const int blocks = (offset_ + lanes * M::kLaneWeights + F::kBlock - 1) / F::kBlock;
    const uint8_t* run = packed.w + packed.at.scales(first / F::kBlock);
    // The run's fields in order, 16 per vector: block i's field f is field i * S::kFields + f.
    f32x16 fields[kRuns * S::kFields];
    for (int c = 0; c < kRuns * S::kFields; ++c) {
      const int count = std::clamp(blocks * S::kFields - 16 * c, 0, 16);
      if constexpr (S::kType == formats::FieldType::f16) {
        fields[c] = VectorHalves<Isa>::apply(FieldLoad<Isa>::halves(run + 32 * c, count));
      } else {
        fields[c] = FieldLoad<Isa>::floats(run + 64 * c, count);
      }
    }
    static_assert(S::kFields <= 2, "at most two fields per block");
    for (int f = 0; f < kFields; ++f) {
      for (int r = 0; r < kRuns; ++r) {
        f32x16 v = fields[r];
        if constexpr (S::kFields == 2) {
          i32x16 field;
          for (int i = 0; i < 16; ++i) field[i] = 2 * i + f;
          v = __builtin_shuffle(fields[2 * r], fields[2 * r + 1], field);
        }
        block_values_[f][r] = VectorRound<T, Isa>::apply(v);
      }
    }
  }

  // Field f of lanes 16v .. 16v + 15: that of the block each lane's weights lie in.
  f32x16 lanes(int f, int v) const {
    i32x16 lane;
    for (int i = 0; i < 16; ++i) lane[i] = 16 * v + i;
    const i32x16 block = (offset_ + lane * M::kLaneWeights) / F::kBlock;
    if constexpr (kRuns == 1) {
      return __builtin_shuffle(block_values_[f][0], block);
    } else {
      return __builtin_shuffle(block_values_[f][0], block_values_[f][1], block);
    }
  }
};

// q4_k's fields of a step, d * sc and dmin * mn in T, for the lanes of each vector: lane i of
// vector v takes the unit (32-weight sub-block) 8v + i/2 of the step. Rows start on a
// sub-block (K is a multiple of 32), not always on a super-block.
template <class T, int W, class Isa>
class SubBlockFields {
  using F = formats::Q4K;
  static constexpr int kVectors = W / 16;
  static constexpr int kMaxSuperBlocks = Q4KMember::kLaneWeights * W / F::kBlock + 1;
  static_assert(2 * kMaxSuperBlocks <= 16, "a step's (d, dmin) pairs fit one vector");
  f32x16 d_sc_[kVectors], dmin_mn_[kVectors];

 public:
  SubBlockFields(const formats::Packed<F>& packed, int64_t first, int lanes) {
    using VA = VectorArith<T, Isa>;
    const int64_t sub_block = first / 32, super_block = sub_block / 8;
    const int offset = static_cast<int>(sub_block % 8), units = lanes / 2;
    const int super_blocks = (offset + units + 7) / 8;
    // d0, dmin0, d1, dmin1, ... of the step's super-blocks.
    const f32x16 scales = VectorRound<T, Isa>::apply(
        VectorHalves<Isa>::apply(FieldLoad<Isa>::halves(packed.w + packed.at.scales(super_block), 2 * super_blocks)));
    for (int v = 0; v < kVectors; ++v) {
      // sc, mn of units 8v .. 8v + 7 (the sub-scale pairs of consecutive sub-blocks are consecutive).
      const u32x16 pairs = FieldLoad<Isa>::bytes(packed.w + packed.at.sub_scales(super_block) + 2 * offset + 16 * v,
                                                 std::clamp(2 * units - 16 * v, 0, 16));
      i32x16 sc_at, scale_at;
      for (int i = 0; i < 16; ++i) {
        sc_at[i] = i & ~1;
        scale_at[i] = 2 * ((offset + 8 * v + i / 2) / 8);
      }
      const f32x16 sc = __builtin_convertvector(__builtin_shuffle(pairs, sc_at), f32x16);
      const f32x16 mn = __builtin_convertvector(__builtin_shuffle(pairs, sc_at + 1), f32x16);
      d_sc_[v] = VA::mul(__builtin_shuffle(scales, scale_at), sc);
      dmin_mn_[v] = VA::mul(__builtin_shuffle(scales, scale_at + 1), mn);
    }
  }
  f32x16 lanes(int f, int v) const { return f == 0 ? d_sc_[v] : dmin_mn_[v]; }
};

// The fields of a step of q6_k or fp6_k lanes, one 16-weight group per lane (lane i of vector v
// takes group 16v + i of the step), from the super-blocks' fp16 d and the groups' int8 sc, as
// the members' Params form them: q6_k keeps d and sc in T, fp6_k takes the format's group scale.
template <class M, class T, int W, class Isa>
class GroupFields {
  using F = typename M::F;
  static constexpr int kVectors = W / 16, kGroup = 16, kGroupsPerBlock = F::kBlock / kGroup;
  static constexpr int kFields = M::template Params<Arith<T>>::kFields;
  static_assert(M::kLaneWeights == kGroup && M::kUnit == kGroup && F::kGroup == kGroup, "a lane per group");
  static_assert(W / kGroupsPerBlock + 1 <= 16, "a step's super-block scales fit one vector");
  f32x16 fields_[kFields][kVectors];

 public:
  GroupFields(const formats::Packed<F>& packed, int64_t first, int lanes) {
    using R = VectorRound<T, Isa>;
    const int64_t group = first / kGroup, super_block = group / kGroupsPerBlock;
    const int offset = static_cast<int>(group % kGroupsPerBlock);
    const int super_blocks = (offset + lanes + kGroupsPerBlock - 1) / kGroupsPerBlock;
    const f32x16 d = VectorHalves<Isa>::apply(FieldLoad<Isa>::halves(packed.w + packed.at.scales(super_block), super_blocks));
    for (int v = 0; v < kVectors; ++v) {
      // The groups' sub-scales are consecutive bytes.
      const u32x16 bytes = FieldLoad<Isa>::bytes(packed.w + packed.at.sub_scales(super_block) + offset + 16 * v,
                                                 std::clamp(lanes - 16 * v, 0, 16));
      const f32x16 sc = __builtin_convertvector(formats::SignedByte::integer(bit_as<i32x16>(bytes)), f32x16);
      i32x16 block_of;
      for (int i = 0; i < 16; ++i) block_of[i] = (offset + 16 * v + i) / kGroupsPerBlock;
      const f32x16 lane_d = __builtin_shuffle(d, block_of);
      if constexpr (std::is_same_v<F, formats::Fp6K>) {
        fields_[0][v] = R::apply(F::group_scale(lane_d, sc, VectorRound<c10::Half, Isa>::apply));
      } else {
        static_assert(std::is_same_v<M, Q6KMember>, "q6_k and fp6_k");
        fields_[0][v] = R::apply(lane_d);
        fields_[1][v] = R::apply(sc);
      }
    }
  }
  f32x16 lanes(int f, int v) const { return fields_[f][v]; }
};

// The fields of a step of q5 lanes: the scale of each vector's block (q5_0), or none (q5_1,
// whose lanes multiply decoded weights).
template <class M, class T, int W, class Isa>
class PairFields {
  using F = typename M::F;
  static constexpr int kFields = M::template Params<Arith<T>>::kFields;
  static_assert(kFields == 0 || (kFields == 1 && F::kScaling == formats::Scaling::scale), "the block scale");
  f32x16 scale_[W / 16];

 public:
  PairFields(const formats::Packed<F>& packed, int64_t first, int lanes) {
    for (int v = 0; v < W / 16; ++v) {
      scale_[v] = kFields == 0 || 16 * v >= lanes
                      ? f32x16{}
                      : VectorRound<T, Isa>::apply(f32x16{} + packed.block(first / F::kBlock + v / 2).scale(0));
    }
  }
  f32x16 lanes(int, int v) const { return scale_[v]; }
};

// The per-lane fields of a member's step.
template <class M, class T, int W, class Isa>
struct StepFieldsOf {
  using type = std::conditional_t<HasCodePairs<typename M::F>::value, PairFields<M, T, W, Isa>,
                                  StepScales<M, T, W, Isa>>;
};
template <class T, int W, class Isa>
struct StepFieldsOf<Q4KMember, T, W, Isa> {
  using type = SubBlockFields<T, W, Isa>;
};
template <class T, int W, class Isa>
struct StepFieldsOf<Q6KMember, T, W, Isa> {
  using type = GroupFields<Q6KMember, T, W, Isa>;
};
template <class T, int W, class Isa>
struct StepFieldsOf<members::Fp6K, T, W, Isa> {
  using type = GroupFields<members::Fp6K, T, W, Isa>;
};

// acc = the member's combine of every lane's accumulator with its step sums s (and activation
// sums sx), with the fields of each lane's block. Lanes at or past `lanes` (past the row) keep
// their accumulators, as the work-items that have no weights in a partial step do.
template <class M, class T, int W, class Isa, class Fields>
inline void combine_lanes(const Fields& step_fields, int lanes, const f32x16* s, const float* sx, f32x16* acc) {
  using Params = typename M::template Params<Arith<T>>;
  for (int v = 0; v < W / 16; ++v) {
    std::array<f32x16, Params::kFields> fields;
    for (int f = 0; f < Params::kFields; ++f) fields[f] = step_fields.lanes(f, v);
    const f32x16 sums_x = M::kNeedsActivationSums ? load_lanes<f32x16>(sx + 16 * v) : f32x16{};
    const f32x16 combined = Params::template combine<VectorArith<T, Isa>>(acc[v], s[v], sums_x, fields);
    if (lanes == W) {
      acc[v] = combined;
    } else {
      i32x16 lane;
      for (int i = 0; i < 16; ++i) lane[i] = 16 * v + i;
      acc[v] = lane < lanes ? combined : acc[v];
    }
  }
}

// The lane accumulators of one weight row over the whole of K.
template <class M, class T, int W, class Isa>
inline void word_lane_row(const formats::Packed<typename M::F>& packed, const LaneActivations<float>& activations,
                          const LaneLevels<typename M::F, T, Isa>& levels, int64_t row, int64_t K, f32x16* acc) {
  constexpr int kStep = M::kLaneWeights * W;
  for (int v = 0; v < W / 16; ++v) acc[v] = f32x16{};
  for (int64_t step = 0, steps = (K + kStep - 1) / kStep; step < steps; ++step) {
    const int64_t first = row * K + step * kStep;
    const int lanes = static_cast<int>(std::min<int64_t>(W, (K - step * kStep) / M::kLaneWeights));
    const StepCodes<M, T, W, Isa> codes(packed, first, lanes, levels);
    f32x16 s[W / 16];
    word_sums<M, T, W, Isa>(codes, activations.row(0) + step * kStep, s);
    const typename StepFieldsOf<M, T, W, Isa>::type fields(packed, first, lanes);
    combine_lanes<M, T, W, Isa>(fields, lanes, s, M::kNeedsActivationSums ? activations.sums.data() + step * W : nullptr,
                                acc);
  }
}

// The work-group's tree reduction of a row's lane accumulators, in T.
template <class T, int W>
inline T reduce_lanes(const f32x16* acc) {
  alignas(64) float lanes[W];
  std::memcpy(lanes, acc, sizeof lanes);
  tree_sum<Arith<T>, W>(lanes);
  return Arith<T>::store(lanes[0]);
}

// Work-group g of a matrix-vector launch of a word-lane member: rows R*g .. R*g + R - 1.
template <class M, class T, int W, int R, class Isa>
inline void word_lane_rows(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N,
                           const hostxpu::work_group& g) {
  const LaneLevels<typename M::F, T, Isa> levels;
  const auto& activations = lane_activations<M, T, W>(x, 1, K, g.launch_serial);
  const int64_t row0 = R * static_cast<int64_t>(g.linear_id);
  for (int64_t row = row0; row < std::min<int64_t>(row0 + R, N); ++row) {
    f32x16 acc[W / 16];
    word_lane_row<M, T, W, Isa>(packed, activations, levels, row, K, acc);
    y[row] = reduce_lanes<T, W>(acc);
  }
}

// Work-group (gb, gn) of a by-batch launch of a word-lane member: output rows 2gn, 2gn + 1 for
// activation rows 2gb, 2gb + 1. Each lane's weight is decoded once in T (level times its block's
// scale) and its product with each activation row's activation is added straight into that
// row's accumulator.
template <class M, class T, int W, class Isa>
inline void word_lane_by_batch_rows(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K,
                                    int64_t N, int64_t B, int64_t gb, int64_t gn, uint64_t launch) {
  static_assert(M::kValue == LaneValue::decoded && M::F::kScaling == formats::Scaling::scale,
                "by-batch members multiply the level by the block's scale");
  using VA = VectorArith<T, Isa>;
  constexpr int kStep = M::kLaneWeights * W, kVectors = W / 16;
  const LaneLevels<typename M::F, T, Isa> levels;
  const auto& activations = lane_activations<M, T, W>(x, B, K, launch);
  const int64_t b0 = 2 * gb, row0 = 2 * gn;
  const int batch_rows = static_cast<int>(std::min<int64_t>(2, B - b0));
  for (int64_t row = row0; row < std::min<int64_t>(row0 + 2, N); ++row) {
    f32x16 acc[2][kVectors] = {};
    for (int64_t step = 0, steps = (K + kStep - 1) / kStep; step < steps; ++step) {
      const int64_t first = row * K + step * kStep;
      const int lanes = static_cast<int>(std::min<int64_t>(W, (K - step * kStep) / M::kLaneWeights));
      const StepCodes<M, T, W, Isa> codes(packed, first, lanes, levels);
      const StepScales<M, T, W, Isa, 1> scales(packed, first, lanes);
      f32x16 scale[kVectors];
      for (int v = 0; v < kVectors; ++v) scale[v] = scales.lanes(0, v);
#pragma GCC unroll 16
      for (int n = 0; n < M::kLaneWeights; ++n) {
        for (int v = 0; v < kVectors; ++v) {
          const f32x16 weight = VA::mul(codes.level(n, v), scale[v]);
          for (int bi = 0; bi < batch_rows; ++bi) {
            const float* xs = activations.row(b0 + bi) + step * kStep + n * W + 16 * v;
            acc[bi][v] = VA::add(acc[bi][v], VA::mul(weight, load_lanes<f32x16>(xs)));
          }
        }
      }
    }
    for (int bi = 0; bi < batch_rows; ++bi) y[(b0 + bi) * N + row] = reduce_lanes<T, W>(acc[bi]);
  }
}

// Runs body(isa) built for AVX-512 where the CPU has it, else for the portable baseline. The
// AVX-512 build is flattened: every lane function is inlined into it and built for AVX-512.
template <class Body>
[[gnu::target("arch=x86-64-v4"), gnu::flatten]] void run_avx512(const Body& body) {
  body(Avx512Isa{});
}
template <class Body>
void with_lane_isa(const Body& body) {
  if (cpu_has_avx512()) {
    run_avx512(body);
  } else {
    body(PortableIsa{});
  }
}

template <class M, class T, int W, int R>
void word_lane_group(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N,
                     const hostxpu::work_group& g) {
  with_lane_isa([&](auto isa) { word_lane_rows<M, T, W, R, decltype(isa)>(packed, x, y, K, N, g); });
}

template <class M, class T, int W>
void word_lane_by_batch_group(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N,
                              int64_t B, const hostxpu::work_group& g) {
  with_lane_isa([&](auto isa) {
    word_lane_by_batch_rows<M, T, W, decltype(isa)>(packed, x, y, K, N, B, static_cast<int64_t>(g.id[0]),
                                                    static_cast<int64_t>(g.id[1]), g.launch_serial);
  });
}

}  // namespace vorn::kernels
