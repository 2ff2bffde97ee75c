#pragma once
// A decoded weight in the arithmetic of an element type: the block's unscaled value and its
// scale are converted to T and multiplied in T (fp16 multiplies in fp16, bf16 in bf16), and a
// format with a per-group offset adds it in T.

#include "formats/format_base.h"

namespace vorn::kernels {

template <class T, class F>
inline T weight_as(const typename F::Block& b, int j) {
  using formats::Scaling;
  if constexpr (F::kScaling == Scaling::none) {
    return T(b.value(j));
  } else if constexpr (F::kScaling == Scaling::scale) {
    return T(b.value(j)) * T(b.scale(j / F::kGroup));
  } else {
    const int g = j / F::kGroup;
    return T(b.value(j)) * T(b.scale(g)) + T(b.offset(g));
  }
}

}  // namespace vorn::kernels
