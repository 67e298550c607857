// The fast Sorvik kernels against the plain reference iteration on random
// small inputs: every label, pixel for pixel and bit for bit, must agree.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/centre_sums.h"
#include "sorvik/clustering.h"
#include "sorvik/segment_image.h"
#include "tests/property/random_cases.h"
#include "tests/reference/sorvik_reference.h"
#include "core/call_threads.h"

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread(1, property::least_share);

// Cases per group: about 2600 random inputs in all, half as many (still more
// than 1000) under the sanitizers, where the reference runs slowly.
const std::uint32_t case_scale = property::case_scale_or(property::sanitized_build ? 4 : 8);

using property::case_shape;
using property::draw;
using property::inf;
using property::nan;
using property::phase;
using property::same_bits;

struct random_case {
  CImg<float> image;
  CImg<float> settings;
  std::string description;
};

// An image W x H x D x S. With S = 0 it keeps its extents but has no pixels:
// every data term is then 0.
CImg<float> random_image(draw& d, int width, int height, int depth, int channels, int nan_percent) {
  CImg<float> image;
  if (channels == 0) {
    image._width = width;
    image._height = height;
    image._depth = depth;
    return image;
  }
  image.assign(width, height, depth, channels);
  property::fill_values(d, image, nan_percent);
  return image;
}

// Sorvik's cases may have no channel, and some discs too wide for the lanes.
case_shape sorvik_shape() {
  case_shape shape;
  shape.no_channel_percent = 5;
  shape.lane_breaking_percent = 30;
  return shape;
}

random_case make_case(std::uint32_t seed, const case_shape& shape, phase kind) {
  draw d(seed);
  const property::case_geometry g = property::draw_geometry(d, shape);
  const float weights[] = {0.0f, 0.5f, 1.0f, 2.0f, 7.0f, 40.0f, 1e6f, 0.3f};
  const float tolerances[] = {0.0f, 0.0f, 1e-6f, 1e-3f, 0.1f, 10.0f};
  const int iterations = d.between(0, 7);
  const int last_plain = property::last_plain_iteration(d, kind, iterations);
  random_case c;
  c.image = random_image(d, g.width, g.height, g.depth, g.channels, shape.nan_percent);
  const float values[] = {float(g.window),   d.one_of(weights), d.one_of(tolerances),
                          float(iterations), float(last_plain), float(g.classes)};
  c.settings.assign(values, 6, 1, 1, 1);
  c.description = property::describe(seed,
                                     "image " + std::to_string(g.width) + "x" + std::to_string(g.height) + "x" +
                                         std::to_string(g.depth) + "x" + std::to_string(g.channels),
                                     values);
  return c;
}

// Whole calls from consecutive seeds; stops at the first disagreement.
void expect_same_labels(std::uint32_t first_seed, int count, const case_shape& shape, phase kind) {
  property::expect_same_labels_for(
      first_seed, count, [&](std::uint32_t seed) { return make_case(seed, shape, kind); },
      [](const random_case& c, int threads) {
        core::call_threads call(threads, property::least_share);
        return sorvik::segment_image(c.image, c.settings, call);
      },
      [](const random_case& c) { return sorvik_reference::segment_image_reference(c.image, c.settings); });
}

TEST(SorvikProperty, plain_phase_only_matches_reference) {
  expect_same_labels(1000, 60 * case_scale, sorvik_shape(), phase::plain_only);
}

TEST(SorvikProperty, edge_term_from_the_first_sweep_matches_reference) {
  expect_same_labels(2000, 60 * case_scale, sorvik_shape(), phase::edge_from_start);
}

TEST(SorvikProperty, plain_then_edge_phase_matches_reference) {
  expect_same_labels(3000, 60 * case_scale, sorvik_shape(), phase::plain_then_edge);
}

TEST(SorvikProperty, single_rows_and_columns_match_reference) {
  case_shape shape = sorvik_shape();
  shape.single_line = true;
  shape.largest_extent = 14;
  expect_same_labels(4000, 20 * case_scale, shape, phase::edge_from_start);
  expect_same_labels(4500, 15 * case_scale, shape, phase::plain_then_edge);
}

TEST(SorvikProperty, windows_wider_than_the_image_match_reference) {
  // The pixel then occurs many times in its own disc, through repeated reflection.
  case_shape shape = sorvik_shape();
  shape.window_beyond_image = true;
  shape.largest_extent = 5;
  expect_same_labels(5000, 25 * case_scale, shape, phase::edge_from_start);
  shape.single_line = true;
  expect_same_labels(5500, 10 * case_scale, shape, phase::plain_then_edge);
}

TEST(SorvikProperty, pixels_without_a_value_match_reference) {
  case_shape shape = sorvik_shape();
  shape.nan_percent = 15;
  expect_same_labels(6000, 25 * case_scale, shape, phase::plain_then_edge);
  expect_same_labels(6500, 15 * case_scale, shape, phase::plain_only);
}

TEST(SorvikProperty, more_channels_than_kept_in_registers_match_reference) {
  case_shape shape = sorvik_shape();
  shape.smallest_channels = 5;
  shape.largest_channels = 7;
  shape.nan_percent = 3;
  expect_same_labels(6800, 10 * case_scale, shape, phase::plain_then_edge);
  expect_same_labels(6900, 5 * case_scale, shape, phase::plain_only);
}

TEST(SorvikProperty, more_classes_than_vector_lanes_match_reference) {
  case_shape shape = sorvik_shape();
  shape.smallest_class_count = 9;
  shape.largest_class_count = 20;
  expect_same_labels(7000, 15 * case_scale, shape, phase::plain_then_edge);
  shape.window_beyond_image = true;
  shape.largest_extent = 4;
  expect_same_labels(7500, 5 * case_scale, shape, phase::edge_from_start);
}

TEST(SorvikProperty, exact_sums_match_reference_for_every_thread_count) {
  // Whole and fractional values, NaN and infinities, every phase: the
  // energies and the centre sums that could round are exact sums, so 1, 2
  // and 4 threads give the labels of the plain iteration with exact sums.
  int seed = 11000;
  for (const phase kind : {phase::plain_only, phase::edge_from_start, phase::plain_then_edge})
    property::for_seeds(seed += 1000, 25 * case_scale, [&](std::uint32_t case_seed) {
      const random_case c = make_case(case_seed, sorvik_shape(), kind);
      const CImg<float> expected = sorvik_reference::segment_image_reference(c.image, c.settings, true);
      for (const int threads : {1, 2, 4}) {
        core::call_threads call(threads, property::least_share);
        ASSERT_TRUE(same_bits(sorvik::segment_image(c.image, c.settings, call, {}, true), expected))
            << c.description << ", threads " << threads;
      }
    });
}

TEST(SorvikProperty, disc_of_more_offsets_than_a_lane_counts_matches_reference) {
  // w = 300 holds about 70000 offsets, beyond a 16-bit counter.
  draw d(8000);
  const CImg<float> image = random_image(d, 3, 2, 1, 1, 0);
  for (const float classes : {2.0f, 5.0f}) {
    const float values[] = {300, 0.01f, 0, 2, -1, classes};
    const CImg<float> settings(values, 6, 1, 1, 1);
    const CImg<float> expected = sorvik_reference::segment_image_reference(image, settings);
    for (const int threads : property::thread_counts) {
      core::call_threads call(threads, property::least_share);
      EXPECT_TRUE(same_bits(sorvik::segment_image(image, settings, call), expected))
          << "K " << classes << ", threads " << threads;
    }
  }
}

TEST(SorvikProperty, single_sweeps_from_random_labels_match_reference) {
  for (std::uint32_t seed = 9000; seed < 9000 + 40 * case_scale; ++seed) {
    draw d(seed);
    const int classes = d.between(1, d.chance(80) ? 8 : 14);
    CImg<float> image = random_image(d, d.between(1, 10), d.between(1, 10), d.between(1, 2), d.between(1, 3), 5);
    sorvik::segmentation_parameters p;
    p.class_count = classes;
    p.window_size = d.between(-1, 13);
    p.window = core::make_window(p.window_size);
    p.edge_weight = float(d.between(0, 4)) / 2;
    p.last_plain_iteration = d.between(-1, 1);
    const int iteration = d.between(0, 1);
    const CImg<float> centres = property::random_centres(d, image.spectrum(), classes);
    CImg<float> expected = property::random_labels(d, image.width(), image.height(), image.depth(), classes, false);
    const CImg<float> start = expected;
    const float expected_energy = sorvik_reference::label_sweep(image, p, centres, expected, iteration);
    for (const int threads : property::thread_counts_for(seed)) {
      CImg<float> labels = start;
      core::call_threads call(threads, property::least_share);
      const float energy = sorvik::label_sweep(image, p, centres, labels, iteration, call);
      ASSERT_TRUE(same_bits(labels, expected)) << "seed " << seed << ", threads " << threads;
      ASSERT_TRUE(same_bits(energy, expected_energy)) << "seed " << seed << ", threads " << threads;
    }
  }
}

TEST(SorvikProperty, centre_sums_in_any_order_match_raster_order_where_exact) {
  // Whole-numbered values that sum exactly, labels of every kind (between
  // classes, past the last, NaN), values that are not finite, and images
  // shorter or longer than a vector: the sums that may take their pixels in
  // any order, in one part or several, must be the raster-order sums.
  const float strangers[] = {0.5f, -0.5f, -0.0f, -1.0f, 3.999f, 1e30f, -inf, inf, nan};
  for (std::uint32_t seed = 20000; seed < 20000 + 40 * case_scale; ++seed) {
    draw d(seed);
    const int classes = d.between(1, 10), channels = d.chance(70) ? 1 : d.between(2, 3);
    const std::size_t pixels = std::size_t(d.between(0, 300));
    std::vector<float> values(pixels * std::size_t(channels)), labels(pixels);
    for (float& v : values) v = d.chance(3) ? d.one_of({inf, -inf, nan}) : float(d.between(-1000, 1000));
    for (float& label : labels) label = d.chance(15) ? d.one_of(strangers) : float(d.between(0, classes - 1));
    std::vector<const float*> channel;
    for (int c = 0; c < channels; ++c) channel.push_back(values.data() + std::size_t(c) * pixels);
    ASSERT_TRUE(core::sums_are_exact(channel, pixels, nullptr, one_thread)) << "seed " << seed;
    std::vector<double> expected_sums, sums;
    std::vector<std::uint64_t> expected_counts, counts;
    core::sum_by_class(labels.data(), pixels, channel, classes, expected_sums, expected_counts, one_thread);
    for (const int parts : {1, 3}) {
      core::call_threads call(parts, property::least_share);
      core::sum_by_class(labels.data(), pixels, channel, classes, sums, counts, call, parts, true);
      ASSERT_TRUE(sums == expected_sums && counts == expected_counts) << "seed " << seed << ", parts " << parts;
    }
  }
}

TEST(SorvikProperty, centre_updates_and_whole_runs_from_random_labels_match_reference) {
  for (std::uint32_t seed = 10000; seed < 10000 + 20 * case_scale; ++seed) {
    draw d(seed);
    const int classes = d.between(1, 10);
    const CImg<float> image = random_image(d, d.between(1, 9), d.between(1, 9), d.between(1, 3), d.between(1, 4), 10);
    const CImg<float> labels = property::random_labels(d, image.width(), image.height(), image.depth(), classes, true);
    CImg<float> expected_centres = property::random_centres(d, image.spectrum(), classes);
    CImg<float> centres = expected_centres;
    sorvik_reference::update_centres(image, labels, classes, expected_centres);
    sorvik::update_centres(image, labels, classes, centres);
    ASSERT_TRUE(same_bits(centres, expected_centres)) << "seed " << seed;

    sorvik::segmentation_parameters p;
    p.class_count = classes;
    p.window_size = d.between(1, 7);
    p.window = core::make_window(p.window_size);
    p.edge_weight = float(d.between(0, 8));
    p.tolerance = d.chance(50) ? 0.0f : 1e-4f;
    p.max_iterations = d.between(1, 6);
    p.last_plain_iteration = d.between(-1, 2);
    CImg<float> expected_labels = labels;
    const CImg<float> start_centres = centres;
    sorvik_reference::run_clustering(image, p, expected_centres, expected_labels);
    for (const int threads : property::thread_counts_for(seed)) {
      CImg<float> fast_labels = labels;
      centres = start_centres;
      core::call_threads call(threads, property::least_share);
      sorvik::run_clustering(image, p, centres, fast_labels, call);
      ASSERT_TRUE(same_bits(fast_labels, expected_labels)) << "seed " << seed << ", threads " << threads;
      ASSERT_TRUE(same_bits(centres, expected_centres)) << "seed " << seed << ", threads " << threads;
    }
  }
}

// Values of every magnitude, whose sums round: the centre sums then go in
// raster order, and with threads a volume's go along with its slices' sweep.
TEST(SorvikProperty, volumes_whose_sums_round_match_reference) {
  for (std::uint32_t seed = 20000; seed < 20000 + 10 * case_scale; ++seed) {
    draw d(seed);
    const int classes = d.between(1, 9);
    // Drawn one by one: the order in which a call's arguments are evaluated
    // differs between compilers for x86-64 and ARM64, and so would the cases.
    // This is the order GCC takes on x86-64, where the cases were chosen.
    const int spectrum = d.between(1, 3), depth = d.between(2, 5), height = d.between(1, 12);
    CImg<float> image(d.between(1, 12), height, depth, spectrum);
    cimg_foroff(image, i) image[i] = std::ldexp(d.unit() + 0.5f, d.between(-40, 40));
    std::vector<const float*> channel = core::channel_starts(image);
    ASSERT_FALSE(core::sums_are_exact(channel, std::size_t(image.width()) * image.height() * image.depth(), nullptr,
                                      one_thread));
    const float weights[] = {0.0f, 1.0f, 1e6f, 1e30f};
    sorvik::segmentation_parameters p;
    p.class_count = classes;
    p.window_size = d.between(2, 7);
    p.window = core::make_window(p.window_size);
    p.edge_weight = d.one_of(weights);
    p.tolerance = d.chance(50) ? 0.0f : 1e-4f;
    p.max_iterations = d.between(2, 6);
    p.last_plain_iteration = d.between(-1, 1);
    const CImg<float> labels = property::random_labels(d, image.width(), image.height(), image.depth(), classes, true);
    const CImg<float> start_centres = sorvik::init_centres(image, classes, one_thread);
    CImg<float> expected_labels = labels, expected_centres = start_centres;
    sorvik_reference::run_clustering(image, p, expected_centres, expected_labels);
    for (const int threads : property::thread_counts_for(seed)) {
      CImg<float> fast_labels = labels, centres = start_centres;
      core::call_threads call(threads, property::least_share);
      sorvik::run_clustering(image, p, centres, fast_labels, call);
      ASSERT_TRUE(same_bits(fast_labels, expected_labels)) << "seed " << seed << ", threads " << threads;
      ASSERT_TRUE(same_bits(centres, expected_centres)) << "seed " << seed << ", threads " << threads;
    }
  }
}

}  // namespace
