#pragma once
// The instruction-set levels the hand-dispatched kernels choose between, read once per process.
// Only x86-64 builds carry kernels for these levels; elsewhere both are false.

#include <cstdlib>
#include <cstring>

namespace vorn {

// An environment variable set to 1.
inline bool env_flag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// AVX-512 F, BW, VL and DQ: the AVX-512 part of x86-64-v4. VORN_NO_AVX512=1 in the environment
// makes the hand-dispatched kernels take their portable builds (which the tests check too).
inline bool cpu_has_avx512() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = (__builtin_cpu_init(), !env_flag("VORN_NO_AVX512") && __builtin_cpu_supports("avx512f") &&
                                                     __builtin_cpu_supports("avx512bw") &&
                                                     __builtin_cpu_supports("avx512vl") &&
                                                     __builtin_cpu_supports("avx512dq"));
  return has;
#else
  return false;
#endif
}

// AVX-512 as above with the byte-dot-product (VNNI), byte-permute (VBMI) and bit-shuffle (BITALG)
// extensions of Ice Lake and later, which the integer kernels of the q8_1 path use.
inline bool cpu_has_avx512_vnni_vbmi_bitalg() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = (__builtin_cpu_init(), cpu_has_avx512() && __builtin_cpu_supports("avx512vnni") &&
                                                     __builtin_cpu_supports("avx512vbmi") &&
                                                     __builtin_cpu_supports("avx512bitalg"));
  return has;
#else
  return false;
#endif
}

// AVX-512 as above with the binary16 arithmetic of AVX512-FP16 (Sapphire Rapids and later), which
// the fp16 lane kernels add in. VORN_NO_AVX512_FP16=1 turns it off alone.
inline bool cpu_has_avx512_fp16() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = (__builtin_cpu_init(), cpu_has_avx512() && __builtin_cpu_supports("avx512fp16") &&
                                                     !env_flag("VORN_NO_AVX512_FP16"));
  return has;
#else
  return false;
#endif
}

// AVX-512 as above with the bfloat16 conversions of AVX512-BF16 (Cooper Lake, Sapphire Rapids and
// later), which the bf16 matrix-vector lanes round with. VORN_NO_AVX512_BF16=1 turns it off alone.
inline bool cpu_has_avx512_bf16() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = (__builtin_cpu_init(), cpu_has_avx512() && __builtin_cpu_supports("avx512bf16") &&
                                                     !env_flag("VORN_NO_AVX512_BF16"));
  return has;
#else
  return false;
#endif
}

// AVX2 with the F16C binary16 conversions.
inline bool cpu_has_avx2_f16c() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c"));
  return has;
#else
  return false;
#endif
}

}  // namespace vorn
