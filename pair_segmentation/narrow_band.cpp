#include "narrow_band.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tamvel {

CImg<float> initial_band(unsigned width, unsigned height, unsigned depth) {
  return CImg<float>(width, height, depth, 1, 1.0f);
}

bool in_band(const CImg<float>& band, unsigned x, unsigned y, unsigned z) {
  // The float nearest 0.01 lies just below the double 0.01, so it stays out.
  return std::fabs(double(band(x, y, z, 0))) > band_threshold;
}

float resolve_band_sigma(float band_sigma, unsigned width, unsigned height, unsigned depth) {
  if (band_sigma >= 0) return band_sigma;
  const double largest = std::max({width, height, depth});
  return static_cast<float>(-double(band_sigma) * largest / 100.0);
}

CImg<float> rebuild_band(const CImg<float>& labels, float band_sigma) {
  // The library would turn a negative sigma into a percentage of each axis
  // separately; the band wants one scale for every axis, taken from the
  // largest extent, so only a resolved non-negative sigma reaches it.
  const float sigma = resolve_band_sigma(band_sigma, labels.width(), labels.height(), labels.depth());
  CImg<float> smoothed(labels, false);
  if (!smoothed.is_empty()) {
    if (smoothed.width() > 1) smoothed.deriche(sigma, 0, 'x', 1);
    if (smoothed.height() > 1) smoothed.deriche(sigma, 0, 'y', 1);
    if (smoothed.depth() > 1) smoothed.deriche(sigma, 0, 'z', 1);
  }
  const float* label = labels.data();
  float* value = smoothed.data();
  for (std::size_t i = 0, count = smoothed.size(); i < count; ++i) value[i] = label[i] - value[i];
  return smoothed;
}

}  // namespace tamvel
