#include "narrow_band.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "recursive_gaussian.h"

namespace tamvel {

CImg<float> initial_band(unsigned width, unsigned height, unsigned depth) {
  return CImg<float>(width, height, depth, 1, 1.0f);
}

CImg<float> inside_band(unsigned width, unsigned height, unsigned depth, const core::pixel_mask& mask) {
  CImg<float> band(width, height, depth, 1);
  for (std::size_t i = 0; i < band.size(); ++i) band[i] = mask.covers(i) ? 1.0f : 0.0f;
  return band;
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

namespace {

// labels - smooth(labels inside) / smooth(inside), inside the mask.
CImg<float> rebuild_masked_band(const CImg<float>& labels, float sigma, core::call_threads& threads,
                                const core::pixel_mask& mask) {
  CImg<float> weighted(labels.width(), labels.height(), labels.depth(), 1), weight(weighted, "xyzc");
  for (std::size_t i = 0; i < labels.size(); ++i) {
    weighted[i] = mask.covers(i) ? labels[i] : 0.0f;
    weight[i] = mask.covers(i) ? 1.0f : 0.0f;
  }
  for (const char axis : {'x', 'y', 'z'}) {
    smooth_along(weighted, weighted, sigma, axis, threads);
    smooth_along(weight, weight, sigma, axis, threads);
  }
  for (std::size_t i = 0; i < labels.size(); ++i)
    weighted[i] = mask.covers(i) ? float(double(labels[i]) - double(weighted[i]) / double(weight[i])) : 0.0f;
  return weighted;
}

}  // namespace

CImg<float> rebuild_band(const CImg<float>& labels, float band_sigma, core::call_threads& threads,
                         const core::pixel_mask& mask) {
  // The library would turn a negative sigma into a percentage of each axis
  // separately; the band wants one scale for every axis, taken from the
  // largest extent, so only a resolved non-negative sigma reaches it.
  const float sigma = resolve_band_sigma(band_sigma, labels.width(), labels.height(), labels.depth());
  if (mask && !labels.is_empty()) return rebuild_masked_band(labels, sigma, threads, mask);
  CImg<float> band(labels.width(), labels.height(), labels.depth(), labels.spectrum());
  if (band.is_empty()) return band;
  smooth_along(labels, band, sigma, 'x', threads);
  smooth_along(band, band, sigma, 'y', threads);
  smooth_along(band, band, sigma, 'z', threads);
  const float* label = labels.data();
  float* value = band.data();
  for (std::size_t i = 0, count = band.size(); i < count; ++i) value[i] = label[i] - value[i];
  return band;
}

}  // namespace tamvel
