#pragma once
// A decoded weight in the arithmetic of an element type: the block's unscaled value and its
// scale are converted to T and multiplied in T (fp16 multiplies in fp16, bf16 in bf16), and a
// format with a per-group offset adds it in T.
//
// decoded_weight<A, F> forms it in an arithmetic A (A::C values, A::from conversions, A::mul,
// A::add); weight_as<T, F> is that in T's own operators. Kernels that hold T's values in a wider
// type with explicit rounding (lane_arith.h) use the first, so the rule exists once.

#include "formats/format_base.h"

namespace vorn::kernels {

// The arithmetic of T's own operators.
template <class T>
struct ElementOps {
  using C = T;
  template <class V>
  static C from(V v) {
    return T(v);
  }
  static C mul(C a, C b) { return a * b; }
  static C add(C a, C b) { return a + b; }
};

// The rule on a value, scale and offset already converted to A; F's scaling says which apply.
template <class A, class F>
inline typename A::C combined_weight(typename A::C value, typename A::C scale, typename A::C offset) {
  using formats::Scaling;
  if constexpr (F::kScaling == Scaling::none) {
    return value;
  } else if constexpr (F::kScaling == Scaling::scale) {
    return A::mul(value, scale);
  } else {
    return A::add(A::mul(value, scale), offset);
  }
}

template <class A, class F>
inline typename A::C decoded_weight(const typename F::Block& b, int j) {
  using formats::Scaling;
  const int g = j / F::kGroup;
  typename A::C scale{}, offset{};
  if constexpr (F::kScaling != Scaling::none) scale = A::from(b.scale(g));
  if constexpr (F::kScaling == Scaling::scale_offset) offset = A::from(b.offset(g));
  return combined_weight<A, F>(A::from(b.value(j)), scale, offset);
}

template <class T, class F>
inline T weight_as(const typename F::Block& b, int j) {
  return decoded_weight<ElementOps<T>, F>(b, j);
}

}  // namespace vorn::kernels
