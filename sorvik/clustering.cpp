#include "clustering.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/centre_sums.h"
#include "core/exact_sum.h"
#include "core/run_recorder.h"
#include "core/sweep.h"
#include "data_terms.h"
#include "edge_sweep.h"

// These kernels give, bit for bit, the labels, centres and energies of the
// plain iteration kept in tests/reference/: every pixel and class goes through
// the same operations in the same order. They only arrange the work so that
// independent pixels run side by side (data_terms, centre_sums) and the edge
// term needs no pass over the disc per class (edge_sweep).
//
// A run: plan_run prepares the labels, centres, buffers and the way the
// centre sums are formed; then each iteration sweeps the image with its
// totals (sweep_image) and ends in finish_iteration, as the steps of a
// distributed run do slab by slab.

namespace sorvik {
namespace {

// The plain choice for blocks first_block .. end_block - 1, with their
// energy terms.
void plain_blocks(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  const std::vector<double>& centre_values, CImg<float>& labels, std::size_t first_block,
                  std::size_t end_block, plain_block_buffers& buffers, const core::energy_sink& energy) {
  const std::size_t pixels = labels.size();
  // Labels and energy terms pass through the block buffers, which have room
  // for the pixels past a block's end that the choice computes anyway.
  float* label = buffers.label.data();
  float* added = buffers.added.data();
  for (std::size_t first = first_block * core::block_pixels; first < std::min(pixels, end_block * core::block_pixels);
       first += core::block_pixels) {
    const std::size_t count = std::min(core::block_pixels, pixels - first);
    block_values(image, first, pixels, count, buffers.value.data());
    std::copy(labels.data() + first, labels.data() + first + count, label);
    plain_choice(buffers.value.data(), image.spectrum(), centres.data(), centre_values.data(), parameters.class_count,
                 count, buffers.distance.data(), buffers.best.data(), label, added);
    std::copy(label, label + count, labels.data() + first);
    energy.add(first, added, count);
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
                   buffers.plain[part], sink);
  });
  return terms ? core::sum_in_raster_order(terms, pixels) : energy;
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

// One sweep of iteration `iteration`, relabelling plan.labels, with the
// totals its end needs: the energy where wanted (always exact with
// plan.exact_energy), and the centre sums as plan.sums says. Sums that one
// thread forms go along with an edge-phase sweep, slice by slice.
sweep_totals sweep_image(const CImg<float>& image, const segmentation_parameters& parameters, run_plan& plan,
                         int iteration, bool energy_wanted) {
  sweep_buffers& buffers = plan.buffers;
  core::call_threads& threads = *buffers.threads;
  const bool edge_phase = is_edge_phase(parameters, iteration);
  float* terms = energy_wanted && (plan.exact_energy || threads.count() > 1) ? buffers.energy_terms.get() : nullptr;
  const bool sums_along = !plan.exact_energy && plan.sums.parts == 1 && threads.count() > 1 && edge_phase;
  core::running_class_sums running;
  if (sums_along) running = core::start_class_sums(parameters.class_count, image.spectrum(), plan.sums.any_order);
  sweep_totals totals;
  totals.energy = edge_phase ? edge_sweep(image, parameters, plan.centres, plan.labels, buffers.edge, threads, terms,
                                          sums_along ? &running : nullptr)
                             : plain_sweep(image, parameters, plan.centres, plan.labels, buffers, energy_wanted,
                                           plan.exact_energy ? terms : nullptr);
  if (plan.exact_energy) totals.energy = terms ? exact_energy(terms, plan.labels.size(), threads) : 0.0f;
  if (sums_along)
    core::finish_class_sums(running, totals.sums, totals.counts);
  else
    core::class_sums(plan.labels.data(), plan.labels.size(), plan.channels, parameters.class_count, totals.sums,
                     totals.counts, threads, plan.sums);
  return totals;
}

// A sweep without totals, for a caller that forms them itself.
float sweep_only(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, int iteration, sweep_buffers& buffers, bool energy_wanted, float* terms) {
  if (is_edge_phase(parameters, iteration))
    return edge_sweep(image, parameters, centres, labels, buffers.edge, *buffers.threads, terms);
  return plain_sweep(image, parameters, centres, labels, buffers, energy_wanted, terms);
}

}  // namespace

float label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, int iteration, core::call_threads& threads) {
  sweep_buffers buffers = make_sweep_buffers(image, parameters, labels, is_edge_phase(parameters, iteration), threads);
  const bool terms_summed = threads.count() > 1 && is_edge_phase(parameters, iteration);
  return sweep_only(image, parameters, centres, labels, iteration, buffers, true,
                    terms_summed ? buffers.energy_terms.get() : nullptr);
}

void label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, int iteration, core::call_threads& threads, float* terms) {
  sweep_buffers buffers = make_sweep_buffers(image, parameters, labels, is_edge_phase(parameters, iteration), threads);
  sweep_only(image, parameters, centres, labels, iteration, buffers, false, terms);
}

void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres) {
  core::call_threads one_thread;
  std::vector<double> sums;
  std::vector<std::uint64_t> counts;
  core::sum_by_class(labels.data(), labels.size(), core::channel_starts(image), class_count, sums, counts, one_thread);
  const std::size_t channels = std::size_t(centres.width());
  core::centres_from_sums(sums.data(), channels, counts.data(), std::size_t(class_count), channels, centre_count_guard,
                          centres.data());
}

void run_clustering(const CImg<float>& image, const segmentation_parameters& parameters, run_plan& plan,
                    const core::run_watch& watch) {
  core::call_threads& threads = *plan.buffers.threads;
  core::run_recorder record{watch, parameters.tolerance, parameters.last_plain_iteration};
  for (run_state state = start_run(parameters); !state.done;) {
    threads.check_stop();
    core::before_sweep(record, plan.labels);
    const bool wanted = energy_wanted(parameters, state.iteration, record.energies_wanted());
    const sweep_totals totals = sweep_image(image, parameters, plan, state.iteration, wanted);
    core::after_iteration(record, finish_iteration(parameters, totals, plan.centres.data(),
                                                   std::size_t(plan.centres.width()), state),
                          plan.labels);
  }
  core::finish_run(record, plan.labels, parameters.class_count, plan.centres);
}

void run_clustering(const CImg<float>& image, const segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels, core::call_threads& threads, const core::run_watch& watch, bool exact_sums) {
  run_plan plan = plan_run(image, parameters, std::move(centres), std::move(labels), threads, exact_sums);
  run_clustering(image, parameters, plan, watch);
  centres.swap(plan.centres);
  labels.swap(plan.labels);
}

}  // namespace sorvik
