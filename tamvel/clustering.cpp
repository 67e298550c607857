#include "clustering.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "class_sums.h"
#include "edge_sweep.h"
#include "narrow_band.h"
#include "core/kept_buffers.h"
#include "core/centre_sums.h"
#include "core/convergence.h"
#include "core/initial_centres.h"
#include "core/labels.h"
#include "core/phases.h"
#include "core/run_recorder.h"
#include "sweep_inputs.h"

// These kernels give bit for bit the labels, centres and energies of the plain
// iteration kept in tests/reference/: each pixel's data terms, penalties and
// costs and each centre sum come from the same float and double operations
// in the same order, or, for centre sums shown to be exact, from operations
// whose order cannot change a bit. What changes is the work around them:
// pixels whose costs do not depend on each other are taken side by side, the
// band is listed once, the disc is walked by rows without reflecting inside
// the image, one walk sums the penalties of several classes, a window's
// penalties are kept until a label in it changes, and exact centre sums
// follow the relabelled pixels instead of being formed anew.

namespace tamvel {

namespace {

// Appends positions position .. position + count - 1 (columns x on of row y)
// that are in the band, in runs.
void add_band_pixels(const float* value, std::size_t position, unsigned x, unsigned y, std::size_t count,
                     std::vector<band_run>& runs) {
  for (std::size_t i = 0; i < count; ++i, ++position) {
    // in_band's test, on the value in hand.
    if (!(std::fabs(double(value[position])) > band_threshold)) continue;
    if (i > 0 && !runs.empty() && runs.back().position + runs.back().length == position)
      ++runs.back().length;
    else
      runs.push_back(band_run{position, unsigned(x + i), y, 1});
  }
}

}  // namespace

std::vector<band_run> list_band(const CImg<float>& band) {
  std::vector<band_run> runs;
  const std::size_t width = band.width();
  std::size_t position = 0;
  for (unsigned z = 0; z < unsigned(band.depth()); ++z)
    for (unsigned y = 0; y < unsigned(band.height()); ++y, position += width)
      add_band_pixels(band.data(), position, 0, y, width, runs);
  return runs;
}

std::vector<band_run> list_band(const CImg<float>& band, const std::vector<band_run>& within) {
  std::vector<band_run> runs;
  for (const band_run& run : within) add_band_pixels(band.data(), run.position, run.x, run.y, run.length, runs);
  return runs;
}

std::vector<band_run> list_inside(const core::pixel_mask& mask, unsigned width, unsigned height, unsigned depth) {
  const std::vector<core::inside_span> scanned =
      mask.runs ? std::vector<core::inside_span>() : core::list_runs(mask, std::size_t(width) * height * depth, width);
  const std::vector<core::inside_span>& inside = mask.runs ? *mask.runs : scanned;
  std::vector<band_run> runs;
  runs.reserve(inside.size());
  for (const core::inside_span& run : inside) {
    const std::size_t row = run.begin / width;
    runs.push_back(
        band_run{run.begin, unsigned(run.begin - row * width), unsigned(row % height), unsigned(run.end - run.begin)});
  }
  return runs;
}

std::size_t pixels_in(const std::vector<band_run>& band) {
  std::size_t count = 0;
  for (const band_run& run : band) count += run.length;
  return count;
}

namespace {

// K centres per channel of `image`'s first `channels`, spaced evenly inside
// each one's finite range.
CImg<float> spread_start(const CImg<float>& image, int channels, int class_count, core::call_threads& threads,
                         const core::pixel_mask& mask) {
  CImg<float> centres(channels, class_count, 1, 1, 0.0f);
  core::spread_centres(image, channels, class_count, centres, threads, mask);
  return centres;
}

// The class count's position in the settings vector.
constexpr int class_count_position = 7;

}  // namespace

centre_pair init_centres(const CImg<float>& primary, const CImg<float>& secondary, int class_count,
                         core::call_threads& threads, const core::pixel_mask& mask) {
  const int channels = primary.spectrum();
  return {spread_start(primary, channels, class_count, threads, mask),
          spread_start(secondary, channels, class_count, threads, mask)};
}

centre_pair start_centres(const CImg<float>& primary, const CImg<float>& secondary, int class_count,
                          const core::centre_table& start, const core::centre_table& secondary_start,
                          core::call_threads& threads, const core::pixel_mask& mask) {
  // A given table is taken as it is: the range survey behind the spread
  // start is left out for it.
  const int channels = primary.spectrum();
  CImg<float> first = start.given() ? core::given_centres(start, class_count, channels, channels,
                                                          "the starting centres", class_count_position)
                                    : spread_start(primary, channels, class_count, threads, mask);
  CImg<float> second = secondary_start.given()
                           ? core::given_centres(secondary_start, class_count, channels, secondary.spectrum(),
                                                 "the secondary starting centres", class_count_position)
                           : spread_start(secondary, channels, class_count, threads, mask);
  return {std::move(first), std::move(second)};
}

float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const CImg<float>& band, CImg<float>& labels, const centre_pair& centres,
                  const pair_segmentation_parameters& parameters, int iteration, core::call_threads& threads) {
  return label_sweep(primary, secondary, edge_indicator, list_band(band), labels, centres, parameters, iteration,
                     threads);
}

float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const std::vector<band_run>& band, CImg<float>& labels, const centre_pair& centres,
                  const pair_segmentation_parameters& parameters, int iteration, core::call_threads& threads) {
  sweep_state state = make_sweep_state(primary, parameters, threads);
  const sweep_inputs in = inputs_of(primary, secondary, edge_indicator, centres, parameters);
  start_band(state, band, in, band_sweeps::edge);
  return sweep_band(in, state, band, labels.data(), parameters, iteration, true);
}

void update_centres(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& labels,
                    centre_pair& centres) {
  class_sums sums;
  core::call_threads one_thread;
  sum_classes(primary, secondary, labels.data(), centres.primary.height(), sums, one_thread);
  set_centres(sums, centres);
}

CImg<float> run_clustering(const CImg<float>& primary, const CImg<float>& secondary,
                           const pair_segmentation_parameters& parameters, const CImg<float>& edge_indicator,
                           core::call_threads& threads, const core::run_watch& watch, const core::pixel_mask& mask,
                           const centre_pair* start) {
  const unsigned width = primary.width(), height = primary.height(), depth = primary.depth();
  CImg<float> labels = core::start_labels(primary, threads, mask);
  centre_pair centres = start ? *start : init_centres(primary, secondary, parameters.class_count, threads, mask);
  // The pixels inside, listed once: the passes below walk them alone.
  const std::vector<band_run> inside = mask ? list_inside(mask, width, height, depth) : std::vector<band_run>();
  sweep_state state = make_sweep_state(primary, parameters, threads);
  const int last_plain = parameters.last_plain_iteration;
  const auto use_runs = [&](std::vector<band_run> band, band_sweeps sweeps) {
    start_band(state, band, inputs_of(primary, secondary, edge_indicator, centres, parameters), sweeps);
    return band;
  };
  // Until the rebuild the band holds every pixel (inside the mask), swept
  // plainly unless T < 0, when it always holds them.
  std::vector<band_run> band;
  const band_sweeps first_sweeps = last_plain < 0 ? band_sweeps::edge_remembering : band_sweeps::plain;
  if ((last_plain < 0 || mask) && parameters.max_iterations > 0)
    band =
        mask ? use_runs(inside, first_sweeps) : use_runs(list_band(initial_band(width, height, depth)), first_sweeps);
  class_sums sums;
  sum_plan summing = plan_sums(primary, secondary, parameters.class_count, mask ? &inside : nullptr, threads);
  bool sums_follow_moves = false;  // once summed in full, whether moves keep the sums exact
  core::run_recorder record{watch, parameters.tolerance, last_plain};
  float energy = core::initial_energy;
  for (int iteration = 0; iteration < parameters.max_iterations; ++iteration) {
    threads.check_stop();
    const float previous_energy = energy;
    const sweep_inputs in = inputs_of(primary, secondary, edge_indicator, centres, parameters);
    const bool energy_wanted =
        core::energy_wanted(iteration, last_plain, parameters.tolerance, record.energies_wanted());
    core::before_sweep(record, labels);
    if (iteration <= last_plain && !mask) {
      energy = sweep_image(in, state, labels.data(), energy_wanted);
    } else {
      energy = sweep_band(in, state, band, labels.data(), parameters, iteration, energy_wanted);
    }
    if (iteration == last_plain) {
      CImg<float> rebuilt = rebuild_band(labels, parameters.band_sigma, threads, mask, &inside);
      band = use_runs(mask ? list_band(rebuilt, inside) : list_band(rebuilt), band_sweeps::edge_remembering);
      core::keep_for_reuse(std::move(rebuilt));
    }
    if (sums_follow_moves && is_edge_phase(parameters, iteration)) {
      move_relabelled(primary, secondary, labels.data(), summing.counted, state.changes, sums);
    } else {
      sum_classes(primary, secondary, labels.data(), parameters.class_count, sums, threads, summing);
      sums_follow_moves = summing.exact;
    }
    set_centres(sums, centres);
    const bool converged =
        core::iteration_converged(iteration, last_plain, energy, previous_energy, parameters.tolerance);
    core::after_iteration(record, iteration, is_edge_phase(parameters, iteration), energy, labels,
                          converged || iteration + 1 == parameters.max_iterations, converged);
    if (converged) break;
  }
  core::finish_run(record, labels, parameters.class_count, centres.primary, &centres.secondary);
  core::keep_for_reuse(std::move(summing.counted));
  core::keep_for_reuse(std::move(state.knowledge));
  return labels;
}

}  // namespace tamvel
