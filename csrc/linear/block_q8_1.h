#pragma once
// block_q8_1: 32 consecutive activations as 8-bit integers with one scale, the form in which the
// k- and i-format matrix-vector kernels read an activation row. Activation j is d * qs[j]; s is
// the sum of the 32 activations before quantization.

#include <cstdint>

#include "common/half_bits.h"

namespace vorn::kernels {

struct block_q8_1 {
  uint16_t d;  // fp16 scale
  uint16_t s;  // fp16 sum of the original activations
  int8_t qs[32];
};
static_assert(sizeof(block_q8_1) == 36 && alignof(block_q8_1) == 2, "block_q8_1 is a packed 36-byte record");
// The fields are read and written as host integers; the buffer's byte layout is little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "block_q8_1 buffers are little-endian");

inline constexpr int kQ8_1Block = 32;

inline float q8_1_scale(const block_q8_1& y) { return half_to_float(y.d); }
inline float q8_1_sum(const block_q8_1& y) { return half_to_float(y.s); }

// sum of a[j] * b[j] over n signed bytes, in exact integer arithmetic; a plain loop the
// compiler turns into vector multiply-adds.
template <int n>
inline int32_t int8_dot(const int8_t* a, const int8_t* b) {
  int32_t sum = 0;
  for (int j = 0; j < n; ++j) sum += int32_t(a[j]) * int32_t(b[j]);
  return sum;
}

}  // namespace vorn::kernels
