#include "narrow_band.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "byte_scan.h"
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

// The runs of pixels inside along the axis whose neighbours lie `step`
// apart and which is `extent` long, found from the runs along x, in the
// order of their lines and, within a line, of their first pixels.
std::vector<line_run> runs_across_rows(const core::pixel_mask& mask, const std::vector<line_run>& rows,
                                       std::size_t step, std::size_t extent) {
  // A line is named by the position of its first pixel modulo one block of
  // `extent` lines; a run starting in it waits in `start` until it ends.
  const std::size_t block = step * extent;
  const auto line_of = [&](std::size_t position) { return position / block * step + position % step; };
  std::vector<std::size_t> start(line_of(rows.empty() ? 0 : rows.back().first) + step);
  std::vector<line_run> runs;
  for (const line_run& row : rows) {
    // A run along x lies at one place along the axis, in consecutive lines.
    const std::size_t along = row.first % block / step, line = line_of(row.first);
    const unsigned char* inside = mask.inside + row.first;
    const bool first = along == 0, last = along + 1 == extent;
    for (std::size_t i = 0; i < row.length; ++i) {
      // Eight pixels at once where a run goes on through all of them.
      while (!first && !last && i + 8 <= row.length && eight_nonzero(inside + i - step) &&
             eight_nonzero(inside + i + step))
        i += 8;
      if (i == row.length) break;
      if (first || !inside[std::ptrdiff_t(i) - std::ptrdiff_t(step)]) start[line + i] = row.first + i;
      if (last || !inside[i + step]) {
        const std::size_t from = start[line + i];
        runs.push_back({from, (row.first + i - from) / step + 1});
      }
    }
  }
  // The runs of a line ended in the order of their first pixels, so
  // placing them line by line, each line's in the order they ended, orders
  // them.
  std::vector<std::size_t> place(start.size() + 1, 0);
  for (const line_run& run : runs) ++place[line_of(run.first) + 1];
  for (std::size_t line = 1; line < place.size(); ++line) place[line] += place[line - 1];
  std::vector<line_run> ordered(runs.size());
  for (const line_run& run : runs) ordered[place[line_of(run.first)]++] = run;
  return ordered;
}

// labels - smooth(labels), inside the mask only: along each axis every run
// of pixels inside is smoothed as a line of its own, its end values extended
// beyond it, so that the filter sees the nearest inside value along the line.
CImg<float> rebuild_masked_band(const CImg<float>& labels, float sigma, core::call_threads& threads,
                                const core::pixel_mask& mask, const std::vector<band_run>& inside) {
  const std::size_t width = labels.width(), height = labels.height(), depth = labels.depth();
  CImg<float> band = core::reused_image(labels.width(), labels.height(), labels.depth(), 1);
  // 0 outside: between the runs inside, which the smoothing writes.
  std::size_t outside = 0;
  for (const band_run& run : inside) {
    std::fill(band.data() + outside, band.data() + run.position, 0.0f);
    outside = run.position + run.length;
  }
  std::fill(band.data() + outside, band.data() + band.size(), 0.0f);
  const std::vector<line_run> rows = runs_along_rows(inside);
  smooth_runs(labels.data(), band.data(), rows, 1, sigma, threads);
  if (height > 1)
    smooth_runs(band.data(), band.data(), runs_across_rows(mask, rows, width, height), std::ptrdiff_t(width), sigma,
                threads);
  if (depth > 1)
    smooth_runs(band.data(), band.data(), runs_across_rows(mask, rows, width * height, depth),
                std::ptrdiff_t(width * height), sigma, threads);
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
    if (inside) return rebuild_masked_band(labels, sigma, threads, mask, *inside);
    return rebuild_masked_band(labels, sigma, threads, mask,
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
