#include "linear/level_lookup.h"

#include <immintrin.h>

#include "common/cpu_features.h"

namespace vorn::kernels {
namespace {

using Lookup = void (*)(const float*, const uint8_t*, float*, int64_t);

void lookup_lanes(const float* table, const uint8_t* codes, float* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = table[codes[i] & 15];
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void lookup_avx2(const float* table, const uint8_t* codes, float* out, int64_t n) {
  const __m256 low = _mm256_loadu_ps(table), high = _mm256_loadu_ps(table + 8);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i index = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i)));
    // Bit 3 of the code picks the table half: moved into the sign bit for the blend.
    const __m256 upper = _mm256_castsi256_ps(_mm256_slli_epi32(index, 28));
    _mm256_storeu_ps(out + i, _mm256_blendv_ps(_mm256_permutevar8x32_ps(low, index),
                                               _mm256_permutevar8x32_ps(high, index), upper));
  }
  lookup_lanes(table, codes + i, out + i, n - i);
}

__attribute__((target("avx512f"))) void lookup_avx512(const float* table, const uint8_t* codes, float* out, int64_t n) {
  const __m512 levels = _mm512_loadu_ps(table);
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i index = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i)));
    _mm512_storeu_ps(out + i, _mm512_permutexvar_ps(index, levels));
  }
  lookup_lanes(table, codes + i, out + i, n - i);
}

Lookup pick() {
  if (cpu_has_avx512()) return lookup_avx512;
  if (__builtin_cpu_supports("avx2")) return lookup_avx2;
  return lookup_lanes;
}
#else
Lookup pick() { return lookup_lanes; }
#endif

}  // namespace

void lookup_levels(const float* table, const uint8_t* codes, float* out, int64_t n) {
  static const Lookup impl = pick();
  impl(table, codes, out, n);
}

}  // namespace vorn::kernels
