// Tamvel's settings and its two-image, band-limited iteration, on hand-made
// images whose labels, centres and energies can be worked out on paper.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/refusal.h"
#include "tamvel/clustering.h"
#include "tamvel/parameters.h"
#include "core/call_threads.h"

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread;

using tamvel::centre_pair;
using tamvel::pair_segmentation_parameters;

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

// A width x height x depth x channels image from its values in buffer order
// (x fastest, then y, z and channel).
CImg<float> image_of(unsigned width, unsigned height, unsigned depth, unsigned channels,
                     const std::vector<float>& values) {
  CImg<float> image(width, height, depth, channels);
  EXPECT_EQ(values.size(), image.size());
  for (std::size_t i = 0; i < values.size() && i < image.size(); ++i) image[i] = values[i];
  return image;
}

CImg<float> row_of(const std::vector<float>& values) {
  return image_of(static_cast<unsigned>(values.size()), 1, 1, 1, values);
}

CImg<float> filled(unsigned width, unsigned height, unsigned depth, float value) {
  return CImg<float>(width, height, depth, 1, value);
}

std::vector<float> values_of(const CImg<float>& image) { return std::vector<float>(image.begin(), image.end()); }

// One-channel centres: entry k of each list is the centre of class k.
centre_pair centres_of(const std::vector<float>& primary, const std::vector<float>& secondary) {
  return centre_pair{image_of(1, static_cast<unsigned>(primary.size()), 1, 1, primary),
                     image_of(1, static_cast<unsigned>(secondary.size()), 1, 1, secondary)};
}

// Plain iterations only, no window, no early stop.
pair_segmentation_parameters settings(int class_count, int max_iterations) {
  pair_segmentation_parameters parameters;
  parameters.secondary_weight = 1;
  parameters.class_count = class_count;
  parameters.max_iterations = max_iterations;
  parameters.last_plain_iteration = max_iterations;
  return parameters;
}

void use_window(pair_segmentation_parameters& parameters, int window_size) {
  parameters.window_size = window_size;
  parameters.window = core::make_window(window_size);
}

std::string refusal_of(const std::vector<float>& values) {
  try {
    tamvel::read_parameters(row_of(values));
  } catch (const core::refusal& refusal) {
    return refusal.mnemonic();
  }
  return "";
}

// ---------------------------------------------------------------- settings

TEST(TamvelParameters, reads_eight_values_in_order) {
  const pair_segmentation_parameters p = tamvel::read_parameters(row_of({0.5f, 1e-3f, 2.5f, 5, 10, -2, 4, 3}));
  EXPECT_EQ(p.secondary_weight, 0.5f);
  EXPECT_EQ(p.tolerance, 1e-3f);
  EXPECT_EQ(p.edge_weight, 2.5f);
  EXPECT_EQ(p.window_size, 5);
  EXPECT_EQ(p.max_iterations, 10);
  EXPECT_EQ(p.band_sigma, -2.0f);
  EXPECT_EQ(p.last_plain_iteration, 4);
  EXPECT_EQ(p.class_count, 3);
  // Diameter 5: offsets -2 .. 2.
  EXPECT_EQ(p.window.lo, -2);
  EXPECT_EQ(p.window.hi, 3);
}

TEST(TamvelParameters, counts_and_sizes_are_truncated_toward_zero) {
  const pair_segmentation_parameters p = tamvel::read_parameters(row_of({1, 0, 1, 4.9f, 10.5f, 1.5f, -1.7f, 2.99f}));
  EXPECT_EQ(p.window_size, 4);
  EXPECT_EQ(p.max_iterations, 10);
  EXPECT_EQ(p.last_plain_iteration, -1);
  EXPECT_EQ(p.class_count, 2);
  EXPECT_EQ(p.band_sigma, 1.5f);  // a scale, not a count
}

TEST(TamvelParameters, row_and_column_vectors_read_alike) {
  const std::vector<float> values = {2, 1e-4f, 3, 5, 20, 1, 3, 4};
  const pair_segmentation_parameters row = tamvel::read_parameters(image_of(8, 1, 1, 1, values));
  const pair_segmentation_parameters column = tamvel::read_parameters(image_of(1, 8, 1, 1, values));
  EXPECT_EQ(row.secondary_weight, column.secondary_weight);
  EXPECT_EQ(row.tolerance, column.tolerance);
  EXPECT_EQ(row.edge_weight, column.edge_weight);
  EXPECT_EQ(row.window_size, column.window_size);
  EXPECT_EQ(row.max_iterations, column.max_iterations);
  EXPECT_EQ(row.band_sigma, column.band_sigma);
  EXPECT_EQ(row.last_plain_iteration, column.last_plain_iteration);
  EXPECT_EQ(row.class_count, column.class_count);
}

TEST(TamvelParameters, values_beyond_the_eighth_are_ignored) {
  EXPECT_EQ(tamvel::read_parameters(row_of({1, 0, 1, 3, 5, 1, 2, 3, nan_value, -7})).class_count, 3);
}

TEST(TamvelParameters, settings_it_cannot_compute_are_refused) {
  EXPECT_EQ(refusal_of({1, 0, 1, 3, 5, 1, 2}), "tooFewParameters");
  EXPECT_EQ(refusal_of({}), "tooFewParameters");
  EXPECT_EQ(refusal_of({1, 0, 1, 3, 5, 1, 2, 0}), "badParameters");          // no class
  EXPECT_EQ(refusal_of({1, 0, 1, 3, 5, 1, 2, 0.9f}), "badParameters");       // truncates to no class
  EXPECT_EQ(refusal_of({1, 0, 1, 3, nan_value, 1, 2, 3}), "badParameters");  // iteration limit NaN
  EXPECT_EQ(refusal_of({1, 0, 1, 3, 5, 1, 3e9f, 3}), "badParameters");       // beyond 32 bits
  EXPECT_EQ(refusal_of({1, 0, 1, 3, -infinity, 1, 2, 3}), "badParameters");
  EXPECT_EQ(refusal_of({1, 0, 1, 46341, 5, 1, 2, 3}), "badParameters");      // window too wide
  EXPECT_EQ(refusal_of({nan_value, 0, 1, 3, 5, 1, 2, 3}), "badParameters");  // secondary weight
  EXPECT_EQ(refusal_of({1, nan_value, 1, 3, 5, 1, 2, 3}), "badParameters");  // tolerance
  EXPECT_EQ(refusal_of({1, 0, infinity, 3, 5, 1, 2, 3}), "badParameters");   // edge weight
  EXPECT_EQ(refusal_of({1, 0, 1, 3, 5, nan_value, 2, 3}), "badParameters");  // band scale
}

TEST(TamvelParameters, widest_window_and_infinite_tolerance_are_accepted) {
  const pair_segmentation_parameters p = tamvel::read_parameters(row_of({1, infinity, 1, -46340, 5, 1, 2, 3}));
  EXPECT_EQ(p.window_size, -46340);
  EXPECT_TRUE(p.window.empty());
  EXPECT_EQ(p.tolerance, infinity);
}

// ---------------------------------------------------------------- centres

TEST(TamvelInitCentres, ranges_of_primary_and_secondary_are_taken_separately) {
  // I spans 0 .. 255 and J 10 .. 20; K = 3 splits each range into quarters.
  const centre_pair centres = tamvel::init_centres(row_of({0, 255, 100, 30}), row_of({20, 10, 15, 12}), 3, one_thread);
  ASSERT_EQ(centres.primary.width(), 1);
  ASSERT_EQ(centres.primary.height(), 3);
  EXPECT_EQ(values_of(centres.primary), (std::vector<float>{63.75f, 127.5f, 191.25f}));
  EXPECT_EQ(values_of(centres.secondary), (std::vector<float>{12.5f, 15, 17.5f}));
}

TEST(TamvelInitCentres, each_channel_has_its_own_range) {
  // Channel 0 then channel 1 of two-pixel images; K = 1 takes the midpoint.
  const centre_pair centres =
      tamvel::init_centres(image_of(2, 1, 1, 2, {0, 8, 100, 200}), image_of(2, 1, 1, 2, {-4, 4, 1, 3}), 1, one_thread);
  EXPECT_EQ(centres.primary(0, 0), 4);
  EXPECT_EQ(centres.primary(1, 0), 150);
  EXPECT_EQ(centres.secondary(0, 0), 0);
  EXPECT_EQ(centres.secondary(1, 0), 2);
}

TEST(TamvelInitCentres, values_that_are_not_finite_are_ignored) {
  const centre_pair centres =
      tamvel::init_centres(row_of({nan_value, 0, infinity, 8, -infinity}),
                           row_of({nan_value, infinity, -infinity, nan_value, nan_value}), 3, one_thread);
  EXPECT_EQ(values_of(centres.primary), (std::vector<float>{2, 4, 6}));
  // No finite value at all: every class starts at 0.
  EXPECT_EQ(values_of(centres.secondary), (std::vector<float>{0, 0, 0}));
}

TEST(TamvelInitCentres, secondary_channels_beyond_the_primarys_are_unused) {
  const centre_pair centres =
      tamvel::init_centres(row_of({0, 4}), image_of(2, 1, 1, 2, {2, 6, 1000, -1000}), 1, one_thread);
  ASSERT_EQ(centres.secondary.width(), 1);
  EXPECT_EQ(centres.secondary(0, 0), 4);
}

TEST(TamvelUpdateCentres, centres_become_the_class_means_in_both_images) {
  centre_pair centres = centres_of({99, 99}, {99, 99});
  tamvel::update_centres(row_of({1, 3, 5, 7}), row_of({10, 20, 30, 40}), row_of({0, 1, 0, 1}), centres);
  EXPECT_EQ(values_of(centres.primary), (std::vector<float>{3, 5}));
  EXPECT_EQ(values_of(centres.secondary), (std::vector<float>{20, 30}));
}

TEST(TamvelUpdateCentres, a_pixel_not_finite_in_either_image_is_left_out_of_both) {
  // Pixel 1 holds NaN in channel 1 of I, pixel 2 an infinity in channel 0 of
  // J: only pixels 0 and 3 count, in both images and both channels.
  const CImg<float> primary = image_of(4, 1, 1, 2, {1, 2, 3, 5, /* channel 1 */ 0, nan_value, 2, 4});
  const CImg<float> secondary = image_of(4, 1, 1, 2, {10, 20, infinity, 40, /* channel 1 */ 1, 1, 1, 3});
  centre_pair centres{CImg<float>(2, 1, 1, 1, 99.0f), CImg<float>(2, 1, 1, 1, 99.0f)};
  tamvel::update_centres(primary, secondary, row_of({0, 0, 0, 0}), centres);
  EXPECT_EQ(values_of(centres.primary), (std::vector<float>{3, 2}));
  EXPECT_EQ(values_of(centres.secondary), (std::vector<float>{25, 2}));
}

TEST(TamvelUpdateCentres, secondary_channels_beyond_the_primarys_do_not_exclude_a_pixel) {
  centre_pair centres = centres_of({0}, {0});
  tamvel::update_centres(row_of({2, 4}), image_of(2, 1, 1, 2, {6, 8, nan_value, nan_value}), row_of({0, 0}), centres);
  EXPECT_EQ(centres.primary(0, 0), 3);
  EXPECT_EQ(centres.secondary(0, 0), 7);
}

TEST(TamvelUpdateCentres, a_class_without_pixels_gets_zero_centres) {
  centre_pair centres = centres_of({5, 5}, {5, 5});
  tamvel::update_centres(row_of({1, 3}), row_of({2, 4}), row_of({0, 0}), centres);
  EXPECT_EQ(values_of(centres.primary), (std::vector<float>{2, 0}));
  EXPECT_EQ(values_of(centres.secondary), (std::vector<float>{3, 0}));
}

// ---------------------------------------------------------------- one sweep

struct sweep_case {
  CImg<float> primary, secondary, edges, band, labels;
  centre_pair centres;
  pair_segmentation_parameters parameters = settings(2, 1);

  float sweep(int iteration) {
    return tamvel::label_sweep(primary, secondary, edges, band, labels, centres, parameters, iteration, one_thread);
  }
};

// One pixel at I = 4, J = 7 against centres 0 and 10 in both images.
sweep_case one_pixel(float secondary_weight) {
  sweep_case c{row_of({4}),        row_of({7}),        filled(1, 1, 1, 1),
               filled(1, 1, 1, 1), filled(1, 1, 1, 0), centres_of({0, 10}, {0, 10})};
  c.parameters.secondary_weight = secondary_weight;
  return c;
}

TEST(TamvelLabelSweep, cost_is_primary_distance_plus_weighted_secondary_distance) {
  sweep_case full = one_pixel(1);  // class 0: 16 + 49, class 1: 36 + 9
  EXPECT_EQ(full.sweep(0), 45);
  EXPECT_EQ(full.labels(0, 0), 1);

  sweep_case primary_only = one_pixel(0);  // 16 against 36
  EXPECT_EQ(primary_only.sweep(0), 16);
  EXPECT_EQ(primary_only.labels(0, 0), 0);
}

TEST(TamvelLabelSweep, ties_go_to_the_lower_class) {
  sweep_case half = one_pixel(0.5f);  // 16 + 24.5 against 36 + 4.5
  half.labels(0, 0) = 1;
  EXPECT_EQ(half.sweep(0), 40.5f);
  EXPECT_EQ(half.labels(0, 0), 0);
}

TEST(TamvelLabelSweep, distances_sum_over_the_primarys_channels) {
  // I = (1, 3) against (0, 0) and (3, 3); the third channel of J is not read.
  sweep_case c{
      image_of(1, 1, 1, 2, {1, 3}), image_of(1, 1, 1, 3, {0, 0, 1000}),
      filled(1, 1, 1, 1),           filled(1, 1, 1, 1),
      filled(1, 1, 1, 0),           centre_pair{image_of(2, 2, 1, 1, {0, 0, 3, 3}), CImg<float>(2, 2, 1, 1, 0.0f)}};
  EXPECT_EQ(c.sweep(0), 4);  // 1 + 9 against 4 + 0
  EXPECT_EQ(c.labels(0, 0), 1);
}

TEST(TamvelLabelSweep, a_pixel_that_no_class_wins_keeps_its_label_and_adds_the_ceiling) {
  sweep_case c{
      row_of({nan_value, infinity, 0}), row_of({0, 0, 0}), filled(3, 1, 1, 1), filled(3, 1, 1, 1), filled(3, 1, 1, 1),
      centres_of({0, 10}, {0, 0})};
  EXPECT_EQ(c.sweep(0), 2e8f);
  EXPECT_EQ(values_of(c.labels), (std::vector<float>{1, 1, 0}));
}

TEST(TamvelLabelSweep, a_finite_cost_above_the_ceiling_still_wins) {
  // 1e10 against 99990^2: both beyond 1e8, yet the nearer class takes it.
  sweep_case c{row_of({1e5f}),     row_of({0}),        filled(1, 1, 1, 1),
               filled(1, 1, 1, 1), filled(1, 1, 1, 0), centres_of({0, 10}, {0, 0})};
  EXPECT_EQ(c.sweep(0), 9.998e9f);
  EXPECT_EQ(c.labels(0, 0), 1);
}

TEST(TamvelLabelSweep, pixels_outside_the_band_keep_their_label_and_add_nothing) {
  // Pixels 0 and 2 would change class, but only pixel 1 is in the band.
  sweep_case c{row_of({0, 9, 10}), row_of({0, 0, 0}), filled(3, 1, 1, 1),
               row_of({0, 1, 0}),  row_of({1, 0, 0}), centres_of({0, 10}, {0, 0})};
  EXPECT_EQ(c.sweep(0), 1);
  EXPECT_EQ(values_of(c.labels), (std::vector<float>{1, 1, 0}));
}

// A 3 x 3 image whose data cost nothing for either class, so that only the
// penalty decides; only the pixel at `x`, `y` is in the band.
sweep_case penalty_only(unsigned x, unsigned y, const std::vector<float>& labels, const std::vector<float>& edges) {
  sweep_case c{filled(3, 3, 1, 0), filled(3, 3, 1, 0),           image_of(3, 3, 1, 1, edges),
               filled(3, 3, 1, 0), image_of(3, 3, 1, 1, labels), centres_of({0, 0}, {0, 0})};
  c.band(x, y) = 1;
  c.parameters.edge_weight = 2;
  c.parameters.last_plain_iteration = 0;
  use_window(c.parameters, 3);  // the whole 3 x 3 neighbourhood
  return c;
}

// The left column in class 1, priced 1; the rest in class 0, priced 0.25
// except the centre, priced 1.
const std::vector<float> left_column_labels = {1, 0, 0, 1, 0, 0, 1, 0, 0};
const std::vector<float> left_column_edges = {1, 0.25f, 0.25f, 1, 1, 0.25f, 1, 0.25f, 0.25f};

TEST(TamvelLabelSweep, penalty_prices_each_disagreeing_neighbour_at_the_neighbour) {
  // Class 0 disagrees with the three 1s of the left column, each priced 1:
  // 3. Class 1 disagrees with five 0s priced 0.25 and with the pixel's own
  // label 0 priced 1: 2.25. Priced at the pixel itself it would be 3 against 6.
  sweep_case c = penalty_only(1, 1, left_column_labels, left_column_edges);
  EXPECT_EQ(c.sweep(1), 2 * 2.25f);
  EXPECT_EQ(c.labels(1, 1), 1);
}

TEST(TamvelLabelSweep, no_penalty_up_to_the_last_plain_iteration_or_with_an_empty_window) {
  sweep_case plain = penalty_only(1, 1, left_column_labels, left_column_edges);
  EXPECT_EQ(plain.sweep(0), 0);  // iteration 0 = T: data only, a tie
  EXPECT_EQ(plain.labels(1, 1), 0);

  for (int window_size : {0, -5}) {
    sweep_case no_window = penalty_only(1, 1, left_column_labels, left_column_edges);
    use_window(no_window.parameters, window_size);
    EXPECT_EQ(no_window.sweep(1), 0);
    EXPECT_EQ(no_window.labels(1, 1), 0);
  }
}

TEST(TamvelLabelSweep, the_window_reflects_at_the_image_border) {
  // Around the corner (0, 0) offset -1 reads index 1, so (1, 1) counts four
  // times, (1, 0) and (0, 1) twice and the pixel itself once. Class 0:
  // 4 * 0.75 = 3; class 1: 2 * 0.25 + 2 * 0.25 + 1 = 2.
  sweep_case c = penalty_only(0, 0, {0, 0, 0, 0, 1, 0, 0, 0, 0}, {1, 0.25f, 1, 0.25f, 0.75f, 1, 1, 1, 1});
  c.parameters.edge_weight = 1;
  EXPECT_EQ(c.sweep(1), 2);
  EXPECT_EQ(c.labels(0, 0), 1);
}

TEST(TamvelLabelSweep, the_window_stays_in_the_pixels_own_slice) {
  // Slice 1 is all 1 around its centre, slice 0 all 0. Class 1 pays only for
  // the centre's own label 0; class 0 pays for the eight 1s.
  sweep_case c{filled(3, 3, 2, 0), filled(3, 3, 2, 0), filled(3, 3, 2, 1),
               filled(3, 3, 2, 0), filled(3, 3, 2, 0), centres_of({0, 0}, {0, 0})};
  c.labels.get_shared_slice(1).fill(1);
  c.labels(1, 1, 1) = 0;
  c.band(1, 1, 1) = 1;
  c.parameters.edge_weight = 1;
  c.parameters.last_plain_iteration = 0;
  use_window(c.parameters, 3);
  EXPECT_EQ(c.sweep(1), 1);
  EXPECT_EQ(c.labels(1, 1, 1), 1);
}

TEST(TamvelLabelSweep, later_pixels_see_the_labels_written_earlier_in_the_sweep) {
  // 2 x 2, all labels 0, window 3: a pixel sees itself once, its horizontal
  // and vertical partners twice and its diagonal partner four times. Pixel
  // (0, 0) moves to class 1 at cost 9 (data 0, nine disagreeing positions);
  // the others stay 0 but now pay for it: 2 + 2 + 4.
  sweep_case c{image_of(2, 2, 1, 1, {10, 0, 0, 0}),
               filled(2, 2, 1, 0),
               filled(2, 2, 1, 1),
               filled(2, 2, 1, 1),
               filled(2, 2, 1, 0),
               centres_of({0, 10}, {0, 0})};
  c.parameters.edge_weight = 1;
  c.parameters.last_plain_iteration = 0;
  use_window(c.parameters, 3);
  EXPECT_EQ(c.sweep(1), 9 + 2 + 2 + 4);
  EXPECT_EQ(values_of(c.labels), (std::vector<float>{1, 0, 0, 0}));
}

// ---------------------------------------------------------------- the run

// Plain clustering of these values needs three sweeps to settle. Centres
// start at 13 and 22 (the range 4 .. 31 in thirds); after sweep 0 they are
// 35/3 and 24.5, after sweep 1 13.25 and 80/3, after sweep 2 14.4 and 30.5.
const std::vector<float> slow_values = {4, 14, 17, 18, 19, 30, 31};
const std::vector<float> after_one_sweep = {0, 0, 0, 1, 1, 1, 1};
const std::vector<float> after_two_sweeps = {0, 0, 0, 0, 1, 1, 1};
const std::vector<float> settled = {0, 0, 0, 0, 0, 1, 1};

std::vector<float> run(const CImg<float>& primary, const pair_segmentation_parameters& parameters) {
  const CImg<float> secondary(primary.width(), primary.height(), primary.depth(), primary.spectrum(), 0.0f);
  const CImg<float> edges(primary.width(), primary.height(), primary.depth(), 1, 1.0f);
  return values_of(tamvel::run_clustering(primary, secondary, parameters, edges, one_thread));
}

TEST(TamvelRunClustering, plain_run_performs_exactly_N_iterations_when_T_is_at_least_N_minus_1) {
  // An infinite tolerance would stop the run at its first test: there is none.
  for (const auto& [iterations, expected] :
       std::vector<std::pair<int, std::vector<float>>>{{1, after_one_sweep}, {2, after_two_sweeps}, {3, settled}}) {
    pair_segmentation_parameters parameters = settings(2, iterations);
    parameters.tolerance = infinity;
    parameters.last_plain_iteration = iterations - 1;
    EXPECT_EQ(run(row_of(slow_values), parameters), expected) << iterations << " iterations";
    parameters.last_plain_iteration = iterations + 10;
    EXPECT_EQ(run(row_of(slow_values), parameters), expected) << iterations << " iterations";
  }
}

TEST(TamvelRunClustering, negative_T_tests_convergence_from_iteration_0_and_never_rebuilds_the_band) {
  pair_segmentation_parameters parameters = settings(2, 10);
  parameters.last_plain_iteration = -1;
  parameters.band_sigma = 0;  // a rebuild would empty the band and freeze the labels
  parameters.tolerance = infinity;
  EXPECT_EQ(run(row_of(slow_values), parameters), after_one_sweep);
  parameters.tolerance = 0;  // never holds
  EXPECT_EQ(run(row_of(slow_values), parameters), settled);
}

TEST(TamvelRunClustering, convergence_is_tested_only_after_T) {
  // An infinite tolerance stops the run at its first test. The pixel that
  // moves next always borders the other class, so the band keeps it.
  pair_segmentation_parameters parameters = settings(2, 10);
  parameters.tolerance = infinity;
  parameters.band_sigma = 1;
  parameters.last_plain_iteration = 0;
  EXPECT_EQ(run(row_of(slow_values), parameters), after_two_sweeps);
  parameters.last_plain_iteration = 1;
  EXPECT_EQ(run(row_of(slow_values), parameters), settled);
}

TEST(TamvelRunClustering, negative_T_applies_the_penalty_from_the_first_sweep) {
  // A lone bright pixel: nearer class 1 by its data (11.1 against 44.4), but
  // a heavy penalty for nine disagreeing positions keeps it in class 0.
  const CImg<float> lone = image_of(3, 3, 1, 1, {0, 0, 0, 0, 10, 0, 0, 0, 0});
  pair_segmentation_parameters parameters = settings(2, 1);
  parameters.edge_weight = 100;
  use_window(parameters, 3);
  parameters.last_plain_iteration = 0;
  EXPECT_EQ(run(lone, parameters), (std::vector<float>{0, 0, 0, 0, 1, 0, 0, 0, 0}));
  parameters.last_plain_iteration = -1;
  EXPECT_EQ(run(lone, parameters), std::vector<float>(9, 0));
}

// Sweep 0 (centres 10 and 20) leaves 0 and the 14s in class 0 and the rest
// in class 1; the centres move to 70/6 and 27.2, and a second plain sweep
// moves both 16s to class 0. The 16 at x = 6 borders class 0; the one at
// x = 15 lies nine pixels inside class 1.
const std::vector<float> two_strays = {0, 14, 14, 14, 14, 14, 16, 30, 30, 30, 30, 30, 30, 30, 30, 16};

TEST(TamvelRunClustering, later_sweeps_visit_only_the_band_rebuilt_after_iteration_T) {
  pair_segmentation_parameters parameters = settings(2, 2);
  std::vector<float> expected(16, 1);
  std::fill(expected.begin(), expected.begin() + 7, 0);
  expected[15] = 0;
  EXPECT_EQ(run(row_of(two_strays), parameters), expected) << "without a band both strays move";

  parameters.last_plain_iteration = 0;
  parameters.band_sigma = 1;
  expected[15] = 1;
  EXPECT_EQ(run(row_of(two_strays), parameters), expected) << "only the stray near the boundary is in the band";
}

TEST(TamvelRunClustering, an_empty_band_freezes_the_labels) {
  pair_segmentation_parameters parameters = settings(2, 5);
  parameters.last_plain_iteration = 0;
  parameters.band_sigma = 0;  // too small to smooth: no pixel differs from its smoothed label
  std::vector<float> expected(16, 1);
  std::fill(expected.begin(), expected.begin() + 6, 0);
  EXPECT_EQ(run(row_of(two_strays), parameters), expected);
}

TEST(TamvelRunClustering, no_iteration_leaves_every_label_zero) {
  for (int iterations : {0, -3}) EXPECT_EQ(run(row_of(slow_values), settings(2, iterations)), std::vector<float>(7, 0));
}

TEST(TamvelRunClustering, a_single_class_labels_everything_zero) {
  EXPECT_EQ(run(row_of(slow_values), settings(1, 5)), std::vector<float>(7, 0));
}

TEST(TamvelRunClustering, constant_images_put_every_pixel_in_class_zero) {
  // Every centre of a channel is the same value, so every class costs the same.
  EXPECT_EQ(run(filled(4, 3, 1, 7), settings(3, 4)), std::vector<float>(12, 0));
}

TEST(TamvelRunClustering, labels_have_the_primarys_width_height_and_depth) {
  const CImg<float> primary(3, 2, 4, 2, 1.0f);
  const CImg<float> labels = tamvel::run_clustering(primary, CImg<float>(3, 2, 4, 5, 0.0f), settings(2, 1),
                                                    CImg<float>(3, 2, 4, 1, 1.0f), one_thread);
  EXPECT_EQ(labels.width(), 3);
  EXPECT_EQ(labels.height(), 2);
  EXPECT_EQ(labels.depth(), 4);
  EXPECT_EQ(labels.spectrum(), 1);
}

}  // namespace
