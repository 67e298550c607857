#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "edgeseg/sorvik_steps.h"
#include "sorvik/segment_image.h"

namespace {

// Window 5, edge weight 0.6, a tolerance that lets some runs stop early, at
// most 9 iterations of which 0 .. 1 are plain, 3 classes.
const std::vector<float> settings = {5, 0.6f, 1e-3f, 9, 1, 3};

// A random 11 x 9 volume of 6 slices and 2 channels: whole numbers, or values
// with fractions whose double sums round.
CImg<float> random_volume(bool whole_numbers, unsigned seed) {
  std::mt19937 random(seed);
  CImg<float> volume(11, 9, 6, 2);
  for (float& value : volume) {
    const float drawn = float(random() % 256);
    value = whole_numbers ? drawn : drawn / 3.0f + 1e-3f * float(random() % 1000);
  }
  return volume;
}

// Slices first .. end - 1 of the volume, as the caller's own buffer.
edgeseg::image_view slab_of(const CImg<float>& volume, int first, int end) {
  edgeseg::image_view view;
  view.data = volume.data(0, 0, first, 0);
  view.type = edgeseg::element_type::float32;
  view.width = volume.width();
  view.height = volume.height();
  view.depth = std::uint64_t(end - first);
  view.channels = volume.spectrum();
  view.x_stride = 1;
  view.y_stride = volume.width();
  view.z_stride = std::int64_t(volume.width()) * volume.height();
  view.channel_stride = view.z_stride * volume.depth();
  return view;
}

// Slices first .. end - 1 of a mask of one byte a voxel.
edgeseg::image_view mask_slab_of(const CImg<unsigned char>& mask, int first, int end) {
  return edgeseg::row_major_view(mask.data(0, 0, first), edgeseg::element_type::uint8, mask.height(), mask.width(),
                                 std::uint64_t(end - first));
}

// A driver as a distributed run takes its steps, all in one process: each
// slab swept on its own, or given the totals of the slabs before it; the
// iterations' reports, where asked for, with the changed labels counted;
// with `mask`, each slab given its part of it.
CImg<float> labels_by_steps(const CImg<float>& volume, int slab_count, bool chained,
                            const std::vector<float>& settings = settings,
                            std::vector<edgeseg::iteration_report>* reports = nullptr,
                            const CImg<unsigned char>* mask = nullptr) {
  std::vector<int> first(slab_count + 1);
  for (int s = 0; s <= slab_count; ++s) first[s] = volume.depth() * s / slab_count;
  const auto options_of = [&](int s) {
    edgeseg::call_options options;
    if (mask) options.mask = mask_slab_of(*mask, first[s], first[s + 1]);
    return options;
  };
  std::vector<std::vector<edgeseg::channel_range>> ranges;
  for (int s = 0; s < slab_count; ++s)
    ranges.push_back(edgeseg::finite_ranges(slab_of(volume, first[s], first[s + 1]), options_of(s)));
  edgeseg::centres centres = edgeseg::initial_centres(edgeseg::combine_ranges(ranges), settings);
  CImg<float> labels(volume.width(), volume.height(), volume.depth(), 1, 0.0f);
  float energy = edgeseg::energy_before_first_iteration();
  for (int iteration = 0; iteration < edgeseg::iteration_limit(settings); ++iteration) {
    const CImg<float> before = labels;
    std::vector<edgeseg::slab_sweep> swept;
    swept.reserve(slab_count);
    for (int s = 0; s < slab_count; ++s)
      swept.push_back(edgeseg::sweep_slab(slab_of(volume, first[s], first[s + 1]), labels.data(0, 0, first[s]), centres,
                                          settings, iteration, options_of(s),
                                          chained && s > 0 ? &swept[s - 1].totals : nullptr));
    edgeseg::sweep_totals totals = chained ? swept.back().totals : edgeseg::combine_slabs(swept);
    for (std::size_t i = 0; i < labels.size(); ++i) totals.changed += labels[i] != before[i];
    const edgeseg::iteration_outcome outcome = edgeseg::next_centres(totals, centres, settings, iteration, energy);
    if (reports) reports->push_back(outcome.report);
    centres = outcome.next;
    energy = outcome.energy;
    if (outcome.done) break;
  }
  return labels;
}

CImg<float> labels_of_one_call(const CImg<float>& volume) {
  return sorvik::segment_image(volume, CImg<float>(settings.data(), unsigned(settings.size())), 2);
}

bool same_bits(const CImg<float>& a, const CImg<float>& b) {
  return a.is_sameXYZC(b) && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(SorvikSteps, slabs_of_whole_numbers_swept_apart_label_as_one_call) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const CImg<float> volume = random_volume(true, seed);
    const CImg<float> expected = labels_of_one_call(volume);
    for (int slabs : {1, 2, 3}) EXPECT_TRUE(same_bits(labels_by_steps(volume, slabs, false), expected)) << slabs;
  }
}

TEST(SorvikSteps, chained_slabs_of_fractional_values_label_as_one_call) {
  for (unsigned seed : {4u, 5u, 6u}) {
    const CImg<float> volume = random_volume(false, seed);
    const CImg<float> expected = labels_of_one_call(volume);
    for (int slabs : {1, 2, 3}) EXPECT_TRUE(same_bits(labels_by_steps(volume, slabs, true), expected)) << slabs;
  }
}

TEST(SorvikSteps, masked_slabs_label_as_one_masked_call_also_where_a_slab_is_wholly_outside) {
  const CImg<float> volume = random_volume(false, 7);
  CImg<unsigned char> mask(11, 9, 6, 1, 0);
  cimg_forXYZ(mask, x, y, z) mask(x, y, z) = z < 4 && (x + 2 * y + z) % 5 != 0;  // slices 4 and 5 outside
  core::call_threads two(2);
  const CImg<float> expected = sorvik::segment_image(volume, CImg<float>(settings.data(), unsigned(settings.size())),
                                                     two, {}, false, core::mask_of(mask));
  for (int slabs : {1, 3})
    EXPECT_TRUE(same_bits(labels_by_steps(volume, slabs, true, settings, nullptr, &mask), expected)) << slabs;
}

TEST(SorvikSteps, chained_totals_are_those_of_the_whole_sweep_to_the_bit) {
  // Fractional values whose class sums round: the whole sweep's sums are one
  // chain in raster order, and so are the chained slabs'.
  const CImg<float> volume = random_volume(false, 9);
  const edgeseg::centres centres =
      edgeseg::initial_centres(edgeseg::combine_ranges({edgeseg::finite_ranges(slab_of(volume, 0, 6))}), settings);
  CImg<float> whole_labels(11, 9, 6, 1, 0.0f), slab_labels(11, 9, 6, 1, 0.0f);
  const edgeseg::slab_sweep whole =
      edgeseg::sweep_slab(slab_of(volume, 0, 6), whole_labels.data(), centres, settings, 3);
  const edgeseg::slab_sweep upper =
      edgeseg::sweep_slab(slab_of(volume, 0, 4), slab_labels.data(), centres, settings, 3);
  const edgeseg::slab_sweep lower =
      edgeseg::sweep_slab(slab_of(volume, 4, 6), slab_labels.data(0, 0, 4), centres, settings, 3, {}, &upper.totals);
  EXPECT_TRUE(same_bits(slab_labels, whole_labels));
  EXPECT_EQ(lower.totals.counts, whole.totals.counts);
  EXPECT_EQ(lower.totals.sums, whole.totals.sums);
  EXPECT_EQ(std::memcmp(&lower.totals.energy, &whole.totals.energy, sizeof(float)), 0);
}

// A driver that keeps each slab's labels and terms itself, as a distributed
// run does: the surveys decide whether the slabs' own sums may be added in
// any order, and otherwise the totals run through the slabs in order.
CImg<float> labels_of_kept_slabs(const CImg<float>& volume, int slab_count, bool& any_order) {
  std::vector<edgeseg::sum_survey> surveys;
  for (int s = 0; s < slab_count; ++s)
    surveys.push_back(
        edgeseg::survey_sums(slab_of(volume, volume.depth() * s / slab_count, volume.depth() * (s + 1) / slab_count)));
  any_order = edgeseg::sums_exact_in_any_order(surveys);
  edgeseg::centres centres =
      edgeseg::initial_centres(edgeseg::combine_ranges({edgeseg::finite_ranges(slab_of(volume, 0, 6))}), settings);
  CImg<float> labels(volume.width(), volume.height(), volume.depth(), 1, 0.0f), terms(labels, "xyzc");
  float energy = edgeseg::energy_before_first_iteration();
  for (int iteration = 0; iteration < edgeseg::iteration_limit(settings); ++iteration) {
    edgeseg::sweep_totals totals{0.0f, std::vector<double>(6, 0.0), std::vector<std::uint64_t>(3, 0)};
    for (int s = 0; s < slab_count; ++s) {
      const int first = volume.depth() * s / slab_count, end = volume.depth() * (s + 1) / slab_count;
      edgeseg::sweep_slab_into(slab_of(volume, first, end), labels.data(0, 0, first), terms.data(0, 0, first), centres,
                               settings, iteration);
    }
    for (int s = slab_count - 1; s >= 0 && any_order; --s) {  // the slabs' own sums, last first
      const int first = volume.depth() * s / slab_count, end = volume.depth() * (s + 1) / slab_count;
      edgeseg::sweep_totals own{0.0f, std::vector<double>(6, 0.0), std::vector<std::uint64_t>(3, 0)};
      edgeseg::continue_totals(own, slab_of(volume, first, end), labels.data(0, 0, first), nullptr);
      for (std::size_t i = 0; i < 6; ++i) totals.sums[i] += own.sums[i];
      for (std::size_t k = 0; k < 3; ++k) totals.counts[k] += own.counts[k];
    }
    for (int s = 0; s < slab_count; ++s) {
      const int first = volume.depth() * s / slab_count, end = volume.depth() * (s + 1) / slab_count;
      const std::size_t pixels = std::size_t(volume.width()) * volume.height() * (end - first);
      if (any_order)
        totals.energy = edgeseg::continue_energy(terms.data(0, 0, first), pixels, totals.energy);
      else
        edgeseg::continue_totals(totals, slab_of(volume, first, end), labels.data(0, 0, first),
                                 terms.data(0, 0, first));
    }
    const edgeseg::iteration_outcome outcome = edgeseg::next_centres(totals, centres, settings, iteration, energy);
    centres = outcome.next;
    energy = outcome.energy;
    if (outcome.done) break;
  }
  return labels;
}

TEST(SorvikSteps, kept_slabs_label_as_one_call_summed_as_their_survey_allows) {
  for (bool whole : {true, false}) {
    CImg<float> volume = random_volume(whole, 7);
    if (!whole) volume(3, 3, 2, 1) = 3e-20f;  // far finer than the rest: sums of them round
    const CImg<float> expected = labels_of_one_call(volume);
    for (int slabs : {1, 4, 6}) {
      bool any_order = !whole;
      EXPECT_TRUE(same_bits(labels_of_kept_slabs(volume, slabs, any_order), expected)) << whole << slabs;
      EXPECT_EQ(any_order, whole);
    }
  }
  // 2^30 values below 2^24: whole multiples of 2 keep every sum within 2^53 steps, odd ones may not.
  EXPECT_TRUE(edgeseg::sums_exact_in_any_order({{1u << 29, 9e6f, 1}, {1u << 29, 1.0f, 4}}));
  EXPECT_FALSE(edgeseg::sums_exact_in_any_order({{1u << 29, 9e6f, 1}, {1u << 29, 1.0f, 0}}));
  EXPECT_TRUE(edgeseg::sums_exact_in_any_order({{0, 0.0f, 1 << 20}}));
}

TEST(SorvikSteps, reports_and_edge_phases_are_those_of_one_call_field_for_field) {
  const CImg<float> volume = random_volume(true, 11);
  // A last plain iteration of -0.5 is read as 0: iteration 0 is plain and untested.
  for (const std::vector<float>& table : {std::vector<float>{5, 0.6f, 1e-3f, 9, -0.5f, 3},
                                          {5, 0.6f, 1e-3f, 9, -1, 3},
                                          {1, 0.6f, 1e-2f, 5, -1, 2},
                                          {3, 0.2f, 0, 4, 2, 4}}) {
    std::vector<edgeseg::iteration_report> expected, reports;
    core::call_threads threads(2);
    const CImg<float> labels = sorvik::segment_image(
        volume, CImg<float>(table.data(), 6), threads,
        core::run_watch{[&](const edgeseg::iteration_report& report) { expected.push_back(report); }, nullptr,
                        nullptr});
    EXPECT_TRUE(same_bits(labels_by_steps(volume, 2, true, table, &reports), labels));
    ASSERT_EQ(reports.size(), expected.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
      const edgeseg::iteration_report &got = reports[i], &want = expected[i];
      EXPECT_EQ(std::tie(got.iteration, got.edge_phase, got.changed, got.last, got.converged, got.tested),
                std::tie(want.iteration, want.edge_phase, want.changed, want.last, want.converged, want.tested));
      EXPECT_EQ(std::memcmp(&got.energy, &want.energy, sizeof(float)), 0) << i;
      EXPECT_EQ(std::memcmp(&got.previous_energy, &want.previous_energy, sizeof(float)), 0) << i;
      EXPECT_EQ(got.tolerance, want.tolerance);
      EXPECT_EQ(edgeseg::edge_phase(table, int(i)), want.edge_phase);
    }
  }
}

TEST(SorvikSteps, combined_ranges_keep_the_first_of_zero_and_minus_zero) {
  const std::vector<edgeseg::channel_range> zero_first = {{true, 0.0f, 0.0f}};
  const std::vector<edgeseg::channel_range> minus_zero_later = {{true, -0.0f, -0.0f}};
  const std::vector<edgeseg::channel_range> none = {{false, 0.0f, 0.0f}};
  const std::vector<edgeseg::channel_range> combined = edgeseg::combine_ranges({none, zero_first, minus_zero_later});
  ASSERT_TRUE(combined[0].found);
  EXPECT_FALSE(std::signbit(combined[0].lowest));
  EXPECT_FALSE(std::signbit(combined[0].highest));
  const std::vector<edgeseg::channel_range> reversed = edgeseg::combine_ranges({minus_zero_later, zero_first});
  EXPECT_TRUE(std::signbit(reversed[0].lowest));
  EXPECT_TRUE(std::signbit(reversed[0].highest));
}

TEST(SorvikSteps, centres_of_other_classes_than_the_settings_are_refused) {
  const CImg<float> volume = random_volume(true, 1);
  CImg<float> labels(11, 9, 6, 1, 0.0f);
  edgeseg::centres two_classes;
  two_classes.class_count = 2;
  two_classes.channels = 2;
  two_classes.values.assign(4, 0.0f);
  try {
    edgeseg::sweep_slab(slab_of(volume, 0, 6), labels.data(), two_classes, settings, 0);
    FAIL() << "centres of 2 classes were taken for 3";
  } catch (const edgeseg::refusal& refusal) {
    EXPECT_STREQ(refusal.mnemonic(), "badCentres");
  }
}

}  // namespace
