#include "edge_indicator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "segmentation/value_range.h"

namespace tamvel {
namespace {

// Channel 0 at (x, y, z) with x and y clamped into the image: a neighbour
// beyond the border takes the border pixel's value, also on an axis of
// length 1.
double clamped(const CImg<float>& image, std::ptrdiff_t x, std::ptrdiff_t y, std::size_t z) {
  const std::size_t width = image.width(), height = image.height();
  const std::size_t cx = x < 0 ? 0 : std::min(std::size_t(x), width - 1);
  const std::size_t cy = y < 0 ? 0 : std::min(std::size_t(y), height - 1);
  return double(image.data()[cx + width * (cy + height * z)]);
}

// Weights of the 3 x 3 mask pair whose response to an edge does not depend on
// its orientation: an impulse on a diagonal neighbour and one on an axis
// neighbour yield the same magnitude, since a * sqrt(2) == b.
const double diagonal_weight = (2.0 - std::sqrt(2.0)) / 4.0;
const double axis_weight = (std::sqrt(2.0) - 1.0) / 2.0;

}  // namespace

CImg<float> compute_edge_indicator(const CImg<float>& primary) {
  CImg<float> indicator;
  if (primary.is_empty()) return indicator;
  const std::size_t width = primary.width(), height = primary.height(), depth = primary.depth();
  indicator.assign(primary.width(), primary.height(), primary.depth(), 1);
  const double a = diagonal_weight, b = axis_weight;
  const auto at = [&primary](std::ptrdiff_t x, std::ptrdiff_t y, std::size_t z) { return clamped(primary, x, y, z); };
  float* out = indicator.data();
  for (std::size_t z = 0; z < depth; ++z)
    for (std::ptrdiff_t y = 0; y < std::ptrdiff_t(height); ++y)
      for (std::ptrdiff_t x = 0; x < std::ptrdiff_t(width); ++x) {
        double gx, gy;
        if (depth == 1) {
          gx = a * (at(x + 1, y - 1, z) + at(x + 1, y + 1, z) - at(x - 1, y - 1, z) -
                    at(x - 1, y + 1, z)) +
               b * (at(x + 1, y, z) - at(x - 1, y, z));
          gy = a * (at(x - 1, y + 1, z) + at(x + 1, y + 1, z) - at(x - 1, y - 1, z) -
                    at(x + 1, y - 1, z)) +
               b * (at(x, y + 1, z) - at(x, y - 1, z));
        } else {
          // Volumes are weighted slice by slice: the z derivative is left out.
          gx = (at(x + 1, y, z) - at(x - 1, y, z)) / 2.0;
          gy = (at(x, y + 1, z) - at(x, y - 1, z)) / 2.0;
        }
        const double value = 1.0 / (1.0 + std::sqrt(gx * gx + gy * gy));
        *out++ = std::isfinite(value) ? static_cast<float>(value) : 0.0f;
      }
  normalize_edge_indicator(indicator);
  return indicator;
}

void normalize_edge_indicator(CImg<float>& indicator) {
  if (indicator.is_empty()) return;
  const std::size_t count = indicator.size();
  float lowest = 0, highest = 0;
  if (!sorvik::finite_range(indicator.data(), count, lowest, highest) || lowest == highest) {
    indicator.fill(0.0f);
    return;
  }
  if (lowest == 0.0f && highest == 1.0f) return;
  const double low = lowest, span = double(highest) - double(lowest);
  float* values = indicator.data();
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>((double(values[i]) - low) / span);
}

}  // namespace tamvel
