#include "linear/expand_blocks.h"

#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "common/half_bits.h"
#include "common/prefetch.h"
#include "common/streaming_stores.h"
#include "common/vector_clones.h"
#include "formats/formats.h"
#include "linear/element_math.h"
#include "linear/group_scale.h"
#include "linear/half_code_tables.h"
#include "linear/half_rounding.h"
#include "linear/half_scaled_values.h"
#include "linear/lane_arith.h"
#include "linear/lane_vectors.h"
#include "linear/level_lookup.h"

namespace vorn::kernels {
namespace {

// A's arithmetic on values held in a compute type C, each result rounded to A as A's own
// operators round it (the combine step of element_math.h), in a form whose loops vectorise.
template <class Compute, Compute (*Round)(Compute)>
struct RoundedLanes {
  using C = Compute;
  static C from(float v) { return Round(C(v)); }
  static C mul(C a, C b) { return Round(a * b); }
  static C add(C a, C b) { return Round(a + b); }
};

inline float unrounded(float v) { return v; }
inline double unrounded_double(double v) { return v; }

template <class A>
struct Lanes;
template <>
struct Lanes<float> : RoundedLanes<float, unrounded> {};
template <>
struct Lanes<double> : RoundedLanes<double, unrounded_double> {};
// bf16: from() rounds every operand to a bf16 value, so a NaN that an operation on them yields is
// one too (an operand's, quieted, or the default NaN) and the operations' rounding needs no NaN
// select (bf16 q4_1, q4_k and nf4 expand 17 to 20% faster so).
template <>
struct Lanes<c10::BFloat16> {
  using C = float;
  static C from(float v) { return round_to_bf16(v); }
  static C mul(C a, C b) { return round_bf16_operation(a * b); }
  static C add(C a, C b) { return round_bf16_operation(a + b); }
};

// Stores a value of A's arithmetic as T: bf16 takes the bits of a value already rounded to it,
// the wide types hold it exactly.
inline void store(float* p, float v) { *p = v; }
inline void store(double* p, double v) { *p = v; }
inline void store(c10::BFloat16* p, float v) { reinterpret_cast<uint16_t*>(p)[0] = exact_bf16_bits(v); }

// Blocks with a bulk decoder fill all of a block's values at once, as fp32 or as binary16 bits
// (the formats whose values are fp16 values); the others value by value.
// The helpers below are always inlined: each instruction-set clone of expand_blocks must compile
// them for its own level.
template <class B, class = void>
struct HasBulkValues : std::false_type {};
template <class B>
struct HasBulkValues<B, std::void_t<decltype(std::declval<const B&>().values(static_cast<float*>(nullptr)))>>
    : std::true_type {};
template <class B, class = void>
struct HasHalfValues : std::false_type {};
template <class B>
struct HasHalfValues<B, std::void_t<decltype(std::declval<const B&>().half_values(static_cast<uint16_t*>(nullptr)))>>
    : std::true_type {};

// Integer-valued blocks (q8_0 among the 8-bit ones, which share half_values' declaration) decode
// value by value: a plain conversion that vectorises.
template <class F>
inline constexpr bool kIntegerValues = std::is_integral_v<decltype(std::declval<typename F::Block>().value(0))>;
template <class F>
inline constexpr bool kHalfValues = !kIntegerValues<F> && HasHalfValues<typename F::Block>::value;

// The 4-bit formats with codebook levels (nf4, fp4): codes unpacked in weight order, then looked up
// in the format's level table.
template <class F, class = void>
inline constexpr bool kLevelCodes = false;
template <class F>
inline constexpr bool kLevelCodes<F, std::void_t<typename F::Nibbles, decltype(F::level(0))>> =
    !std::is_integral_v<decltype(F::level(0))>;

// The format's levels (16 entries; fewer levels repeat) as fp32, or (kRounded) rounded to fp16.
template <class F, bool kRounded = false>
const float* level_table() {
  static const auto table = [] {
    struct Levels {
      float v[16];
    } levels;
    for (int code = 0; code < 16; ++code) levels.v[code] = float(F::level(code % (1 << F::kCodeBits)));
    if (kRounded) round_to_half_values(levels.v, 16);
    return levels;
  }();
  return table.v;
}

template <class F>
[[gnu::always_inline]] inline void block_values(const typename F::Block& b, float* v) {
  if constexpr (kLevelCodes<F>) {
    uint8_t codes[F::kBlock];
    F::Nibbles::unpack(b.qs, codes, [](int code) { return uint8_t(code); });
    lookup_levels(level_table<F>(), codes, v, F::kBlock);
  } else if constexpr (HasBulkValues<typename F::Block>::value) {
    b.values(v);
  } else if constexpr (kHalfValues<F>) {
    uint16_t bits[F::kBlock];
    b.half_values(bits);
    if constexpr (F::kScaling == formats::Scaling::none) {
      // Exact to the bit: the machine's conversion would quiet a signalling NaN.
      for (int j = 0; j < F::kBlock; ++j) v[j] = half_to_float(bits[j]);
    } else {
      // The product with the scale quiets a NaN in either case.
      half_bits_to_floats(bits, v, F::kBlock);
    }
  } else {
    for (int j = 0; j < F::kBlock; ++j) v[j] = float(b.value(j));
  }
}

// A block's values rounded to fp16, as fp32: fp16 values from the bulk decode where the format
// has one, else widened by the machine's conversion (a NaN's payload is dropped by the caller's
// last rounding).
template <class F>
[[gnu::always_inline]] inline void half_block_values(const typename F::Block& b, float* v) {
  if constexpr (kHalfValues<F> && !HasBulkValues<typename F::Block>::value) {
    uint16_t bits[F::kBlock];
    b.half_values(bits);
    half_bits_to_floats(bits, v, F::kBlock);
  } else {
    block_values<F>(b, v);
    if constexpr (!kIntegerValues<F> && !kHalfValues<F>) round_to_half_values(v, F::kBlock);
  }
}

// Per group g of a block: out = values times scales[g] (kScale), plus offsets[g] (kOffset), in
// fp32 arithmetic, 8 weights at a time in the compiler's vector extension (its own
// vectorisation of such group loops interleaved a block's groups and paid in shuffles). Eight,
// not sixteen: the values come from loops the compiler vectorises at that width, and a wider
// load of two narrower stores waits for them to reach the cache (store forwarding fails), which
// took a third of q5_0's expand time.
template <class F, bool kScale, bool kOffset>
[[gnu::always_inline]] inline void combine_groups(const float* values, const float* scales, const float* offsets,
                                                  float* out) {
  static_assert(F::kGroup % 8 == 0, "whole vectors per group");
  for (int g = 0; g < F::kBlock / F::kGroup; ++g) {
    for (int j = g * F::kGroup; j < (g + 1) * F::kGroup; j += 8) {
      f32x8 weights = load_lanes<f32x8>(values + j);
      if constexpr (kScale) weights = weights * scales[g];
      if constexpr (kOffset) weights = weights + offsets[g];
      std::memcpy(out + j, &weights, sizeof weights);
    }
  }
}

// One block's weights from its values: L's arithmetic, stored as Out.
template <class F, class L, class Out>
[[gnu::always_inline]] inline void combine_block(const typename F::Block& block, const float* values, Out* dst) {
  using C = typename L::C;
  using formats::Scaling;
  constexpr int kGroups = F::kBlock / F::kGroup;
  if constexpr (std::is_same_v<L, Lanes<float>>) {
    float scales[kGroups], offsets[kGroups];
    for (int g = 0; g < kGroups; ++g) {
      if constexpr (F::kScaling != Scaling::none) scales[g] = group_scale<F>(block, g);
      if constexpr (F::kScaling == Scaling::scale_offset) offsets[g] = block.offset(g);
    }
    combine_groups<F, F::kScaling != Scaling::none, F::kScaling == Scaling::scale_offset>(values, scales, offsets, dst);
  } else {
    for (int g = 0; g < kGroups; ++g) {
      C scale{}, offset{};
      if constexpr (F::kScaling != Scaling::none) scale = L::from(group_scale<F>(block, g));
      if constexpr (F::kScaling == Scaling::scale_offset) offset = L::from(block.offset(g));
      const float* v = values + g * F::kGroup;
      Out* d = dst + g * F::kGroup;
      for (int j = 0; j < F::kGroup; ++j) {
        // Integer codes convert to every A exactly; codebook and float-code values are rounded.
        const C value = kIntegerValues<F> ? C(v[j]) : L::from(v[j]);
        store(d + j, combined_weight<L, F>(value, scale, offset));
      }
    }
  }
}

// 4-bit formats whose block has one group: a block has only 16 distinct weights (formed and
// looked up in binary16 by half_code_tables.h where the machine has AVX512-FP16).
template <class F, class = void>
inline constexpr bool kCodeTables = false;
template <class F>
inline constexpr bool kCodeTables<F, std::void_t<typename F::Nibbles>> = F::kGroup == F::kBlock;

// fp16 arithmetic runs over about this many weights at a time (whole blocks, at least one).
inline constexpr int kHalfRunWeights = 1024;

// Blocks first .. first + count - 1 of such a format in fp16 arithmetic, up to the last
// rounding: each block's 16 weights, one per code, formed by element_math.h's rule, then looked
// up by the block's codes. All tables first, so that the rounding's constants stay in registers.
template <class F>
[[gnu::always_inline]] inline void fp16_code_tables(const formats::Packed<F>& packed, int64_t first, int64_t count,
                                                    float* results) {
  using formats::Scaling;
  alignas(64) float weights[std::max(1, kHalfRunWeights / F::kBlock)][16];
  const float* levels = level_table<F, true>();
  // A scale or offset converted to fp16; fp16 fields hold fp16 values already.
  const auto half_field = [](float field) {
    return F::Scales::kType == formats::FieldType::f16 ? field : round_to_half(field);
  };
  for (int64_t b = 0; b < count; ++b) {
    const auto block = packed.block(first + b);
    const float scale = F::kScaling == Scaling::none ? 1.0f : half_field(block.scale(0));
    float offset = 0.0f;
    if constexpr (F::kScaling == Scaling::scale_offset) offset = half_field(block.offset(0));
    for (int code = 0; code < 16; ++code) {
      const float product = levels[code] * scale;
      weights[b][code] = F::kScaling == Scaling::scale_offset ? round_to_half(product) + offset : product;
    }
  }
  uint8_t codes[F::kBlock];
  for (int64_t b = 0; b < count; ++b) {
    const auto block = packed.block(first + b);
    prefetch_ahead<F::kBlock / 2>(block.qs);
    F::Nibbles::unpack(block.qs, codes, [](int code) { return uint8_t(code); });
    lookup_levels(weights[b], codes, results + b * F::kBlock, F::kBlock);
  }
}

// Blocks first .. first + count - 1 of the other formats in fp16 arithmetic: element_math.h's
// rule one step at a time over the whole run, each step rounded to fp16 by the machine's
// conversion (half_rounding.h) - the values (unless they are fp16 values already), the product
// with the scale, the sum with the offset - up to the last rounding.
template <class F>
[[gnu::always_inline]] inline void fp16_value_weights(const formats::Packed<F>& packed, int64_t first, int64_t count,
                                                      float* results) {
  using formats::Scaling;
  constexpr int kGroups = F::kBlock / F::kGroup;
  constexpr bool kScale = F::kScaling != Scaling::none, kOffset = F::kScaling == Scaling::scale_offset;
  float values[F::kBlock], scales[kGroups];
  for (int64_t b = 0; b < count; ++b) {
    const auto block = packed.block(first + b);
    if constexpr (kScale) {
      half_block_values<F>(block, values);
      for (int g = 0; g < kGroups; ++g) scales[g] = round_to_half(group_scale<F>(block, g));
      combine_groups<F, kScale, false>(values, scales, nullptr, results + b * F::kBlock);
    } else {
      half_block_values<F>(block, results + b * F::kBlock);  // unscaled: the values are the weights
    }
  }
  if constexpr (kOffset) {
    round_to_half_values(results, count * F::kBlock);
    float offsets[kGroups];
    for (int64_t b = 0; b < count; ++b) {
      const auto block = packed.block(first + b);
      for (int g = 0; g < kGroups; ++g) offsets[g] = round_to_half(block.offset(g));
      float* r = results + b * F::kBlock;
      combine_groups<F, false, true>(r, nullptr, offsets, r);
    }
  }
}

// Formats whose values are binary16 values with one scale per group (half_scaled_values.h).
template <class F>
inline constexpr bool kScaledHalfValues =
    kHalfValues<F> && !HasBulkValues<typename F::Block>::value && F::kScaling == formats::Scaling::scale;

// Blocks first .. first + count - 1 in fp16 arithmetic up to the last rounding, as fp32 results
// in `results` (which may be out, for fp32 outputs).
template <class F>
[[gnu::always_inline]] inline void fp16_weights(const formats::Packed<F>& packed, int64_t first, int64_t count,
                                                float* results) {
  if constexpr (kCodeTables<F>) {
    fp16_code_tables<F>(packed, first, count, results);
  } else {
    fp16_value_weights<F>(packed, first, count, results);
  }
}

}  // namespace

template <class F, class A, class T>
VORN_VECTOR_CLONES void expand_blocks(const formats::Packed<F>& packed, int64_t first, int64_t count, T* out) {
  if constexpr (std::is_same_v<A, c10::Half>) {
    using Out = std::conditional_t<std::is_same_v<T, float>, float, uint16_t>;
    if constexpr (kCodeTables<F>) {
      if (expand_half_code_tables<F>(packed, level_table<F, true>(), first, count, reinterpret_cast<Out*>(out))) return;
    }
    if constexpr (kScaledHalfValues<F>) {
      return expand_scaled_half_values<F>(packed, first, count, reinterpret_cast<Out*>(out));
    }
    // Runs of blocks, each rounded to fp16 once more for its last step.
    constexpr int64_t kRun = std::max(1, kHalfRunWeights / F::kBlock);
    float staged[kRun * F::kBlock];
    for (int64_t i = 0; i < count; i += kRun) {
      const int64_t blocks = std::min(kRun, count - i);
      if constexpr (std::is_same_v<T, float>) {
        fp16_weights<F>(packed, first + i, blocks, out + i * F::kBlock);
        round_to_half_values(out + i * F::kBlock, blocks * F::kBlock);
      } else {
        static_assert(std::is_same_v<T, c10::Half>, "fp16 arithmetic stores fp16 or fp32");
        fp16_weights<F>(packed, first + i, blocks, staged);
        round_to_half_bits(staged, reinterpret_cast<uint16_t*>(out + i * F::kBlock), blocks * F::kBlock);
      }
    }
  } else {
    static_assert(std::is_same_v<A, T>, "other arithmetics store their own type");
    float values[F::kBlock];
    for (int64_t i = 0; i < count; ++i) {
      const auto block = packed.block(first + i);
      block_values<F>(block, values);
      combine_block<F, Lanes<A>>(block, values, out + i * F::kBlock);
    }
  }
}

template <class F, class A, class T>
void expand_blocks_streamed(const formats::Packed<F>& packed, int64_t first, int64_t count, T* out) {
  constexpr int64_t kChunk = std::max(1, 2048 / F::kBlock);  // blocks staged per copy
  alignas(64) T staged[kChunk * F::kBlock];
  for (int64_t i = 0; i < count; i += kChunk) {
    const int64_t blocks = std::min(kChunk, count - i);
    expand_blocks<F, A, T>(packed, first + i, blocks, staged);
    common_utils::stream_copy(out + i * F::kBlock, staged, blocks * F::kBlock * sizeof(T));
  }
}

#define VORN_EXPAND_BLOCKS(F, A, T)                                                                        \
  template void expand_blocks<formats::F, A, T>(const formats::Packed<formats::F>&, int64_t, int64_t, T*); \
  template void expand_blocks_streamed<formats::F, A, T>(const formats::Packed<formats::F>&, int64_t, int64_t, T*);
// The dequantize kernel family: every format in each element type's own arithmetic.
#define VORN_EXPAND_FORMAT(F)                        \
  VORN_EXPAND_BLOCKS(F, float, float)                \
  VORN_EXPAND_BLOCKS(F, double, double)              \
  VORN_EXPAND_BLOCKS(F, c10::Half, c10::Half)        \
  VORN_EXPAND_BLOCKS(F, c10::BFloat16, c10::BFloat16)

VORN_EXPAND_FORMAT(Q4_0)
VORN_EXPAND_FORMAT(Q4_0Woq)
VORN_EXPAND_FORMAT(Q4_1)
VORN_EXPAND_FORMAT(Q5_0)
VORN_EXPAND_FORMAT(Q5_1)
VORN_EXPAND_FORMAT(Q8_0)
VORN_EXPAND_FORMAT(Nf4)
VORN_EXPAND_FORMAT(Nf3)
VORN_EXPAND_FORMAT(Fp4)
VORN_EXPAND_FORMAT(Fp8E4m3)
VORN_EXPAND_FORMAT(Fp8E5m2)
VORN_EXPAND_FORMAT(Fp6)
VORN_EXPAND_FORMAT(MoeFp8E5m2)
VORN_EXPAND_FORMAT(MoeFp8E4m3)
VORN_EXPAND_FORMAT(Q4K)
VORN_EXPAND_FORMAT(Q6K)
VORN_EXPAND_FORMAT(Q2K)
VORN_EXPAND_FORMAT(Q5K)
VORN_EXPAND_FORMAT(Iq2Xxs)
VORN_EXPAND_FORMAT(Iq1S)
VORN_EXPAND_FORMAT(Fp6K)

// The explicit-SIMD kernels that decode in fp16 for an fp32 output.
VORN_EXPAND_BLOCKS(Q4_0, c10::Half, float)
VORN_EXPAND_BLOCKS(Q4_1, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp4, c10::Half, float)
VORN_EXPAND_BLOCKS(Q8_0, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp8E4m3, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp8E5m2, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp6, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp6K, c10::Half, float)

}  // namespace vorn::kernels
