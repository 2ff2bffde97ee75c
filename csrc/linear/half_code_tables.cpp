#include "linear/half_code_tables.h"

#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define VORN_HALF_CODE_TABLES 1
#endif

#include "common/cpu_features.h"
#include "common/prefetch.h"
#include "formats/formats.h"

namespace vorn::kernels {

#if VORN_HALF_CODE_TABLES
namespace {

#define VORN_FP16_TARGET gnu::target("avx512f,avx512bw,avx512vl,avx512fp16")

// A block's 64 codes in weight order, as two vectors of 32 word indices.
template <class Nibbles>
[[VORN_FP16_TARGET]] inline void weight_codes(const uint8_t* qs, __m512i (&codes)[2]) {
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(qs));
  const __m256i low = _mm256_and_si256(bytes, _mm256_set1_epi8(15));
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(15));
  __m256i first = low, second = high;  // byte j: weights j and j + 32
  if constexpr (std::is_same_v<Nibbles, formats::HalvesHighFirst>) {
    first = high, second = low;
  } else if constexpr (std::is_same_v<Nibbles, formats::Pairs>) {  // byte j: weights 2j and 2j + 1
    const __m256i pairs_low = _mm256_unpacklo_epi8(low, high), pairs_high = _mm256_unpackhi_epi8(low, high);
    first = _mm256_permute2x128_si256(pairs_low, pairs_high, 0x20);
    second = _mm256_permute2x128_si256(pairs_low, pairs_high, 0x31);
  } else {
    static_assert(std::is_same_v<Nibbles, formats::HalvesLowFirst>, "a nibble order of the 4-bit formats");
  }
  codes[0] = _mm512_cvtepu8_epi16(first);
  codes[1] = _mm512_cvtepu8_epi16(second);
}

// The block's weight for each code (level times scale, plus the offset), in the low 16 words.
template <class F>
[[VORN_FP16_TARGET]] inline __m512i code_weights(const typename F::Block& block, __m256h levels) {
  using formats::Scaling;
  static_assert(F::kScaling == Scaling::scale || F::kScaling == Scaling::scale_offset, "scaled levels");
  __m256h weights = _mm256_mul_ph(levels, _mm256_set1_ph(static_cast<_Float16>(block.scale(0))));
  if constexpr (F::kScaling == Scaling::scale_offset) {
    weights = _mm256_add_ph(weights, _mm256_set1_ph(static_cast<_Float16>(block.offset(0))));
  }
  const __mmask16 nan = _mm256_cmp_ph_mask(weights, weights, _CMP_UNORD_Q);
  const __m256i bits = _mm256_castph_si256(weights);
  const __m256i quiet = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi16(INT16_MIN)), _mm256_set1_epi16(0x7e00));
  return _mm512_castsi256_si512(_mm256_mask_mov_epi16(bits, nan, quiet));
}

template <class F, class Out>
[[VORN_FP16_TARGET]] void expand(const formats::Packed<F>& packed, const float* half_levels, int64_t first,
                                 int64_t count, Out* out) {
  static_assert(F::kBlock == 64 && F::kGroup == F::kBlock, "64 weights of one scale per block");
  const __m256h levels = _mm256_castsi256_ph(
      _mm512_cvtps_ph(_mm512_loadu_ps(half_levels), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  for (int64_t b = 0; b < count; ++b) {
    const auto block = packed.block(first + b);
    prefetch_ahead<32>(block.qs);
    const __m512i table = code_weights<F>(block, levels);
    __m512i codes[2];
    weight_codes<typename F::Nibbles>(block.qs, codes);
    for (int h = 0; h < 2; ++h) {
      const __m512i weights = _mm512_permutexvar_epi16(codes[h], table);  // codes < 16: the low words
      Out* dst = out + 64 * b + 32 * h;
      if constexpr (std::is_same_v<Out, uint16_t>) {
        _mm512_storeu_si512(dst, weights);
      } else {
        _mm512_storeu_ps(dst, _mm512_cvtph_ps(_mm512_castsi512_si256(weights)));
        _mm512_storeu_ps(dst + 16, _mm512_cvtph_ps(_mm512_extracti64x4_epi64(weights, 1)));
      }
    }
  }
}

}  // namespace
#endif

template <class F, class Out>
bool expand_half_code_tables(const formats::Packed<F>& packed, const float* half_levels, int64_t first, int64_t count,
                             Out* out) {
#if VORN_HALF_CODE_TABLES
  if (cpu_has_avx512_fp16()) {
    expand<F>(packed, half_levels, first, count, out);
    return true;
  }
#endif
  return false;
}

#define VORN_HALF_CODE_TABLES_OF(F)                                                                               \
  template bool expand_half_code_tables<formats::F>(const formats::Packed<formats::F>&, const float*, int64_t, \
                                                    int64_t, uint16_t*);                                         \
  template bool expand_half_code_tables<formats::F>(const formats::Packed<formats::F>&, const float*, int64_t, \
                                                    int64_t, float*);
VORN_HALF_CODE_TABLES_OF(Q4_0)
VORN_HALF_CODE_TABLES_OF(Q4_0Woq)
VORN_HALF_CODE_TABLES_OF(Q4_1)
VORN_HALF_CODE_TABLES_OF(Nf4)
VORN_HALF_CODE_TABLES_OF(Fp4)

}  // namespace vorn::kernels
