#pragma once
// Binary16 results of AVX-512 arithmetic stored as bits, or widened to fp32, with the NaN rule of
// half_rounding.h. x86-64 builds only.

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include <cstdint>
#include <type_traits>

namespace vorn::kernels {

// 16 binary16 results; NaNs (the lanes of `nan`) become 0x7e00 with their sign.
template <class Out>
[[gnu::target("avx512f,avx512bw,avx512vl")]] inline void store_halves(__m256i bits, __mmask16 nan, Out* out) {
  if (__builtin_expect(nan != 0, 0)) {
    const __m256i quiet = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi16(-0x8000)), _mm256_set1_epi16(0x7e00));
    bits = _mm256_mask_blend_epi16(nan, bits, quiet);
  }
  if constexpr (std::is_same_v<Out, uint16_t>) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bits);
  } else {
    static_assert(std::is_same_v<Out, float>, "binary16 bits or fp32");
    _mm512_storeu_ps(out, _mm512_cvtph_ps(bits));
  }
}

}  // namespace vorn::kernels
#endif
