#include "formats/ternary_lattice.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace vorn::formats {
namespace {

constexpr int kWords = 6561;  // 3^8 patterns of eight level indices

// Squared distance in level steps at which an entry stays a candidate beyond the closest ones:
// the per-weight nearest levels often sit one step from the best entry's.
constexpr int kSlack = 1;

}  // namespace

TernaryLattice::TernaryLattice(std::vector<Pattern> patterns) : patterns_(std::move(patterns)) {
  first_.reserve(kWords + 1);
  std::vector<int> distance(patterns_.size());
  for (int word = 0; word < kWords; ++word) {
    first_.push_back(uint32_t(candidates_.size()));
    int digits[8];
    for (int t = 0, w = word; t < 8; ++t, w /= 3) digits[t] = w % 3;
    int closest = std::numeric_limits<int>::max();
    for (std::size_t e = 0; e < patterns_.size(); ++e) {
      int d = 0;
      for (int t = 0; t < 8; ++t) d += (digits[t] - patterns_[e][t]) * (digits[t] - patterns_[e][t]);
      distance[e] = d;
      if (d < closest) closest = d;
    }
    for (std::size_t e = 0; e < patterns_.size(); ++e)
      if (distance[e] <= closest + (closest == 0 ? 0 : kSlack)) candidates_.push_back(uint16_t(e));
  }
  first_.push_back(uint32_t(candidates_.size()));
}

int TernaryLattice::nearest(const float* y, const float* levels) const {
  float error[8][3];
  int word = 0;
  for (int t = 0, power = 1; t < 8; ++t, power *= 3) {
    int best = 0;
    for (int v = 0; v < 3; ++v) {
      const float e = y[t] - levels[v];
      error[t][v] = e * e;
      if (error[t][v] < error[t][best]) best = v;
    }
    word += best * power;
  }
  int best_entry = candidates_[first_[word]];
  float best_error = std::numeric_limits<float>::infinity();
  for (uint32_t c = first_[word]; c < first_[word + 1]; ++c) {
    const Pattern& pattern = patterns_[candidates_[c]];
    float sum = 0.0f;
    for (int t = 0; t < 8; ++t) sum += error[t][pattern[t]];
    if (sum < best_error) {
      best_error = sum;
      best_entry = candidates_[c];
    }
  }
  return best_entry;
}

}  // namespace vorn::formats
