#include "linear/fp6_half_groups.h"

#include "common/cpu_features.h"
#include "formats/bytes.h"
#include "formats/planar_fp6.h"
#include "linear/half_stores.h"

namespace vorn::kernels {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
namespace {

// Word m of a vector is weight m % 16 of the pair's group m / 16; its high byte (byte 2m + 1)
// carries the weight's code, then its value's high byte.
struct Fp6ByteTables {
  // Where vpmultishiftqb finds the weight's nibble in its group's P4 word, and its top two bits
  // (moved to bits 5..4 of the byte) in the pair's two P2 words.
  alignas(64) uint8_t nibble_at[64] = {};
  alignas(64) uint8_t top_at[64] = {};
  alignas(64) uint8_t high_bytes[64] = {};  // of each code's binary16 value
  uint8_t low_byte = 0;                     // shared by every code's value
  bool low_byte_shared = true;

  Fp6ByteTables() {
    for (int m = 0; m < 32; ++m) {
      const int jj = m % 16, group = m / 16;
      nibble_at[2 * m + 1] = static_cast<uint8_t>(formats::fp6_p4_bit(jj));
      top_at[2 * m + 1] = static_cast<uint8_t>((formats::fp6_p2_bit(jj) + 32 * group - 4) & 63);
    }
    low_byte = formats::fp6_half_bits(0) & 0xff;
    for (int code = 0; code < 64; ++code) {
      high_bytes[code] = static_cast<uint8_t>(formats::fp6_half_bits(code) >> 8);
      low_byte_shared = low_byte_shared && (formats::fp6_half_bits(code) & 0xff) == low_byte;
    }
  }
};

const Fp6ByteTables& byte_tables() {
  static const Fp6ByteTables tables;
  return tables;
}

template <class Out>
[[gnu::target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512fp16,f16c")]] void scale_fp6_groups_vbmi(
    const uint8_t* p4, const uint8_t* p2, const float* scales, int64_t groups, Out* out) {
  const Fp6ByteTables& tables = byte_tables();
  const __m512i nibble_at = _mm512_load_si512(tables.nibble_at), top_at = _mm512_load_si512(tables.top_at);
  const __m512i high_bytes = _mm512_load_si512(tables.high_bytes);
  const __m512i low_bytes = _mm512_set1_epi16(tables.low_byte);
  const __m512i nibble_bits = _mm512_set1_epi8(15);
  // Qwords 0..3 take the pair's first P4 word, 4..7 its second; words 0..15 the first scale.
  const __m512i pair_words = _mm512_setr_epi64(0, 0, 0, 0, 1, 1, 1, 1);
  const __m512i scale_at = _mm512_set_epi32(0x10001, 0x10001, 0x10001, 0x10001, 0x10001, 0x10001, 0x10001, 0x10001,
                                            0, 0, 0, 0, 0, 0, 0, 0);
  constexpr __mmask64 kHighBytes = 0xaaaaaaaaaaaaaaaaull;
  for (int64_t q = 0; q < groups; q += 2) {
    const __m512i plane4 = _mm512_permutexvar_epi64(
        pair_words, _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p4 + 8 * q))));
    const __m512i plane2 = _mm512_set1_epi64(static_cast<int64_t>(formats::load_u64(p2 + 4 * q)));
    const __m512i nibbles = _mm512_multishift_epi64_epi8(nibble_at, plane4);
    const __m512i tops = _mm512_multishift_epi64_epi8(top_at, plane2);
    // The 6-bit codes (bits above them are ignored by the permute).
    const __m512i codes =
        _mm512_or_si512(_mm512_and_si512(nibbles, nibble_bits), _mm512_andnot_si512(nibble_bits, tops));
    const __m512i values = _mm512_mask_permutexvar_epi8(low_bytes, kHighBytes, codes, high_bytes);
    const __m128i pair_scales = _mm_cvtps_ph(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(scales + q))),
                                             _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512i scale = _mm512_permutexvar_epi16(scale_at, _mm512_castsi128_si512(pair_scales));
    const __m512h product = _mm512_mul_ph(_mm512_castsi512_ph(values), _mm512_castsi512_ph(scale));
    const __mmask32 nan = _mm512_cmp_ph_mask(product, product, _CMP_UNORD_Q);
    const __m512i bits = _mm512_castph_si512(product);
    store_halves(_mm512_castsi512_si256(bits), static_cast<__mmask16>(nan), out + 16 * q);
    store_halves(_mm512_extracti64x4_epi64(bits, 1), static_cast<__mmask16>(nan >> 16), out + 16 * q + 16);
  }
}

bool runs_here() {
  static const bool runs = cpu_has_avx512_fp16() && cpu_has_avx512_vnni_vbmi_bitalg() && byte_tables().low_byte_shared;
  return runs;
}

}  // namespace

bool scale_fp6_groups(const uint8_t* p4, const uint8_t* p2, const float* scales, int64_t groups, uint16_t* out) {
  if (!runs_here()) return false;
  scale_fp6_groups_vbmi(p4, p2, scales, groups, out);
  return true;
}
bool scale_fp6_groups(const uint8_t* p4, const uint8_t* p2, const float* scales, int64_t groups, float* out) {
  if (!runs_here()) return false;
  scale_fp6_groups_vbmi(p4, p2, scales, groups, out);
  return true;
}
#else
bool scale_fp6_groups(const uint8_t*, const uint8_t*, const float*, int64_t, uint16_t*) { return false; }
bool scale_fp6_groups(const uint8_t*, const uint8_t*, const float*, int64_t, float*) { return false; }
#endif

}  // namespace vorn::kernels
