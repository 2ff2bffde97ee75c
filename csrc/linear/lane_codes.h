#pragma once
// Where the lanes of a matrix-vector member find their codes, and the codes of one step as lane
// vectors with their levels in T.
//
// A format qualifies when the weights one lane combines per step sit in fixed words: one 8-byte
// word of a code stream (the planar 4- and 8-bit formats, q4_k), one word of each of two code
// planes per 16-weight group (fp6, fp6_k, q6_k), or one code byte and two fifth bits (q5). Each
// lane then extracts its n-th code at a fixed position, for all lanes of a vector at once.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/prefetch.h"
#include "formats/formats.h"
#include "linear/lane_isa.h"
#include "linear/matvec_members.h"

namespace vorn::kernels {

// How far ahead, and into which cache, a kernel prefetches its code streams.
template <int kDistance, PrefetchInto kInto>
struct CodePrefetch {
  template <int kBytes>
  static void ahead(const uint8_t* p) {
    prefetch_ahead<kBytes, kDistance, kInto>(p);
  }
};
// The forwards' code streams, read from memory, arrive soonest when prefetched into L2 6 KiB
// ahead: on an Intel Xeon fp32 q4_0, nf4 and q8_0 took 10 to 17% less time than at 2 KiB into
// L1, bf16 q8_0 20% less, fp16 q8_0 (since its sums are binary16 words) 20 to 25% less. On an AMD
// Zen 5, where the forwards are bound by their operations, 2 or 4 KiB into L1 and 12 KiB into L2
// took as long, and fp32 fp8_e5m2 6 to 12% less than at 2 KiB into L1.
using FarCodePrefetch = CodePrefetch<6144, PrefetchInto::l2>;
// The fused MLP, reading a gate row and an up row of two matrices together, is the other way
// round: 4 KiB ahead into L1 takes about 10% less time than 6 KiB into L2 for fp32 q4_0,
// q4_0_woq and fp4 (as 2 KiB does; 12 KiB into L2: 10% more), and 9% less than 2 KiB for fp32
// fp8_e5m2; fp16 2 to 3% less.
using NearCodePrefetch = CodePrefetch<4096, PrefetchInto::l1>;

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
// Formats whose kSplitGroup-weight groups each keep their codes' high bits in one 16-bit word and
// their low bits in one 32-bit word of their block (high_bit(j), low_bit(j): where weight j's lie).
template <class F, class = void>
struct HasSplitGroups : std::false_type {};
template <class F>
struct HasSplitGroups<F, std::void_t<decltype(F::kSplitGroup)>> : std::true_type {};
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

// A lane that takes one whole group, in weight order, finds its codes in the group's two words.
template <class M>
struct WordLanes<M, std::enable_if_t<HasSplitGroups<typename M::F>::value>> : LaneShape<M> {
  static constexpr bool kEnabled = M::kLaneWeights == M::F::kSplitGroup && M::kUnit == M::F::kSplitGroup &&
                                   M::kOrder == LaneOrder::run;
};

template <class Rule, class = void>
struct HasHalfPattern : std::false_type {};
template <class Rule>
struct HasHalfPattern<Rule, std::void_t<decltype(Rule::half_pattern(uint32_t{}))>> : std::true_type {};

// The level of a kBits-bit code in fp32: the codebook's (3- and 4-bit codes), the binary16
// pattern's, or the integer's.
template <class F, int kBits = F::kCodeBits>
float code_level(int code) {
  if constexpr (kBits <= 4) {
    return float(F::level(code));
  } else if constexpr (HasHalfPattern<typename F::Levels>::value) {
    return half_to_float(uint16_t(F::Levels::half_pattern(uint32_t(code))));
  } else {
    return float(F::Levels::integer(code));
  }
}

// The largest magnitude among a format's levels (infinite when a level is not finite), and
// whether every level is an integer.
template <class F>
struct LevelRange {
  float largest = 0;
  bool integers = true;

  static const LevelRange& get() {
    static const LevelRange range;
    return range;
  }

 private:
  LevelRange() {
    for (int code = 0; code < (1 << F::kCodeBits); ++code) {
      const float level = code_level<F>(code);
      largest = std::isfinite(level) ? std::max(largest, std::fabs(level)) : INFINITY;
      integers = integers && std::nearbyint(level) == level;
      if (largest == INFINITY) break;
    }
  }
};

// Codebook levels (3- and 4-bit codes) and q5's 5-bit integers: a table of the 2^kBits levels
// in T, held in vectors and indexed by permutes. A permute takes each index modulo its table's
// length, and a 3-bit table repeats, so bits above the code need no mask.
template <class F, class T, class Isa, int kBits>
struct TableLevels {
  static_assert(kBits <= 5, "up to 32 entries");
  static constexpr int kVectors = kBits <= 4 ? 1 : 2;
  f32x16 table[kVectors];

  // The levels' binary16 patterns for half_patterns_of(): 32 entries, a shorter table repeating.
  u16x32 half_patterns = half_pattern_table();

  TableLevels() {
    for (int c = 0; c < 16 * kVectors; ++c) table[c / 16][c % 16] = Arith<T>::from(level(c % (1 << kBits)));
  }
  f32x16 operator()(u32x16 codes) const {
    if constexpr (kVectors == 1) {
      return __builtin_shuffle(table[0], codes);
    } else {
      return __builtin_shuffle(table[0], table[1], codes);
    }
  }
  // The levels of 32 codes (one per word, in its low bits) as binary16 patterns.
  u16x32 half_patterns_of(u16x32 codes) const { return permute_words(half_patterns, codes); }

 private:
  static float level(int code) { return code_level<F, kBits>(code); }
  static u16x32 half_pattern_table() {
    static const u16x32 patterns = [] {
      u16x32 table{};
      for (int c = 0; c < 32; ++c) table[c] = c10::Half(Arith<c10::Half>::from(level(c % (1 << kBits)))).x;
      return table;
    }();
    return patterns;
  }
};

// Whether a format's 6-bit levels are bf16 values: binary16 patterns with few significant bits
// (fp6), or integers of at most 6 bits (q6_k).
template <class F>
constexpr bool six_bit_levels_are_bf16_values() {
  if constexpr (HasHalfPattern<typename F::Levels>::value) {
    return F::Levels::kSignificantBits <= 8;
  } else {
    return true;
  }
}

// The levels of 6-bit codes (fp6, q6_k): all 64 in two tables of 32 words that one two-table
// word permute indexes. For fp32 lanes the table holds each level in T as the high word of its
// fp32 pattern, which is the whole pattern (the levels are bf16 values): codes in the high halves
// of their lanes look up their fp32 levels. Where this lookup is one operation, fp6's table of 32
// fp32 magnitudes took a shift and a bitwise operation more for the sign (in fp32 0.46 ns per 16
// weights in the cache where this takes 0.35; fp6_k 0.48 and 0.39), and q6_k's codes, turned into
// integers, a shift and a conversion (0.38 and 0.35).
template <class F, class T, class Isa>
struct WordTableLevels {
  static_assert(six_bit_levels_are_bf16_values<F>(), "the levels are bf16 values");
  struct Tables {
    u16x32 fp32_high_words[2], half_patterns[2];  // [h]: codes 32h .. 32h + 31
  };
  const Tables tables = filled();

  // The levels in T, as fp32, of the codes in bits 21..16 of the lanes (the other bits ignored).
  f32x16 of_high_words(u32x16 codes) const {
    return bit_as<f32x16>(HighWordLookup<Isa>::apply(tables.fp32_high_words, codes));
  }
  // The levels of 32 codes (one per word, in bits 5..0) as binary16 patterns.
  u16x32 half_patterns_of(u16x32 codes) const {
    return __builtin_shuffle(tables.half_patterns[0], tables.half_patterns[1], codes);
  }

 private:
  static Tables filled() {
    static const Tables once = [] {
      Tables t;
      for (int c = 0; c < 64; ++c) {
        const float level = code_level<F, 6>(c);
        t.fp32_high_words[c / 32][c % 32] = static_cast<uint16_t>(float_bits(Arith<T>::from(level)) >> 16);
        t.half_patterns[c / 32][c % 32] = c10::Half(Arith<c10::Half>::from(level)).x;
      }
      return t;
    }();
    return once;
  }
};

// The levels of a format's codes for the lanes of a vector, by code width. The 8-bit formats need
// none: their step codes turn codes into levels as they extract them (two's complement integers,
// binary16 patterns).
template <class F, class T, class Isa, int kBits = F::kCodeBits>
struct LaneLevels {};
template <class F, class T, class Isa>
struct LaneLevels<F, T, Isa, 3> : TableLevels<F, T, Isa, 3> {};
template <class F, class T, class Isa>
struct LaneLevels<F, T, Isa, 4> : TableLevels<F, T, Isa, 4> {};
template <class F, class T, class Isa>
struct LaneLevels<F, T, Isa, 5> : TableLevels<F, T, Isa, 5> {};
template <class F, class T, class Isa>
struct LaneLevels<F, T, Isa, 6> : WordTableLevels<F, T, Isa> {};

// v shifted right by `by` bits, or left by -by (each lane on its own).
template <class V>
inline V shift_right(V v, int by) {
  return by >= 0 ? v >> by : v << -by;
}

// The bits of `high` outside `mask` with those of `low` inside it (one bitwise select).
inline u32x16 select_bits(u32x16 high, u32x16 low, uint32_t mask) { return (high & ~mask) | (low & mask); }
inline u16x32 select_bits(u16x32 high, u16x32 low, uint16_t mask) {
  return (high & static_cast<uint16_t>(~mask)) | (low & mask);
}

// Lanes of two vectors as the 16-bit words of one, in pair order: word 2i takes lane i of `a`,
// word 2i + 1 lane i of `b`, each its bits 16 * half .. 16 * half + 15. The binary16 sums take
// the lanes of two vectors per operation so (HalfPairProductSum).
inline u16x32 paired_words(u32x16 a, u32x16 b, int half) {
  u16x32 at;
  for (int i = 0; i < 32; ++i) at[i] = static_cast<uint16_t>(2 * (i / 2) + half + 32 * (i % 2));
  return __builtin_shuffle(bit_as<u16x32>(a), bit_as<u16x32>(b), at);
}

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

// Formats whose codes are their levels as two's complement integers (q8_0).
template <class F, class = void>
struct HasTwosComplementCodes : std::false_type {};
template <class F>
struct HasTwosComplementCodes<F, std::void_t<decltype(F::Levels::kTwosComplement)>>
    : std::bool_constant<F::Levels::kTwosComplement> {};

// The signed kBits-bit integers at the top of each lane (bits 32 - kBits .. 31) as fp32 levels:
// one arithmetic shift brings them down with their sign (exact in every T).
template <int kBits>
inline f32x16 top_bits_as_levels(u32x16 v) {
  return __builtin_convertvector(bit_as<i32x16>(v) >> (32 - kBits), f32x16);
}

// The codes of one step of a code stream: W lanes' words as (low, high) 32-bit halves.
template <class M, class T, int W, class Isa, class Prefetch = FarCodePrefetch>
struct StreamCodes {
  using F = typename M::F;
  using WL = WordLanes<M>;
  static constexpr int kVectors = W / 16, kHalfSlots = WL::kSlotsPerWord / 2;
  static constexpr bool kTwosComplement = HasTwosComplementCodes<F>::value;
  u32x16 low[kVectors], high[kVectors];
  const LaneLevels<F, T, Isa>& levels;

  StreamCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>& levels)
      : levels(levels) {
    const int word = F::slot(static_cast<int>(first % F::kBlock)) / WL::kSlotsPerWord;
    uint8_t padded[W * 8];
    const uint8_t* stream = packed.w + packed.at.codes(first / F::kBlock) + 8 * word;
    Prefetch::template ahead<W * 8>(stream);
    const uint8_t* words = lane_words<W, 8>(stream, lanes, padded);
    for (int v = 0; v < kVectors; ++v) split_words(words, v, low[v], high[v]);
  }

  // The level of the n-th code of lanes 16v .. 16v + 15.
  f32x16 level(int n, int v) const {
    if constexpr (kTwosComplement) {
      // The code's sign bit up to the lane's.
      return top_bits_as_levels<WL::kBits>(word(n, v) << (32 - WL::kBits - bit(n)));
    } else {
      return levels(word(n, v) >> bit(n));
    }
  }
  // The levels of the n-th codes of vectors 2p and 2p + 1 as binary16 patterns, in pair order.
  static constexpr bool kHalfPairs = true;
  u16x32 level_pair(int n, int p) const {
    static_assert(16 % WL::kBits == 0, "no code straddles two 16-bit words");
    const u16x32 words = paired_words(word(n, 2 * p), word(n, 2 * p + 1), bit(n) / 16);
    if constexpr (kTwosComplement) {
      static_assert(WL::kBits == 8, "byte codes");
      return high_bytes_as_halves(shift_right(words, bit(n) % 16 - 8));
    } else {
      return levels.half_patterns_of(words >> (bit(n) % 16));
    }
  }

 private:
  u32x16 word(int n, int v) const { return WL::position(n) < kHalfSlots ? low[v] : high[v]; }
  static constexpr int bit(int n) { return WL::kBits * (WL::position(n) % kHalfSlots); }
};

// The codes of one step of a two-plane format: lane l's group as its 4-bit plane word (in
// (low, high) 32-bit halves) and its 2-bit plane word.
template <class M, class T, int W, class Isa, class Prefetch = FarCodePrefetch>
struct PlaneCodes {
  using F = typename M::F;
  static constexpr int kVectors = W / 16;
  u32x16 low[kVectors], high[kVectors], top[kVectors];
  const LaneLevels<F, T, Isa>& levels;

  PlaneCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>& levels)
      : levels(levels) {
    const int64_t group = first / F::kPlaneGroup;
    uint8_t padded4[W * 8], padded2[W * 4];
    const uint8_t* plane4 = packed.w + packed.at.p4(0) + 8 * group;
    const uint8_t* plane2 = packed.w + packed.at.p2(0) + 4 * group;
    Prefetch::template ahead<W * 8>(plane4);
    Prefetch::template ahead<W * 4>(plane2);
    const uint8_t* p4 = lane_words<W, 8>(plane4, lanes, padded4);
    const uint8_t* p2 = lane_words<W, 4>(plane2, lanes, padded2);
    for (int v = 0; v < kVectors; ++v) {
      split_words(p4, v, low[v], high[v]);
      top[v] = load_lanes<u32x16>(p2 + 64 * v);
    }
  }

  // The level of weight n of the groups of lanes 16v .. 16v + 15.
  f32x16 level(int n, int v) const {
    const int nibble_bit = F::p4_bit(n);
    const u32x16 nibbles = nibble_bit < 32 ? low[v] : high[v];
    return levels.of_high_words(code_of(top[v], nibbles, F::p2_bit(n), nibble_bit % 32, 16));
  }
  // The levels of weight n of the groups of vectors 2p and 2p + 1 as binary16 patterns, in pair
  // order: the same selection on 16-bit words.
  static constexpr bool kHalfPairs = true;
  u16x32 level_pair(int n, int p) const {
    const int nibble_bit = F::p4_bit(n), top_bit = F::p2_bit(n);
    const u32x16* words = nibble_bit < 32 ? low : high;
    return levels.half_patterns_of(code_of(paired_words(top[2 * p], top[2 * p + 1], top_bit / 16),
                                           paired_words(words[2 * p], words[2 * p + 1], nibble_bit % 32 / 16),
                                           top_bit % 16, nibble_bit % 16));
  }

 private:
  // The code at bits at .. at + 5 (junk elsewhere) from the words holding its top bits at top_bit
  // and its nibble at nibble_bit: 32-bit lanes, or 16-bit words in pair order.
  template <class V>
  static V code_of(V top_word, V nibble_word, int top_bit, int nibble_bit, int at = 0) {
    return select_bits(shift_right(top_word, top_bit - 4 - at), shift_right(nibble_word, nibble_bit - at), 15u << at);
  }
};

// The codes of one step of a split-group format (nf3): lane l's group as its word of high bits
// and its word of low bits. A step that starts on a block with all W lanes picks the words of
// each vector's four blocks (96 bytes) from two overlapping loads by dword permutes; others read
// lane by lane, and lanes past the row take zero codes.
template <class M, class T, int W, class Isa, class Prefetch = FarCodePrefetch>
struct SplitGroupCodes {
  using F = typename M::F;
  static constexpr int kVectors = W / 16, kGroupsPerBlock = F::kBlock / F::kSplitGroup;
  static_assert(kGroupsPerBlock == 4 && F::kBlockBytes == 24, "four groups of 16 in 24 bytes per block");
  u32x16 high[kVectors], low[kVectors];
  const LaneLevels<F, T, Isa>& levels;

  SplitGroupCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>& levels)
      : levels(levels) {
    const int64_t group = first / F::kSplitGroup;
    const int offset = static_cast<int>(group % kGroupsPerBlock);
    const uint8_t* blocks = packed.w + packed.at.codes(group / kGroupsPerBlock);
    Prefetch::template ahead<W / kGroupsPerBlock * F::kBlockBytes>(blocks);
    if (offset == 0 && lanes == W) {
      // Lane i of a vector: block i / 4, group i % 4; dwords 0..15 from the first load, 16..23
      // (at 8..15 of the second) from the second. An odd group's high word is the upper half of
      // its dword.
      const u32x16 kLowAt = {2, 3, 4, 5, 8, 9, 10, 11, 14, 15, 16 + 8, 17 + 8, 20 + 8, 21 + 8, 22 + 8, 23 + 8};
      const u32x16 kHighAt = {0, 0, 1, 1, 6, 6, 7, 7, 12, 12, 13, 13, 18 + 8, 18 + 8, 19 + 8, 19 + 8};
      const u32x16 kHighShift = {0, 16, 0, 16, 0, 16, 0, 16, 0, 16, 0, 16, 0, 16, 0, 16};
      for (int v = 0; v < kVectors; ++v) {
        const uint8_t* p = blocks + 4 * F::kBlockBytes * v;
        const u32x16 a = load_lanes<u32x16>(p), b = load_lanes<u32x16>(p + 32);
        low[v] = __builtin_shuffle(a, b, kLowAt);
        high[v] = __builtin_shuffle(a, b, kHighAt) >> kHighShift;
      }
    } else {
      for (int v = 0; v < kVectors; ++v) {
        for (int i = 0; i < 16; ++i) {
          const int l = 16 * v + i, q = offset + l;
          const uint8_t* block = blocks + q / kGroupsPerBlock * F::kBlockBytes;
          high[v][i] = l < lanes ? formats::load_u16(block + 2 * (q % kGroupsPerBlock)) : 0;
          low[v][i] = l < lanes ? formats::load_u32(block + 8 + 4 * (q % kGroupsPerBlock)) : 0;
        }
      }
    }
  }

  // The level of weight n of the groups of lanes 16v .. 16v + 15: bit 2 from the high word,
  // bits 1..0 from the low word.
  f32x16 level(int n, int v) const { return levels(code_of(high[v], low[v], F::high_bit(n), F::low_bit(n))); }
  // The levels of weight n of the groups of vectors 2p and 2p + 1 as binary16 patterns, in pair
  // order: the same selection on 16-bit words.
  static constexpr bool kHalfPairs = true;
  u16x32 level_pair(int n, int p) const {
    return levels.half_patterns_of(code_of(paired_words(high[2 * p], high[2 * p + 1], 0),
                                           paired_words(low[2 * p], low[2 * p + 1], F::low_bit(n) / 16),
                                           F::high_bit(n), F::low_bit(n) % 16));
  }

 private:
  // The code (junk above bit 2) from the words holding its high bit at high_bit and its low bits
  // at low_bit: 32-bit lanes, or 16-bit words in pair order.
  template <class V>
  static V code_of(V high_word, V low_word, int high_bit, int low_bit) {
    return select_bits(shift_right(high_word, high_bit - 2), low_word >> low_bit, 3);
  }
};

// The fp16 scale fields of a q5 block in T, d in lane 0 (and m in lane 1), converted as a vector
// (rounded for bf16 only: they are values of the wider types and of fp16 itself).
template <class F, class T, class Isa>
inline f32x16 pair_block_fields(const formats::Packed<F>& packed, int64_t block) {
  const uint8_t* fields = F::scale_fields(packed.w, packed.at, block);
  const f32x16 values = VectorHalves<Isa>::apply(FieldLoad<Isa>::halves(fields, F::kHasMin ? 2 : 1));
  if constexpr (std::is_same_v<T, c10::BFloat16>) return VectorRound<T, Isa>::apply(values);
  return values;
}

// The codes of one step of q5 lanes: vector v holds lanes 16(v mod 2) .. + 15 of the step's
// block v / 2, each lane's two codes from its nibble byte and fifth bits. The decoded members
// (q5_1) take the decoded weight in T, as decoded_weight forms it, in place of the value: each
// block's 32 decoded weights are formed once, as a table the codes index.
template <class M, class T, int W, class Isa, class Prefetch = FarCodePrefetch>
struct PairCodes {
  using F = typename M::F;
  using VA = VectorArith<T, Isa>;
  static constexpr int kVectors = W / 16;
  static constexpr bool kDecoded = M::kValue == LaneValue::decoded;
  u32x16 code_[2][kVectors];
  f32x16 decoded_[kDecoded ? (kVectors + 1) / 2 : 1][2];  // [block][half of the table]
  const LaneLevels<F, T, Isa>& levels;

  PairCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>& levels)
      : levels(levels) {
    for (int v = 0; v < kVectors; ++v) {
      code_[0][v] = code_[1][v] = u32x16{};
      if (16 * v >= lanes) continue;  // lanes come in whole blocks
      const auto block = packed.block(first / F::kBlock + v / 2);
      if (v % 2 == 0) Prefetch::template ahead<64>(block.qs);
      const u32x16 nibbles = FieldLoad<Isa>::bytes(block.qs + 16 * (v % 2), 16);
      // Each lane's fifth bits as bit 4 (lane i of the vector: bit 16 * (v % 2) + i of each half).
      const int lane0 = 16 * (v % 2);
      code_[0][v] = LaneBits<Isa>::or_where(nibbles & 15, uint32_t(block.high >> lane0), 16);
      code_[1][v] = LaneBits<Isa>::or_where(nibbles >> 4, uint32_t(block.high >> (32 + lane0)), 16);
      if constexpr (kDecoded) {
        if (v % 2 == 0) decode_block(packed, first / F::kBlock + v / 2, decoded_[v / 2]);
      }
    }
  }

  // The block's decoded weights q * d + m in T for q = 0 .. 31. In binary16 arithmetic where the
  // CPU has it: two instructions for the 32 weights, where fp32 lanes take eight conversions more.
  void decode_block(const formats::Packed<F>& packed, int64_t block, f32x16 (&table)[2]) const {
    static_assert(F::kScaling == formats::Scaling::scale_offset, "value * scale + offset");
    if constexpr (std::is_same_v<T, c10::Half> && HalfLevelAffine<Isa>::kEnabled) {
      HalfLevelAffine<Isa>::apply(levels.half_patterns, F::scale_fields(packed.w, packed.at, block), table);
    } else {
      const f32x16 fields = pair_block_fields<F, T, Isa>(packed, block);
      const f32x16 scale = __builtin_shuffle(fields, u32x16{}), offset = __builtin_shuffle(fields, u32x16{} + 1);
      for (int h = 0; h < 2; ++h) table[h] = VA::add(VA::mul(levels.table[h], scale), offset);
    }
  }

  // The value (or decoded weight) of the n-th weight of lanes 16v .. 16v + 15.
  f32x16 level(int n, int v) const {
    if constexpr (kDecoded) {
      return __builtin_shuffle(decoded_[v / 2][0], decoded_[v / 2][1], code_[n][v]);
    } else {
      return levels(code_[n][v]);
    }
  }
  // The values of the n-th weights of vectors 2p and 2p + 1 as binary16 patterns, in pair order;
  // not the decoded weights, whose per-block tables of patterns cost more than they saved.
  static constexpr bool kHalfPairs = !kDecoded;
  u16x32 level_pair(int n, int p) const {
    return levels.half_patterns_of(paired_words(code_[n][2 * p], code_[n][2 * p + 1], 0));
  }
};

// 8-bit codes read as binary16 patterns (fp8).
template <class F, class = void>
struct HasByteHalfPatterns : std::false_type {};
template <class F>
struct HasByteHalfPatterns<F, std::void_t<typename F::Levels, decltype(F::kCodeBits)>>
    : std::bool_constant<F::kCodeBits == 8 && HasHalfPattern<typename F::Levels>::value> {};

// The codes of one step of such a format, lane l's weights n = 0..7 being bytes n of its 8-byte
// word. One 16-bit permute takes word 2q + h (bytes 4q + 2h and 4q + 2h + 1) of every lane of a
// vector into words 16h .. 16h + 15 (q, h = 0, 1), and the format's rule applied to the low and to
// the high bytes of those words where they lie (half_pattern_at) gives the binary16 patterns of
// four weights, two per 16-bit vector, ready for the conversion: no per-weight shifts, masks or
// narrowing of 32-bit lanes. (Taking each byte out first cost fp8_e4m3 in fp32 10%.) Binary16
// levels with at most 8 significant bits are values of every T and need no rounding. (A binary32
// pattern scaled by a power of two would skip the conversion, but its subnormals, for every zero
// weight of fp8_e4m3, cost a microcode assist per operation.)
template <class M, class T, int W, class Isa, class Prefetch = FarCodePrefetch>
struct ByteHalfCodes {
  using F = typename M::F;
  using Rule = typename F::Levels;
  static constexpr int kVectors = W / 16;
  static_assert(WordLanes<M>::kEnabled && M::kLaneWeights == 8 && M::kOrder == LaneOrder::run,
                "lane l's n-th code is byte n of its word");
  static_assert(Rule::kSignificantBits <= 8, "the levels are values of every T");
  // [v][q][n % 2]: word 16h + i holds the pattern of weight 4q + 2h + n % 2 of lane 16v + i.
  u16x32 patterns_[kVectors][2][2];

  ByteHalfCodes(const formats::Packed<F>& packed, int64_t first, int lanes, const LaneLevels<F, T, Isa>&) {
    uint8_t padded[W * 8];
    const uint8_t* stream = packed.w + packed.at.codes(first / F::kBlock) + first % F::kBlock;
    Prefetch::template ahead<W * 8>(stream);
    const uint8_t* words = lane_words<W, 8>(stream, lanes, padded);
    for (int v = 0; v < kVectors; ++v) {
      const u16x32 a = load_lanes<u16x32>(words + 128 * v), b = load_lanes<u16x32>(words + 128 * v + 64);
      for (int q = 0; q < 2; ++q) {
        u16x32 at;
        for (int i = 0; i < 32; ++i) at[i] = static_cast<uint16_t>(4 * (i % 16) + 2 * q + i / 16);
        const u16x32 pair = __builtin_shuffle(a, b, at);
        patterns_[v][q][0] = Rule::template half_pattern_at<0>(pair);
        patterns_[v][q][1] = Rule::template half_pattern_at<8>(pair);
      }
    }
  }

  // The level of the n-th code of lanes 16v .. 16v + 15.
  f32x16 level(int n, int v) const {
    u16x16 patterns;
    std::memcpy(&patterns, reinterpret_cast<const uint16_t*>(&patterns_[v][n / 4][n % 2]) + 16 * (n % 4 / 2),
                sizeof patterns);
    return VectorHalves<Isa>::packed(patterns);
  }
};

// Whether the codes of a step also give their levels as binary16 patterns (level_pair()).
template <class Codes, class = void>
struct HasHalfPairLevels : std::false_type {};
template <class Codes>
struct HasHalfPairLevels<Codes, std::void_t<decltype(Codes::kHalfPairs)>> : std::bool_constant<Codes::kHalfPairs> {};

template <class M, class T, int W, class Isa, class Prefetch = FarCodePrefetch>
using StepCodes = std::conditional_t<
    HasPlaneGroups<typename M::F>::value, PlaneCodes<M, T, W, Isa, Prefetch>,
    std::conditional_t<HasSplitGroups<typename M::F>::value, SplitGroupCodes<M, T, W, Isa, Prefetch>,
                       std::conditional_t<HasCodePairs<typename M::F>::value, PairCodes<M, T, W, Isa, Prefetch>,
                                          std::conditional_t<HasByteHalfPatterns<typename M::F>::value,
                                                             ByteHalfCodes<M, T, W, Isa, Prefetch>,
                                                             StreamCodes<M, T, W, Isa, Prefetch>>>>>;

}  // namespace vorn::kernels
