#include "initial_centres.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "call_threads.h"
#include "refusal.h"

namespace core {

namespace {

value_range finite_range_in_order(const float* values, std::size_t count, const unsigned char* inside) {
  value_range range;
  for (std::size_t i = 0; i < count; ++i) {
    if (inside && !inside[i]) {  // the run of pixels outside, skipped a word at a time
      i += outside_run(pixel_mask{inside}, i, count - i) - 1;
      continue;
    }
    const float v = values[i];
    if (!std::isfinite(v)) continue;
    if (!range.found) {
      range.lowest = range.highest = v;
      range.found = true;
    } else if (v < range.lowest) {
      range.lowest = v;
    } else if (v > range.highest) {
      range.highest = v;
    }
  }
  return range;
}

// Values a thread takes at least: the pass costs a few cycles a value.
constexpr std::size_t range_share = 1 << 16;

}  // namespace

void extend_range(value_range& whole, const value_range& later) {
  if (!later.found) return;
  if (!whole.found) {
    whole = later;
    return;
  }
  if (later.lowest < whole.lowest) whole.lowest = later.lowest;
  if (later.highest > whole.highest) whole.highest = later.highest;
}

bool finite_range(const float* values, std::size_t count, float& lowest, float& highest, call_threads& threads,
                  const unsigned char* inside) {
  const int parts = useful_parts(threads, count, range_share);
  std::vector<value_range> ranges(static_cast<std::size_t>(parts));
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    const share mine = share_of(count, part, part_count);
    ranges[std::size_t(part)] =
        finite_range_in_order(values + mine.begin, mine.end - mine.begin, inside ? inside + mine.begin : nullptr);
  });
  value_range whole;
  for (const value_range& range : ranges) extend_range(whole, range);
  if (whole.found) {
    lowest = whole.lowest;
    highest = whole.highest;
  }
  return whole.found;
}

float spaced_centre(float lowest, float highest, int class_count, int j) {
  return static_cast<float>(((double(highest) - double(lowest)) / (double(class_count) + 1.0)) * j + lowest);
}

void spread_centres(const CImg<float>& image, int channels, int class_count, CImg<float>& centres,
                    call_threads& threads, const pixel_mask& mask) {
  const std::size_t channel_size = std::size_t(image.width()) * image.height() * image.depth();
  for (int c = 0; c < channels; ++c) {
    float lowest = 0, highest = 0;
    if (!finite_range(image.data(0, 0, 0, c), channel_size, lowest, highest, threads, mask.inside)) continue;
    for (int j = 1; j <= class_count; ++j) centres(c, j - 1) = spaced_centre(lowest, highest, class_count, j);
  }
}

CImg<float> given_centres(const centre_table& given, int class_count, int channels, int all_columns, const char* role,
                          int class_count_setting) {
  const auto rows = static_cast<unsigned long long>(given.classes);
  const auto columns = static_cast<unsigned long long>(given.channels);
  if (rows != static_cast<unsigned long long>(class_count)) {
    char text[300];
    std::snprintf(text, sizeof text, "%s have %llu row%s; expected %d, one for each class of the class count.", role,
                  rows, rows == 1 ? "" : "s", class_count);
    throw refusal("badCentres", text, class_count_setting);
  }
  const bool all = columns == static_cast<unsigned long long>(all_columns);
  if (columns != static_cast<unsigned long long>(channels) && !all)
    refuse("badCentres", "%s are %llu x %llu (classes x channels); expected %d x %d.", role, rows, columns, class_count,
           channels);
  if (given.values.size() != rows * columns)
    refuse("badCentres", "%s report %llu x %llu values but hold %llu.", role, rows, columns,
           static_cast<unsigned long long>(given.values.size()));
  CImg<float> centres(channels, class_count, 1, 1, 0.0f);
  for (int k = 0; k < class_count; ++k)
    for (int c = 0; c < channels; ++c) {
      const double value = given.values[std::size_t(k) * columns + std::size_t(c)];
      const float rounded = static_cast<float>(value);
      if (!std::isfinite(rounded))
        refuse("badCentres",
               "%s hold %g for class %d in channel %d; expected finite values within the single "
               "precision range.",
               role, value, k, c);
      centres(c, k) = rounded;
    }
  return centres;
}

}  // namespace core
