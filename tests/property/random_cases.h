// What both property tests draw their random cases with, and how they compare
// results.
//
// The cases come from fixed seeds and the raw output of std::mt19937 (whose
// sequence the standard fixes), so every run and every platform sees the same
// inputs. A failure names the seed that reproduces it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "core/call_threads.h"
#include "core/image.h"

namespace property {

// Whether this build runs under AddressSanitizer, where the reference iteration
// is slow and the tests draw fewer cases.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized_build = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized_build = true;
#else
constexpr bool sanitized_build = false;
#endif
#else
constexpr bool sanitized_build = false;
#endif

// The scale of the case counts: `usual`, or PROPERTY_CASE_SCALE where set (a
// whole number from 1), for runs under a slow checker such as valgrind.
inline std::uint32_t case_scale_or(std::uint32_t usual) {
  const char* wanted = std::getenv("PROPERTY_CASE_SCALE");
  const int scale = wanted ? std::atoi(wanted) : 0;
  return scale > 0 ? std::uint32_t(scale) : usual;
}

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

struct draw {
  std::mt19937 engine;
  explicit draw(std::uint32_t seed) : engine(seed) {}
  // A whole number from lo to hi inclusive.
  int between(int lo, int hi) { return lo + int(engine() % std::uint32_t(hi - lo + 1)); }
  bool chance(int percent) { return between(1, 100) <= percent; }
  float unit() { return float(engine() >> 8) / 16777216.0f; }
  template <class T, std::size_t n>
  T one_of(const T (&values)[n]) {
    return values[between(0, int(n) - 1)];
  }
};

// Which iterations a case runs with the edge term: none, all, or those after
// a few plain ones.
enum class phase { plain_only, edge_from_start, plain_then_edge };

// The last plain iteration T for `iterations` iterations in all.
inline int last_plain_iteration(draw& d, phase kind, int iterations) {
  switch (kind) {
    case phase::plain_only:
      return d.between(iterations > 1 ? iterations - 1 : 0, iterations + 3);
    case phase::edge_from_start:
      return d.between(-4, -1);
    case phase::plain_then_edge:
      break;
  }
  return d.between(0, iterations > 2 ? iterations - 2 : 0);
}

// What a case may vary; each group of tests pins some of it.
struct case_shape {
  int largest_extent = 9;
  int largest_depth = 3;
  int smallest_class_count = 1;
  int largest_class_count = 8;
  int smallest_channels = 1;
  int largest_channels = 4;
  int no_channel_percent = 0;  // cases with no channel at all
  int nan_percent = 0;
  bool single_line = false;          // W or H equal to 1
  bool window_beyond_image = false;  // a disc wider than the image
  int lane_breaking_percent = 0;     // of those, discs too wide to tally column by column
};

struct case_geometry {
  int width, height, depth, channels, classes, window;
};

inline case_geometry draw_geometry(draw& d, const case_shape& shape) {
  case_geometry g;
  g.width = d.between(1, shape.largest_extent);
  g.height = d.between(1, shape.largest_extent);
  if (shape.single_line) (d.chance(50) ? g.width : g.height) = 1;
  g.depth = d.between(1, shape.largest_depth);
  g.channels = d.between(d.chance(shape.no_channel_percent) ? 0 : shape.smallest_channels, shape.largest_channels);
  g.classes = d.between(shape.smallest_class_count, shape.largest_class_count);
  const int larger_extent = std::max(g.width, g.height);
  g.window = !shape.window_beyond_image              ? d.between(-2, std::min(larger_extent + 3, 12))
             : d.chance(shape.lane_breaking_percent) ? d.between(34, 70)
                                                     : d.between(2 * larger_extent, 4 * larger_extent + 6);
  return g;
}

// Pixel values: small whole numbers (many equal costs, so the tie rule
// decides often) or spread-out fractions; a share replaced by NaN or
// infinities.
inline void fill_values(draw& d, CImg<float>& image, int nan_percent) {
  const bool whole_numbers = d.chance(55);
  const int range = d.between(1, 6);
  const float scale = d.chance(20) ? 3000.0f : 100.0f;
  cimg_foroff(image, i) {
    image[i] = whole_numbers ? float(d.between(0, range)) : scale * d.unit() - scale / 4;
    if (nan_percent > 0 && d.chance(nan_percent)) image[i] = d.chance(75) ? nan : (d.chance(50) ? inf : -inf);
  }
}

// Labels to start a sweep from: mostly class indices, sometimes a value that
// is no class (it differs from every class and stays where no class wins).
inline CImg<float> random_labels(draw& d, int width, int height, int depth, int classes, bool only_classes) {
  CImg<float> labels(width, height, depth, 1);
  const float strangers[] = {0.5f, -1.0f, float(classes), nan, -0.0f};
  cimg_foroff(labels, i) labels[i] =
      (!only_classes && d.chance(10)) ? d.one_of(strangers) : float(d.between(0, classes - 1));
  return labels;
}

inline CImg<float> random_centres(draw& d, int channels, int classes) {
  CImg<float> centres(channels, classes);
  cimg_foroff(centres, i) centres[i] = d.chance(50) ? float(d.between(0, 6)) : 10 * d.unit();
  return centres;
}

// check(seed) for `count` consecutive seeds, until a check fails fatally.
template <class Check>
void for_seeds(std::uint32_t first_seed, int count, Check&& check) {
  for (int i = 0; i < count && !::testing::Test::HasFatalFailure(); ++i) check(first_seed + std::uint32_t(i));
}

// "seed S: <images>, settings v1 v2 ...", what a failure reports.
template <std::size_t n>
std::string describe(std::uint32_t seed, const std::string& images, const float (&settings)[n]) {
  std::ostringstream text;
  text << "seed " << seed << ": " << images << ", settings";
  for (const float v : settings) text << " " << v;
  return text.str();
}

inline bool same_bits(const CImg<float>& a, const CImg<float>& b) {
  return a.is_sameXYZC(b) && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The least work a part of a test's call takes: one item, so that even these
// tiny images are split between threads as large ones are.
constexpr std::size_t least_share = 1;

// The thread counts the cases run with; 1 is the sequential kernel.
constexpr int thread_counts[] = {1, 2, 3, 7, 16};

// The counts one case runs with: 1 and, in turn from case to case, one of
// the others, so that every count meets every kind of case without a team of
// threads for each count in every sweep of every case.
inline std::array<int, 2> thread_counts_for(std::uint32_t seed) { return {1, thread_counts[1 + seed % 4]}; }

// Whole calls for `count` consecutive seeds: the fast labels fast(c, threads)
// and the reference's reference(c) of each case c = make(seed) must agree
// bit for bit.
template <class Make, class Fast, class Reference>
void expect_same_labels_for(std::uint32_t first_seed, int count, Make&& make, Fast&& fast, Reference&& reference) {
  for_seeds(first_seed, count, [&](std::uint32_t seed) {
    const auto c = make(seed);
    const CImg<float> expected = reference(c);
    for (const int threads : thread_counts_for(seed))
      ASSERT_TRUE(same_bits(fast(c, threads), expected)) << c.description << ", threads " << threads;
  });
}

}  // namespace property
