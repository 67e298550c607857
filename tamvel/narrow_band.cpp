#include "narrow_band.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

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

// The columns, rows (over all slices) and slices that hold a pixel inside,
// widened by one on each side where the image goes on: beyond them the
// smoothed images are exactly 0 (up to the sign of a zero, which no quotient
// taken inside sees), and the recursive filter, started on such a zero
// column, row or slice, gives inside the bits it gives over the whole axis.
struct smoothed_box {
  std::size_t first_column = 0, end_column = 0, first_row = 0, end_row = 0, first_slice = 0, end_slice = 0;
};

// first .. end - 1 widened by one on each side, within 0 .. extent - 1.
void widen(std::size_t& first, std::size_t& end, std::size_t extent) {
  first = first > 0 ? first - 1 : 0;
  end = std::min(end + 1, extent);
}

smoothed_box box_around(const core::pixel_mask& mask, std::size_t width, std::size_t height, std::size_t depth) {
  smoothed_box box{width, 0, height, 0, depth, 0};
  for (std::size_t z = 0; z < depth; ++z)
    for (std::size_t y = 0; y < height; ++y) {
      const core::inside_span span = core::span_inside(mask, width * (y + height * z), width);
      if (span.begin == span.end) continue;
      box.first_column = std::min(box.first_column, span.begin), box.end_column = std::max(box.end_column, span.end);
      box.first_row = std::min(box.first_row, y), box.end_row = std::max(box.end_row, y + 1);
      box.first_slice = std::min(box.first_slice, z), box.end_slice = std::max(box.end_slice, z + 1);
    }
  if (box.first_row >= box.end_row) return {};
  widen(box.first_column, box.end_column, width);
  widen(box.first_row, box.end_row, height);
  widen(box.first_slice, box.end_slice, depth);
  return box;
}

// labels - smooth(labels inside) / smooth(inside), inside the mask, smoothed
// over the box around the mask only.
CImg<float> rebuild_masked_band(const CImg<float>& labels, float sigma, core::call_threads& threads,
                                const core::pixel_mask& mask) {
  const std::size_t width = labels.width(), height = labels.height();
  const smoothed_box box = box_around(mask, width, height, labels.depth());
  CImg<float> band(labels.width(), labels.height(), labels.depth(), 1, 0.0f);
  if (box.first_row == box.end_row) return band;
  const std::size_t columns = box.end_column - box.first_column;
  CImg<float> weighted(unsigned(columns), unsigned(box.end_row - box.first_row),
                       unsigned(box.end_slice - box.first_slice), 1);
  CImg<float> weight(weighted, "xyzc");
  // Calls visit(box position, image position) for each row of the box.
  const auto each_row = [&](auto visit) {
    std::size_t i = 0;
    for (std::size_t z = box.first_slice; z < box.end_slice; ++z)
      for (std::size_t y = box.first_row; y < box.end_row; ++y, i += columns)
        visit(i, width * (y + height * z) + box.first_column);
  };
  each_row([&](std::size_t i, std::size_t at) {
    for (std::size_t x = 0; x < columns; ++x) {
      weighted[i + x] = mask.covers(at + x) ? labels[at + x] : 0.0f;
      weight[i + x] = mask.covers(at + x) ? 1.0f : 0.0f;
    }
  });
  for (const char axis : {'x', 'y', 'z'}) {
    smooth_along(weighted, weighted, sigma, axis, threads);
    smooth_along(weight, weight, sigma, axis, threads);
  }
  each_row([&](std::size_t i, std::size_t at) {
    for (std::size_t x = 0; x < columns; ++x)
      if (mask.covers(at + x))
        band[at + x] = float(double(labels[at + x]) - double(weighted[i + x]) / double(weight[i + x]));
  });
  return band;
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
