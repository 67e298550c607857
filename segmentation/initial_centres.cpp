#include "initial_centres.h"

#include <cmath>

namespace sorvik {

bool finite_range(const float* values, std::size_t count, float& lowest, float& highest) {
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

float spaced_centre(float lowest, float highest, int class_count, int j) {
  return static_cast<float>(((double(highest) - double(lowest)) / (double(class_count) + 1.0)) * j + lowest);
}

void spread_centres(const CImg<float>& image, int channels, int class_count, CImg<float>& centres) {
  const std::size_t channel_size = std::size_t(image.width()) * image.height() * image.depth();
  for (int c = 0; c < channels; ++c) {
    float lowest = 0, highest = 0;
    if (!finite_range(image.data(0, 0, 0, c), channel_size, lowest, highest)) continue;
    for (int j = 1; j <= class_count; ++j) centres(c, j - 1) = spaced_centre(lowest, highest, class_count, j);
  }
}

}  // namespace sorvik
