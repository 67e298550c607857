#include "narrow_band.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/kept_buffers.h"
#include "clustering.h"
#include "recursive_gaussian.h"

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

namespace {

// The runs of pixels inside the mask along x, one or more a row, from
// list_inside's.
std::vector<line_run> runs_along_rows(const std::vector<band_run>& inside) {
  std::vector<line_run> runs;
  runs.reserve(inside.size());
  for (const band_run& run : inside) runs.push_back({run.position, run.length});
  return runs;
}

// labels - smooth(labels), inside the mask only: along each axis every run
// of pixels inside is smoothed as a line of its own, its end values extended
// beyond it, so that the filter sees the nearest inside value along the line.
CImg<float> rebuild_masked_band(const CImg<float>& labels, float sigma, core::call_threads& threads,
                                const std::vector<band_run>& inside) {
  CImg<float> band = core::reused_image(labels.width(), labels.height(), labels.depth(), 1);
  const std::vector<line_run> rows = runs_along_rows(inside);
  smooth_runs(labels.data(), band.data(), rows, sigma, threads);
  smooth_inside_along(band, rows, sigma, 'y', threads);
  smooth_inside_along(band, rows, sigma, 'z', threads);
  for (const line_run& row : rows)
    for (std::size_t i = row.first; i < row.first + row.length; ++i) band[i] = labels[i] - band[i];
  return band;
}

}  // namespace

CImg<float> rebuild_band(const CImg<float>& labels, float band_sigma, core::call_threads& threads,
                         const core::pixel_mask& mask, const std::vector<band_run>* inside) {
  // The library would turn a negative sigma into a percentage of each axis
  // separately; the band wants one scale for every axis, taken from the
  // largest extent, so only a resolved non-negative sigma reaches it.
  const float sigma = resolve_band_sigma(band_sigma, labels.width(), labels.height(), labels.depth());
  if (mask && !labels.is_empty()) {
    if (inside) return rebuild_masked_band(labels, sigma, threads, *inside);
    return rebuild_masked_band(labels, sigma, threads,
                               list_inside(mask, labels.width(), labels.height(), labels.depth()));
  }
  CImg<float> band = core::reused_image(labels.width(), labels.height(), labels.depth(), labels.spectrum());
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
