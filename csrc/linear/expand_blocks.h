#pragma once
// The inner loop of the dequantize kernels: whole blocks of a packed matrix expanded into
// consecutive elements. Each weight is formed in the arithmetic of A (element_math.h's rule) and
// stored as T: A = T for the dequantize kernel family; the explicit-SIMD kernels also decode in
// fp16 and store fp32.
//
// Defined once in expand_blocks.cpp for every format and the (A, T) pairs the kernels use, with
// one vectorised build per instruction-set level.

#include <cstdint>

#include "formats/format_base.h"

namespace vorn::kernels {

// Writes blocks first .. first + count - 1 to out[0 .. count * F::kBlock - 1].
template <class F, class A, class T>
void expand_blocks(const formats::Packed<F>& packed, int64_t first, int64_t count, T* out);

// The same through a cached staging buffer copied out with streaming stores
// (common/streaming_stores.h), for outputs far larger than the caches.
template <class F, class A, class T>
void expand_blocks_streamed(const formats::Packed<F>& packed, int64_t first, int64_t count, T* out);

// One of the two: the streamed form when `streamed`.
template <class F, class A, class T>
inline void expand_blocks(const formats::Packed<F>& packed, int64_t first, int64_t count, T* out, bool streamed) {
  if (streamed) {
    expand_blocks_streamed<F, A, T>(packed, first, count, out);
  } else {
    expand_blocks<F, A, T>(packed, first, count, out);
  }
}

}  // namespace vorn::kernels
