#pragma once
// Software prefetch of a weight stream: the hardware prefetchers alone leave the matrix-vector
// kernels waiting on the weight, so they ask for the cache lines a little ahead of where they
// read. Prefetches do not fault, so addresses past the end of a weight are harmless.

#include <cstdint>

namespace vorn::kernels {

// Where a prefetched line goes. Into L2 only, the later load waits a few cycles more, but more
// lines can be on their way from memory than the first level's fill buffers hold.
enum class PrefetchInto { l1 = 3, l2 = 2 };

inline constexpr int kPrefetchDistance = 2048;  // bytes

// The cache lines of the kBytes bytes kDistance past p.
template <int kBytes, int kDistance = kPrefetchDistance, PrefetchInto kInto = PrefetchInto::l1>
inline void prefetch_ahead(const uint8_t* p) {
  for (int b = 0; b < kBytes; b += 64) __builtin_prefetch(p + kDistance + b, 0, static_cast<int>(kInto));
}

}  // namespace vorn::kernels
