// Masked Sorvik runs: the fast kernels against the plain reference iteration
// with the same mask, and what a mask promises whatever the kernels do:
// values outside it change no label inside, and a mask with every pixel
// inside is no mask.
#include <gtest/gtest.h>

#include <string>

#include "core/call_threads.h"
#include "sorvik/segment_image.h"
#include "tamvel/segment_image_pair.h"
#include "tests/property/random_cases.h"
#include "tests/reference/sorvik_reference.h"

namespace {

using property::draw;
using property::same_bits;

const std::uint32_t case_scale = property::case_scale_or(property::sanitized_build ? 2 : 4);

struct masked_case {
  CImg<float> image, settings;
  CImg<unsigned char> mask;
  std::string description;
};

// Masks of every kind a sweep must handle: scattered pixels, a disc, long
// runs along the rows (whole blocks outside), and every pixel inside.
CImg<unsigned char> random_mask(draw& d, int width, int height, int depth) {
  CImg<unsigned char> mask(width, height, depth, 1, 0);
  const int kind = d.between(0, 3);
  const int inside_percent = d.between(20, 95);
  const int run = d.between(1, std::max(1, width / 2));
  cimg_forXYZ(mask, x, y, z) {
    const double dx = x - width / 2.0, dy = y - height / 2.0;
    mask(x, y, z) = kind == 0   ? d.chance(inside_percent)
                    : kind == 1 ? 4 * (dx * dx + dy * dy) <= double(width) * width
                    : kind == 2 ? ((x / run + y) % 3 != 0)
                                : 1;
  }
  return mask;
}

masked_case make_case(std::uint32_t seed) {
  draw d(seed);
  property::case_shape shape;
  shape.nan_percent = d.chance(20) ? 10 : 0;
  shape.window_beyond_image = d.chance(15);
  shape.lane_breaking_percent = 30;
  property::case_geometry g = property::draw_geometry(d, shape);
  // Rows of several blocks, so that blocks wholly outside are skipped.
  if (d.chance(30)) {
    g.width = d.between(100, 700);
    g.height = d.between(1, 5);
    g.window = d.between(1, 9);
  }
  if (d.chance(15)) g.classes = d.between(9, 12);  // more classes than lanes
  masked_case c;
  c.image.assign(g.width, g.height, g.depth, g.channels);
  property::fill_values(d, c.image, shape.nan_percent);
  const int iterations = d.between(1, 7);
  const float values[] = {float(g.window),   d.chance(30) ? 40.0f : 1.0f,      d.chance(50) ? 0.0f : 1e-3f,
                          float(iterations), float(d.between(-3, iterations)), float(g.classes)};
  c.settings.assign(values, 6, 1, 1, 1);
  c.mask = random_mask(d, g.width, g.height, g.depth);
  c.description = property::describe(seed,
                                     "image " + std::to_string(g.width) + "x" + std::to_string(g.height) + "x" +
                                         std::to_string(g.depth) + "x" + std::to_string(g.channels),
                                     values);
  return c;
}

CImg<float> masked_labels(const masked_case& c, const CImg<float>& image, int threads) {
  core::call_threads call(threads, property::least_share);
  return sorvik::segment_image(image, c.settings, call, {}, false, core::mask_of(c.mask));
}

TEST(MaskProperty, masked_runs_match_the_reference_with_the_same_mask) {
  property::expect_same_labels_for(
      7000, 100 * case_scale, make_case,
      [](const masked_case& c, int threads) { return masked_labels(c, c.image, threads); },
      [](const masked_case& c) {
        return sorvik_reference::segment_image_reference(c.image, c.settings, false, &c.mask);
      });
}

TEST(MaskProperty, values_outside_change_no_label_inside) {
  property::for_seeds(8000, 60 * case_scale, [](std::uint32_t seed) {
    const masked_case c = make_case(seed);
    draw d(seed + 1);
    CImg<float> changed = c.image;
    const float strangers[] = {property::nan, property::inf, -1e30f, 1e6f, 0.0f};
    cimg_forXYZC(changed, x, y, z, s) if (!c.mask(x, y, z)) changed(x, y, z, s) = d.one_of(strangers);
    const CImg<float> expected = masked_labels(c, c.image, 1);
    for (const int threads : {1, 3})
      ASSERT_TRUE(same_bits(masked_labels(c, changed, threads), expected)) << c.description << ", threads " << threads;
    cimg_forXYZ(expected, x, y, z) ASSERT_EQ(expected(x, y, z) == -1.0f, !c.mask(x, y, z)) << c.description;
  });
}

TEST(MaskProperty, a_mask_with_every_pixel_inside_is_no_mask) {
  property::for_seeds(9000, 60 * case_scale, [](std::uint32_t seed) {
    masked_case c = make_case(seed);
    c.mask.fill(1);
    for (const int threads : {1, 3})
      ASSERT_TRUE(same_bits(masked_labels(c, c.image, threads), sorvik::segment_image(c.image, c.settings, threads)))
          << c.description << ", threads " << threads;
  });
}

// Tamvel on a masked pair: the secondary image drawn like the primary, the
// settings of the same draw laid out as Tamvel's.
CImg<float> masked_pair_labels(const masked_case& c, const CImg<float>& primary, const CImg<float>& secondary,
                               int threads) {
  const float* s = c.settings.data();
  const float values[] = {0.7f, s[2], 4 * s[1], s[0], s[3], s[4] < 2 ? 1.5f : -3.0f, s[4], s[5]};
  core::call_threads call(threads, property::least_share);
  return tamvel::segment_image_pair(primary, secondary, CImg<float>(values, 8, 1, 1, 1), call, {},
                                    core::mask_of(c.mask));
}

TEST(MaskProperty, tamvel_values_outside_change_no_label_inside_of_either_image) {
  property::for_seeds(10000, 40 * case_scale, [](std::uint32_t seed) {
    const masked_case c = make_case(seed);
    if (c.image.spectrum() == 0 || c.image.width() < 2) return;
    draw d(seed + 2);
    CImg<float> secondary(c.image.width(), c.image.height(), c.image.depth(), c.image.spectrum());
    property::fill_values(d, secondary, 0);
    const CImg<float> expected = masked_pair_labels(c, c.image, secondary, 1);
    CImg<float> primary = c.image, other = secondary;
    const float strangers[] = {property::nan, property::inf, -1e30f, 1e6f, 0.0f};
    cimg_forXYZC(primary, x, y, z, s) if (!c.mask(x, y, z)) {
      primary(x, y, z, s) = d.one_of(strangers);
      other(x, y, z, s) = d.one_of(strangers);
    }
    for (const int threads : {1, 3})
      ASSERT_TRUE(same_bits(masked_pair_labels(c, primary, other, threads), expected))
          << c.description << ", threads " << threads;
    cimg_forXYZ(expected, x, y, z) ASSERT_EQ(expected(x, y, z) == -1.0f, !c.mask(x, y, z)) << c.description;
  });
}

}  // namespace
