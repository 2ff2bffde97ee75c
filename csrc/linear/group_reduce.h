#pragma once
// The work-group reduction of the k- and i-format matrix-vector kernels: 32 partial sums in
// local memory, added as a tree over strides 16, 8, 4, 2, 1 (work-item l adds element
// l + stride), with a barrier after each stride.

#include <cstring>

namespace vorn::kernels {

// The adds of one stride are independent, so strides 16, 8 and 4 run as vector adds of four
// lanes, each lane adding what its work-item adds.
inline float tree_sum_32(const float* local) {
  using f32x4 = float __attribute__((vector_size(16)));
  f32x4 v[8];
  std::memcpy(v, local, sizeof v);
  for (int l = 0; l < 4; ++l) v[l] += v[l + 4];
  for (int l = 0; l < 2; ++l) v[l] += v[l + 2];
  v[0] += v[1];
  return (v[0][0] + v[0][2]) + (v[0][1] + v[0][3]);
}

}  // namespace vorn::kernels
