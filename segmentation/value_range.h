// Value ranges and the even spacing of initial centres, shared by both commands.
#pragma once

#include <cmath>
#include <cstddef>

namespace sorvik {

// Smallest and largest finite value among `count` values; false when none is
// finite. NaN and infinities would otherwise drag every centre with them.
inline bool finite_range(const float* values, std::size_t count, float& lowest, float& highest) {
  bool found = false;
  for (std::size_t i = 0; i < count; ++i) {
    const float v = values[i];
    if (!std::isfinite(v)) continue;
    if (!found) {
      lowest = highest = v;
      found = true;
    } else if (v < lowest) {
      lowest = v;
    } else if (v > highest) {
      highest = v;
    }
  }
  return found;
}

// Centre j (1 .. K) of K spaced evenly strictly inside [lowest, highest]:
// difference, division by K + 1, multiplication by j, addition of the lowest
// value, all in double and rounded once.
inline float spaced_centre(float lowest, float highest, int class_count, int j) {
  return static_cast<float>(((double(highest) - double(lowest)) / (double(class_count) + 1.0)) * j + lowest);
}

}  // namespace sorvik
