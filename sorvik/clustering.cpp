#include "clustering.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/centre_sums.h"
#include "core/convergence.h"
#include "core/exact_sum.h"
#include "data_terms.h"
#include "edge_sweep.h"
#include "core/initial_centres.h"
#include "core/mask.h"
#include "core/phases.h"
#include "core/run_recorder.h"
#include "core/sweep.h"

// These kernels give, bit for bit, the labels, centres and energies of the
// plain iteration kept in tests/reference/: every pixel and class goes through
// the same operations in the same order. They only arrange the work so that
// independent pixels run side by side (data_terms, centre_sums) and the edge
// term needs no pass over the disc per class (edge_sweep).

namespace sorvik {
namespace {

// A block buffer's worth of the plain sweep: a block's values, room for one
// block of data terms and best costs, and the block's labels and energy terms.
struct plain_block_buffers {
  std::vector<double> value, distance, best;
  std::vector<float> label, added;
};

plain_block_buffers make_plain_block_buffers(const CImg<float>& image) {
  plain_block_buffers buffers;
  buffers.value.resize(std::size_t(std::max(image.spectrum(), 1)) * core::block_pixels);
  buffers.distance.resize(core::block_pixels);
  buffers.best.resize(core::block_pixels);
  buffers.label.resize(core::block_pixels);
  buffers.added.resize(core::block_pixels);
  return buffers;
}

// Working memory of the sweeps, allocated once per run (or per call of
// label_sweep), so that a sweep itself allocates nothing: one set per part
// of the sweep, and with more than one part every pixel's energy term, which
// the caller adds up in raster order (or exactly, in any order).
struct sweep_buffers {
  core::call_threads* threads = nullptr;
  std::vector<double> centre_values;  // the centres in double
  std::vector<plain_block_buffers> plain;
  std::vector<edge_buffers> edge;  // when an edge-phase sweep is to come
  core::pixel_mask mask;
  // Not cleared beforehand: a sweep writes every term before any is read, and
  // the parts touch their pages first, side by side.
  std::unique_ptr<float[]> energy_terms;
};

bool is_edge_phase(const segmentation_parameters& parameters, std::int64_t iteration) {
  return is_edge_phase(parameters.last_plain_iteration, parameters.window, iteration);
}

// Parts of a plain sweep: blocks of pixels, a few thousand pixels at least each.
int plain_parts(int threads, std::size_t pixels) { return core::useful_parts(threads, pixels, core::plain_share); }

sweep_buffers make_sweep_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                                 const CImg<float>& labels, bool edge_phase_ahead, core::call_threads& threads,
                                 const core::pixel_mask& mask, bool exact_sums = false) {
  sweep_buffers buffers;
  buffers.threads = &threads;
  buffers.mask = mask;
  buffers.centre_values.resize(std::size_t(image.spectrum()) * parameters.class_count);
  buffers.plain.resize(std::size_t(plain_parts(threads.count(), labels.size())));
  for (plain_block_buffers& part : buffers.plain) part = make_plain_block_buffers(image);
  if (edge_phase_ahead) buffers.edge = make_edge_buffers(image, parameters, labels, threads, mask);
  if (threads.count() > 1 || exact_sums) buffers.energy_terms.reset(new float[labels.size()]);
  return buffers;
}

// Pixels outside the mask keep their label and add nothing to the energy.
void keep_outside(const unsigned char* inside, std::size_t count, float* label, float* added) {
  for (std::size_t i = 0; i < count; ++i)
    if (!inside[i]) {
      label[i] = core::outside_label;
      added[i] = 0.0f;
    }
}

// The plain choice for blocks first_block .. end_block - 1, with their
// energy terms.
void plain_blocks(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  const std::vector<double>& centre_values, CImg<float>& labels, std::size_t first_block,
                  std::size_t end_block, plain_block_buffers& buffers, const core::energy_sink& energy,
                  const core::pixel_mask& mask) {
  const std::size_t pixels = labels.size();
  // Labels and energy terms pass through the block buffers, which have room
  // for the pixels past a block's end that the choice computes anyway.
  float* label = buffers.label.data();
  float* added = buffers.added.data();
  for (std::size_t first = first_block * core::block_pixels; first < std::min(pixels, end_block * core::block_pixels);
       first += core::block_pixels) {
    const std::size_t block_count = std::min(core::block_pixels, pixels - first);
    // Only the pixels from the first inside to the last are chosen for.
    const core::inside_span span = core::span_inside(mask, first, block_count);
    if (span.begin > 0 || span.end < block_count) {
      std::fill(added, added + block_count, 0.0f);
      energy.add(first, added, span.begin);
      energy.add(first + span.end, added, block_count - span.end);
      if (span.begin == span.end) continue;
    }
    const std::size_t from = first + span.begin, count = span.end - span.begin;
    block_values(image, from, pixels, count, buffers.value.data());
    std::copy(labels.data() + from, labels.data() + from + count, label);
    plain_choice(buffers.value.data(), image.spectrum(), centres.data(), centre_values.data(), parameters.class_count,
                 count, buffers.distance.data(), buffers.best.data(), label, added);
    if (mask) keep_outside(mask.inside + from, count, label, added);
    std::copy(label, label + count, labels.data() + from);
    energy.add(from, added, count);
  }
}

// The plain phase: costs do not depend on labels, so blocks of pixels are
// decided side by side, and blocks by different parts at once. Its energy,
// when no convergence test will read it, is not formed (0 is returned).
// With `given_terms`, every pixel's term goes there and nothing is summed.
float plain_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, sweep_buffers& buffers, bool energy_wanted, float* given_terms = nullptr) {
  const std::size_t pixels = labels.size();
  float energy = 0;
  const int parts = int(buffers.plain.size());
  // One part sums the energy as it goes; several leave each pixel's term
  // for a sum in raster order afterwards.
  float* terms = given_terms ? given_terms : parts > 1 && energy_wanted ? buffers.energy_terms.get() : nullptr;
  const core::energy_sink sink{terms, !terms && energy_wanted ? &energy : nullptr};
  if (!core::plain_costs_are_data_terms(parameters.edge_weight)) {
    if (buffers.mask)
      for (std::size_t i = 0; i < pixels; ++i) sink.add(i, buffers.mask.covers(i) ? core::cost_ceiling : 0.0f);
    else
      sink.add_unwon(0, pixels);
    return terms ? core::sum_in_raster_order(terms, pixels) : energy;
  }
  std::copy(centres.data(), centres.data() + centres.size(), buffers.centre_values.data());
  const std::size_t blocks = (pixels + core::block_pixels - 1) / core::block_pixels;
  constexpr std::size_t blocks_per_turn = 16;
  core::turn_queue turns(blocks, blocks_per_turn);
  buffers.threads->run(parts, [&](int part, int, core::run_progress& progress) {
    for (core::share taken; !progress.aborted() && turns.take(taken);)
      plain_blocks(image, parameters, centres, buffers.centre_values, labels, taken.begin, taken.end,
                   buffers.plain[part], sink, buffers.mask);
  });
  return terms ? core::sum_in_raster_order(terms, pixels) : energy;
}

float sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
            CImg<float>& labels, int iteration, sweep_buffers& buffers, bool energy_wanted = true) {
  if (!is_edge_phase(parameters, iteration))
    return plain_sweep(image, parameters, centres, labels, buffers, energy_wanted);
  return edge_sweep(image, parameters, centres, labels, buffers.edge, *buffers.threads,
                    buffers.threads->count() > 1 && energy_wanted ? buffers.energy_terms.get() : nullptr);
}

// The exact sum of a sweep's energy terms, rounded once to float: the same
// for any number of parts.
float exact_energy(const float* terms, std::size_t pixels, core::call_threads& threads) {
  const int parts = core::useful_parts(threads.count(), pixels, 1 << 16);
  std::vector<core::exact_sum> part_sums(std::size_t(parts), core::exact_sum{});
  threads.run(parts, [&](int part, int part_count, core::run_progress&) {
    const core::share mine = core::share_of(pixels, part, part_count);
    core::add(part_sums[part], terms + mine.begin, mine.end - mine.begin);
  });
  core::exact_sum whole;
  for (const core::exact_sum& part : part_sums) core::merge(whole, part);
  return core::to_float(whole);
}

// A sweep whose energy is the exact sum of its terms, which go to `terms`
// (room for every pixel) on the way; with no `terms`, no energy is formed
// and 0 is returned.
float sweep_with_exact_energy(const CImg<float>& image, const segmentation_parameters& parameters,
                              const CImg<float>& centres, CImg<float>& labels, int iteration, sweep_buffers& buffers,
                              float* terms) {
  if (is_edge_phase(parameters, iteration))
    edge_sweep(image, parameters, centres, labels, buffers.edge, *buffers.threads, terms);
  else
    plain_sweep(image, parameters, centres, labels, buffers, false, terms);
  return terms ? exact_energy(terms, labels.size(), *buffers.threads) : 0.0f;
}

// How the centre sums are formed: in `parts` runs of pixels side by side;
// in any order where that cannot change them; or else, when asked for,
// exactly, which no order changes either.
struct centre_sum_plan {
  int parts = 1;
  bool any_order = false;
  bool exact = false;
  // With a mask, one part in order: the runs of pixels that hold every pixel
  // inside, the only ones summed.
  std::vector<core::inside_span> inside_runs;
};

// Every centre becomes the mean of its class: sums[k * C + c] / counts[k].
void set_centres(const std::vector<double>& sums, const std::vector<std::uint64_t>& counts, int class_count,
                 CImg<float>& centres) {
  const std::size_t channels = std::size_t(centres.width());
  core::centres_from_sums(sums.data(), channels, counts.data(), std::size_t(class_count), channels, centre_count_guard,
                          centres.data());
}

void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres,
                    const centre_sum_plan& plan, core::call_threads& threads) {
  std::vector<double> sums;
  std::vector<std::uint64_t> counts;
  if (!plan.inside_runs.empty()) {
    core::running_class_sums running = core::start_class_sums(class_count, image.spectrum(), plan.any_order);
    const std::vector<const float*> channel = core::channel_starts(image);
    for (const core::inside_span& run : plan.inside_runs)
      core::add_class_sums(running, labels.data(), channel, run.begin, run.end - run.begin);
    core::finish_class_sums(running, sums, counts);
  } else if (plan.exact)
    core::exact_sum_by_class(labels.data(), labels.size(), core::channel_starts(image), class_count, sums, counts,
                             threads, plan.parts);
  else
    core::sum_by_class(labels.data(), labels.size(), core::channel_starts(image), class_count, sums, counts, threads,
                       plan.parts, plan.any_order);
  set_centres(sums, counts, class_count, centres);
}

// How the centre sums of a run are formed: in parts and in any order only
// where they come out the same in any order, and exactly where `exact_sums`
// asks for it and the sums could round. One part in order sums only the
// runs of pixels that hold every pixel inside `mask`.
centre_sum_plan plan_centre_sums(const CImg<float>& image, const segmentation_parameters& parameters,
                                 core::call_threads& threads, bool exact_sums, const core::pixel_mask& mask) {
  const std::size_t pixels = std::size_t(image.width()) * image.height() * image.depth();
  const int parts = core::useful_sum_parts(threads.count(), pixels, parameters.class_count, image.spectrum());
  centre_sum_plan plan;
  if (core::sums_are_exact(core::channel_starts(image), pixels, nullptr, threads))
    plan = {parts, true, false};
  else if (exact_sums)
    plan = {parts, false, true};
  if (mask && plan.parts == 1 && !plan.exact) plan.inside_runs = core::inside_runs(mask, pixels, image.width());
  return plan;
}

}  // namespace

CImg<float> init_centres(const CImg<float>& image, int class_count, core::call_threads& threads,
                         const core::pixel_mask& mask) {
  // A 0 x 5 image still has one channel but no value range: the image
  // library reports it as an empty instance.
  if (image.is_empty() && image.spectrum() > 0) {
    float lowest = 0;
    image.max_min(lowest);
  }
  CImg<float> centres(image.spectrum(), class_count, 1, 1, 0.0f);
  core::spread_centres(image, image.spectrum(), class_count, centres, threads, mask);
  return centres;
}

float label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, int iteration, core::call_threads& threads, const core::pixel_mask& mask) {
  sweep_buffers buffers =
      make_sweep_buffers(image, parameters, labels, is_edge_phase(parameters, iteration), threads, mask);
  return sweep(image, parameters, centres, labels, iteration, buffers);
}

void label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, int iteration, core::call_threads& threads, float* terms,
                 const core::pixel_mask& mask) {
  const bool edge_phase = is_edge_phase(parameters, iteration);
  sweep_buffers buffers = make_sweep_buffers(image, parameters, labels, edge_phase, threads, mask);
  if (edge_phase)
    edge_sweep(image, parameters, centres, labels, buffers.edge, threads, terms);
  else
    plain_sweep(image, parameters, centres, labels, buffers, false, terms);
}

void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres) {
  core::call_threads one_thread;
  update_centres(image, labels, class_count, centres, centre_sum_plan{}, one_thread);
}

void run_clustering(const CImg<float>& image, const segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels, core::call_threads& threads, const core::run_watch& watch, bool exact_sums,
                    const core::pixel_mask& mask) {
  const bool edge_phase_ahead =
      parameters.max_iterations > 0 && is_edge_phase(parameters, std::int64_t(parameters.max_iterations) - 1);
  sweep_buffers buffers = make_sweep_buffers(image, parameters, labels, edge_phase_ahead, threads, mask, exact_sums);
  const centre_sum_plan sums = plan_centre_sums(image, parameters, threads, exact_sums, mask);
  core::run_recorder record{watch, parameters.tolerance, parameters.last_plain_iteration};
  float energy = core::initial_energy;
  for (int iteration = 0; iteration < parameters.max_iterations; ++iteration) {
    threads.check_stop();
    const float previous_energy = energy;
    const bool energy_wanted =
        core::energy_wanted(iteration, parameters.last_plain_iteration, parameters.tolerance, record.energies_wanted());
    float* terms = energy_wanted ? buffers.energy_terms.get() : nullptr;
    core::before_sweep(record, labels);
    if (exact_sums) {
      energy = sweep_with_exact_energy(image, parameters, centres, labels, iteration, buffers, terms);
      update_centres(image, labels, parameters.class_count, centres, sums, threads);
    } else if (sums.parts == 1 && threads.count() > 1 && is_edge_phase(parameters, iteration)) {
      // Sums that one thread forms go along with the sweep, slice by slice.
      core::running_class_sums running =
          core::start_class_sums(parameters.class_count, image.spectrum(), sums.any_order);
      energy = edge_sweep(image, parameters, centres, labels, buffers.edge, threads, terms, &running);
      std::vector<double> class_sums;
      std::vector<std::uint64_t> counts;
      core::finish_class_sums(running, class_sums, counts);
      set_centres(class_sums, counts, parameters.class_count, centres);
    } else {
      energy = sweep(image, parameters, centres, labels, iteration, buffers, energy_wanted);
      update_centres(image, labels, parameters.class_count, centres, sums, threads);
    }
    const bool converged = core::iteration_converged(iteration, parameters.last_plain_iteration, energy,
                                                     previous_energy, parameters.tolerance);
    core::after_iteration(record, iteration, is_edge_phase(parameters, iteration), energy, labels,
                          converged || iteration + 1 == parameters.max_iterations, converged);
    if (converged) break;
  }
  core::finish_run(record, labels, parameters.class_count, centres);
}

}  // namespace sorvik
