#pragma once
// Software prefetch of a weight stream: the hardware prefetchers alone leave the matrix-vector
// kernels waiting on the weight, so they ask for the cache lines a little ahead of where they
// read. Prefetches do not fault, so addresses past the end of a weight are harmless.

#include <cstdint>

namespace vorn::kernels {

inline constexpr int kPrefetchDistance = 2048;  // bytes

// The cache lines of the kBytes bytes kPrefetchDistance past p.
template <int kBytes>
inline void prefetch_ahead(const uint8_t* p) {
  for (int b = 0; b < kBytes; b += 64) __builtin_prefetch(p + kPrefetchDistance + b);
}

}  // namespace vorn::kernels
