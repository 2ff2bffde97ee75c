#pragma once
// Arithmetic of an element type T for kernels that emulate work-items in arrays of lanes.
//
// Lane values live in a compute type C (double for fp64, float otherwise) and hold values
// of T exactly: every product, sum and conversion is evaluated in C and rounded back to T,
// which is what T's own operators do (c10::Half and c10::BFloat16 evaluate each operation in
// fp32 and round the result). fp32 has at least 2p + 2 bits for fp16's and bf16's p, so the
// one fp32 rounding before the rounding to T never changes a sum or a product.
// The rounding functions are branch-free so that loops over lanes vectorise.

#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>

#include <cstdint>

#include "linear/lane_vectors.h"

namespace vorn::kernels {

// x rounded to the nearest binary16 value, ties to even; overflow gives infinity, NaN stays NaN.
// Signed 32-bit compares on the magnitude's bits, which SSE2 has. V is float or a vector of
// floats (lane_vectors.h).
template <class V>
[[gnu::always_inline]] inline V round_to_half(V x) {
  using I = typename IntLanes<V>::type;
  using U = typename IntLanes<V>::unsigned_type;
  const I u = bit_as<I>(x);
  const I sign = u & INT32_MIN, magnitude = u & INT32_MAX;
  // Normal binary16 range: keep 10 mantissa bits (unsigned: a NaN's sum may wrap, and is
  // replaced below).
  const I normal = bit_as<I>((bit_as<U>(magnitude) + 0xfffu + bit_as<U>((magnitude >> 13) & 1)) & ~0x1fffu);
  // Below 2^-14 the binary16 spacing is 2^-24, the fp32 spacing of numbers in [0.5, 1).
  const I subnormal = bit_as<I>((bit_as<V>(magnitude) + 0.5f) - 0.5f);
  I r = magnitude < 0x38800000 ? subnormal : normal;
  r = magnitude >= 0x477ff000 ? I{} + 0x7f800000 : r;         // 65520 and above
  r = magnitude > 0x7f800000 ? (magnitude | 0x00400000) : r;  // NaN
  return bit_as<V>(r | sign);
}

// x rounded to the nearest bfloat16 value, ties to even, where x's NaNs (if any) are bfloat16
// values already, as every NaN of an operation on bfloat16 operands is: such a NaN stays NaN.
template <class V>
[[gnu::always_inline]] inline V round_bf16_operation(V x) {
  using U = typename IntLanes<V>::unsigned_type;
  const U u = bit_as<U>(x);
  return bit_as<V>((u + 0x7fffu + ((u >> 16) & 1u)) & 0xffff0000u);
}

// x rounded to the nearest bfloat16 value, ties to even; NaN stays NaN.
template <class V>
[[gnu::always_inline]] inline V round_to_bf16(V x) {
  using I = typename IntLanes<V>::type;
  const I u = bit_as<I>(x);
  const I quiet = (u | 0x00400000) & static_cast<int32_t>(0xffff0000u);
  return bit_as<V>((u & INT32_MAX) > 0x7f800000 ? quiet : bit_as<I>(round_bf16_operation(x)));
}

template <class T>
struct Arith;

template <class T, class Compute, Compute (*Round)(Compute)>
struct RoundedArith {
  using C = Compute;
  static C rnd(C v) { return Round(v); }
  static C add(C a, C b) { return Round(a + b); }
  static C sub(C a, C b) { return Round(a - b); }
  static C mul(C a, C b) { return Round(a * b); }
  // A value converted to T (codebook entries, scales).
  static C from(float v) { return Round(C(v)); }
  // An integer code of at most 8 bits with its offset: exact in every T, nothing to round.
  static C from(int32_t code) { return C(code); }
  static C load(T v) { return C(v); }
  static T store(C v) { return T(v); }
};

inline double keep_double(double v) { return v; }
inline float keep_float(float v) { return v; }

template <>
struct Arith<double> : RoundedArith<double, double, keep_double> {};
template <>
struct Arith<float> : RoundedArith<float, float, keep_float> {};
template <>
struct Arith<c10::Half> : RoundedArith<c10::Half, float, round_to_half<float>> {};
template <>
struct Arith<c10::BFloat16> : RoundedArith<c10::BFloat16, float, round_to_bf16<float>> {};

// A work-group's tree reduction over its W lane values (strides W/2, W/4, ..., 1); the sum is
// left in v[0].
template <class A, int W>
void tree_sum(typename A::C* v) {
  for (int stride = W / 2; stride > 0; stride /= 2) {
    for (int l = 0; l < stride; ++l) v[l] = A::add(v[l], v[l + stride]);
  }
}

}  // namespace vorn::kernels
