#include "tamvel/edge_indicator.h"
#include "core/call_threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <vector>

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread;

// Values in storage order: x fastest, then y, z and the channel.
CImg<float> image(unsigned width, unsigned height, unsigned depth, unsigned spectrum,
                  std::initializer_list<float> values) {
  const std::vector<float> data(values);
  EXPECT_EQ(data.size(), std::size_t(width) * height * depth * spectrum);
  return CImg<float>(data.data(), width, height, depth, spectrum);
}

void expect_values(const CImg<float>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-6) << "at " << i;
}

void expect_extents(const CImg<float>& img, int width, int height, int depth, int spectrum) {
  EXPECT_EQ(img.width(), width);
  EXPECT_EQ(img.height(), height);
  EXPECT_EQ(img.depth(), depth);
  EXPECT_EQ(img.spectrum(), spectrum);
}

const float nan_f = std::numeric_limits<float>::quiet_NaN();
const float inf_f = std::numeric_limits<float>::infinity();

// Weights of the rotation-invariant masks, restated here to work out the
// expected values.
const double a = (2 - std::sqrt(2.0)) / 4;
const double b = (std::sqrt(2.0) - 1) / 2;

// ---------------------------------------------------------------------------
// Single-slice images: rotation-invariant 3 x 3 masks, clamped border.

TEST(edge_indicator_2d, flat_channel_gives_all_zero_indicator) {
  const CImg<float> primary(5, 4, 1, 1, 7.5f);
  const CImg<float> indicator = tamvel::compute_edge_indicator(primary, one_thread);
  expect_extents(indicator, 5, 4, 1, 1);
  expect_values(indicator, std::vector<double>(20, 0.0));
}

TEST(edge_indicator_2d, masks_weight_diagonal_and_axis_neighbours_differently) {
  // Only the two right-hand corners are lit:
  //   0 0 1
  //   0 0 0
  //   0 0 1
  const CImg<float> primary = image(3, 3, 1, 1, {0, 0, 1, 0, 0, 0, 0, 0, 1});
  // Worked out per pixel with clamped neighbours:
  //   left column: no lit pixel within reach, gradient 0;
  //   (1,0), (1,2): gx = a + b, gy = -a / +a;
  //   (1,1), (2,1): gx = 2a, gy = 0;
  //   (2,0), (2,2): gx = a + b, gy = -(a + b) / +(a + b), magnitude 0.5 (the largest).
  const double top_middle = 1 / (1 + std::sqrt((a + b) * (a + b) + a * a));
  const double centre = 1 / (1 + 2 * a);
  const double corner = 1 / (1 + 0.5);
  const auto norm = [&](double v) { return (v - corner) / (1 - corner); };
  const CImg<float> indicator = tamvel::compute_edge_indicator(primary, one_thread);
  expect_values(indicator, {1, norm(top_middle), 0,         //
                            1, norm(centre), norm(centre),  //
                            1, norm(top_middle), 0});
}

TEST(edge_indicator_2d, single_bright_pixel_marks_all_eight_neighbours_alike) {
  // An impulse seen by a diagonal weight a gives |g| = a * sqrt(2), by an
  // axis weight b gives |g| = b, and the two are equal for these masks.
  CImg<float> primary(5, 5, 1, 1, 0.0f);
  primary(2, 2) = 3;
  const CImg<float> indicator = tamvel::compute_edge_indicator(primary, one_thread);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 5; ++x) {
      const bool neighbour = std::abs(x - 2) <= 1 && std::abs(y - 2) <= 1 && !(x == 2 && y == 2);
      EXPECT_NEAR(indicator(x, y), neighbour ? 0.0 : 1.0, 1e-6) << x << "," << y;
    }
}

TEST(edge_indicator_2d, magnitude_grows_with_the_step) {
  // Two lit pixels of 2 and 4, far enough apart that no pixel sees both.
  // Every neighbour of a pixel of value v has |g| = b * v (corners included,
  // and also where the border clamp folds a neighbour onto itself).
  CImg<float> primary(7, 3, 1, 1, 0.0f);
  primary(1, 1) = 2;
  primary(5, 1) = 4;
  const double near2 = 1 / (1 + 2 * b), near4 = 1 / (1 + 4 * b);
  const double mid = (near2 - near4) / (1 - near4);
  const std::vector<double> row = {mid, mid, mid, 1, 0, 0, 0};
  const std::vector<double> middle_row = {mid, 1, mid, 1, 0, 1, 0};
  std::vector<double> expected(row);
  expected.insert(expected.end(), middle_row.begin(), middle_row.end());
  expected.insert(expected.end(), row.begin(), row.end());
  expect_values(tamvel::compute_edge_indicator(primary, one_thread), expected);
}

TEST(edge_indicator_2d, vertical_step_reduces_to_half_the_central_difference) {
  // For values that depend on x only, gx = (2a + b)(I(x+1) - I(x-1)) with
  // 2a + b = 1/2. Columns 0 0 2 2: |g| = 0, 1, 1, 0.
  const CImg<float> primary = image(4, 2, 1, 1, {0, 0, 2, 2, 0, 0, 2, 2});
  expect_values(tamvel::compute_edge_indicator(primary, one_thread), {1, 0, 0, 1, 1, 0, 0, 1});
}

TEST(edge_indicator_2d, single_column_or_row_clamps_onto_itself) {
  // W = 1: every x neighbour is the pixel's own column, so gx = 0 and
  // gy = (I(y+1) - I(y-1)) / 2 with y clamped: 0.5, 1.5, 1, 0. H = 1 likewise.
  const double r0 = 1 / 1.5, r1 = 1 / 2.5, r2 = 1 / 2.0;
  const auto norm = [&](double v) { return (v - r1) / (1 - r1); };
  const CImg<float> column = tamvel::compute_edge_indicator(image(1, 4, 1, 1, {0, 1, 3, 3}), one_thread);
  expect_extents(column, 1, 4, 1, 1);
  expect_values(column, {norm(r0), 0, norm(r2), 1});
  const CImg<float> row = tamvel::compute_edge_indicator(image(4, 1, 1, 1, {0, 1, 3, 3}), one_thread);
  expect_extents(row, 4, 1, 1, 1);
  expect_values(row, {norm(r0), 0, norm(r2), 1});
}

TEST(edge_indicator_2d, single_pixel_is_flat) {
  expect_values(tamvel::compute_edge_indicator(image(1, 1, 1, 1, {42}), one_thread), {0});
}

TEST(edge_indicator_2d, empty_primary_gives_empty_indicator) {
  EXPECT_TRUE(tamvel::compute_edge_indicator(CImg<float>(), one_thread).is_empty());
}

// ---------------------------------------------------------------------------
// Volumes: central differences within each slice, no z derivative.

TEST(edge_indicator_3d, slices_use_central_differences_and_ignore_z) {
  // Slice 0: a 2 in the centre. Central differences see it only from the four
  // axis neighbours, |g| = 1; the diagonal ones stay flat (a rotation-invariant
  // mask would not). The centre itself differs from slice 1 but stays flat.
  // Slice 1: a 4 in corner (0,0): |g| = 2 at (1,0) and (0,1), and
  // 2 * sqrt(2) at the corner, whose clamped neighbours include itself.
  CImg<float> primary(3, 3, 2, 1, 0.0f);
  primary(1, 1, 0) = 2;
  primary(0, 0, 1) = 4;
  const double low = 1 / (1 + 2 * std::sqrt(2.0));
  const auto norm = [&](double v) { return (v - low) / (1 - low); };
  const double h = norm(0.5), t = norm(1.0 / 3);
  const CImg<float> indicator = tamvel::compute_edge_indicator(primary, one_thread);
  expect_extents(indicator, 3, 3, 2, 1);
  expect_values(indicator, {1, h, 1,  //
                            h, 1, h,  //
                            1, h, 1,  //
                            0, t, 1,  //
                            t, 1, 1,  //
                            1, 1, 1});
}

TEST(edge_indicator_3d, change_along_z_alone_gives_flat_indicator) {
  CImg<float> primary(3, 2, 4, 1);
  cimg_forXYZ(primary, x, y, z) primary(x, y, z) = float(10 * z * z);
  expect_values(tamvel::compute_edge_indicator(primary, one_thread), std::vector<double>(24, 0.0));
}

TEST(edge_indicator_3d, thin_volume_clamps_like_a_slice) {
  // W = 1 in a volume: gx = 0, gy = (I(y+1) - I(y-1)) / 2 per slice.
  const CImg<float> primary = image(1, 3, 2, 1, {0, 2, 2, 5, 5, 5});
  // Slice 0 has |g| = 1 at y = 0 and y = 1 (raw 1/2, the smallest) and 0 at
  // y = 2; slice 1 is flat, although it differs from slice 0 all along z.
  expect_values(tamvel::compute_edge_indicator(primary, one_thread), {0, 0, 1, 1, 1, 1});
}

// ---------------------------------------------------------------------------
// Only channel 0 shapes the indicator.

TEST(edge_indicator_channels, only_channel_zero_is_used) {
  // Channel 0 is the vertical step of above; channel 1 is noise.
  const CImg<float> primary = image(4, 2, 1, 2,
                                    {0, 0, 2, 2, 0, 0, 2, 2,  //
                                     9, -40, 3, 100, 0, 77, -5, 1});
  const CImg<float> indicator = tamvel::compute_edge_indicator(primary, one_thread);
  expect_extents(indicator, 4, 2, 1, 1);
  expect_values(indicator, {1, 0, 0, 1, 1, 0, 0, 1});
}

TEST(edge_indicator_channels, edges_in_other_channels_only_give_all_zero) {
  const CImg<float> primary = image(3, 1, 2, 2,
                                    {1, 1, 1, 1, 1, 1,  //
                                     0, 50, 0, 8, 0, 8});
  const CImg<float> indicator = tamvel::compute_edge_indicator(primary, one_thread);
  expect_extents(indicator, 3, 1, 2, 1);
  expect_values(indicator, std::vector<double>(6, 0.0));
}

// ---------------------------------------------------------------------------
// Non-finite pixels.

TEST(edge_indicator_non_finite, nan_pixel_zeroes_every_pixel_that_reads_it) {
  // H = 1. The masks read the pixel itself (in gy, through the clamped rows),
  // so pixels 2, 3 and 4 see the NaN at 3 and become 0; the step 0 -> 2 gives
  // |g| = 1 at pixel 0 and 0 at pixel 1. The zeros are finite and join the
  // range: m = 0 and M = 1, so the raw values stand.
  const CImg<float> primary = image(7, 1, 1, 1, {0, 2, 0, nan_f, 0, 0, 0});
  expect_values(tamvel::compute_edge_indicator(primary, one_thread), {0.5, 1, 0, 0, 0, 1, 1});
}

TEST(edge_indicator_non_finite, infinite_pixel_zeroes_its_neighbourhood) {
  CImg<float> primary(4, 4, 1, 1, 0.0f);
  primary(0, 0) = inf_f;
  const CImg<float> indicator = tamvel::compute_edge_indicator(primary, one_thread);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(indicator(x, y), x <= 1 && y <= 1 ? 0.0f : 1.0f) << x << "," << y;
}

TEST(edge_indicator_non_finite, all_nan_primary_gives_all_zero) {
  const CImg<float> primary(3, 3, 2, 1, nan_f);
  expect_values(tamvel::compute_edge_indicator(primary, one_thread), std::vector<double>(18, 0.0));
}

// ---------------------------------------------------------------------------
// Normalisation.

TEST(normalize_edge_indicator, maps_smallest_to_zero_and_largest_to_one) {
  CImg<float> values = image(2, 2, 1, 1, {-3, 5, 1, 13});
  tamvel::normalize_edge_indicator(values, one_thread);
  expect_values(values, {0, 0.5, 0.25, 1});
}

TEST(normalize_edge_indicator, flat_values_become_zero) {
  CImg<float> values(3, 2, 2, 1, 0.7f);
  tamvel::normalize_edge_indicator(values, one_thread);
  expect_values(values, std::vector<double>(12, 0.0));
}

TEST(normalize_edge_indicator, unit_range_is_left_bit_for_bit) {
  const CImg<float> original = image(5, 1, 1, 1, {0.0f, 0.1f, 1.0f, 0.3333333f, 0.7f});
  CImg<float> values(original);
  tamvel::normalize_edge_indicator(values, one_thread);
  for (std::size_t i = 0; i < original.size(); ++i) EXPECT_EQ(values[i], original[i]);
}

TEST(normalize_edge_indicator, range_is_taken_over_finite_values_only) {
  CImg<float> values = image(6, 1, 1, 1, {2, nan_f, 4, inf_f, 3, -inf_f});
  tamvel::normalize_edge_indicator(values, one_thread);
  EXPECT_FLOAT_EQ(values[0], 0.0f);
  EXPECT_FLOAT_EQ(values[2], 1.0f);
  EXPECT_FLOAT_EQ(values[4], 0.5f);
  EXPECT_TRUE(std::isnan(values[1]));
  EXPECT_EQ(values[3], inf_f);
  EXPECT_EQ(values[5], -inf_f);
}

TEST(normalize_edge_indicator, no_spread_among_finite_values_gives_all_zero) {
  CImg<float> one_finite_value = image(4, 1, 1, 1, {0.5f, nan_f, inf_f, 0.5f});
  tamvel::normalize_edge_indicator(one_finite_value, one_thread);
  expect_values(one_finite_value, {0, 0, 0, 0});
  CImg<float> none_finite = image(3, 1, 1, 1, {nan_f, inf_f, -inf_f});
  tamvel::normalize_edge_indicator(none_finite, one_thread);
  expect_values(none_finite, {0, 0, 0});
}

TEST(normalize_edge_indicator, empty_image_is_left_alone) {
  CImg<float> values;
  tamvel::normalize_edge_indicator(values, one_thread);
  EXPECT_TRUE(values.is_empty());
}

}  // namespace

// ---------------------------------------------------------------------------
// With a mask: a neighbour outside reads as the pixel itself, the range is
// taken inside, and every pixel outside is 0. Worked out here pixel by pixel
// in the kernels' operations, on scattered masks and on discs, whose rows
// the kernels form over their spans only.

CImg<float> masked_indicator_by_pixel(const CImg<float>& primary, const CImg<unsigned char>& inside) {
  CImg<float> expected(primary.width(), primary.height(), primary.depth(), 1, 0.0f);
  const auto value = [&](int x, int y, int z, double own) {
    x = std::clamp(x, 0, primary.width() - 1), y = std::clamp(y, 0, primary.height() - 1);
    return inside(x, y, z) ? double(primary(x, y, z)) : own;
  };
  float lowest = 2, highest = -1;
  cimg_forXYZ(expected, x, y, z) if (inside(x, y, z)) {
    const double own = primary(x, y, z);
    const auto p = [&](int dx, int dy) { return value(x + dx, y + dy, z, own); };
    double gx, gy;
    if (primary.depth() == 1) {
      gx = a * (p(1, -1) + p(1, 1) - p(-1, -1) - p(-1, 1)) + b * (p(1, 0) - p(-1, 0));
      gy = a * (p(-1, 1) + p(1, 1) - p(-1, -1) - p(1, -1)) + b * (p(0, 1) - p(0, -1));
    } else {
      gx = (p(1, 0) - p(-1, 0)) / 2.0, gy = (p(0, 1) - p(0, -1)) / 2.0;
    }
    expected(x, y, z) = float(1.0 / (1.0 + std::sqrt(gx * gx + gy * gy)));
    lowest = std::min(lowest, expected(x, y, z)), highest = std::max(highest, expected(x, y, z));
  }
  cimg_forXYZ(expected, x, y, z) if (inside(x, y, z)) expected(x, y, z) =
      float((double(expected(x, y, z)) - lowest) / (double(highest) - double(lowest)));
  return expected;
}

TEST(edge_indicator_masked, neighbours_outside_read_as_the_pixel_and_outside_is_zero) {
  unsigned state = 4242u;
  const auto next = [&] { return state = state * 1664525u + 1013904223u; };
  // Scattered pixels, a disc, and wide rows of long runs (some reaching
  // the image's sides) with a notch: rows the kernels form whole, and rows
  // formed run by run with the pixels at their runs' ends formed again.
  for (const int depth : {1, 3})
    for (const int shape : {0, 1, 2}) {
      CImg<float> primary(150, 23, depth, 1);
      CImg<unsigned char> inside(150, 23, depth, 1);
      cimg_forXYZ(primary, x, y, z) {
        primary(x, y, z) = float(next() >> 24);
        const double dx = x - 20.5, dy = y - 11.0;
        const bool wide = y > 2 && y < 20 && (y < 11 || (x > 4 && x < 140)) && !(x > 60 && x < 64 && y > 12);
        inside(x, y, z) = shape == 0 ? (next() & 3) != 0 : shape == 1 ? dx * dx + dy * dy < 100 : wide;
      }
      const CImg<float> expected = masked_indicator_by_pixel(primary, inside);
      for (const int threads : {1, 3}) {
        core::call_threads call(threads, 1);
        const CImg<float> indicator = tamvel::compute_edge_indicator(primary, call, core::mask_of(inside));
        for (std::size_t i = 0; i < expected.size(); ++i)
          ASSERT_EQ(indicator[i], expected[i]) << "depth " << depth << " shape " << shape << " at " << i;
      }
    }
}
