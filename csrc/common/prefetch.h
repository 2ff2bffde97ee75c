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

// A prefetch of the line holding p. On x86 it is an asm statement, which the compiler must keep:
// GCC 12 dropped __builtin_prefetch from some loops (the vector path's q4_0_woq kernels lost
// all their weight prefetches and took twice as long from memory). The address is passed in a
// register, so nothing is read through p.
template <PrefetchInto kInto>
inline void prefetch_line(const uint8_t* p) {
#if defined(__x86_64__) && defined(__GNUC__)
  if constexpr (kInto == PrefetchInto::l1) {
    asm volatile("prefetcht0 (%0)" : : "r"(p));
  } else {
    asm volatile("prefetcht1 (%0)" : : "r"(p));
  }
#else
  __builtin_prefetch(p, 0, static_cast<int>(kInto));
#endif
}

// The cache lines of the kBytes bytes kDistance past p.
template <int kBytes, int kDistance = kPrefetchDistance, PrefetchInto kInto = PrefetchInto::l1>
inline void prefetch_ahead(const uint8_t* p) {
  for (int b = 0; b < kBytes; b += 64) prefetch_line<kInto>(p + kDistance + b);
}

}  // namespace vorn::kernels
