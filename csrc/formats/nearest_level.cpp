#include "formats/nearest_level.h"

#include <limits>
#include <stdexcept>

namespace vorn::formats {

NearestLevel::NearestLevel(const float* levels, int count)
    : count_(count), levels_(levels, levels + count) {
  int padded = 1;
  while (padded < count) padded *= 2;
  midpoints_.assign(padded, std::numeric_limits<double>::infinity());
  for (int i = 0; i + 1 < count; ++i) {
    if (!(levels[i] < levels[i + 1])) throw std::logic_error("NearestLevel: levels must ascend");
    // Exact in double, so a value on a midpoint is recognised as a tie.
    midpoints_[i] = (double(levels[i]) + double(levels[i + 1])) / 2;
  }
}

}  // namespace vorn::formats
