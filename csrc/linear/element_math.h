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

template <class A, class F>
inline typename A::C decoded_weight(const typename F::Block& b, int j) {
  using formats::Scaling;
  if constexpr (F::kScaling == Scaling::none) {
    return A::from(b.value(j));
  } else if constexpr (F::kScaling == Scaling::scale) {
    return A::mul(A::from(b.value(j)), A::from(b.scale(j / F::kGroup)));
  } else {
    const int g = j / F::kGroup;
    return A::add(A::mul(A::from(b.value(j)), A::from(b.scale(g))), A::from(b.offset(g)));
  }
}

template <class T, class F>
inline T weight_as(const typename F::Block& b, int j) {
  return decoded_weight<ElementOps<T>, F>(b, j);
}

}  // namespace vorn::kernels
