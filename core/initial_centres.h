// Value ranges and the even spacing of initial centres, shared by both commands.
#pragma once

#include <cstddef>

#include "call_threads.h"
#include "centre_table.h"
#include "image.h"
#include "mask.h"

namespace core {

// The finite values of a run of values: none where `found` is false.
struct value_range {
  bool found = false;
  float lowest = 0, highest = 0;
};

// Widens `whole`, the range of the values so far, by the range of values
// that follow them, as one pass in order would: a later bound replaces an
// earlier one only when strictly beyond it (of 0 and -0 the first stays).
void extend_range(value_range& whole, const value_range& later);

// Smallest and largest finite value among `count` values; false when none is
// finite. NaN and infinities would otherwise drag every centre with them.
// Of equal bounds (0 and -0) the first in order is given, also when up to
// `threads` threads share the values.
// Only values whose byte in `inside` is non-zero count, where it is given.
bool finite_range(const float* values, std::size_t count, float& lowest, float& highest, call_threads& threads,
                  const unsigned char* inside = nullptr);

// The same over the pixels inside `mask`: its listed runs alone where it has
// them, with the same result.
bool finite_range(const float* values, std::size_t count, float& lowest, float& highest, call_threads& threads,
                  const pixel_mask& mask);

// Centre j (1 .. K) of K spaced evenly strictly inside [lowest, highest]:
// difference, division by K + 1, multiplication by j, addition of the lowest
// value, all in double and rounded once.
float spaced_centre(float lowest, float highest, int class_count, int j);

// centres(c, k) for channels c = 0 .. channels - 1 of `image` and every class
// k: spaced evenly inside the channel's finite range, and left as they are
// (0 in a new centre image) for a channel without any finite value. Only
// pixels inside `mask` make the ranges.
void spread_centres(const CImg<float>& image, int channels, int class_count, CImg<float>& centres,
                    call_threads& threads, const pixel_mask& mask = {});

// The centres a caller gave, as the S x K image spread_centres fills, for
// a run of `class_count` classes over `channels` channels. The table has one
// row per class and `channels` columns, or `all_columns` of which the first
// `channels` are used (a secondary image with channels the run does not
// read). Refused as badCentres: another shape (a row count other than K
// carries `class_count_setting`, the class count's position in the settings
// vector), and a value that is NaN or infinite in single precision. `role`
// names the table in the messages ("the starting centres").
CImg<float> given_centres(const centre_table& given, int class_count, int channels, int all_columns, const char* role,
                          int class_count_setting);

}  // namespace core
