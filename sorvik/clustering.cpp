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

// Pixels outside the mask keep their label and add nothing to the energy.
void keep_outside(const unsigned char* inside, std::size_t count, float* label, float* added) {
  for (std::size_t i = 0; i < count; ++i)
    if (!inside[i]) {
      label[i] = core::outside_label;
      added[i] = 0.0f;
    }
}

// The plain choice for pixels first .. end - 1, with their energy terms.
void plain_pixels(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  const std::vector<double>& centre_values, CImg<float>& labels, std::size_t first, std::size_t end,
                  plain_block_buffers& buffers, const core::energy_sink& energy, const core::pixel_mask& mask) {
  const std::size_t pixels = labels.size();
  // Labels and energy terms pass through the block buffers, which have room
  // for the pixels past a block's end that the choice computes anyway.
  float* label = buffers.label.data();
  float* added = buffers.added.data();
  for (; first < end; first += core::block_pixels) {
    const std::size_t block_count = std::min(core::block_pixels, end - first);
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

// A plain sweep where no class wins any pixel, with a mask: the pixels inside
// cost the ceiling, those outside nothing, and every label stays.
float unwon_inside(const sweep_buffers& buffers, std::size_t pixels, bool energy_wanted, float* given_terms,
                   float energy_before) {
  float energy = energy_before;
  const bool parts = core::plain_parts(*buffers.threads, pixels) > 1;
  float* terms = given_terms ? given_terms : parts && energy_wanted ? buffers.energy_terms.get() : nullptr;
  const core::energy_sink sink{terms, !terms && energy_wanted ? &energy : nullptr};
  for (std::size_t i = 0; i < pixels; ++i) sink.add(i, buffers.mask.covers(i) ? core::cost_ceiling : 0.0f);
  return terms ? core::sum_in_raster_order(terms, pixels, energy_before) : energy;
}

// The plain phase: costs do not depend on labels, so blocks of pixels are
// decided side by side, and blocks by different parts at once. Its energy,
// when no convergence test will read it, is not formed (0 is returned).
// With `given_terms`, every pixel's term goes there; a formed energy
// continues `energy_before`.
float plain_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, sweep_buffers& buffers, bool energy_wanted, float* given_terms = nullptr,
                  float energy_before = 0.0f) {
  if (buffers.mask && !core::plain_costs_are_data_terms(parameters.edge_weight))
    return unwon_inside(buffers, labels.size(), energy_wanted, given_terms, energy_before);
  std::copy(centres.data(), centres.data() + centres.size(), buffers.centre_values.data());
  return core::plain_sweep(
      *buffers.threads, labels.size(), parameters.edge_weight, given_terms, buffers.energy_terms.get(), energy_wanted,
      [&](int part, std::size_t first, std::size_t end, const core::energy_sink& sink) {
        plain_pixels(image, parameters, centres, buffers.centre_values, labels, first, end,
                     buffers.plain[std::size_t(part)], sink, buffers.mask);
      },
      energy_before);
}

// The exact sum of a sweep's energy terms, rounded once to float: the same
// for any number of parts.
float exact_energy(const float* terms, std::size_t pixels, core::call_threads& threads) {
  const int parts = core::useful_parts(threads, pixels, 1 << 16);
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
  totals.energy =
      edge_phase ? edge_sweep(image, parameters, plan.centres, plan.labels, buffers.edge, threads, terms,
                              sums_along ? &running : nullptr, plan.inside_runs.empty() ? nullptr : &plan.inside_runs)
                 : plain_sweep(image, parameters, plan.centres, plan.labels, buffers, energy_wanted,
                               plan.exact_energy ? terms : nullptr);
  if (plan.exact_energy) totals.energy = terms ? exact_energy(terms, plan.labels.size(), threads) : 0.0f;
  if (sums_along)
    core::finish_class_sums(running, totals.sums, totals.counts);
  else if (!plan.inside_runs.empty())
    core::class_sums_in_runs(plan.labels.data(), plan.inside_runs, plan.channels, parameters.class_count, totals.sums,
                             totals.counts, threads, plan.sums);
  else
    core::class_sums(plan.labels.data(), plan.labels.size(), plan.channels, parameters.class_count, totals.sums,
                     totals.counts, threads, plan.sums);
  return totals;
}

// A sweep without totals, for a caller that forms them itself.
float sweep_only(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, int iteration, sweep_buffers& buffers, bool energy_wanted, float* terms,
                 float energy_before = 0.0f) {
  if (is_edge_phase(parameters, iteration))
    return edge_sweep(image, parameters, centres, labels, buffers.edge, *buffers.threads, terms, nullptr, nullptr,
                      energy_before);
  return plain_sweep(image, parameters, centres, labels, buffers, energy_wanted, terms, energy_before);
}

}  // namespace

float label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, int iteration, core::call_threads& threads, const core::pixel_mask& mask,
                  float energy_before) {
  sweep_buffers buffers =
      make_sweep_buffers(image, parameters, labels, is_edge_phase(parameters, iteration), threads, mask);
  const bool terms_summed = threads.count() > 1 && is_edge_phase(parameters, iteration);
  return sweep_only(image, parameters, centres, labels, iteration, buffers, true,
                    terms_summed ? buffers.energy_terms.get() : nullptr, energy_before);
}

void label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, int iteration, core::call_threads& threads, float* terms,
                 const core::pixel_mask& mask) {
  sweep_buffers buffers =
      make_sweep_buffers(image, parameters, labels, is_edge_phase(parameters, iteration), threads, mask);
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
    core::after_iteration(
        record, finish_iteration(parameters, totals, plan.centres.data(), std::size_t(plan.centres.width()), state),
        plan.labels);
  }
  core::finish_run(record, plan.labels, parameters.class_count, plan.centres);
}

void run_clustering(const CImg<float>& image, const segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels, core::call_threads& threads, const core::run_watch& watch, bool exact_sums,
                    const core::pixel_mask& mask) {
  run_plan plan = plan_run(image, parameters, std::move(centres), std::move(labels), threads, exact_sums, mask);
  run_clustering(image, parameters, plan, watch);
  centres.swap(plan.centres);
  labels.swap(plan.labels);
}

}  // namespace sorvik
