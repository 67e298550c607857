// Runs that are stopped or watched, in each build of the kernels: a stop
// requested before a sweep ends it before any pixel moves, in both phases of
// both commands, with one thread and several; and asking what a run found
// changes no label and reports the class means and sizes of the labels.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/call_threads.h"
#include "core/run_report.h"
#include "tamvel/clustering.h"
#include "tamvel/edge_indicator.h"
#include "tamvel/narrow_band.h"
#include "tamvel/parameters.h"
#include "tamvel/segment_image_pair.h"
#include "sorvik/clustering.h"
#include "sorvik/parameters.h"
#include "sorvik/segment_image.h"
#include "tests/property/random_cases.h"
#include "tests/reference/sorvik_reference.h"
#include "tests/reference/tamvel_reference.h"

namespace {

using property::draw;
using property::same_bits;

CImg<float> settings_image(std::vector<float> values) {
  return CImg<float>(values.data(), unsigned(values.size()), 1, 1, 1);
}

CImg<float> whole_number_image(draw& d, int width, int height, int depth) {
  CImg<float> image(width, height, depth, 1);
  for (float& value : image) value = float(d.between(0, 255));
  return image;
}

// One sweep of either command over `labels`, in the plain phase or the edge
// phase, on `threads`.
void sweep_once(bool pair, bool edge_phase, const CImg<float>& image, CImg<float>& labels,
                core::call_threads& threads) {
  core::call_threads setup(1, property::least_share);
  const int iteration = edge_phase ? 4 : 0;
  if (pair) {
    const tamvel::pair_segmentation_parameters p = tamvel::read_parameters(settings_image({1, 0, 2, 5, 10, 2, 3, 5}));
    const tamvel::centre_pair centres = tamvel::init_centres(image, image, p.class_count, setup);
    const CImg<float> edges = tamvel::compute_edge_indicator(image, setup);
    const CImg<float> band = tamvel::initial_band(image.width(), image.height(), image.depth());
    tamvel::label_sweep(image, image, edges, band, labels, centres, p, iteration, threads);
  } else {
    const sorvik::segmentation_parameters p = sorvik::read_parameters(settings_image({5, 2, 0, 10, 3, 5}));
    const CImg<float> centres = sorvik::init_centres(image, p.class_count, setup);
    sorvik::label_sweep(image, p, centres, labels, iteration, threads);
  }
}

bool all_zero(const CImg<float>& labels) {
  for (const float label : labels)
    if (label != 0) return false;
  return true;
}

TEST(StoppedSweeps, a_stop_requested_before_a_sweep_ends_it_before_any_pixel_moves) {
  draw d(424242);
  const CImg<float> image = whole_number_image(d, 64, 48, 2);
  for (const bool pair : {false, true})
    for (const bool edge_phase : {false, true})
      for (const int count : {1, 3}) {
        const std::string what = std::string(pair ? "Tamvel" : "Sorvik") + (edge_phase ? ", edge" : ", plain") +
                                 " phase, " + std::to_string(count) + " threads";
        core::call_threads running(count, property::least_share);
        CImg<float> labels(image.width(), image.height(), image.depth(), 1, 0.0f);
        sweep_once(pair, edge_phase, image, labels, running);
        ASSERT_FALSE(all_zero(labels)) << what << ": the sweep moves pixels";
        core::call_threads stopped(count, property::least_share);
        stopped.request_stop();
        labels.fill(0.0f);
        EXPECT_THROW(sweep_once(pair, edge_phase, image, labels, stopped), core::call_stopped) << what;
        EXPECT_TRUE(all_zero(labels)) << what << ": pixels moved after the stop";
      }
}

// A poll on the calling thread stops a whole run too (a host's Ctrl-C).
TEST(StoppedSweeps, a_poll_that_answers_yes_stops_a_whole_run_of_either_command) {
  draw d(434343);
  const CImg<float> image = whole_number_image(d, 40, 30, 2);
  for (const int count : {1, 3}) {
    int polls = 0;
    core::call_threads sorvik_threads(count, property::least_share);
    sorvik_threads.poll_for_stop([&] { return ++polls > 0; });
    EXPECT_THROW(sorvik::segment_image(image, settings_image({5, 2, 0, 1000, 3, 5}), sorvik_threads),
                 core::call_stopped);
    core::call_threads tamvel_threads(count, property::least_share);
    tamvel_threads.poll_for_stop([&] { return ++polls > 0; });
    EXPECT_THROW(tamvel::segment_image_pair(image, image, settings_image({1, 0, 2, 5, 1000, 2, 3, 5}), tamvel_threads),
                 core::call_stopped);
    EXPECT_GE(polls, 2);
  }
}

// The labels of a watched run, and what it reports, against the run without
// a watch and against the plain centre update on its labels.
TEST(WatchedRuns, asking_what_a_run_found_changes_no_label_and_reports_the_labels_classes) {
  for (std::uint32_t seed = 50000; seed < 50040; ++seed) {
    draw d(seed);
    const bool pair = d.chance(50);
    CImg<float> image = whole_number_image(d, d.between(1, 30), d.between(1, 30), d.between(1, 3));
    if (d.chance(30)) image(0, 0, 0) = property::nan;
    const int classes = d.between(1, 6), iterations = d.between(0, 12), last_plain = d.between(-1, 4);
    const float tolerance = d.chance(50) ? 0.0f : 1e-4f, weight = float(d.between(0, 40));
    const CImg<float> settings =
        pair ? settings_image({1, tolerance, weight * 50, 5, float(iterations), 2, float(last_plain), float(classes)})
             : settings_image({5, weight, tolerance, float(iterations), float(last_plain), float(classes)});
    const int count = d.between(1, 3);
    core::call_threads plain_threads(count, property::least_share), watched_threads(count, property::least_share);
    core::run_info info;
    int reports = 0;
    bool ended = false;
    const core::run_watch watch{[&](const core::iteration_report& report) {
                                  EXPECT_EQ(report.iteration, reports) << "seed " << seed;
                                  ++reports;
                                  ended = report.last;
                                },
                                &info,
                                {}};
    const CImg<float> labels = pair ? tamvel::segment_image_pair(image, image, settings, plain_threads)
                                    : sorvik::segment_image(image, settings, plain_threads);
    const CImg<float> watched = pair ? tamvel::segment_image_pair(image, image, settings, watched_threads, watch)
                                     : sorvik::segment_image(image, settings, watched_threads, watch);
    ASSERT_TRUE(same_bits(watched, labels)) << "seed " << seed;
    EXPECT_EQ(info.iterations, reports) << "seed " << seed;
    EXPECT_EQ(ended, reports > 0) << "seed " << seed;
    EXPECT_EQ(int(info.energies.size()), reports) << "seed " << seed;
    EXPECT_TRUE(info.iterations == iterations || info.converged) << "seed " << seed;
    // The class sizes, counted by hand.
    std::vector<std::uint64_t> counts(std::size_t(classes), 0);
    for (const float label : labels) ++counts[std::size_t(label)];
    EXPECT_EQ(info.counts, counts) << "seed " << seed;
    // After at least one iteration the centres are the plain update on the labels.
    if (info.iterations == 0) continue;
    if (pair) {
      tamvel::centre_pair expected{CImg<float>(1, classes, 1, 1, -1.0f), CImg<float>(1, classes, 1, 1, -1.0f)};
      tamvel_reference::update_centres(image, image, labels, expected);
      for (int k = 0; k < classes; ++k) {
        EXPECT_EQ(info.centres[k], double(expected.primary(0, k))) << "seed " << seed << ", class " << k;
        EXPECT_EQ(info.secondary_centres[k], double(expected.secondary(0, k))) << "seed " << seed;
      }
    } else {
      CImg<float> expected(1, classes, 1, 1, -1.0f);
      sorvik_reference::update_centres(image, labels, classes, expected);
      for (int k = 0; k < classes; ++k)
        EXPECT_EQ(info.centres[k], double(expected(0, k))) << "seed " << seed << ", class " << k;
    }
  }
}

}  // namespace
