#include "initial_centres.h"

#include <cmath>
#include <vector>

#include "call_threads.h"

namespace core {

namespace {

value_range finite_range_in_order(const float* values, std::size_t count, const unsigned char* inside) {
  value_range range;
  for (std::size_t i = 0; i < count; ++i) {
    const float v = values[i];
    if (!std::isfinite(v) || (inside && !inside[i])) continue;
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
  const int parts = useful_parts(threads.count(), count, range_share);
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

}  // namespace core
