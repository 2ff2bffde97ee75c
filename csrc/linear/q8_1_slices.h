#pragma once
// All slice values of one weight super-block against the q8_1 activations, as the matrix-vector
// kernels of q2_k, iq2_xxs and iq1_s consume them: add_slices adds vec_dot(block, q8, iqs) of
// vec_dot_q8_1.h, bit for bit, to partial[iqs]. The portable build calls those functions; the
// vector build forms every slice of a super-block at once, one slice per fp32 lane, with the same
// fp32 operations in the same order. Its integer dot products are exact, so their order is free:
// byte products are summed four at a time by the VNNI dot-product instruction. Where a format
// has add_slice_pair, the vector build forms two consecutive super-blocks at once (their slices
// are consecutive partial sums), sharing table lookups and the fp32 tail.
//
// The vector build needs AVX-512 with VNNI, VBMI and BITALG (Ice Lake and later); other machines
// take the portable one.

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/cpu_features.h"
#include "common/prefetch.h"
#include "formats/interleaved_iq.h"
#include "formats/interleaved_k.h"
#include "formats/lattice_tables.h"
#include "formats/qtype.h"
#include "linear/group_reduce.h"
#include "linear/lane_isa.h"
#include "linear/q8_1_row.h"
#include "linear/vec_dot_q8_1.h"

namespace vorn::kernels {

struct Avx512VnniIsa {};

// Runs body(isa) built for AVX-512 with VNNI, VBMI and BITALG where the CPU has them, else for the
// portable baseline; the vector build is flattened, as run_avx512 is.
template <class Body>
[[gnu::target("arch=x86-64-v4,avx512vnni,avx512vbmi,avx512bitalg"), gnu::flatten]] void run_avx512_vnni(
    const Body& body) {
  body(Avx512VnniIsa{});
}
template <class Body>
void with_q8_1_isa(const Body& body) {
  if (cpu_has_avx512_vnni_vbmi_bitalg()) {
    run_avx512_vnni(body);
  } else {
    body(PortableIsa{});
  }
}

// The activations of super-block i as q2_k's slices meet them: per quarter s (0..3) and lane
// 8h + g, the scale d8 of q8 block 8i + 4h + s, and d8 times the sum of that block's codes
// 4g .. 4g + 3 (the offset term needs nothing of the weight but its min).
struct Q2KRow : Q8_1Row {
  std::vector<float> lane_scale, scaled_quad_sum;

  Q2KRow(const block_q8_1* y, int64_t count) : Q8_1Row(y, count), lane_scale(8 * count), scaled_quad_sum(8 * count) {
    for (int64_t i = 0; i < count / 8; ++i) {
      for (int s = 0; s < 4; ++s) {
        for (int lane = 0; lane < 16; ++lane) {
          const int64_t b = 8 * i + 4 * (lane / 8) + s, at = 64 * i + 16 * s + lane;
          const int8_t* q = &codes[b * kQ8_1Block + 4 * (lane % 8)];
          lane_scale[at] = scale[b];
          scaled_quad_sum[at] = scale[b] * float(q[0] + q[1] + q[2] + q[3]);
        }
      }
    }
  }
};

#define VORN_VNNI_TARGET gnu::target("avx512f,avx512bw,avx512vl,avx512dq,avx512vnni,avx512vbmi,avx512bitalg,f16c")

// The fp16 field at p, converted by the hardware.
[[VORN_VNNI_TARGET]] inline float half_at(const uint8_t* p) { return _cvtsh_ss(formats::load_u16(p)); }

// Lane 2p of the result: the sum of int32 lanes 2p and 2p + 1 of the group dot products of a
// run-major row (RunMajorRow), group p's dot product.
[[VORN_VNNI_TARGET]] inline __m512i pair_sums(__m512i dots) {
  return _mm512_add_epi32(dots, _mm512_srli_epi64(dots, 32));
}

// The same, group p in lane p.
[[VORN_VNNI_TARGET]] inline __m256i group_sums(__m512i dots) { return _mm512_cvtepi64_epi32(pair_sums(dots)); }

// q2_k. Code byte 32h + l of the block holds, at bits 2s, the code of weight 128h + 32s + l,
// which meets code l of q8 block 4h + s: with the two halves side by side, one dot-product
// instruction per quarter s gives dot[8s + g] of both halves in lanes 8h + g, the order of the
// slices.
[[VORN_VNNI_TARGET]] inline void add_q2_k_slices_vnni(const uint8_t* block, const Q2KRow& row, int64_t i,
                                                     float* partial) {
  using formats::Q2K;
  const Q2K::Block b(block, Q2K::Layout(0), 0);
  const __m512i codes = _mm512_loadu_si512(b.qs);
  const __m512i group_bytes = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b.scales)));
  const __m512 sc = _mm512_cvtepi32_ps(_mm512_and_si512(group_bytes, _mm512_set1_epi32(15)));
  const __m512 mn = _mm512_cvtepi32_ps(_mm512_srli_epi32(group_bytes, 4));
  const int8_t* q = &row.codes[256 * i];
  __m512 sumd = _mm512_setzero_ps(), summ = _mm512_setzero_ps();
  for (int s = 0; s < 4; ++s) {
    const __m512i quarter = _mm512_and_si512(_mm512_srli_epi16(codes, 2 * s), _mm512_set1_epi8(3));
    const __m512i halves = _mm512_inserti64x4(
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32 * s))),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 128 + 32 * s)), 1);
    const __m512 dot = _mm512_cvtepi32_ps(_mm512_dpbusd_epi32(_mm512_setzero_si512(), quarter, halves));
    // Lane 8h + g meets group 8h + 2s + g / 4.
    const __m512i group = _mm512_add_epi32(_mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 8, 8, 8, 8, 9, 9, 9, 9),
                                           _mm512_set1_epi32(2 * s));
    const float* at = &row.lane_scale[64 * i + 16 * s];
    sumd = _mm512_add_ps(sumd,
                         _mm512_mul_ps(_mm512_mul_ps(_mm512_loadu_ps(at), dot), _mm512_permutexvar_ps(group, sc)));
    summ = _mm512_add_ps(summ, _mm512_mul_ps(_mm512_loadu_ps(&row.scaled_quad_sum[64 * i + 16 * s]),
                                             _mm512_permutexvar_ps(group, mn)));
  }
  const __m512 value =
      _mm512_sub_ps(_mm512_mul_ps(_mm512_set1_ps(half_at(block + Q2K::kDAt)), sumd),
                    _mm512_mul_ps(_mm512_set1_ps(half_at(block + Q2K::kDminAt)), summ));
  _mm512_storeu_ps(partial, _mm512_add_ps(_mm512_loadu_ps(partial), value));
}

// Byte b of `indices` looked up in the 256-byte table at `table`: two 128-byte permutations,
// chosen by bit 7 of the index (`upper`).
[[VORN_VNNI_TARGET]] inline __m512i lookup_256(const uint8_t* table, __m512i indices, __mmask64 upper) {
  return _mm512_mask_blend_epi8(
      upper, _mm512_permutex2var_epi8(_mm512_loadu_si512(table), indices, _mm512_loadu_si512(table + 64)),
      _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 128), indices, _mm512_loadu_si512(table + 192)));
}

// iq2_xxs. Qword p of the 64 bytes after d is group p: four grid indices, then the word whose
// 7-bit fields index the sign table and whose top four bits are ls. Run l of every group (grid
// magnitudes, unsigned) is decoded from the grid codes (kIq2xxsGridCodes) into the vector that
// meets vector l of the run-major activations `q`; the run's sign bits negate the activations they
// meet, so the magnitudes go to the dot-product instruction as they are. (A code of -128, which
// stays -128 when negated, comes only from a block whose scale is zero in its fp16 field, where
// every product vanishes.) The result holds group p's dot product in int32 lanes 2p and 2p + 1.
[[VORN_VNNI_TARGET]] inline __m512i iq2_xxs_group_dots(__m512i groups, __m512i codes, const int8_t* q) {
  // Per qword: bytes 4..7 the sign fields of runs 0..3 (their bit 7 is spare), looked up into
  // the runs' sign bytes in place.
  const __m512i fields = _mm512_multishift_epi64_epi8(_mm512_set1_epi64(0x352e272018100800), groups);
  const __m512i signs = _mm512_permutex2var_epi8(_mm512_loadu_si512(formats::ksigns_iq2xs), fields,
                                                 _mm512_loadu_si512(formats::ksigns_iq2xs + 64));
  // A byte permutation reads the low six bits of an index, so the magnitudes repeat every four.
  const auto& m = formats::kIq2xxsMagnitudes;
  const __m512i magnitude_of_code = _mm512_set1_epi32(m[0] | m[1] << 8 | m[2] << 16);
  __m512i dot = _mm512_setzero_si512();
  for (int l = 0; l < 4; ++l) {
    // Byte t of qword p: the code of weight t of run l of group p in its low two bits.
    const __m512i code_bytes =
        _mm512_multishift_epi64_epi8(_mm512_set1_epi64(0x2624222006040200 + 0x0808080808080808 * l), codes);
    const __m512i magnitudes = _mm512_permutexvar_epi8(code_bytes, magnitude_of_code);
    // Bit 8p + t: bit t of sign byte 4 + l of qword p, weight t of run l of group p negative.
    const __mmask64 minus =
        _mm512_bitshuffle_epi64_mask(signs, _mm512_set1_epi64(0x2726252423222120 + 0x0808080808080808 * l));
    const __m512i x = _mm512_loadu_si512(q + 64 * l);
    const __m512i signed_x = _mm512_mask_sub_epi8(x, minus, _mm512_setzero_si512(), x);
    dot = _mm512_dpbusd_epi32(dot, magnitudes, signed_x);
  }
  return dot;
}

// iq2_xxs super-block i and, when `count` is 2, i + 1: their slices in lanes 0..7 and 8..15 of
// partial. The two blocks' grid indices share the table lookups (the second's in bytes 4..7 of
// each qword), and their fp32 tails run in one 16-lane vector.
[[VORN_VNNI_TARGET]] inline void add_iq2_xxs_slices_vnni(const uint8_t* block, const RunMajorRow& row, int64_t i,
                                                        int count, float* partial) {
  using formats::Iq2Xxs;
  constexpr int kBytes = formats::GGML_TYPE_SIZE[Iq2Xxs::kQtype];
  const __m512i groups[2] = {_mm512_loadu_si512(block + 2),
                             count == 2 ? _mm512_loadu_si512(block + kBytes + 2) : _mm512_setzero_si512()};
  constexpr __mmask64 kHigh = 0xf0f0f0f0f0f0f0f0;
  const __m512i indices = _mm512_mask_blend_epi8(kHigh, groups[0], _mm512_slli_epi64(groups[1], 32));
  // Per index byte: the codes of its run's weights 0..3 (low) and 4..7 (high).
  const uint8_t* table = formats::kIq2xxsGridCodes.data();
  const __mmask64 upper = _mm512_movepi8_mask(indices);
  const __m512i low = lookup_256(table, indices, upper), high = lookup_256(table + 256, indices, upper);
  const __m512i codes[2] = {_mm512_mask_blend_epi8(kHigh, low, _mm512_slli_epi64(high, 32)),
                            _mm512_mask_blend_epi8(kHigh, _mm512_srli_epi64(low, 32), high)};
  const int8_t* q = &row.run_codes[256 * i];
  const __m512i sums[2] = {pair_sums(iq2_xxs_group_dots(groups[0], codes[0], q)),
                           count == 2 ? pair_sums(iq2_xxs_group_dots(groups[1], codes[1], q + 256))
                                      : _mm512_setzero_si512()};
  // Lanes 0..7 from the first super-block, 8..15 from the second: the group dot products from
  // the even int32 lanes of the sums, ls from the odd ones of the group qwords (the sign words).
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512 dot = _mm512_cvtepi32_ps(_mm512_permutex2var_epi32(sums[0], even, sums[1]));
  const __m512 ls = _mm512_cvtepi32_ps(_mm512_srli_epi32(
      _mm512_permutex2var_epi32(groups[0], _mm512_add_epi32(even, _mm512_set1_epi32(1)), groups[1]), 28));
  const __m512 d = _mm512_mask_blend_ps(0xff00, _mm512_set1_ps(half_at(block + Iq2Xxs::kDAt)),
                                        _mm512_set1_ps(count == 2 ? half_at(block + kBytes + Iq2Xxs::kDAt) : 0.0f));
  const __m512 scale = Iq2Xxs::group_scale(d, ls);
  const __mmask16 lanes = count == 2 ? 0xffff : 0x00ff;
  const __m512 value =
      _mm512_mul_ps(_mm512_mul_ps(scale, _mm512_maskz_loadu_ps(lanes, &row.scale[8 * i])), dot);
  _mm512_mask_storeu_ps(partial, lanes, _mm512_add_ps(_mm512_maskz_loadu_ps(lanes, partial), value));
}

// iq1_s. Run l of group p: low index byte at 2 + 4p + l, top three bits at 3l of group p's qh. A
// grid entry's low nibbles are weights 0..3 of its run, its high nibbles weights 4..7
// (Iq1S::Block::run_values). Gather h fetches runs 2h and 2h + 1 of every group, in the order
// that lets the interleave of the low and high nibbles give runs 2h and 2h + 1 as vectors of
// the run-major activations: entry 4c + 2s + m is run 2h + s of group 2c + m.
[[VORN_VNNI_TARGET]] inline void add_iq1_s_slices_vnni(const uint8_t* block, const RunMajorRow& row, int64_t i,
                                                      float* partial) {
  using formats::Iq1S;
  const __m512i index_low = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 2)));
  const __m256i qh = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 34)));
  const __m512i group = _mm512_setr_epi32(0, 1, 0, 1, 2, 3, 2, 3, 4, 5, 4, 5, 6, 7, 6, 7);
  const __m512i run_qh = _mm512_permutexvar_epi32(group, _mm512_zextsi256_si512(qh));
  const __m512i nibbles = _mm512_set1_epi32(0x0f0f0f0f);
  const int8_t* q = &row.run_codes[256 * i];
  __m512i dots[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};  // two chains of additions
  for (int h = 0; h < 2; ++h) {
    // Entry 4c + 2s + m: index byte 4(2c + m) + 2h + s, in the low byte of its int32 lane.
    const __m512i byte_of = _mm512_add_epi32(
        _mm512_setr_epi32(0, 4, 1, 5, 8, 12, 9, 13, 16, 20, 17, 21, 24, 28, 25, 29), _mm512_set1_epi32(2 * h));
    const __m512i low = _mm512_maskz_permutexvar_epi8(0x1111111111111111, byte_of, index_low);
    const __m512i shift = _mm512_add_epi32(_mm512_setr_epi32(0, 0, 3, 3, 0, 0, 3, 3, 0, 0, 3, 3, 0, 0, 3, 3),
                                           _mm512_set1_epi32(6 * h));
    const __m512i top = _mm512_slli_epi32(_mm512_and_si512(_mm512_srlv_epi32(run_qh, shift), _mm512_set1_epi32(7)), 8);
    const __m512i entries =
        _mm512_i32gather_epi32(_mm512_or_si512(low, top), reinterpret_cast<const int*>(formats::iq1s_grid), 4);
    const __m512i low_nibbles = _mm512_and_si512(entries, nibbles);
    const __m512i high_nibbles = _mm512_and_si512(_mm512_srli_epi32(entries, 4), nibbles);
    dots[0] = _mm512_dpbusd_epi32(dots[0], _mm512_unpacklo_epi32(low_nibbles, high_nibbles),
                                  _mm512_loadu_si512(q + 128 * h));
    dots[1] = _mm512_dpbusd_epi32(dots[1], _mm512_unpackhi_epi32(low_nibbles, high_nibbles),
                                  _mm512_loadu_si512(q + 128 * h + 64));
  }
  const __m256 dot = _mm256_cvtepi32_ps(group_sums(_mm512_add_epi32(dots[0], dots[1])));
  const __m256 ls = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(qh, 12), _mm256_set1_epi32(7)));
  const __m256 scale = Iq1S::group_scale(_mm256_set1_ps(half_at(block + Iq1S::kDAt)), ls);
  const __mmask8 negative_delta = _mm256_test_epi32_mask(qh, _mm256_set1_epi32(0x8000));
  const __m256 delta = _mm256_mask_blend_ps(negative_delta, _mm256_set1_ps(formats::kIq1sDelta[1]),
                                            _mm256_set1_ps(formats::kIq1sDelta[0]));
  const __m256 d8 = _mm256_loadu_ps(&row.scale[8 * i]), s8 = _mm256_loadu_ps(&row.sum[8 * i]);
  const __m256 value = _mm256_mul_ps(scale, _mm256_add_ps(_mm256_mul_ps(d8, dot), _mm256_mul_ps(delta, s8)));
  _mm256_storeu_ps(partial, _mm256_add_ps(_mm256_loadu_ps(partial), value));
}

#undef VORN_VNNI_TARGET

using VecDotQ8_1 = float (*)(const void*, const block_q8_1*, const int&);

struct Q2KSuperBlock {
  using F = formats::Q2K;
  static constexpr int kSlices = 16;
  using Row = Q2KRow;
  static void add_slices(PortableIsa, const uint8_t* block, const Row& row, int64_t i, float* partial) {
    const Q2KSlices all(block, row.blocks + 8 * i);
    for (int iqs = 0; iqs < kSlices; ++iqs) partial[iqs] += all(iqs);
  }
  static void add_slices(Avx512VnniIsa, const uint8_t* block, const Row& row, int64_t i, float* partial) {
    add_q2_k_slices_vnni(block, row, i, partial);
  }
};

// The slices of a format whose vec_dot needs nothing shared between slices; its portable build
// calls vec_dot once per slice.
template <class Format, VecDotQ8_1 vec_dot>
struct VecDotSlices {
  using F = Format;
  static constexpr int kSlices = 8;
  using Row = Q8_1Row;
  static void add_slices(PortableIsa, const uint8_t* block, const Row& row, int64_t i, float* partial) {
    for (int iqs = 0; iqs < kSlices; ++iqs) partial[iqs] += vec_dot(block, row.blocks + 8 * i, iqs);
  }
};

struct Iq2XxsSuperBlock : VecDotSlices<formats::Iq2Xxs, vec_dot_iq2_xxs_q8_1> {
  using Row = RunMajorRow;
  using VecDotSlices::add_slices;
  static void add_slices(Avx512VnniIsa, const uint8_t* block, const Row& row, int64_t i, float* partial) {
    add_iq2_xxs_slices_vnni(block, row, i, 1, partial);
  }
  static void add_slice_pair(Avx512VnniIsa, const uint8_t* block, const Row& row, int64_t i, float* partial) {
    add_iq2_xxs_slices_vnni(block, row, i, 2, partial);
  }
};

struct Iq1SSuperBlock : VecDotSlices<formats::Iq1S, vec_dot_iq1_s_q8_1> {
  using Row = RunMajorRow;
  using VecDotSlices::add_slices;
  static void add_slices(Avx512VnniIsa, const uint8_t* block, const Row& row, int64_t i, float* partial) {
    add_iq1_s_slices_vnni(block, row, i, partial);
  }
};

// Whether Slices forms two consecutive super-blocks at once in the build for Isa (add_slice_pair).
template <class Slices, class Isa, class = void>
struct HasSlicePairs : std::false_type {};
template <class Slices, class Isa>
struct HasSlicePairs<Slices, Isa,
                     std::void_t<decltype(Slices::add_slice_pair(
                         Isa{}, nullptr, std::declval<const typename Slices::Row&>(), int64_t{}, nullptr))>>
    : std::true_type {};

// The result of the 32 work-items that share a weight row of `super_blocks` super-blocks: in
// `local`, work-item p * kSlices + iqs adds slice iqs of super-blocks p, p + 32 / kSlices, ... in
// order to its partial sum, and the work-group reduces the 32 partial sums.
template <class Slices>
float row_total(const uint8_t* weight_row, const typename Slices::Row& row, int64_t super_blocks, float* local) {
  constexpr int kPhases = 32 / Slices::kSlices;
  constexpr int64_t kBlockBytes = formats::GGML_TYPE_SIZE[Slices::F::kQtype];
  std::fill(local, local + 32, 0.0f);
  with_q8_1_isa([&](auto isa) {
    int64_t i = 0;
    if constexpr (HasSlicePairs<Slices, decltype(isa)>::value) {
      static_assert(kPhases % 2 == 0, "a pair's slices are consecutive partial sums");
      for (; i + 2 <= super_blocks; i += 2) {
        prefetch_ahead<2 * kBlockBytes>(weight_row + i * kBlockBytes);
        Slices::add_slice_pair(isa, weight_row + i * kBlockBytes, row, i, local + (i % kPhases) * Slices::kSlices);
      }
    }
    for (; i < super_blocks; ++i) {
      prefetch_ahead<64>(weight_row + i * kBlockBytes);
      Slices::add_slices(isa, weight_row + i * kBlockBytes, row, i, local + (i % kPhases) * Slices::kSlices);
    }
  });
  return tree_sum_32(local);
}

}  // namespace vorn::kernels
