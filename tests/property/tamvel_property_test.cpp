// The fast Tamvel kernels against the plain reference iteration on random
// small inputs: every label, pixel for pixel and bit for bit, must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tamvel/clustering.h"
#include "tamvel/segment_image_pair.h"
#include "tests/property/random_cases.h"
#include "tests/reference/tamvel_reference.h"
#include "core/call_threads.h"

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread(1, property::least_share);

// The reference is slow without optimisation; sanitizer builds draw fewer cases.
const std::uint32_t case_scale = property::case_scale_or(property::sanitized_build ? 1 : 12);

using property::case_shape;
using property::draw;
using property::fill_values;
using property::inf;
using property::nan;
using property::phase;
using property::random_centres;
using property::random_labels;
using property::same_bits;

// An edge indicator with values spread over many binary orders of
// magnitude, so that sums over a window round and any change in their order
// would show.
CImg<float> rough_edge_indicator(draw& d, int width, int height, int depth) {
  CImg<float> edges(width, height, depth, 1);
  cimg_foroff(edges, i) {
    switch (d.between(0, 5)) {
      case 0:
        edges[i] = 0;
        break;
      case 1:
        edges[i] = 1;
        break;
      case 2:
        edges[i] = d.unit() * std::ldexp(1.0f, -d.between(0, 60));
        break;
      // About half a unit in the last place of 1 in double: added to 1 one
      // at a time they may vanish, added to each other first they need not.
      case 3:
        edges[i] = std::ldexp(float(d.between(1, 3)), -d.between(53, 55));
        break;
      default:
        edges[i] = d.unit();
        break;
    }
  }
  return edges;
}

struct random_case {
  CImg<float> primary, secondary, settings;
  std::string description;
};

random_case make_case(std::uint32_t seed, const case_shape& shape, phase kind) {
  draw d(seed);
  const property::case_geometry g = property::draw_geometry(d, shape);
  const int secondary_channels = g.channels + (d.chance(30) ? d.between(1, 2) : 0);
  const float secondary_weights[] = {0.0f, 0.5f, 1.0f, 2.0f, 7.0f, 0.3f};
  const float edge_weights[] = {0.0f, 0.5f, 1.0f, 3.0f, 40.0f, 1e4f, 0.3f};
  const float tolerances[] = {0.0f, 0.0f, 1e-6f, 1e-3f, 0.1f, 10.0f};
  // Zero and tiny scales leave the band empty; negative ones are percentages.
  const float band_sigmas[] = {0.0f, 0.05f, 0.5f, 1.0f, 2.5f, 40.0f, -1.0f, -20.0f, -300.0f};
  const int iterations = d.between(0, 7);
  const int last_plain = property::last_plain_iteration(d, kind, iterations);
  random_case c;
  c.primary.assign(g.width, g.height, g.depth, g.channels);
  c.secondary.assign(g.width, g.height, g.depth, secondary_channels);
  fill_values(d, c.primary, shape.nan_percent);
  fill_values(d, c.secondary, shape.nan_percent);
  const float values[] = {d.one_of(secondary_weights), d.one_of(tolerances),  d.one_of(edge_weights), float(g.window),
                          float(iterations),           d.one_of(band_sigmas), float(last_plain),      float(g.classes)};
  c.settings.assign(values, 8, 1, 1, 1);
  c.description =
      property::describe(seed,
                         std::to_string(g.width) + "x" + std::to_string(g.height) + "x" + std::to_string(g.depth) +
                             ", S " + std::to_string(g.channels) + " (J " + std::to_string(secondary_channels) + ")",
                         values);
  return c;
}

// Whole calls from consecutive seeds; stops at the first disagreement.
void expect_same_labels(std::uint32_t first_seed, int count, const case_shape& shape, phase kind) {
  property::expect_same_labels_for(
      first_seed, count, [&](std::uint32_t seed) { return make_case(seed, shape, kind); },
      [](const random_case& c, int threads) {
        core::call_threads call(threads, property::least_share);
        return tamvel::segment_image_pair(c.primary, c.secondary, c.settings, call);
      },
      [](const random_case& c) {
        return tamvel_reference::segment_image_pair_reference(c.primary, c.secondary, c.settings);
      });
}

TEST(TamvelProperty, plain_iterations_only_match_reference) {
  expect_same_labels(1000, 40 * case_scale, case_shape{}, phase::plain_only);
}

TEST(TamvelProperty, penalty_from_the_first_sweep_matches_reference) {
  expect_same_labels(2000, 50 * case_scale, case_shape{}, phase::edge_from_start);
}

TEST(TamvelProperty, plain_then_band_limited_iterations_match_reference) {
  expect_same_labels(3000, 70 * case_scale, case_shape{}, phase::plain_then_edge);
}

TEST(TamvelProperty, single_rows_and_columns_match_reference) {
  case_shape shape;
  shape.single_line = true;
  shape.largest_extent = 14;
  expect_same_labels(4000, 15 * case_scale, shape, phase::edge_from_start);
  expect_same_labels(4500, 15 * case_scale, shape, phase::plain_then_edge);
}

TEST(TamvelProperty, windows_wider_than_the_image_match_reference) {
  // The pixel then occurs many times in its own window, through repeated reflection.
  case_shape shape;
  shape.window_beyond_image = true;
  shape.largest_extent = 5;
  expect_same_labels(5000, 15 * case_scale, shape, phase::edge_from_start);
  expect_same_labels(5300, 10 * case_scale, shape, phase::plain_then_edge);
  shape.single_line = true;
  expect_same_labels(5600, 10 * case_scale, shape, phase::plain_then_edge);
}

TEST(TamvelProperty, pixels_without_a_value_match_reference) {
  case_shape shape;
  shape.nan_percent = 12;
  expect_same_labels(6000, 25 * case_scale, shape, phase::plain_then_edge);
  expect_same_labels(6500, 10 * case_scale, shape, phase::edge_from_start);
}

TEST(TamvelProperty, more_classes_than_one_walk_sums_match_reference) {
  // One walk over the window sums the penalties of eight classes.
  case_shape shape;
  shape.smallest_class_count = 9;
  shape.largest_class_count = 20;
  expect_same_labels(8000, 8 * case_scale, shape, phase::plain_then_edge);
  expect_same_labels(8500, 4 * case_scale, shape, phase::edge_from_start);
}

TEST(TamvelProperty, larger_images_with_wide_bands_match_reference) {
  // Room for pixels whose whole window lies inside the image, and for bands
  // with inner parts where a single class fills the window.
  case_shape shape;
  shape.largest_extent = 40;
  shape.largest_depth = 2;
  expect_same_labels(7000, 20 * case_scale, shape, phase::plain_then_edge);
  expect_same_labels(7500, 10 * case_scale, shape, phase::edge_from_start);
}

// A band image with values on both sides of the threshold, NaN among them.
CImg<float> random_band(draw& d, int width, int height, int depth) {
  CImg<float> band(width, height, depth, 1);
  const float values[] = {1.0f, 0.0f, 0.01f, -0.0100001f, 0.5f, -3.0f, nan};
  cimg_foroff(band, i) band[i] = d.one_of(values);
  return band;
}

TEST(TamvelProperty, single_sweeps_from_random_labels_and_bands_match_reference) {
  for (std::uint32_t seed = 9000; seed < 9000 + 50 * case_scale; ++seed) {
    draw d(seed);
    const int width = d.between(1, 12), height = d.between(1, 12), depth = d.between(1, 2);
    const int channels = d.between(1, 3);
    tamvel::pair_segmentation_parameters p;
    p.class_count = d.between(1, d.chance(80) ? 8 : 14);
    p.window_size = d.between(-1, 13);
    p.window = core::make_window(p.window_size);
    p.secondary_weight = float(d.between(0, 4)) / 2;
    const float edge_weights[] = {0.0f, 0.5f, 1.0f, 3.0f, 1e30f, 0x1p52f, 0x1p53f, 0x1.8p52f};
    p.edge_weight = d.one_of(edge_weights);
    p.last_plain_iteration = d.between(-1, 1);
    const int iteration = d.between(0, 1);
    CImg<float> primary(width, height, depth, channels), secondary(width, height, depth, channels + d.between(0, 1));
    fill_values(d, primary, 5);
    fill_values(d, secondary, 5);
    const CImg<float> edges = rough_edge_indicator(d, width, height, depth);
    const CImg<float> band = random_band(d, width, height, depth);
    const tamvel::centre_pair centres{random_centres(d, channels, p.class_count),
                                      random_centres(d, channels, p.class_count)};
    CImg<float> expected = random_labels(d, width, height, depth, p.class_count, false);
    const CImg<float> labels_before = expected;
    const float expected_energy =
        tamvel_reference::label_sweep(primary, secondary, edges, band, expected, centres, p, iteration);
    for (const int threads : property::thread_counts_for(seed)) {
      CImg<float> labels = labels_before, listed_labels = labels_before;
      core::call_threads call(threads, property::least_share);
      const float energy = tamvel::label_sweep(primary, secondary, edges, band, labels, centres, p, iteration, call);
      const float listed_energy = tamvel::label_sweep(primary, secondary, edges, tamvel::list_band(band), listed_labels,
                                                      centres, p, iteration, call);
      ASSERT_TRUE(same_bits(labels, expected)) << "seed " << seed << ", threads " << threads;
      ASSERT_TRUE(same_bits(listed_labels, expected)) << "seed " << seed << ", threads " << threads;
      ASSERT_TRUE(same_bits(energy, expected_energy))
          << "seed " << seed << ", threads " << threads << ": " << energy << " " << expected_energy;
      ASSERT_TRUE(same_bits(listed_energy, expected_energy)) << "seed " << seed << ", threads " << threads;
    }
  }
}

TEST(TamvelProperty, long_runs_of_small_whole_numbers_match_reference) {
  // Many penalised sweeps over labels that keep moving, with edge values in
  // quarters: a penalty kept from an earlier sweep after a label in its
  // window changed, or one summed too soon, shows in the labels.
  for (std::uint32_t seed = 11000; seed < 11000 + 40 * case_scale; ++seed) {
    draw d(seed);
    const int width = d.between(5, 12), height = d.between(1, 6), depth = d.between(1, 2);
    CImg<float> primary(width, height, depth, 1), secondary(width, height, depth, 1), edges(width, height, depth, 1);
    cimg_foroff(primary, i) {
      primary[i] = float(d.between(0, 6));
      secondary[i] = float(d.between(0, 6));
      edges[i] = float(d.between(0, 4)) / 4;
    }
    tamvel::pair_segmentation_parameters p;
    p.class_count = d.between(2, 5);
    p.secondary_weight = float(d.between(0, 2));
    p.edge_weight = float(d.between(1, 30));
    p.window_size = d.between(3, 5);
    p.window = core::make_window(p.window_size);
    p.max_iterations = d.between(2, 8);
    p.last_plain_iteration = d.between(-1, 1);
    p.band_sigma = float(d.between(5, 20)) / 10;
    const CImg<float> expected = tamvel_reference::run_clustering(primary, secondary, p, edges);
    for (const int threads : property::thread_counts_for(seed)) {
      core::call_threads call(threads, property::least_share);
      ASSERT_TRUE(same_bits(tamvel::run_clustering(primary, secondary, p, edges, call), expected))
          << "seed " << seed << ", threads " << threads;
    }
  }
}

TEST(TamvelProperty, penalties_round_as_summed_in_window_order) {
  // The centre of a 3 x 3 image, window 3: above, left, itself, right, below.
  // Both classes cost 5 in data. In window order class 0 pays
  // 3 * 2^-54 + 1, which rounds to 1 + 2^-52, and class 1 pays
  // (2^-53 + 1) + 2^-53, which rounds to 1 (its own position counts once
  // class 0 has won): with weight 3 both cost 8 and the tie keeps class 0.
  // The whole window's sum less the agreeing positions would round otherwise
  // and hand the pixel to class 1.
  const float labels_before[] = {0, 0, 0, 0, 0, 1, 0, 1, 0};
  const float edge_values[] = {0, 0x1p-53f, 0, 1, 0x1p-53f, 0x3p-54f, 0, 1, 0};
  const CImg<float> primary(3, 3, 1, 1, 0.0f), secondary(3, 3, 1, 1, 0.0f), edges(edge_values, 3, 3, 1, 1);
  CImg<float> band(3, 3, 1, 1, 0.0f);
  band(1, 1) = 1;
  tamvel::pair_segmentation_parameters p;
  p.class_count = 2;
  p.secondary_weight = 1;
  p.edge_weight = 3;
  p.window_size = 3;
  p.window = core::make_window(3);
  const float primary_centres[] = {1, -1}, secondary_centres[] = {2, -2};
  const tamvel::centre_pair centres{CImg<float>(primary_centres, 1, 2, 1, 1),
                                    CImg<float>(secondary_centres, 1, 2, 1, 1)};
  CImg<float> expected(labels_before, 3, 3, 1, 1), labels = expected;
  tamvel_reference::label_sweep(primary, secondary, edges, band, expected, centres, p, 1);
  tamvel::label_sweep(primary, secondary, edges, band, labels, centres, p, 1, one_thread);
  EXPECT_EQ(expected(1, 1), 0.0f);
  EXPECT_TRUE(same_bits(labels, expected));
}

TEST(TamvelProperty, a_pixel_reflected_into_its_own_window_counts_each_time) {
  // In a single row every row of the window reflects onto the row itself, so
  // a pixel occurs three times in its own window 3; once another class has
  // won it, each occurrence counts against its own class, also where one
  // class fills the window.
  const float primary_values[] = {6, 2, 0, 1, 0, 5}, secondary_values[] = {2, 3, 4, 3, 5, 1};
  const float edge_values[] = {0.75f, 0, 0, 1, 0, 0};
  const CImg<float> primary(primary_values, 6, 1, 1, 1), secondary(secondary_values, 6, 1, 1, 1);
  const CImg<float> edges(edge_values, 6, 1, 1, 1);
  tamvel::pair_segmentation_parameters p;
  p.class_count = 3;
  p.secondary_weight = 1;
  p.edge_weight = 6;
  p.window_size = 3;
  p.window = core::make_window(3);
  p.max_iterations = 3;
  p.last_plain_iteration = -1;
  EXPECT_TRUE(same_bits(tamvel::run_clustering(primary, secondary, p, edges, one_thread),
                        tamvel_reference::run_clustering(primary, secondary, p, edges)));
}

TEST(TamvelProperty, centre_sums_round_as_summed_in_raster_order) {
  // Rows whose class sums lose low bits beside values of 2^26 to 2^33: the
  // centres must come from sums in raster order, not from moving relabelled
  // pixels between sums, which would round otherwise (the second row sits
  // just past what moving could keep exact).
  struct row_case {
    std::vector<float> primary, secondary;
    float secondary_weight;
    int class_count;
  };
  const row_case cases[] = {
      {{0x1.2p+1f, 0x1.54p+4f, 0x1.cp+1f, 0x1p+26f, 0, 0x1.4p+0f, 0x1p+23f, 0x1.8p+0f, 0x1.8p+26f},
       {0x1.a66666p-1f, 0x1.e66666p-1f, 0x1p-1f, 0x1.8p+26f, 0, 0x1.a1999ap-6f, 0x1p+30f, 0x1.19999ap-2f, 0x1.8p+26f},
       0.01f,
       3},
      {{0x1.8p+33f, 0x1.7p+4f, 0x1.a00014p+3f, 0x1p+32f, 0x1p+31f, 0x1.1p+5f, 0x1.8p+4f, 0x1.000018p+2f, 0x1.6p+3f,
        0x1.800008p+2f},
       {0x1p+31f, 0x1.60000cp+3f, 0x1.400008p+3f, 0x1p+32f, 0x1.8p+33f, 0x1.c00004p+4f, 0x1.c00008p+4f, 0x1.600004p+3f,
        0x1.800004p+3f, 0x1.000004p+1f},
       1.0f,
       3},
  };
  for (const row_case& c : cases) {
    const unsigned width = unsigned(c.primary.size());
    const CImg<float> primary(c.primary.data(), width, 1, 1, 1), secondary(c.secondary.data(), width, 1, 1, 1);
    tamvel::pair_segmentation_parameters p;
    p.class_count = c.class_count;
    p.secondary_weight = c.secondary_weight;
    p.window_size = 1;
    p.window = core::make_window(1);
    p.max_iterations = 4;
    p.last_plain_iteration = -1;
    const CImg<float> edges(width, 1, 1, 1, 1.0f);
    EXPECT_TRUE(same_bits(tamvel::run_clustering(primary, secondary, p, edges, one_thread),
                          tamvel_reference::run_clustering(primary, secondary, p, edges)))
        << "width " << width;
  }
}

TEST(TamvelProperty, centre_updates_and_runs_with_rough_edge_indicators_match_reference) {
  for (std::uint32_t seed = 10000; seed < 10000 + 30 * case_scale; ++seed) {
    draw d(seed);
    const int width = d.between(1, 10), height = d.between(1, 10), depth = d.between(1, 3);
    const int channels = d.between(1, 4);
    const int classes = d.between(1, 8);
    CImg<float> primary(width, height, depth, channels), secondary(width, height, depth, channels + d.between(0, 2));
    fill_values(d, primary, 8);
    fill_values(d, secondary, 8);
    const CImg<float> labels = random_labels(d, width, height, depth, classes, true);
    tamvel::centre_pair expected_centres{random_centres(d, channels, classes), random_centres(d, channels, classes)};
    tamvel::centre_pair centres = expected_centres;
    tamvel_reference::update_centres(primary, secondary, labels, expected_centres);
    tamvel::update_centres(primary, secondary, labels, centres);
    ASSERT_TRUE(same_bits(centres.primary, expected_centres.primary)) << "seed " << seed;
    ASSERT_TRUE(same_bits(centres.secondary, expected_centres.secondary)) << "seed " << seed;

    tamvel::pair_segmentation_parameters p;
    p.class_count = classes;
    p.window_size = d.between(1, 9);
    p.window = core::make_window(p.window_size);
    p.secondary_weight = float(d.between(0, 4)) / 2;
    p.edge_weight = float(d.between(0, 8)) * (d.chance(50) ? 1.0f : 1e3f);
    p.tolerance = d.chance(50) ? 0.0f : 1e-4f;
    p.band_sigma = float(d.between(-30, 30)) / 10;
    p.max_iterations = d.between(1, 6);
    p.last_plain_iteration = d.between(-1, 2);
    const CImg<float> edges = rough_edge_indicator(d, width, height, depth);
    ASSERT_TRUE(same_bits(tamvel::run_clustering(primary, secondary, p, edges, one_thread),
                          tamvel_reference::run_clustering(primary, secondary, p, edges)))
        << "seed " << seed;
  }
}

}  // namespace
