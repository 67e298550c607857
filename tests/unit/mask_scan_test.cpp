// The mask's scans, which pass over bytes 32 and eight at a time, and the
// runs they list, against a scan byte by byte: runs that start and end on
// every alignment, at either end of a row, and rows with nothing or
// everything inside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/call_threads.h"
#include "core/mask.h"

namespace {

std::vector<unsigned char> mask_with_runs(std::size_t length, std::size_t seed) {
  std::vector<unsigned char> inside(length);
  std::size_t state = seed;
  for (std::size_t i = 0; i < length;) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const std::size_t run = 1 + (state >> 33) % 23;
    for (std::size_t j = i; j < i + run && j < length; ++j) inside[j] = (state >> 20) & 1 ? 3 : 0;
    i += run;
  }
  return inside;
}

TEST(MaskScans, find_what_a_scan_byte_by_byte_finds) {
  for (std::size_t seed = 1; seed <= 40; ++seed) {
    const std::size_t width = 1 + seed % 37, rows = 5;
    std::vector<unsigned char> inside = mask_with_runs(width * rows, seed);
    if (seed % 5 == 0) std::fill(inside.begin(), inside.begin() + width, 0);
    if (seed % 7 == 0) std::fill(inside.end() - width, inside.end(), 1);
    const core::pixel_mask mask{inside.data()};
    std::vector<core::inside_span> expected;
    for (std::size_t r = 0; r < rows; ++r) {
      std::size_t begin = width, end = 0;
      for (std::size_t x = 0; x < width; ++x)
        if (inside[r * width + x]) begin = std::min(begin, x), end = x + 1;
      const core::inside_span span = core::span_inside(mask, r * width, width);
      if (begin > end) begin = end = span.begin;  // none inside: any empty span
      EXPECT_EQ(span.begin, begin) << "seed " << seed << " row " << r;
      EXPECT_EQ(span.end, end) << "seed " << seed << " row " << r;
      if (begin == end) continue;
      if (!expected.empty() && expected.back().end == r * width + begin)
        expected.back().end = r * width + end;
      else
        expected.push_back({r * width + begin, r * width + end});
    }
    for (const int threads : {1, 3}) {
      core::call_threads call(threads, 1);
      const std::vector<core::inside_span> runs = core::inside_runs(mask, inside.size(), width, call);
      ASSERT_EQ(runs.size(), expected.size()) << "seed " << seed;
      for (std::size_t k = 0; k < runs.size(); ++k) {
        EXPECT_EQ(runs[k].begin, expected[k].begin) << "seed " << seed;
        EXPECT_EQ(runs[k].end, expected[k].end) << "seed " << seed;
      }
    }
    // The listed runs: each maximal run inside, cut at the rows' ends.
    const std::vector<core::inside_span> listed = core::list_runs(mask, inside.size(), width);
    std::vector<core::inside_span> each;
    for (std::size_t i = 0; i < inside.size(); ++i)
      if (inside[i] && (i % width == 0 || !inside[i - 1] || each.empty()))
        each.push_back({i, i + 1});
      else if (inside[i])
        each.back().end = i + 1;
    ASSERT_EQ(listed.size(), each.size()) << "seed " << seed;
    for (std::size_t k = 0; k < each.size(); ++k)
      EXPECT_TRUE(listed[k].begin == each[k].begin && listed[k].end == each[k].end) << "seed " << seed;
    for (std::size_t from = 0; from < inside.size(); from += 3) {
      std::size_t zeros = 0;
      while (from + zeros < inside.size() && !inside[from + zeros]) ++zeros;
      EXPECT_EQ(core::zeros_ahead(inside.data() + from, inside.size() - from), zeros) << "seed " << seed;
    }
  }
}

// Long stretches outside, passed over a block at a time, with the first and
// the last pixel inside at every distance from the ends.
TEST(MaskScans, pass_long_stretches_outside) {
  for (std::size_t length : {31, 32, 33, 64, 97, 200})
    for (std::size_t first = 0; first < length; ++first) {
      std::vector<unsigned char> inside(length, 0);
      const std::size_t last = std::max(first, length - 1 - first / 2);
      inside[last] = 2;
      inside[first] = 1;
      EXPECT_EQ(core::zeros_ahead(inside.data(), length), first) << length;
      const core::inside_span span = core::span_inside(core::pixel_mask{inside.data()}, 0, length);
      EXPECT_EQ(span.begin, first) << length;
      EXPECT_EQ(span.end, last + 1) << length;
    }
  const std::vector<unsigned char> outside(100, 0);
  EXPECT_EQ(core::zeros_ahead(outside.data(), outside.size()), outside.size());
}

}  // namespace
