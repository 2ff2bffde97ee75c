#pragma once

#include <cstdint>
#include <limits>

namespace common_utils {

// a * b, saturating at the largest int64: size checks then compare the true product, never one
// that wrapped around (huge sizes from a caller would otherwise pass them).
inline int64_t saturating_product(int64_t a, int64_t b) {
  int64_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<int64_t>::max() : product;
}

}  // namespace common_utils
