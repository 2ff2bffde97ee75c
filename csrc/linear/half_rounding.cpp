#include "linear/half_rounding.h"

#include <immintrin.h>

#include "common/cpu_features.h"
#include "common/half_bits.h"
#include "linear/half_stores.h"
#include "linear/lane_arith.h"

namespace vorn::kernels {
namespace {

using RoundBits = void (*)(const float*, uint16_t*, int64_t);
using RoundValues = void (*)(float*, int64_t);
using WidenBits = void (*)(const uint16_t*, float*, int64_t);
template <class Out>
using ScaleGroups = void (*)(const uint16_t*, const float*, int, int64_t, Out*);

void round_bits_lanes(const float* in, uint16_t* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = exact_half_bits(round_to_half(in[i]));
}

void round_values_lanes(float* values, int64_t n) {
  for (int64_t i = 0; i < n; ++i) values[i] = half_to_float(exact_half_bits(round_to_half(values[i])));
}

void widen_bits_lanes(const uint16_t* in, float* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = half_to_float(in[i]);
}

inline void store_half(uint16_t bits, uint16_t* out) { *out = bits; }
inline void store_half(uint16_t bits, float* out) { *out = half_to_float(bits); }

template <class Out>
void scale_groups_lanes(const uint16_t* values, const float* scales, int group, int64_t n, Out* out) {
  for (int64_t i = 0; i < n; ++i) {
    const float scale = round_to_half(scales[i / group]);
    store_half(exact_half_bits(round_to_half(half_to_float(values[i]) * scale)), out + i);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The hardware keeps a NaN's payload; c10::Half stores 0x7e00 with the sign.
#define VORN_QUIET_NAN_8(h)                                                                         \
  _mm_blendv_epi8(h, _mm_or_si128(_mm_and_si128(h, _mm_set1_epi16(-0x8000)), _mm_set1_epi16(0x7e00)), \
                  _mm_cmpgt_epi16(_mm_and_si128(h, _mm_set1_epi16(0x7fff)), _mm_set1_epi16(0x7c00)))

__attribute__((target("avx2,f16c"))) void round_bits_f16c(const float* in, uint16_t* out, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), VORN_QUIET_NAN_8(h));
  }
  round_bits_lanes(in + i, out + i, n - i);
}

__attribute__((target("avx2,f16c"))) void round_values_f16c(float* values, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(values + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm256_storeu_ps(values + i, _mm256_cvtph_ps(VORN_QUIET_NAN_8(h)));
  }
  round_values_lanes(values + i, n - i);
}

__attribute__((target("avx2,f16c"))) void widen_bits_f16c(const uint16_t* in, float* out, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i))));
  }
  widen_bits_lanes(in + i, out + i, n - i);
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) void widen_bits_avx512(const uint16_t* in, float* out, int64_t n) {
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    _mm512_storeu_ps(out + i, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i))));
  }
  widen_bits_lanes(in + i, out + i, n - i);
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) void round_bits_avx512(const float* in, uint16_t* out, int64_t n) {
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 v = _mm512_loadu_ps(in + i);
    const __m256i h = _mm512_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256i nan = _mm256_or_si256(_mm256_and_si256(h, _mm256_set1_epi16(-0x8000)), _mm256_set1_epi16(0x7e00));
    const __mmask16 unordered = _mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_mask_blend_epi16(unordered, h, nan));
  }
  round_bits_lanes(in + i, out + i, n - i);
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) void round_values_avx512(float* values, int64_t n) {
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 v = _mm512_loadu_ps(values + i);
    const __m512 rounded = _mm512_cvtph_ps(_mm512_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    // A NaN widens to the quiet NaN with its sign and no payload.
    const __m512 nan = _mm512_castsi512_ps(
        _mm512_or_si512(_mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(INT32_MIN)), _mm512_set1_epi32(0x7fc00000)));
    _mm512_storeu_ps(values + i, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q), rounded, nan));
  }
  round_values_lanes(values + i, n - i);
}

template <class Out>
[[gnu::target("avx512f,avx512bw,avx512vl")]] void scale_groups_avx512(const uint16_t* values, const float* scales,
                                                                      int group, int64_t n, Out* out) {
  for (int64_t g = 0; g < n / group; ++g) {
    const __m512 scale = _mm512_set1_ps(round_to_half(scales[g]));
    for (int64_t i = g * group; i < (g + 1) * group; i += 16) {
      const __m512 product =
          _mm512_mul_ps(_mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i))), scale);
      store_halves(_mm512_cvtps_ph(product, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC),
                   _mm512_cmp_ps_mask(product, product, _CMP_UNORD_Q), out + i);
    }
  }
}

#if !defined(__clang__)
#define VORN_SCALE_GROUPS_FP16 1
// The binary16 multiplication itself.
template <class Out>
[[gnu::target("avx512f,avx512bw,avx512vl,avx512fp16")]] void scale_groups_fp16(const uint16_t* values,
                                                                              const float* scales, int group,
                                                                              int64_t n, Out* out) {
  for (int64_t g = 0; g < n / group; ++g) {
    const __m256h scale = _mm256_set1_ph(static_cast<_Float16>(scales[g]));
    for (int64_t i = g * group; i < (g + 1) * group; i += 16) {
      const __m256h product =
          _mm256_mul_ph(_mm256_castsi256_ph(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i))), scale);
      store_halves(_mm256_castph_si256(product), _mm256_cmp_ph_mask(product, product, _CMP_UNORD_Q), out + i);
    }
  }
}
#endif

template <class Out>
ScaleGroups<Out> pick_scale_groups() {
#if VORN_SCALE_GROUPS_FP16
  if (cpu_has_avx512_fp16()) return scale_groups_fp16<Out>;
#endif
  return cpu_has_avx512() ? scale_groups_avx512<Out> : scale_groups_lanes<Out>;
}

RoundBits pick_bits() {
  return cpu_has_avx512() ? round_bits_avx512 : cpu_has_avx2_f16c() ? round_bits_f16c : round_bits_lanes;
}
RoundValues pick_values() {
  return cpu_has_avx512() ? round_values_avx512 : cpu_has_avx2_f16c() ? round_values_f16c : round_values_lanes;
}
WidenBits pick_widen() {
  return cpu_has_avx512() ? widen_bits_avx512 : cpu_has_avx2_f16c() ? widen_bits_f16c : widen_bits_lanes;
}
#else
RoundBits pick_bits() { return round_bits_lanes; }
RoundValues pick_values() { return round_values_lanes; }
WidenBits pick_widen() { return widen_bits_lanes; }
template <class Out>
ScaleGroups<Out> pick_scale_groups() {
  return scale_groups_lanes<Out>;
}
#endif

}  // namespace

void round_to_half_bits(const float* in, uint16_t* out, int64_t n) {
  static const RoundBits impl = pick_bits();
  impl(in, out, n);
}

void round_to_half_values(float* values, int64_t n) {
  static const RoundValues impl = pick_values();
  impl(values, n);
}

void scale_half_groups(const uint16_t* values, const float* scales, int group, int64_t n, uint16_t* out) {
  static const ScaleGroups<uint16_t> impl = pick_scale_groups<uint16_t>();
  impl(values, scales, group, n, out);
}

void scale_half_groups(const uint16_t* values, const float* scales, int group, int64_t n, float* out) {
  static const ScaleGroups<float> impl = pick_scale_groups<float>();
  impl(values, scales, group, n, out);
}

void half_bits_to_floats(const uint16_t* in, float* out, int64_t n) {
  static const WidenBits impl = pick_widen();
  impl(in, out, n);
}

}  // namespace vorn::kernels
