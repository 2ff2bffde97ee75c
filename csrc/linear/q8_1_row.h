#pragma once
// A q8_1 activation row unpacked into the forms the vector builds of the matrix-vector kernels
// read with whole-register loads: the 8-bit codes of all blocks back to back, and per block the
// fp32 scale d8, the fp32 sum s8 and the exact sum of the codes. Every row of the weight meets
// the same activations, so the kernels build it once per launch and pool thread (per_launch.h),
// not once per row.

#include <cstdint>
#include <cstring>
#include <vector>

#include "linear/block_q8_1.h"

namespace vorn::kernels {

struct Q8_1Row {
  const block_q8_1* blocks;
  std::vector<int8_t> codes;
  std::vector<float> scale, sum;
  std::vector<int32_t> code_sum;

  Q8_1Row(const block_q8_1* y, int64_t count)
      : blocks(y), codes(count * kQ8_1Block), scale(count), sum(count), code_sum(count) {
    for (int64_t b = 0; b < count; ++b) {
      std::memcpy(&codes[b * kQ8_1Block], y[b].qs, kQ8_1Block);
      scale[b] = q8_1_scale(y[b]);
      sum[b] = q8_1_sum(y[b]);
      int32_t total = 0;
      for (int8_t q : y[b].qs) total += q;
      code_sum[b] = total;
    }
  }
};

}  // namespace vorn::kernels
