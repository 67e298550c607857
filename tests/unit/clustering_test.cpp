#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/centre_sums.h"
#include "sorvik/clustering.h"
#include "core/disc_rows.h"
#include "core/initial_centres.h"
#include "sorvik/segment_image.h"
#include "tests/reference/sorvik_reference.h"
#include "core/call_threads.h"

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread;

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

CImg<float> row(std::initializer_list<float> values) {
  CImg<float> image(static_cast<unsigned>(values.size()), 1);
  unsigned i = 0;
  for (float v : values) image(i++) = v;
  return image;
}

// Centres of one channel, class by class.
CImg<float> centres_of(std::initializer_list<float> values) { return row(values).transpose(); }

sorvik::segmentation_parameters plain(int class_count) {
  sorvik::segmentation_parameters p;
  p.class_count = class_count;
  p.max_iterations = 1;
  p.last_plain_iteration = 100;
  return p;
}

sorvik::segmentation_parameters edge_phase(int class_count, int window_size, float edge_weight) {
  sorvik::segmentation_parameters p = plain(class_count);
  p.last_plain_iteration = -1;
  p.window_size = window_size;
  p.window = core::make_window(window_size);
  p.edge_weight = edge_weight;
  return p;
}

TEST(SorvikCentres, spread_evenly_inside_each_channel_range) {
  CImg<float> image(2, 1, 1, 2);
  image(0, 0, 0, 0) = 0;
  image(1, 0, 0, 0) = 255;
  image(0, 0, 0, 1) = 10;
  image(1, 0, 0, 1) = 20;
  const CImg<float> centres = sorvik::init_centres(image, 3, one_thread);
  EXPECT_EQ(centres(0, 0), 63.75f);
  EXPECT_EQ(centres(0, 1), 127.5f);
  EXPECT_EQ(centres(0, 2), 191.25f);
  EXPECT_EQ(centres(1, 0), 12.5f);
  EXPECT_EQ(centres(1, 2), 17.5f);
  EXPECT_EQ(sorvik::init_centres(row({2, 6}), 1, one_thread)(0, 0), 4.0f);
  const CImg<float> flat = sorvik::init_centres(row({7, 7, 7}), 3, one_thread);
  EXPECT_EQ(flat(0, 0), 7.0f);
  EXPECT_EQ(flat(0, 2), 7.0f);
}

TEST(SorvikCentres, take_ranges_over_finite_values_only) {
  const CImg<float> centres = sorvik::init_centres(row({nan, 0, inf, 30, -inf}), 2, one_thread);
  EXPECT_EQ(centres(0, 0), 10.0f);
  EXPECT_EQ(centres(0, 1), 20.0f);
  const CImg<float> none = sorvik::init_centres(row({nan, inf}), 2, one_thread);
  EXPECT_EQ(none(0, 0), 0.0f);
  EXPECT_EQ(none(0, 1), 0.0f);
}

// Image-wide passes shared among threads find what one pass in order finds:
// of 0 and -0 the first as the bound, nothing from a share without finite
// values, and a single fraction far from the start.
TEST(SorvikCentres, passes_over_the_image_give_one_thread_s_answer_with_any_thread_count) {
  std::vector<float> values(4 * 65536 + 3);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = float((i * 7919) % 200 + 1);
  std::fill(values.begin() + 70000, values.begin() + 140000, nan);
  values[140001] = inf;
  for (const bool negative_first : {false, true}) {
    values[5] = negative_first ? -0.0f : 0.0f;
    values[200000] = negative_first ? 0.0f : -0.0f;
    for (const int threads : {1, 2, 3, 7}) {
      float lowest = 1, highest = 0;
      core::call_threads call(threads);
      ASSERT_TRUE(core::finite_range(values.data(), values.size(), lowest, highest, call));
      EXPECT_EQ(lowest, 0.0f);
      EXPECT_EQ(std::signbit(lowest), negative_first) << threads << " threads";
      EXPECT_EQ(highest, 200.0f);
    }
  }
  const std::vector<const float*> channel{values.data()};
  for (const int threads : {1, 2, 3, 7}) {
    values[250000] = 3.0f;
    core::call_threads call(threads);
    EXPECT_TRUE(core::sums_are_exact(channel, values.size(), nullptr, call)) << threads << " threads";
    values[250000] = 1e-30f;  // no sum of 2^18 values up to 200 keeps its last bit
    EXPECT_FALSE(core::sums_are_exact(channel, values.size(), nullptr, call)) << threads << " threads";
  }
}

// Under a mask, the bounds are those of the pixels inside, an upper bound of
// 0 the zero met first among them, whatever lies outside.
TEST(SorvikCentres, ranges_under_a_mask_take_the_inside_in_order) {
  std::vector<float> values(70000);
  std::vector<unsigned char> inside(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = -float((i * 7919) % 300);
    inside[i] = (i / 37) % 3 != 0;
  }
  values[36] = -1000, values[37] = inf, values[40] = -0.0f, values[41] = 0.0f, values[69999] = nan;
  // Also over the mask's listed runs, in rows of 700.
  const std::vector<core::inside_span> runs = core::list_runs(core::pixel_mask{inside.data()}, values.size(), 700);
  for (const int threads : {1, 3})
    for (const bool listed : {false, true}) {
      float lowest = 0, highest = 1;
      core::call_threads call(threads, 1);
      ASSERT_TRUE(listed ? core::finite_range(values.data(), values.size(), lowest, highest, call,
                                              core::pixel_mask{inside.data(), &runs})
                         : core::finite_range(values.data(), values.size(), lowest, highest, call, inside.data()));
      EXPECT_EQ(lowest, -299.0f);
      EXPECT_EQ(highest, 0.0f);
      EXPECT_TRUE(std::signbit(highest)) << threads << " threads";
    }
}

TEST(SorvikCentres, surveys_of_parts_merge_into_the_whole_ones_decision) {
  // The finest bit of every value decides, down to subnormals and whatever
  // its sign; the one-channel pass and the pass over channels agree.
  const float finest[] = {0.5f, -0.25f, 0x1p-149f, -0x1p-126f, 3.0f};
  for (const float fine : finest) {
    std::vector<float> values(70000, 96.0f), second(values.size(), 2.0f);
    values[12] = fine;
    values[40000] = std::numeric_limits<float>::quiet_NaN();  // left out, and its pixel in both channels
    second[40000] = 0x1p-149f;
    core::call_threads call(3);
    const core::sum_survey whole = core::survey_sums({values.data()}, values.size(), nullptr, call);
    const core::sum_survey merged =
        core::merge_surveys({core::survey_sums({values.data()}, 30000, nullptr, one_thread),
                             core::survey_sums({values.data() + 30000}, values.size() - 30000, nullptr, one_thread)});
    const core::sum_survey pairs = core::survey_sums({values.data(), second.data()}, values.size(), nullptr, call);
    EXPECT_EQ(std::tie(whole.count, whole.largest, whole.finest_exponent),
              std::tie(merged.count, merged.largest, merged.finest_exponent));
    EXPECT_EQ(whole.count, values.size() - 1);
    EXPECT_EQ(whole.finest_exponent, std::ilogb(std::fabs(fine)) < 0 ? std::ilogb(std::fabs(fine)) : 0) << fine;
    EXPECT_EQ(pairs.finest_exponent, std::min(whole.finest_exponent, 1)) << fine;
    // At most 2^17 values below 2^7: exact down to steps of 2^(7 + 17 - 53).
    EXPECT_EQ(core::sums_exact_in_any_order(whole), whole.finest_exponent >= -29) << fine;
  }
}

TEST(SorvikCentres, image_without_pixels_but_with_a_channel_is_an_empty_instance) {
  CImg<float> no_rows;
  no_rows._width = 5;
  no_rows._depth = no_rows._spectrum = 1;
  EXPECT_THROW(sorvik::init_centres(no_rows, 2, one_thread), cimg_library::CImgInstanceException);
  CImg<float> no_channels;
  no_channels._width = 5;
  no_channels._height = no_channels._depth = 1;
  EXPECT_NO_THROW(sorvik::init_centres(no_channels, 2, one_thread));
}

TEST(SorvikSweep, nearest_centre_wins_and_ties_go_to_the_lower_class) {
  CImg<float> labels(4, 1, 1, 1, 0.0f);
  const float energy = sorvik::label_sweep(row({1, 9, 5, 12}), plain(2), centres_of({0, 10}), labels, 0, one_thread);
  EXPECT_EQ(labels(0), 0.0f);
  EXPECT_EQ(labels(1), 1.0f);
  EXPECT_EQ(labels(2), 0.0f);  // 25 against 25
  EXPECT_EQ(labels(3), 1.0f);
  EXPECT_EQ(energy, 1.0f + 1.0f + 25.0f + 4.0f);
}

TEST(SorvikSweep, costs_above_the_old_ceiling_still_win) {
  CImg<float> labels(2, 1, 1, 1, 0.0f);
  // Squared distances of 4e8 and more: every class would lose against 1e8.
  sorvik::label_sweep(row({0, 60000}), plain(2), centres_of({-30000, 90000}), labels, 0, one_thread);
  EXPECT_EQ(labels(0), 0.0f);
  EXPECT_EQ(labels(1), 1.0f);
}

TEST(SorvikSweep, pixel_no_class_wins_keeps_its_label_and_costs_the_ceiling) {
  CImg<float> labels = row({1, 1, 1});
  const float energy = sorvik::label_sweep(row({nan, inf, 3}), plain(2), centres_of({0, 10}), labels, 0, one_thread);
  EXPECT_EQ(labels(0), 1.0f);
  EXPECT_EQ(labels(1), 1.0f);
  EXPECT_EQ(labels(2), 0.0f);
  EXPECT_EQ(energy, 2e8f + 9.0f);
}

TEST(SorvikSweep, own_position_sees_the_label_just_written) {
  // The disc of w = 1 is the pixel itself. Class 0 pays for the stored label 1
  // and wins at 35; class 1 then pays for the 0 just written and ties at 35.
  CImg<float> labels = row({1});
  sorvik::label_sweep(row({5}), edge_phase(2, 1, 10), centres_of({0, 10}), labels, 0, one_thread);
  EXPECT_EQ(labels(0), 0.0f);
}

TEST(SorvikSweep, later_pixels_see_labels_written_earlier_in_the_sweep) {
  // Pixel 1 ties on distance; with the new label of pixel 0 it stays in class
  // 0, while the labels from before the sweep would have pulled it to class 1.
  CImg<float> labels = row({1, 1});
  sorvik::label_sweep(row({0, 5}), edge_phase(2, 3, 1), centres_of({0, 10}), labels, 0, one_thread);
  EXPECT_EQ(labels(0), 0.0f);
  EXPECT_EQ(labels(1), 0.0f);
}

TEST(SorvikSweep, edge_term_only_after_the_last_plain_iteration) {
  sorvik::segmentation_parameters p = edge_phase(2, 3, 1000);
  p.last_plain_iteration = 0;
  const CImg<float> image = row({0, 0, 10, 0, 0});
  CImg<float> labels(5, 1, 1, 1, 0.0f);
  sorvik::label_sweep(image, p, centres_of({0, 10}), labels, 0, one_thread);
  EXPECT_EQ(labels(2), 1.0f);
  sorvik::label_sweep(image, p, centres_of({0, 10}), labels, 1, one_thread);
  EXPECT_EQ(labels(2), 0.0f);
}

TEST(SorvikSweep, best_cost_is_kept_in_single_precision) {
  // Distances 16777219.0625 and 16777219.28515625 from the pixel (0, 0): the
  // first is stored as the float 16777220, which the second, though larger,
  // undercuts. Both phases make the same comparison.
  CImg<float> image(1, 1, 1, 2, 0.0f);
  CImg<float> centres(2, 2);
  centres(0, 0) = 4096;
  centres(1, 0) = 1.75f;
  centres(0, 1) = 4096;
  centres(1, 1) = 1.8125f;
  for (const auto& p : {plain(2), edge_phase(2, 1, 0)}) {
    CImg<float> labels(1, 1, 1, 1, 0.0f);
    EXPECT_EQ(sorvik::label_sweep(image, p, centres, labels, 0, one_thread), 16777220.0f);
    EXPECT_EQ(labels(0), 1.0f);
  }
}

TEST(SorvikSweep, pixel_reflected_onto_itself_counts_every_time) {
  // In a 1 x 1 image all 9 offsets of the 3 x 3 disc are the pixel itself.
  // Class 0 pays 36 + 9 against the stored label 1 and wins; class 1 then
  // pays 16 + 9 against the 0 just written, and wins at 25.
  for (const float start : {0.0f, 1.0f}) {
    CImg<float> labels = row({start});
    EXPECT_EQ(sorvik::label_sweep(row({6}), edge_phase(2, 3, 1), centres_of({0, 10}), labels, 0, one_thread), 25.0f);
    EXPECT_EQ(labels(0), 1.0f);
  }
}

TEST(SorvikDiscRows, rows_of_the_disc_and_their_half_widths) {
  const auto half_widths = [](int w) {
    std::string text;
    for (const core::disc_row& r : core::make_disc_rows(core::make_window(w)).rows)
      text += std::to_string(r.dy) + ":" + std::to_string(r.half_width) + " ";
    return text;
  };
  EXPECT_EQ(half_widths(0), "");
  EXPECT_EQ(half_widths(1), "0:0 ");
  EXPECT_EQ(half_widths(4), "-1:1 0:1 1:1 ");  // the offsets at -2 never qualify
  EXPECT_EQ(half_widths(5), "-2:1 -1:2 0:2 1:2 2:1 ");
  EXPECT_EQ(half_widths(6), "-2:2 -1:2 0:2 1:2 2:2 ");
  const core::disc_rows w9 = core::make_disc_rows(core::make_window(9));
  EXPECT_EQ(w9.offset_count, 69);
  EXPECT_EQ(w9.radius, 4);
  EXPECT_EQ(core::make_disc_rows(core::make_window(7)).offset_count, 37);
}

TEST(SorvikDiscRows, own_column_counts_every_reflection_onto_the_pixel) {
  // Row of 10: columns x - 2 .. x + 2 reflected.
  EXPECT_EQ(core::own_column_count(0, 2, 10), 1);  // 2 1 0 1 2
  EXPECT_EQ(core::own_column_count(1, 2, 10), 2);  // 1 0 1 2 3
  EXPECT_EQ(core::own_column_count(8, 2, 10), 2);  // 6 7 8 9 8
  EXPECT_EQ(core::own_column_count(9, 2, 10), 1);  // 7 8 9 8 7
  EXPECT_EQ(core::own_column_count(5, 4, 10), 1);
  // Rows shorter than the window reflect again and again (period 2n - 2).
  EXPECT_EQ(core::own_column_count(0, 3, 2), 3);  // columns -3 .. 3 read 1 0 1 0 1 0 1
  EXPECT_EQ(core::own_column_count(1, 3, 2), 3);  // columns -2 .. 4 read 0 1 0 1 0 1 0
  EXPECT_EQ(core::own_column_count(1, 4, 3), 5);  // columns -3 .. 5 read 1 2 1 0 1 2 1 0 1
  EXPECT_EQ(core::own_column_count(0, 4, 1), 9);  // a single column is every offset
}

TEST(SorvikEdgeCount, counts_differing_labels_in_the_reflected_disc) {
  CImg<float> labels(4, 3, 1, 1, 0.0f);
  labels(1, 0) = labels(2, 2) = 1;
  const core::disc_window w3 = core::make_window(3);
  // At (0, 0): columns -1, 0, 1 read 1, 0, 1; rows -1, 0, 1 read 1, 0, 1.
  EXPECT_EQ(sorvik_reference::edge_count(labels, 0, 0, 0, 0, w3), 2);
  EXPECT_EQ(sorvik_reference::edge_count(labels, 0, 0, 0, 1, w3), 7);
  EXPECT_EQ(sorvik_reference::edge_count(labels, 3, 2, 0, 0, w3), 2);  // reflected (2, 2) twice
  EXPECT_EQ(sorvik_reference::edge_count(labels, 1, 1, 0, 0, core::make_window(0)), 0);
}

TEST(SorvikUpdate, centres_become_means_of_finite_pixels) {
  const CImg<float> image = row({1, 3, nan, 10, inf, 20});
  const CImg<float> labels = row({0, 0, 0, 2, 2, 2});
  CImg<float> centres = centres_of({-1, -1, -1});
  sorvik::update_centres(image, labels, 3, centres);
  EXPECT_EQ(centres(0, 0), static_cast<float>(4.0 / (2 + 1e-9)));
  EXPECT_EQ(centres(0, 1), 0.0f);  // no pixel: the centre goes to 0
  EXPECT_EQ(centres(0, 2), static_cast<float>(30.0 / (2 + 1e-9)));
}

TEST(SorvikUpdate, sums_do_not_drift_where_float_sums_would) {
  // 1e8 + 1 is 1e8 in float: a float sum would lose every one of the ones.
  CImg<float> image(1001, 1, 1, 1, 1.0f);
  image(0) = 1e8f;
  CImg<float> centres = centres_of({0});
  sorvik::update_centres(image, CImg<float>(1001, 1, 1, 1, 0.0f), 1, centres);
  EXPECT_EQ(centres(0, 0), static_cast<float>(100001000.0 / (1001 + 1e-9)));
}

TEST(SorvikDriver, labels_are_zero_when_no_iteration_runs_or_one_class) {
  const CImg<float> image = row({0, 50, 100, 150});
  EXPECT_EQ(sorvik::segment_image(image, row({3, 1, 0, 0, 0, 3})).sum(), 0.0f);
  EXPECT_EQ(sorvik::segment_image(image, row({3, 1, 0, -4, 0, 3})).sum(), 0.0f);
  EXPECT_EQ(sorvik::segment_image(image, row({3, 1, 0, 10, 0, 1})).sum(), 0.0f);
  const CImg<float> labels = sorvik::segment_image(image, row({3, 0, 0, 10, 0, 2}));
  EXPECT_EQ(labels(0), 0.0f);
  EXPECT_EQ(labels(3), 1.0f);
}

TEST(SorvikDriver, volume_slices_are_segmented_in_raster_order) {
  // Two slices with opposite patterns share one pair of centres.
  CImg<float> image(3, 3, 2, 1, 0.0f);
  image.get_shared_slice(1).fill(100);
  image(1, 1, 0) = 100;
  image(1, 1, 1) = 0;
  const CImg<float> labels = sorvik::segment_image(image, row({3, 1, 0, 5, 0, 2}));
  EXPECT_EQ(labels(1, 1, 0), 1.0f);
  EXPECT_EQ(labels(0, 0, 0), 0.0f);
  EXPECT_EQ(labels(1, 1, 1), 0.0f);
  EXPECT_EQ(labels(0, 0, 1), 1.0f);
}

}  // namespace
