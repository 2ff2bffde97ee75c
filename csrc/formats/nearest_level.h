#pragma once
// Round to the nearest of a sorted set of levels (codebooks, small-float magnitudes).

#include <cmath>
#include <vector>

namespace vorn::formats {

class NearestLevel {
 public:
  // `levels` ascending (checked); index(y) is the position of the level nearest to y, ties
  // going to the even position. For the small-float magnitude tables, whose codes ascend with
  // the magnitude, that is round-to-nearest-even.
  NearestLevel(const float* levels, int count);

  // The level nearest to y.
  float value(float y) const { return levels_[index(y)]; }

  int index(float y) const {
    // Branch-free search over the midpoints, padded with +inf to a power of two.
    const double v = y;
    int position = 0;
    for (int half = int(midpoints_.size()) / 2; half > 0; half /= 2)
      if (midpoints_[position + half - 1] < v) position += half;
    if ((position & 1) && position + 1 < count_ && v == midpoints_[position]) ++position;
    return position;
  }

 private:
  int count_;
  std::vector<float> levels_;
  std::vector<double> midpoints_;
};

// Code of a sign-magnitude format: the sign of y at bit `sign_bit`, above the index of the
// magnitude nearest to |y|.
inline int sign_magnitude_code(const NearestLevel& magnitudes, float y, int sign_bit) {
  return (std::signbit(y) ? 1 << sign_bit : 0) | magnitudes.index(std::fabs(y));
}

// The value of that code.
inline float sign_magnitude_value(const NearestLevel& magnitudes, float y) {
  return std::copysign(magnitudes.value(std::fabs(y)), y);
}

}  // namespace vorn::formats
