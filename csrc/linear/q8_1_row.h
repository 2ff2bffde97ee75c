#pragma once
// A q8_1 activation row unpacked into the forms the vector builds of the matrix-vector kernels
// read with whole-register loads: the 8-bit codes of all blocks back to back, and per block the
// fp32 scale d8 and the fp32 sum s8. Every row of the weight meets the same activations, so the
// kernels build it once per launch and pool thread (per_launch.h), not once per row.

#include <cstdint>
#include <cstring>
#include <vector>

#include "linear/block_q8_1.h"

namespace vorn::kernels {

struct Q8_1Row {
  const block_q8_1* blocks;
  std::vector<int8_t> codes;
  std::vector<float> scale, sum;

  Q8_1Row(const block_q8_1* y, int64_t count)
      : blocks(y), codes(count * kQ8_1Block), scale(count), sum(count) {
    for (int64_t b = 0; b < count; ++b) {
      std::memcpy(&codes[b * kQ8_1Block], y[b].qs, kQ8_1Block);
      scale[b] = q8_1_scale(y[b]);
      sum[b] = q8_1_sum(y[b]);
    }
  }
};

// The row with each super-block's 256 codes reordered run-major, for the i-formats, whose
// 32-weight groups are four runs of eight: byte 64l + 8p + t of a super-block holds code
// 32p + 8l + t, so that one 64-byte vector holds run l of all eight groups, a group per 64-bit
// lane. Dot products over the four vectors then add each group's runs in place.
struct RunMajorRow : Q8_1Row {
  std::vector<int8_t> run_codes;

  RunMajorRow(const block_q8_1* y, int64_t count) : Q8_1Row(y, count), run_codes(codes.size()) {
    for (size_t i = 0; i < codes.size(); i += 256) {
      for (int l = 0; l < 4; ++l) {
        for (int p = 0; p < 8; ++p) std::memcpy(&run_codes[i + 64 * l + 8 * p], &codes[i + 32 * p + 8 * l], 8);
      }
    }
  }
};

}  // namespace vorn::kernels
