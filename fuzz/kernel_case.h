// What the kernel fuzz targets share: pixel values drawn from the input,
// small images built from them, a bound on the reference's work, and the
// bit-for-bit comparison.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "core/image.h"
#include "input_reader.h"

namespace fuzz {

// How an image's values are drawn: small whole numbers (many equal costs,
// so ties decide), special values among small whole numbers, raw bit
// patterns, or fractions on a scale that may itself be huge or NaN.
struct value_source {
  int mode;
  int range;
  float scale;
  explicit value_source(input_reader& in)
      : mode(in.between(0, 3)), range(in.between(1, 6)), scale(as_float(in.special())) {}

  float next(input_reader& in) const {
    switch (mode) {
      case 0:
        return float(in.between(0, range));
      case 1: {
        const std::uint8_t code = in.byte();
        return code < 0xA0 ? float(code % (range + 1)) : as_float(special_values[code % special_count]);
      }
      case 2:
        return in.raw_float();
      default:
        return scale * (float(in.byte()) / 255.0f) - scale / 4;
    }
  }
};

// An image W x H x D x S; with S = 0 it keeps its extents but holds no pixels,
// as the host boundary gives it for an array with no channels.
inline CImg<float> random_image(input_reader& in, const value_source& values, int width, int height, int depth,
                                int channels) {
  CImg<float> image;
  if (channels == 0) {
    image._width = unsigned(width);
    image._height = unsigned(height);
    image._depth = unsigned(depth);
    return image;
  }
  image.assign(width, height, depth, channels);
  cimg_foroff(image, i) image[i] = values.next(in);
  return image;
}

// Truncation toward zero as the settings take it, when the value is one the
// settings accept as a whole number.
inline bool whole_setting(float value, int& whole) {
  if (!(value >= -2147483648.0f && value < 2147483648.0f)) return false;
  whole = static_cast<int>(value);
  return true;
}

// The reference visits the whole square around a pixel for every class in
// every sweep. Where the window, iteration and class settings (at the given
// positions) would all be accepted but make that more than a few million
// steps, they are halved in turn until it is not; other settings stay. The
// fast kernels start `threads` - 1 threads a few times per iteration, even
// for a tiny image in this build: each start counts as many steps.
inline void keep_reference_work_small(CImg<float>& settings, double pixels, std::initializer_list<int> positions,
                                      int threads) {
  constexpr double thread_start = 2e4;
  const int* at = positions.begin();
  int window = 0, iterations = 0, classes = 0;
  if (!whole_setting(settings[at[0]], window) || !whole_setting(settings[at[1]], iterations) ||
      !whole_setting(settings[at[2]], classes))
    return;
  if (classes < 1 || classes > 16777216 || window > 46340 || window < -46340) return;
  const auto work = [&] {
    const double side = std::fabs(double(window)) + 1;
    return double(std::max(iterations, 1)) * (pixels * classes * side * side + thread_start * (threads - 1));
  };
  while (work() > 2e6) {
    if (iterations > 1)
      iterations /= 2;
    else if (classes > 1)
      classes /= 2;
    else
      window /= 2;
  }
  settings[at[0]] = float(window);
  settings[at[1]] = float(iterations);
  settings[at[2]] = float(classes);
}

// Threads for the kernels' call: one, a few, more than the cores, and as
// many as the widest image has columns; every count must give the
// reference's labels.
inline int thread_count(input_reader& in) {
  static const int counts[] = {1, 2, 3, 7, 16};
  return counts[in.byte() % 5];
}

// With FUZZ_DESCRIBE set, a case is written to stderr: a reproducer in words.
inline void describe(const char* images, const CImg<float>& settings, int threads, const std::string& refusal) {
  if (!std::getenv("FUZZ_DESCRIBE")) return;
  std::fprintf(stderr, "%s, %d threads, settings", images, threads);
  cimg_foroff(settings, i) std::fprintf(stderr, " %g", double(settings[i]));
  std::fprintf(stderr, ": %s\n", refusal.empty() ? "labels" : refusal.c_str());
}

inline bool same_bits(const CImg<float>& a, const CImg<float>& b) {
  return a.is_sameXYZC(b) && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace fuzz
