#include "initial_centres.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "call_threads.h"
#include "refusal.h"
#include "vectors.h"

namespace core {

namespace {

// The value one pass in order finds, with its rule for equal bounds.
value_range range_in_order(const float* values, std::size_t begin, std::size_t end) {
  value_range range;
  for (std::size_t i = begin; i < end; ++i) {
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

// Float bits as integers in the order of their values (-0 just below 0), and
// back: the bounds of a run are then integer minima and maxima, which select
// rather than branch and so run on vectors.
inline std::int32_t ordered_key(std::int32_t bits) { return bits ^ ((bits >> 31) & 0x7fffffff); }
inline float value_of_key(std::int32_t key) {
  const std::int32_t bits = key ^ ((key >> 31) & 0x7fffffff);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

struct key_range {
  std::int32_t lowest = std::numeric_limits<std::int32_t>::max(), highest = std::numeric_limits<std::int32_t>::min();
  bool negative_zero = false;
};

struct finite_keys {
  static VECTOR_INLINE key_range run(const float* values, std::size_t begin, std::size_t end) {
    constexpr std::int32_t infinity_bits = 0x7f800000, negative_zero = std::numeric_limits<std::int32_t>::min();
    std::int32_t lowest = key_range{}.lowest, highest = key_range{}.highest, zero = 0;
    for (std::size_t i = begin; i < end; ++i) {
      std::int32_t bits;
      std::memcpy(&bits, values + i, sizeof bits);
      const std::int32_t finite = -std::int32_t((bits & 0x7fffffff) < infinity_bits);  // all ones or 0
      const std::int32_t key = ordered_key(bits);
      lowest = std::min(lowest, (key & finite) | (key_range{}.lowest & ~finite));
      highest = std::max(highest, (key & finite) | (key_range{}.highest & ~finite));
      zero |= std::int32_t(bits == negative_zero);
    }
    return key_range{lowest, highest, zero != 0};
  }
};

// The range of values[begin .. end), as range_in_order finds it: the integer
// bounds agree with it except on which zero a bound of 0 is, and only when a
// -0 is among the values does the pass in order decide that.
value_range range_of_run(const float* values, std::size_t begin, std::size_t end) {
  const key_range keys = on_widest_vectors<finite_keys>(values, begin, end);
  if (keys.lowest > keys.highest) return {};
  const value_range range{true, value_of_key(keys.lowest), value_of_key(keys.highest)};
  if (keys.negative_zero && (range.lowest == 0 || range.highest == 0)) return range_in_order(values, begin, end);
  return range;
}

value_range finite_range_in_order(const float* values, std::size_t count, const unsigned char* inside) {
  if (!inside) return range_of_run(values, 0, count);
  value_range range;
  for (std::size_t i = 0; i < count;) {
    i += outside_run(pixel_mask{inside}, i, count - i);
    const void* next_outside = std::memchr(inside + i, 0, count - i);
    const std::size_t end =
        next_outside ? std::size_t(static_cast<const unsigned char*>(next_outside) - inside) : count;
    extend_range(range, range_of_run(values, i, end));
    i = end;
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

namespace {

// The parts' ranges, in order, as one: false when none found a value.
bool merged_ranges(const std::vector<value_range>& ranges, float& lowest, float& highest) {
  value_range whole;
  for (const value_range& range : ranges) extend_range(whole, range);
  if (whole.found) {
    lowest = whole.lowest;
    highest = whole.highest;
  }
  return whole.found;
}

}  // namespace

bool finite_range(const float* values, std::size_t count, float& lowest, float& highest, call_threads& threads,
                  const unsigned char* inside) {
  const int parts = useful_parts(threads, count, range_share);
  std::vector<value_range> ranges(static_cast<std::size_t>(parts));
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    const share mine = share_of(count, part, part_count);
    ranges[std::size_t(part)] =
        finite_range_in_order(values + mine.begin, mine.end - mine.begin, inside ? inside + mine.begin : nullptr);
  });
  return merged_ranges(ranges, lowest, highest);
}

bool finite_range(const float* values, std::size_t count, float& lowest, float& highest, call_threads& threads,
                  const pixel_mask& mask) {
  if (!mask.runs) return finite_range(values, count, lowest, highest, threads, mask.inside);
  const std::vector<inside_span>& runs = *mask.runs;
  const std::size_t total = run_pixels(runs);
  const int parts = useful_parts(threads, total, range_share);
  std::vector<value_range> ranges(static_cast<std::size_t>(parts));
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    for_runs_of_part(runs, total, part, part_count, [&](std::size_t begin, std::size_t end) {
      extend_range(ranges[std::size_t(part)], range_of_run(values, begin, end));
    });
  });
  return merged_ranges(ranges, lowest, highest);
}

float spaced_centre(float lowest, float highest, int class_count, int j) {
  return static_cast<float>(((double(highest) - double(lowest)) / (double(class_count) + 1.0)) * j + lowest);
}

void spread_centres(const CImg<float>& image, int channels, int class_count, CImg<float>& centres,
                    call_threads& threads, const pixel_mask& mask) {
  const std::size_t channel_size = std::size_t(image.width()) * image.height() * image.depth();
  for (int c = 0; c < channels; ++c) {
    float lowest = 0, highest = 0;
    if (!finite_range(image.data(0, 0, 0, c), channel_size, lowest, highest, threads, mask)) continue;
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
