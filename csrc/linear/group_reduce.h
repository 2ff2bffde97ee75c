#pragma once
// The work-group reduction of the k- and i-format matrix-vector kernels: 32 partial sums in
// local memory, added as a tree over strides 16, 8, 4, 2, 1 (work-item l adds element
// l + stride), with a barrier after each stride.

namespace vorn::kernels {

inline float tree_sum_32(float* local) {
  for (int stride = 16; stride > 0; stride /= 2) {
    for (int l = 0; l < stride; ++l) local[l] += local[l + stride];
  }
  return local[0];
}

}  // namespace vorn::kernels
