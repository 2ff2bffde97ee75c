#pragma once
// The instruction-set side of the lane kernels: lane-vector arithmetic in an element type T
// (fp32 as it is, fp16 and bf16 rounded after every operation), binary16 conversions, bounded
// loads of per-block fields, and the choice between the AVX-512 build of a work-group and the
// portable one. The AVX-512 build rounds fp16 through the hardware's binary16 conversions (F16C),
// the portable one through the bit rules of lane_arith.h; both round to nearest, ties to even.
// Where the CPU has AVX512-FP16, fp16 work-groups run a third build that adds in binary16.

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/cpu_features.h"
#include "common/half_bits.h"
#include "linear/lane_arith.h"
#include "linear/lane_vectors.h"

namespace vorn::kernels {

struct PortableIsa {};
struct Avx512Isa {};
// AVX-512 with binary16 arithmetic; everything but the running sums of products is as Avx512Isa's.
struct Avx512Fp16Isa : Avx512Isa {};
// AVX-512 with the bfloat16 conversions; everything but the matrix-vector lanes' running sums of
// products (word_lanes.h) is as Avx512Isa's.
struct Avx512Bf16Isa : Avx512Isa {};

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

// Binary16 bit patterns (in the low halves of the lanes, or packed) as fp32.
template <class Isa>
struct VectorHalves {
  static f32x16 apply(u32x16 bits) { return packed(__builtin_convertvector(bits, u16x16)); }
  static f32x16 packed(u16x16 bits) {
    f32x16 v;
    for (int i = 0; i < 16; ++i) v[i] = half_to_float(bits[i]);
    return v;
  }
};
// The first `count` (at most 16) consecutive bytes, fp16 bit patterns or fp32 values at p, in
// the lanes of a vector, zero past `count`: nothing past them is read.
template <class Isa>
struct FieldLoad {
  static u32x16 bytes(const uint8_t* p, int count) { return widened(first<uint8_t>(p, count)); }
  static u32x16 halves(const uint8_t* p, int count) { return widened(first<uint16_t>(p, count)); }
  static f32x16 floats(const uint8_t* p, int count) { return load_lanes<f32x16>(first<float>(p, count).data()); }

 private:
  template <class E>
  static std::array<E, 16> first(const uint8_t* p, int count) {
    std::array<E, 16> values{};
    std::memcpy(values.data(), p, sizeof(E) * count);
    return values;
  }
  template <class E>
  static u32x16 widened(const std::array<E, 16>& values) {
    u32x16 lanes;
    for (int i = 0; i < 16; ++i) lanes[i] = values[i];
    return lanes;
  }
};

// v with `value` ORed into each lane i whose bit i of `bits` is set (bits 16 and up ignored).
template <class Isa>
struct LaneBits {
  static u32x16 or_where(u32x16 v, uint32_t bits, uint32_t value) {
    u32x16 lane;
    for (int i = 0; i < 16; ++i) lane[i] = i;
    return v | ((((u32x16{} + bits) >> lane) & 1u) * value);
  }
};

// Whether lanes 0 .. count - 1 of v all equal `value`.
template <class Isa>
struct LaneTest {
  static bool all_equal(f32x16 v, float value, int count) {
    for (int i = 0; i < count; ++i) {
      if (v[i] != value) return false;
    }
    return true;
  }
};

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// These are inlined into the AVX-512 work-group functions, which are flattened.
template <>
struct LaneTest<Avx512Isa> {
  [[gnu::target("avx512f")]] static bool all_equal(f32x16 v, float value, int count) {
    const __mmask16 first = static_cast<__mmask16>((1u << count) - 1);
    return _mm512_mask_cmpneq_ps_mask(first, bit_as<__m512>(v), _mm512_set1_ps(value)) == 0;
  }
};
// One merge-masked OR, where the portable form takes a broadcast and two shifts.
template <>
struct LaneBits<Avx512Isa> {
  [[gnu::target("avx512f")]] static u32x16 or_where(u32x16 v, uint32_t bits, uint32_t value) {
    const __m512i lanes = bit_as<__m512i>(v);
    return bit_as<u32x16>(_mm512_mask_or_epi32(lanes, static_cast<__mmask16>(bits), lanes, _mm512_set1_epi32(value)));
  }
};
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
  [[gnu::target("avx512f")]] static f32x16 packed(u16x16 bits) {
    return bit_as<f32x16>(_mm512_cvtph_ps(bit_as<__m256i>(bits)));
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
template <>
struct VectorRound<c10::Half, Avx512Fp16Isa> : VectorRound<c10::Half, Avx512Isa> {};
template <>
struct VectorHalves<Avx512Fp16Isa> : VectorHalves<Avx512Isa> {};
template <>
struct FieldLoad<Avx512Fp16Isa> : FieldLoad<Avx512Isa> {};
template <>
struct LaneTest<Avx512Fp16Isa> : LaneTest<Avx512Isa> {};
template <>
struct VectorHalves<Avx512Bf16Isa> : VectorHalves<Avx512Isa> {};
template <>
struct FieldLoad<Avx512Bf16Isa> : FieldLoad<Avx512Isa> {};
template <>
struct LaneTest<Avx512Bf16Isa> : LaneTest<Avx512Isa> {};
#endif

// The words of two 32-word tables at the indices in bits 21..16 of each lane (64 entries), in
// the lanes' high halves with their low halves zero.
template <class Isa>
struct HighWordLookup {
  static u32x16 apply(const u16x32 (&table)[2], u32x16 at) {
    return bit_as<u32x16>(__builtin_shuffle(table[0], table[1], bit_as<u16x32>(at))) & 0xffff0000u;
  }
};
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// One zero-masked two-table word permute.
template <>
struct HighWordLookup<Avx512Isa> {
  [[gnu::target("avx512f,avx512bw")]] static u32x16 apply(const u16x32 (&table)[2], u32x16 at) {
    return bit_as<u32x16>(_mm512_maskz_permutex2var_epi16(0xaaaaaaaau, bit_as<__m512i>(table[0]), bit_as<__m512i>(at),
                                                          bit_as<__m512i>(table[1])));
  }
};
template <>
struct HighWordLookup<Avx512Fp16Isa> : HighWordLookup<Avx512Isa> {};
template <>
struct HighWordLookup<Avx512Bf16Isa> : HighWordLookup<Avx512Isa> {};
#endif

// permute_words: the words of `table` at the indices in bits 4..0 of the words of `at` (GCC makes
// the generic shuffle a two-table permute of twice the cost; AVX512BW's one-table permute is one
// operation). high_bytes_as_halves: the signed byte in bits 15..8 of each word as a binary16
// pattern (exact: at most 8 bits).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
[[gnu::target("avx512f,avx512bw")]] inline u16x32 permute_words(u16x32 table, u16x32 at) {
  return bit_as<u16x32>(_mm512_permutexvar_epi16(bit_as<__m512i>(at), bit_as<__m512i>(table)));
}
[[gnu::target("avx512f,avx512bw,avx512fp16")]] inline u16x32 high_bytes_as_halves(u16x32 words) {
  return bit_as<u16x32>(_mm512_cvtepi16_ph(_mm512_srai_epi16(bit_as<__m512i>(words), 8)));
}
#else
inline u16x32 permute_words(u16x32 table, u16x32 at) { return __builtin_shuffle(table, at); }
inline u16x32 high_bytes_as_halves(u16x32 words) {
  u16x32 halves;
  for (int i = 0; i < 32; ++i) halves[i] = c10::Half(float(static_cast<int8_t>(words[i] >> 8))).x;
  return halves;
}
#endif

// level * scale + offset for 32 levels given as binary16 patterns, in binary16 arithmetic (each
// operation rounded once, as c10::Half's), with scale and offset the two fp16 fields at `fields`:
// two vectors of fp32 lanes. Only where the CPU adds and multiplies in binary16 (kEnabled).
template <class Isa>
struct HalfLevelAffine {
  static constexpr bool kEnabled = false;
};

// Operations on lane values in T.
template <class T, class Isa>
struct VectorArith {
  using R = VectorRound<T, Isa>;
  static f32x16 add(f32x16 a, f32x16 b) { return R::apply(a + b); }
  static f32x16 sub(f32x16 a, f32x16 b) { return R::apply(a - b); }
  static f32x16 mul(f32x16 a, f32x16 b) { return R::apply(a * b); }
};
// bf16: the operands are bf16 values, so every NaN an operation yields is one too (an operand's,
// quieted, or the default NaN), and the rounding needs no NaN select.
template <class Isa>
struct VectorArith<c10::BFloat16, Isa> {
  static f32x16 add(f32x16 a, f32x16 b) { return round_bf16_operation(a + b); }
  static f32x16 sub(f32x16 a, f32x16 b) { return round_bf16_operation(a - b); }
  static f32x16 mul(f32x16 a, f32x16 b) { return round_bf16_operation(a * b); }
};

// A running sum of products of lane values: sum = sum + a * b, each operation in T. Every
// running sum below also has start(a, b), which begins a sum with its first product as add()
// rounds it: what add() gives from a zero sum, but for the sign of a zero product.
template <class T, class Isa>
class ProductSum {
  f32x16 sum_{};

 public:
  void start(f32x16 a, f32x16 b) { sum_ = VectorArith<T, Isa>::mul(a, b); }
  void add(f32x16 a, f32x16 b) { sum_ = VectorArith<T, Isa>::add(sum_, VectorArith<T, Isa>::mul(a, b)); }
  f32x16 value() const { return sum_; }
};

// The vectors a work-group's step sums and lane accumulators are kept in, and T's arithmetic on
// them (Ar): fp32 vectors holding values of T here, binary16 vectors with AVX512-FP16 below.
template <class T, class Isa>
struct SumLanes {
  using V = f32x16;
  using Ar = VectorArith<T, Isa>;
  // v holds values of T.
  static V from(f32x16 v) { return v; }
  template <class Sums>
  static V of(const Sums& sums) {
    return sums.value();
  }
  // The first `count` lanes of `updated` with the others of `kept`.
  static V first_lanes(V updated, V kept, int count) {
    i32x16 lane;
    for (int i = 0; i < 16; ++i) lane[i] = i;
    return lane < count ? updated : kept;
  }
};

// A SumLanes vector's values as fp32 lanes.
inline f32x16 widened(f32x16 v) { return v; }
// x rounded to binary16 (to nearest, ties to even) for |x| below 65504, without conversions:
// with c = 1.5 x 2^(e + 13), e being x's exponent, x + c lies in [2^(e + 13), 2^(e + 14)),
// whose fp32 spacing 2^(e - 10) is binary16's at x, so (x + c) - c is x rounded (c is an even
// multiple of that spacing, so ties go to even as x's would). Below 2^-14 binary16's spacing
// stays 2^-24: values on that grid (kOnGrid: sums of binary16 values, or their products with
// integer levels) are kept as they are, and other values take c = 0.75 there, whose binade's
// spacing is 2^-24.
template <bool kOnGrid>
inline f32x16 round_half_in_range(f32x16 x) {
  u32x16 c = (bit_as<u32x16>(x) & 0x7f800000u) + 0x06c00000u;
  if constexpr (!kOnGrid) c = c > 0x3f400000u ? c : u32x16{} + 0x3f400000u;
  return (x + bit_as<f32x16>(c)) - bit_as<f32x16>(c);
}

// fp16 running sums of products of binary16 values, sum = sum + a * b with each operation
// rounded by round_half_in_range: callers make sure that no product or sum can reach 65504 in
// magnitude. The product of two binary16 values is exact in fp32, and fp32's rounding of a sum
// before binary16's changes nothing (24 >= 2 * 11 + 2 bits). kOnGrid: every level is an
// integer, so the products are multiples of 2^-24 too. A negative product that rounds to zero
// becomes +0 here, -0 in binary16; the sum cannot tell, as it starts at +0 and so never is -0.
template <bool kOnGrid>
class InRangeHalfProductSum {
  f32x16 sum_{};

 public:
  void start(f32x16 a, f32x16 b) { sum_ = round_half_in_range<kOnGrid>(a * b); }
  void add(f32x16 a, f32x16 b) { sum_ = round_half_in_range<true>(sum_ + round_half_in_range<kOnGrid>(a * b)); }
  f32x16 value() const { return sum_; }
};

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// fp16 with binary16 arithmetic: the product of two binary16 values is exact in fp32, so one
// conversion rounds it as a binary16 multiply would, and the sum stays in binary16 lanes (the
// same results as rounding each operation from fp32, in fewer instructions).
template <>
class ProductSum<c10::Half, Avx512Fp16Isa> {
  __m256h sum_{};

 public:
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] void start(f32x16 a, f32x16 b) { sum_ = product(a, b); }
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] void add(f32x16 a, f32x16 b) {
    sum_ = _mm256_add_ph(sum_, product(a, b));
  }
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] f32x16 value() const {
    return bit_as<f32x16>(_mm512_cvtph_ps(_mm256_castph_si256(sum_)));
  }
  __m256h half_lanes() const { return sum_; }

 private:
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] static __m256h product(f32x16 a, f32x16 b) {
    return _mm256_castsi256_ph(_mm512_cvtps_ph(bit_as<__m512>(a * b), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
};

// Binary16 operations round as T's own: a step's combine with its sums and accumulators in
// binary16 takes one instruction per operation, where fp32 lanes take two conversions more. For
// q5, whose lanes combine after every two weights, that was most of the work.
struct HalfLaneArith {
  [[gnu::target("avx512fp16,avx512vl")]] static __m256h add(__m256h a, __m256h b) { return _mm256_add_ph(a, b); }
  [[gnu::target("avx512fp16,avx512vl")]] static __m256h sub(__m256h a, __m256h b) { return _mm256_sub_ph(a, b); }
  [[gnu::target("avx512fp16,avx512vl")]] static __m256h mul(__m256h a, __m256h b) { return _mm256_mul_ph(a, b); }
};
template <>
struct SumLanes<c10::Half, Avx512Fp16Isa> {
  using V = __m256h;
  using Ar = HalfLaneArith;
  // Exact: v holds binary16 values.
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] static V from(f32x16 v) {
    return _mm256_castsi256_ph(_mm512_cvtps_ph(bit_as<__m512>(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
  template <class Sums>
  static V of(const Sums& sums) {
    return sums.half_lanes();
  }
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] static V first_lanes(V updated, V kept, int count) {
    const __mmask16 first = static_cast<__mmask16>(count <= 0 ? 0 : count >= 16 ? 0xffff : (1u << count) - 1);
    return _mm256_mask_blend_ph(first, kept, updated);
  }
};
[[gnu::target("avx512f,avx512fp16,avx512vl")]] inline f32x16 widened(__m256h v) {
  return bit_as<f32x16>(_mm512_cvtph_ps(_mm256_castph_si256(v)));
}
template <>
struct HalfLevelAffine<Avx512Fp16Isa> {
  static constexpr bool kEnabled = true;
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] static void apply(u16x32 levels, const uint8_t* fields,
                                                                  f32x16 (&out)[2]) {
    const __m512h scale = _mm512_castsi512_ph(_mm512_set1_epi16(static_cast<int16_t>(formats::load_u16(fields))));
    const __m512h offset = _mm512_castsi512_ph(_mm512_set1_epi16(static_cast<int16_t>(formats::load_u16(fields + 2))));
    const __m512i values = _mm512_castph_si512(_mm512_add_ph(_mm512_mul_ph(bit_as<__m512h>(levels), scale), offset));
    out[0] = bit_as<f32x16>(_mm512_cvtph_ps(_mm512_castsi512_si256(values)));
    out[1] = bit_as<f32x16>(_mm512_cvtph_ps(_mm512_extracti64x4_epi64(values, 1)));
  }
};

// fp16 running sums of products of levels and activations given as binary16 patterns, for the
// lanes of two vectors at once in pair order (word 2i: lane i of the first, word 2i + 1: lane i
// of the second): one binary16 multiply and add per 32 lanes, where fp32 lanes take a
// conversion per product.
class HalfPairProductSum {
  __m512h sum_{};

 public:
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] void start(u16x32 levels, u16x32 activations) {
    sum_ = _mm512_mul_ph(bit_as<__m512h>(levels), bit_as<__m512h>(activations));
  }
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] void add(u16x32 levels, u16x32 activations) {
    sum_ = _mm512_add_ph(sum_, _mm512_mul_ph(bit_as<__m512h>(levels), bit_as<__m512h>(activations)));
  }
  // The sums of the first (h = 0) or the second (h = 1) vector's lanes.
  [[gnu::target("avx512f,avx512fp16,avx512vl")]] __m256h half_lanes(int h) const {
    const __m512i words = _mm512_srli_epi32(_mm512_castph_si512(sum_), 16 * h);
    return _mm256_castsi256_ph(_mm512_cvtepi32_epi16(words));
  }
};

// a and b rounded to bf16 in place: one AVX512-BF16 conversion rounds both (reading a subnormal
// input as zero), and two permutes widen its words back, words 0..15 to a's lanes, 16..31 to b's.
[[gnu::target("avx512f,avx512bw,avx512bf16")]] inline void round_bf16_pair(f32x16& a, f32x16& b) {
  const __m512i packed = bit_as<__m512i>(_mm512_cvtne2ps_pbh(bit_as<__m512>(b), bit_as<__m512>(a)));
  // Word 2i + 1 of each result takes bf16 i of a or of b; the low words are zero.
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i of_a = _mm512_slli_epi32(lane, 16);
  const __m512i of_b = _mm512_slli_epi32(_mm512_add_epi32(lane, _mm512_set1_epi32(16)), 16);
  constexpr __mmask32 kHighWords = 0xaaaaaaaa;
  a = bit_as<f32x16>(_mm512_maskz_permutexvar_epi16(kHighWords, of_a, packed));
  b = bit_as<f32x16>(_mm512_maskz_permutexvar_epi16(kHighWords, of_b, packed));
}

// Two running sums of products in bf16, sum = sum + a * b with each operation rounded, for two
// vectors at once: one conversion rounds both vectors' products (or sums) to bf16. The sums are
// widened back in place (round_bf16_pair). The products are widened by a shift and a mask, which
// take words 2k and 2k + 1 to lane k of two vectors without a permute (the permutes share a port
// with the level lookups): so the sums are kept in that order, even lanes of both vectors in
// sum_[0] (the first vector's in lanes 0..7) and odd lanes in sum_[1], and put back in lane order
// once, by value(). The conversion reads a subnormal fp32 input as zero, so the sums are exact
// only where no product or sum can be subnormal: callers check their operands.
class NormalBf16ProductSums {
  f32x16 sum_[2]{};

  // The products a0 * b0 (words 0..15) and a1 * b1 (words 16..31) rounded to bf16 by one conversion.
  [[gnu::target("avx512f,avx512bw,avx512bf16")]] static u32x16 products(f32x16 a0, f32x16 b0, f32x16 a1, f32x16 b1) {
    return bit_as<u32x16>(_mm512_cvtne2ps_pbh(bit_as<__m512>(a1 * b1), bit_as<__m512>(a0 * b0)));
  }

 public:
  void start(f32x16 a0, f32x16 b0, f32x16 a1, f32x16 b1) {
    const u32x16 p = products(a0, b0, a1, b1);
    sum_[0] = bit_as<f32x16>(p << 16);
    sum_[1] = bit_as<f32x16>(p & 0xffff0000u);
  }
  void add(f32x16 a0, f32x16 b0, f32x16 a1, f32x16 b1) {
    const u32x16 p = products(a0, b0, a1, b1);
    sum_[0] += bit_as<f32x16>(p << 16);
    sum_[1] += bit_as<f32x16>(p & 0xffff0000u);
    round_bf16_pair(sum_[0], sum_[1]);
  }
  // The sums of vector i's lanes, in lane order.
  f32x16 value(int i) const {
    u32x16 at;
    for (int k = 0; k < 16; ++k) at[k] = static_cast<uint32_t>(8 * i + k / 2 + 16 * (k % 2));
    return __builtin_shuffle(sum_[0], sum_[1], at);
  }
};

// Two lane vectors of bf16 values, and bf16 arithmetic on them for operations whose results
// cannot be subnormal, each rounding both vectors by one conversion (round_bf16_pair).
struct Bf16Pair {
  f32x16 v[2];
};
struct NormalBf16PairArith {
  static Bf16Pair add(Bf16Pair a, Bf16Pair b) { return rounded(a.v[0] + b.v[0], a.v[1] + b.v[1]); }
  static Bf16Pair sub(Bf16Pair a, Bf16Pair b) { return rounded(a.v[0] - b.v[0], a.v[1] - b.v[1]); }
  static Bf16Pair mul(Bf16Pair a, Bf16Pair b) { return rounded(a.v[0] * b.v[0], a.v[1] * b.v[1]); }

 private:
  static Bf16Pair rounded(f32x16 a, f32x16 b) {
    round_bf16_pair(a, b);
    return {{a, b}};
  }
};
#endif

// Runs body(isa) built for AVX-512 where the CPU has it, else for the portable baseline (and for
// fp16 lanes, T = c10::Half, built with AVX512-FP16 where the CPU has that; for bf16 lanes with
// AVX512-BF16). The AVX-512 builds are flattened: every lane function is inlined into them and
// built for their instruction set.
template <class Body>
[[gnu::target("arch=x86-64-v4"), gnu::flatten]] void run_avx512(const Body& body) {
  body(Avx512Isa{});
}
template <class Body>
[[gnu::target("arch=x86-64-v4,avx512fp16"), gnu::flatten]] void run_avx512_fp16(const Body& body) {
  body(Avx512Fp16Isa{});
}
template <class Body>
[[gnu::target("arch=x86-64-v4,avx512bf16"), gnu::flatten]] void run_avx512_bf16(const Body& body) {
  body(Avx512Bf16Isa{});
}
template <class T = float, class Body>
void with_lane_isa(const Body& body) {
  if constexpr (std::is_same_v<T, c10::Half>) {
    if (cpu_has_avx512_fp16()) return run_avx512_fp16(body);
  }
  if constexpr (std::is_same_v<T, c10::BFloat16>) {
    if (cpu_has_avx512_bf16()) return run_avx512_bf16(body);
  }
  if (cpu_has_avx512()) {
    run_avx512(body);
  } else {
    body(PortableIsa{});
  }
}

}  // namespace vorn::kernels
