#pragma once
// Nearest-entry search in a grid of eight-weight patterns over three levels, the snapping step
// of the i-format quantizers.

#include <array>
#include <cstdint>
#include <vector>

namespace vorn::formats {

class TernaryLattice {
 public:
  using Pattern = std::array<uint8_t, 8>;  // level index 0..2 per weight

  explicit TernaryLattice(std::vector<Pattern> patterns);

  // The entry minimising sum_t (y[t] - levels[pattern[t]])^2, searched among the entries
  // closest (in level steps) to the pattern of y's per-weight nearest levels. levels ascend.
  // A y that lies exactly on an entry's levels returns that entry.
  int nearest(const float* y, const float* levels) const;

  const Pattern& pattern(int entry) const { return patterns_[entry]; }

 private:
  std::vector<Pattern> patterns_;
  std::vector<uint32_t> first_;  // candidates of ternary word w: first_[w] .. first_[w + 1]
  std::vector<uint16_t> candidates_;
};

}  // namespace vorn::formats
