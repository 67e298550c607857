// The fast Sorvik kernels against the plain reference iteration on random
// small inputs: every label, pixel for pixel and bit for bit, must agree.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "segmentation/clustering.h"
#include "segmentation/segment_image.h"
#include "tests/property/random_cases.h"
#include "tests/reference/sorvik_reference.h"

namespace {

// Cases per group: about 2600 random inputs in all, half as many (still more
// than 1000) under the sanitizers, where the reference runs slowly.
constexpr int case_scale = property::sanitized_build ? 4 : 8;

using property::draw;
using property::inf;
using property::nan;
using property::phase;
using property::same_bits;

// What a case may vary; each group of tests pins some of it.
struct case_shape {
  int largest_extent = 9;
  int largest_depth = 3;
  int smallest_class_count = 1;
  int largest_class_count = 8;
  int smallest_channels = 1;
  int largest_channels = 4;
  int nan_percent = 0;
  bool single_line = false;        // W or H equal to 1
  bool window_beyond_image = false;  // a disc wider than the image
};

struct random_case {
  CImg<float> image;
  CImg<float> settings;
  std::string description;
};

// An image W x H x D x S. With S = 0 it keeps its extents but has no pixels:
// every data term is then 0.
CImg<float> random_image(draw& d, int width, int height, int depth, int channels, int nan_percent) {
  if (channels == 0) {
    CImg<float> no_channels;
    no_channels._width = width;
    no_channels._height = height;
    no_channels._depth = depth;
    return no_channels;
  }
  CImg<float> image(width, height, depth, channels);
  // Small whole numbers give many equal costs, so the tie rule decides often.
  const bool whole_numbers = d.chance(60);
  const int range = d.between(1, 6);
  const float scale = d.chance(20) ? 3000.0f : 100.0f;
  cimg_foroff(image, i) {
    image[i] = whole_numbers ? float(d.between(0, range)) : scale * d.unit() - scale / 4;
    if (d.chance(nan_percent)) image[i] = d.chance(75) ? nan : (d.chance(50) ? inf : -inf);
  }
  return image;
}

random_case make_case(std::uint32_t seed, const case_shape& shape, phase kind) {
  draw d(seed);
  int width = d.between(1, shape.largest_extent);
  int height = d.between(1, shape.largest_extent);
  if (shape.single_line) (d.chance(50) ? width : height) = 1;
  const int depth = d.between(1, shape.largest_depth);
  const int channels = d.between(d.chance(5) ? 0 : shape.smallest_channels, shape.largest_channels);
  const int classes = d.between(shape.smallest_class_count, shape.largest_class_count);
  const int larger_extent = std::max(width, height);
  // Beyond the image, some discs are also too wide to tally column by column.
  const int window = !shape.window_beyond_image ? d.between(-2, std::min(larger_extent + 3, 12))
                     : d.chance(30)             ? d.between(34, 70)
                                                : d.between(2 * larger_extent, 4 * larger_extent + 6);
  const float weights[] = {0.0f, 0.5f, 1.0f, 2.0f, 7.0f, 40.0f, 1e6f, 0.3f};
  const float edge_weight = weights[d.between(0, 7)];
  const float tolerances[] = {0.0f, 0.0f, 1e-6f, 1e-3f, 0.1f, 10.0f};
  const float tolerance = tolerances[d.between(0, 5)];
  const int iterations = d.between(0, 7);
  const int last_plain = property::last_plain_iteration(d, kind, iterations);
  random_case c;
  c.image = random_image(d, width, height, depth, channels, shape.nan_percent);
  c.settings.assign(6, 1, 1, 1);
  const float values[] = {float(window), edge_weight, tolerance, float(iterations), float(last_plain), float(classes)};
  for (int i = 0; i < 6; ++i) c.settings[i] = values[i];
  std::ostringstream text;
  text << "seed " << seed << ": image " << width << "x" << height << "x" << depth << "x" << channels << ", w "
       << window << ", weight " << edge_weight << ", tolerance " << tolerance << ", N " << iterations << ", T "
       << last_plain << ", K " << classes;
  c.description = text.str();
  return c;
}


// Runs `count` cases from consecutive seeds; stops at the first disagreement.
void expect_same_labels(std::uint32_t first_seed, int count, const case_shape& shape, phase kind) {
  for (int i = 0; i < count; ++i) {
    const random_case c = make_case(first_seed + std::uint32_t(i), shape, kind);
    const CImg<float> expected = sorvik_reference::segment_image_reference(c.image, c.settings);
    const CImg<float> labels = sorvik::segment_image(c.image, c.settings);
    ASSERT_TRUE(same_bits(labels, expected)) << c.description;
  }
}

TEST(SorvikProperty, plain_phase_only_matches_reference) {
  expect_same_labels(1000, 60 * case_scale, case_shape{}, phase::plain_only);
}

TEST(SorvikProperty, edge_term_from_the_first_sweep_matches_reference) {
  expect_same_labels(2000, 60 * case_scale, case_shape{}, phase::edge_from_start);
}

TEST(SorvikProperty, plain_then_edge_phase_matches_reference) {
  expect_same_labels(3000, 60 * case_scale, case_shape{}, phase::plain_then_edge);
}

TEST(SorvikProperty, single_rows_and_columns_match_reference) {
  case_shape shape;
  shape.single_line = true;
  shape.largest_extent = 14;
  expect_same_labels(4000, 20 * case_scale, shape, phase::edge_from_start);
  expect_same_labels(4500, 15 * case_scale, shape, phase::plain_then_edge);
}

TEST(SorvikProperty, windows_wider_than_the_image_match_reference) {
  // The pixel then occurs many times in its own disc, through repeated reflection.
  case_shape shape;
  shape.window_beyond_image = true;
  shape.largest_extent = 5;
  expect_same_labels(5000, 25 * case_scale, shape, phase::edge_from_start);
  shape.single_line = true;
  expect_same_labels(5500, 10 * case_scale, shape, phase::plain_then_edge);
}

TEST(SorvikProperty, pixels_without_a_value_match_reference) {
  case_shape shape;
  shape.nan_percent = 15;
  expect_same_labels(6000, 25 * case_scale, shape, phase::plain_then_edge);
  expect_same_labels(6500, 15 * case_scale, shape, phase::plain_only);
}

TEST(SorvikProperty, more_channels_than_kept_in_registers_match_reference) {
  case_shape shape;
  shape.smallest_channels = 5;
  shape.largest_channels = 7;
  shape.nan_percent = 3;
  expect_same_labels(6800, 10 * case_scale, shape, phase::plain_then_edge);
  expect_same_labels(6900, 5 * case_scale, shape, phase::plain_only);
}

TEST(SorvikProperty, more_classes_than_vector_lanes_match_reference) {
  case_shape shape;
  shape.smallest_class_count = 9;
  shape.largest_class_count = 20;
  expect_same_labels(7000, 15 * case_scale, shape, phase::plain_then_edge);
  shape.window_beyond_image = true;
  shape.largest_extent = 4;
  expect_same_labels(7500, 5 * case_scale, shape, phase::edge_from_start);
}

TEST(SorvikProperty, disc_of_more_offsets_than_a_lane_counts_matches_reference) {
  // w = 300 holds about 70000 offsets, beyond a 16-bit counter.
  draw d(8000);
  const CImg<float> image = random_image(d, 3, 2, 1, 1, 0);
  for (const float classes : {2.0f, 5.0f}) {
    const float values[] = {300, 0.01f, 0, 2, -1, classes};
    const CImg<float> settings(values, 6, 1, 1, 1);
    EXPECT_TRUE(same_bits(sorvik::segment_image(image, settings),
                          sorvik_reference::segment_image_reference(image, settings)))
        << "K " << classes;
  }
}

// Labels to start a sweep from: mostly class indices, sometimes a value that
// is no class (it differs from every class and stays where no class wins).
CImg<float> random_labels(draw& d, const CImg<float>& image, int classes, bool only_classes) {
  CImg<float> labels(image.width(), image.height(), image.depth(), 1);
  const float strangers[] = {0.5f, -1.0f, float(classes), nan, -0.0f};
  cimg_foroff(labels, i) labels[i] = (!only_classes && d.chance(10)) ? strangers[d.between(0, 4)]
                                                                     : float(d.between(0, classes - 1));
  return labels;
}

CImg<float> random_centres(draw& d, int channels, int classes) {
  CImg<float> centres(channels, classes);
  cimg_foroff(centres, i) centres[i] = d.chance(50) ? float(d.between(0, 6)) : 10 * d.unit();
  return centres;
}

TEST(SorvikProperty, single_sweeps_from_random_labels_match_reference) {
  for (std::uint32_t seed = 9000; seed < 9000 + 40 * case_scale; ++seed) {
    draw d(seed);
    const int classes = d.between(1, d.chance(80) ? 8 : 14);
    CImg<float> image = random_image(d, d.between(1, 10), d.between(1, 10), d.between(1, 2), d.between(1, 3), 5);
    sorvik::segmentation_parameters p;
    p.class_count = classes;
    p.window_size = d.between(-1, 13);
    p.window = sorvik::make_window(p.window_size);
    p.edge_weight = float(d.between(0, 4)) / 2;
    p.last_plain_iteration = d.between(-1, 1);
    const int iteration = d.between(0, 1);
    const CImg<float> centres = random_centres(d, image.spectrum(), classes);
    CImg<float> expected = random_labels(d, image, classes, false);
    CImg<float> labels = expected;
    const float expected_energy = sorvik_reference::label_sweep(image, p, centres, expected, iteration);
    const float energy = sorvik::label_sweep(image, p, centres, labels, iteration);
    ASSERT_TRUE(same_bits(labels, expected)) << "seed " << seed;
    ASSERT_EQ(std::memcmp(&energy, &expected_energy, sizeof energy), 0) << "seed " << seed;
  }
}

TEST(SorvikProperty, centre_updates_and_whole_runs_from_random_labels_match_reference) {
  for (std::uint32_t seed = 10000; seed < 10000 + 20 * case_scale; ++seed) {
    draw d(seed);
    const int classes = d.between(1, 10);
    const CImg<float> image =
        random_image(d, d.between(1, 9), d.between(1, 9), d.between(1, 3), d.between(1, 4), 10);
    const CImg<float> labels = random_labels(d, image, classes, true);
    CImg<float> expected_centres = random_centres(d, image.spectrum(), classes);
    CImg<float> centres = expected_centres;
    sorvik_reference::update_centres(image, labels, classes, expected_centres);
    sorvik::update_centres(image, labels, classes, centres);
    ASSERT_TRUE(same_bits(centres, expected_centres)) << "seed " << seed;

    sorvik::segmentation_parameters p;
    p.class_count = classes;
    p.window_size = d.between(1, 7);
    p.window = sorvik::make_window(p.window_size);
    p.edge_weight = float(d.between(0, 8));
    p.tolerance = d.chance(50) ? 0.0f : 1e-4f;
    p.max_iterations = d.between(1, 6);
    p.last_plain_iteration = d.between(-1, 2);
    CImg<float> expected_labels = labels, fast_labels = labels;
    sorvik_reference::run_clustering(image, p, expected_centres, expected_labels);
    sorvik::run_clustering(image, p, centres, fast_labels);
    ASSERT_TRUE(same_bits(fast_labels, expected_labels)) << "seed " << seed;
    ASSERT_TRUE(same_bits(centres, expected_centres)) << "seed " << seed;
  }
}

}  // namespace
