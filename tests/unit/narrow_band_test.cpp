#include "tamvel/narrow_band.h"
#include "tamvel/recursive_gaussian.h"
#include "core/call_threads.h"
#include "core/kept_buffers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread;

const float nan_f = std::numeric_limits<float>::quiet_NaN();

void expect_extents(const CImg<float>& img, int width, int height, int depth, int spectrum) {
  EXPECT_EQ(img.width(), width);
  EXPECT_EQ(img.height(), height);
  EXPECT_EQ(img.depth(), depth);
  EXPECT_EQ(img.spectrum(), spectrum);
}

std::size_t pixels_in_band(const CImg<float>& band) {
  std::size_t count = 0;
  cimg_forXYZ(band, x, y, z) count += tamvel::in_band(band, x, y, z);
  return count;
}

// Two classes side by side: `left` for x < split, `right` from there on.
CImg<float> vertical_boundary(int width, int height, int split, float left, float right) {
  CImg<float> labels(width, height, 1, 1);
  cimg_forXY(labels, x, y) labels(x, y) = x < split ? left : right;
  return labels;
}

void expect_bit_equal(const CImg<float>& actual, const CImg<float>& expected) {
  ASSERT_TRUE(actual.is_sameXYZC(expected));
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "at " << i;
}

// ---------------------------------------------------------------------------
// The band before any rebuild, and the test of a band value.

TEST(initial_band, puts_every_pixel_in_the_band) {
  const CImg<float> band = tamvel::initial_band(4, 3, 2);
  expect_extents(band, 4, 3, 2, 1);
  for (std::size_t i = 0; i < band.size(); ++i) EXPECT_EQ(band[i], 1.0f);
  EXPECT_EQ(pixels_in_band(band), 24u);
}

TEST(in_band, float_nearest_the_threshold_is_outside) {
  // The float nearest 0.01 is 0.0099999998, below the double 0.01.
  ASSERT_LT(double(0.01f), 0.01);
  CImg<float> band(3, 2, 1, 1, 0.0f);
  band(0, 0) = 0.01f;
  band(1, 0) = -0.01f;
  band(2, 0) = 0.0099999998f;
  band(0, 1) = 0.0100001f;
  band(1, 1) = -0.0100001f;
  band(2, 1) = 0.0f;
  EXPECT_FALSE(tamvel::in_band(band, 0, 0, 0));
  EXPECT_FALSE(tamvel::in_band(band, 1, 0, 0));
  EXPECT_FALSE(tamvel::in_band(band, 2, 0, 0));
  EXPECT_TRUE(tamvel::in_band(band, 0, 1, 0));
  EXPECT_TRUE(tamvel::in_band(band, 1, 1, 0));
  EXPECT_FALSE(tamvel::in_band(band, 2, 1, 0));
}

TEST(in_band, nan_is_outside) {
  const CImg<float> band(1, 1, 1, 1, nan_f);
  EXPECT_FALSE(tamvel::in_band(band, 0, 0, 0));
}

// ---------------------------------------------------------------------------
// The smoothing scale.

TEST(resolve_band_sigma, non_negative_sigma_is_used_as_given) {
  EXPECT_EQ(tamvel::resolve_band_sigma(3.25f, 10, 20, 1), 3.25f);
  EXPECT_EQ(tamvel::resolve_band_sigma(0.0f, 10, 20, 1), 0.0f);
}

TEST(resolve_band_sigma, negative_sigma_is_a_percentage_of_the_largest_extent) {
  EXPECT_EQ(tamvel::resolve_band_sigma(-2.0f, 256, 128, 1), 5.12f);
  EXPECT_EQ(tamvel::resolve_band_sigma(-2.0f, 128, 256, 1), 5.12f);
  EXPECT_EQ(tamvel::resolve_band_sigma(-10.0f, 40, 30, 200), 20.0f);
  EXPECT_EQ(tamvel::resolve_band_sigma(-0.5f, 4, 6, 10), 0.05f);
}

// ---------------------------------------------------------------------------
// Rebuilding the band from the labels.

TEST(rebuild_band, keeps_pixels_near_a_boundary_and_drops_far_ones) {
  const CImg<float> labels = vertical_boundary(16, 8, 8, 0, 1);
  const CImg<float> band = tamvel::rebuild_band(labels, 1.0f, one_thread);
  expect_extents(band, 16, 8, 1, 1);
  for (int y = 0; y < 8; ++y) {
    for (int x : {6, 7, 8, 9}) EXPECT_TRUE(tamvel::in_band(band, x, y, 0)) << x << "," << y;
    for (int x : {0, 1, 2, 3, 12, 13, 14, 15}) EXPECT_FALSE(tamvel::in_band(band, x, y, 0)) << x << "," << y;
    // Below the boundary the smoothed copy is pulled up by class 1, above it
    // pulled down by class 0.
    EXPECT_LT(band(7, y), 0.0f);
    EXPECT_GT(band(8, y), 0.0f);
  }
}

TEST(rebuild_band, band_widens_with_the_index_gap_of_the_classes) {
  const std::size_t gap_one =
      pixels_in_band(tamvel::rebuild_band(vertical_boundary(32, 2, 16, 0, 1), 2.0f, one_thread));
  const std::size_t gap_three =
      pixels_in_band(tamvel::rebuild_band(vertical_boundary(32, 2, 16, 0, 3), 2.0f, one_thread));
  EXPECT_GT(gap_one, 0u);
  EXPECT_GT(gap_three, gap_one);
}

TEST(rebuild_band, single_class_gives_an_empty_band) {
  const CImg<float> labels(9, 7, 3, 1, 2.0f);
  const CImg<float> band = tamvel::rebuild_band(labels, 2.0f, one_thread);
  expect_extents(band, 9, 7, 3, 1);
  EXPECT_EQ(pixels_in_band(band), 0u);
}

TEST(rebuild_band, sigma_below_a_tenth_leaves_the_labels_unsmoothed_and_the_band_empty) {
  const CImg<float> labels = vertical_boundary(12, 6, 6, 0, 1);
  for (const float sigma : {0.0f, 0.05f, 0.09f}) {
    const CImg<float> band = tamvel::rebuild_band(labels, sigma, one_thread);
    expect_extents(band, 12, 6, 1, 1);
    for (std::size_t i = 0; i < band.size(); ++i) EXPECT_EQ(band[i], 0.0f) << "sigma " << sigma;
  }
}

TEST(rebuild_band, small_negative_sigma_resolving_below_a_tenth_empties_the_band) {
  // 1 % of 8 is 0.08.
  const CImg<float> band = tamvel::rebuild_band(vertical_boundary(8, 8, 4, 0, 1), -1.0f, one_thread);
  for (std::size_t i = 0; i < band.size(); ++i) EXPECT_EQ(band[i], 0.0f);
}

TEST(rebuild_band, negative_sigma_equals_the_resolved_sigma_on_every_axis) {
  // A block of class 1 in a 16 x 8 image: 25 % of the largest extent is 4.
  CImg<float> labels(16, 8, 1, 1, 0.0f);
  cimg_forXY(labels, x, y) if (x >= 4 && x < 12 && y >= 2 && y < 6) labels(x, y) = 1;
  const CImg<float> as_percentage = tamvel::rebuild_band(labels, -25.0f, one_thread);
  expect_bit_equal(as_percentage, tamvel::rebuild_band(labels, 4.0f, one_thread));

  // The library's own reading of -25 would take 25 % of each axis (2 along y).
  const CImg<float> per_axis = labels.get_deriche(-25.0f, 0, 'x', 1).deriche(-25.0f, 0, 'y', 1);
  bool differs = false;
  for (std::size_t i = 0; i < labels.size(); ++i) differs |= as_percentage[i] != labels[i] - per_axis[i];
  EXPECT_TRUE(differs);
}

TEST(rebuild_band, one_pixel_wide_labels_are_smoothed_along_y_only) {
  CImg<float> labels(1, 16, 1, 1);
  cimg_forY(labels, y) labels(0, y) = y < 8 ? 0.0f : 1.0f;
  const CImg<float> band = tamvel::rebuild_band(labels, 1.0f, one_thread);
  expect_extents(band, 1, 16, 1, 1);
  for (int y : {7, 8}) EXPECT_TRUE(tamvel::in_band(band, 0, y, 0)) << y;
  for (int y : {0, 1, 2, 13, 14, 15}) EXPECT_FALSE(tamvel::in_band(band, 0, y, 0)) << y;

  const CImg<float> smoothed_along_y = labels.get_deriche(1.0f, 0, 'y', 1);
  for (int y = 0; y < 16; ++y) EXPECT_EQ(band(0, y), labels(0, y) - smoothed_along_y(0, y)) << y;
}

TEST(rebuild_band, volume_labels_are_smoothed_along_z_too) {
  // Every slice is a single class, so only the z pass can bring a pixel into
  // the band.
  CImg<float> labels(3, 2, 12, 1);
  cimg_forXYZ(labels, x, y, z) labels(x, y, z) = z < 6 ? 0.0f : 2.0f;
  const CImg<float> band = tamvel::rebuild_band(labels, 1.0f, one_thread);
  expect_extents(band, 3, 2, 12, 1);
  cimg_forXY(labels, x, y) {
    for (int z : {4, 5, 6, 7}) EXPECT_TRUE(tamvel::in_band(band, x, y, z)) << z;
    for (int z : {0, 1, 10, 11}) EXPECT_FALSE(tamvel::in_band(band, x, y, z)) << z;
  }
}

TEST(rebuild_band, labels_passed_in_are_not_modified) {
  CImg<float> labels(10, 6, 2, 1, 0.0f);
  cimg_forXYZ(labels, x, y, z) labels(x, y, z) = float((x / 3 + y + z) % 3);
  const CImg<float> before(labels, false);
  const CImg<float> band = tamvel::rebuild_band(labels, 1.5f, one_thread);
  EXPECT_GT(pixels_in_band(band), 0u);
  expect_bit_equal(labels, before);
}

TEST(rebuild_band, empty_labels_give_an_empty_band) {
  EXPECT_TRUE(tamvel::rebuild_band(CImg<float>(), 2.0f, one_thread).is_empty());
  EXPECT_TRUE(tamvel::rebuild_band(CImg<float>(), -2.0f, one_thread).is_empty());
}

// With a mask, each run of pixels inside along an axis is smoothed as a line
// of its own by the library's filter, x, then y, then z; the band is the
// labels less that inside; outside, whatever the buffer held. The masks are scattered (runs of
// every length, one pixel too) or hold whole boxes of columns, rows and
// slices, with the image's border on either side or neither.
TEST(rebuild_band, masked_band_smooths_each_run_inside_as_a_line_of_its_own) {
  struct box {
    int width, height, depth, first_column, end_column, first_row, end_row, first_slice, end_slice;
  };
  const box boxes[] = {{11, 14, 7, 2, 8, 3, 9, 2, 5}, {20, 16, 1, 5, 20, 0, 5, 0, 1}, {9, 10, 4, 0, 4, 4, 10, 0, 3},
                       {12, 9, 3, 6, 7, 4, 5, 1, 2},  {7, 8, 5, 0, 7, 0, 8, 0, 5},    {30, 6, 1, 9, 10, 0, 6, 0, 1}};
  unsigned state = 777u;
  for (const box& b : boxes)
    for (const unsigned holes : {7u, 1u, 0u}) {
      CImg<float> labels(b.width, b.height, b.depth, 1);
      CImg<unsigned char> inside(b.width, b.height, b.depth, 1, 0);
      cimg_forXYZ(labels, x, y, z) {
        state = state * 1664525u + 1013904223u;
        labels(x, y, z) = float(state >> 30);
        inside(x, y, z) = x >= b.first_column && x < b.end_column && y >= b.first_row && y < b.end_row &&
                          z >= b.first_slice && z < b.end_slice && (state & holes) != 0;
      }
      if (holes == 0) inside.fill(1);
      for (const float sigma : {0.05f, 1.5f, 6.0f}) {
        SCOPED_TRACE(testing::Message() << b.width << "x" << b.height << "x" << b.depth << " sigma " << sigma
                                        << " holes " << holes);
        CImg<float> smoothed = labels;
        for (const int axis : {0, 1, 2}) {
          const int extent[] = {b.width, b.height, b.depth};
          cimg_forXYZ(smoothed, x, y, z) {
            int at[] = {x, y, z};
            const bool starts =
                inside(x, y, z) && (at[axis] == 0 || !inside(x - (axis == 0), y - (axis == 1), z - (axis == 2)));
            if (!starts) continue;
            CImg<float> line(extent[axis], 1, 1, 1);
            int length = 0;
            for (int m = at[axis]; m < extent[axis]; ++m, ++length) {
              at[axis] = m;
              if (!inside(at[0], at[1], at[2])) break;
              line[length] = smoothed(at[0], at[1], at[2]);
            }
            line.crop(0, length - 1).deriche(sigma, 0, 'x', 1);
            for (int m = 0; m < length; ++m) {
              at[axis] = (axis == 0 ? x : axis == 1 ? y : z) + m;
              smoothed(at[0], at[1], at[2]) = line[m];
            }
          }
        }
        const CImg<float> band = tamvel::rebuild_band(labels, sigma, one_thread, core::mask_of(inside));
        for (std::size_t i = 0; i < labels.size(); ++i)
          if (inside[i]) {
            ASSERT_EQ(band[i], labels[i] - smoothed[i]) << "at " << i;
          }
        if (holes == 0) expect_bit_equal(band, tamvel::rebuild_band(labels, sigma, one_thread));
        core::call_threads three(3, 1);
        const CImg<float> shared = tamvel::rebuild_band(labels, sigma, three, core::mask_of(inside));
        for (std::size_t i = 0; i < labels.size(); ++i)
          if (inside[i]) {
            ASSERT_EQ(shared[i], band[i]) << "at " << i;
          }
      }
    }
}

// The band's buffer may be a kept one, holding anything outside the mask:
// NaN and subnormal numbers there change no value inside.
TEST(rebuild_band, masked_band_ignores_what_its_buffer_held_outside) {
  CImg<float> labels(128, 128, 1, 1);
  CImg<unsigned char> inside(128, 128, 1, 1);
  cimg_forXY(labels, x, y) {
    labels(x, y) = float((x / 16 + y / 24) % 3);
    inside(x, y) = (x - 64) * (x - 64) + (y - 60) * (y - 60) < 50 * 50 && (x + y) % 7 != 0;
  }
  const auto band_over = [&](float held) {
    core::keep_for_reuse(CImg<float>(128, 128, 1, 1, held));
    return tamvel::rebuild_band(labels, 3.0f, one_thread, core::mask_of(inside));
  };
  const CImg<float> from_zeros = band_over(0.0f);
  for (const float held : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::denorm_min()}) {
    const CImg<float> band = band_over(held);
    for (std::size_t i = 0; i < band.size(); ++i)
      if (inside[i]) {
        ASSERT_EQ(band[i], from_zeros[i]) << "at " << i;
      }
  }
}

// ---------------------------------------------------------------------------
// The smoothing gives the bits of the library's filter, which smooths a copy
// of the image in place one line at a time.

TEST(smooth_along, gives_the_bits_of_the_library_filter_on_every_axis) {
  struct shape {
    int width, height, depth, spectrum;
  };
  // Line counts below, at and above the eight lines filtered together.
  const shape shapes[] = {{1, 1, 1, 1},  {2, 1, 1, 1},  {1, 13, 1, 1}, {8, 8, 1, 1},
                          {17, 9, 1, 2}, {9, 17, 5, 1}, {3, 2, 11, 3}, {40, 33, 2, 1}};
  const float sigmas[] = {0.0f, 0.09f, 0.1f, 0.7f, 2.0f, 5.5f, 300.0f};
  unsigned state = 12345u;
  for (const shape& s : shapes) {
    CImg<float> image(s.width, s.height, s.depth, s.spectrum);
    for (float& value : image) {
      state = state * 1664525u + 1013904223u;
      value = float(state >> 8) / float(1u << 24) * 7.0f - 2.0f;  // labels, or any value
      if (state % 3 == 0) value = std::floor(value);
    }
    for (const float sigma : sigmas)
      for (const char axis : {'x', 'y', 'z'}) {
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << "x" << s.depth << "x" << s.spectrum
                                        << " sigma " << sigma << " axis " << axis);
        const CImg<float> expected = image.get_deriche(sigma, 0, axis, 1);
        CImg<float> apart(image.width(), image.height(), image.depth(), image.spectrum());
        tamvel::smooth_along(image, apart, sigma, axis, one_thread);
        expect_bit_equal(apart, expected);
        CImg<float> in_place(image, false);
        tamvel::smooth_along(in_place, in_place, sigma, axis, one_thread);
        expect_bit_equal(in_place, expected);
      }
    if (s.spectrum == 1) {
      const CImg<float> smoothed = image.get_deriche(1.5f, 0, 'x', 1).deriche(1.5f, 0, 'y', 1).deriche(1.5f, 0, 'z', 1);
      const CImg<float> band = tamvel::rebuild_band(image, 1.5f, one_thread);
      for (std::size_t i = 0; i < image.size(); ++i) ASSERT_EQ(band[i], image[i] - smoothed[i]) << "at " << i;
    }
  }
}

}  // namespace
