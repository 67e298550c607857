#include "run_plan.h"

#include <algorithm>
#include <utility>

#include "core/initial_centres.h"
#include "core/labels.h"
#include "core/pixel_blocks.h"
#include "iteration.h"

namespace sorvik {
namespace {

plain_block_buffers make_plain_block_buffers(const CImg<float>& image) {
  plain_block_buffers buffers;
  buffers.value.resize(std::size_t(std::max(image.spectrum(), 1)) * core::block_pixels);
  buffers.distance.resize(core::block_pixels);
  buffers.best.resize(core::block_pixels);
  buffers.label.resize(core::block_pixels);
  buffers.added.resize(core::block_pixels);
  return buffers;
}

}  // namespace

sweep_buffers make_sweep_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                                 const CImg<float>& labels, bool edge_phase_ahead, core::call_threads& threads,
                                 const core::pixel_mask& mask, bool exact_sums) {
  sweep_buffers buffers;
  buffers.threads = &threads;
  buffers.mask = mask;
  buffers.centre_values.resize(std::size_t(image.spectrum()) * parameters.class_count);
  buffers.plain.resize(std::size_t(core::plain_parts(threads, labels.size())));
  for (plain_block_buffers& part : buffers.plain) part = make_plain_block_buffers(image);
  if (edge_phase_ahead) buffers.edge = make_edge_buffers(image, parameters, labels, threads, mask);
  if (threads.count() > 1 || exact_sums) buffers.energy_terms.reset(new float[labels.size()]);
  return buffers;
}

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

run_plan plan_run(const CImg<float>& image, const segmentation_parameters& parameters, core::call_threads& threads,
                  bool exact_sums, const core::pixel_mask& mask) {
  CImg<float> labels = core::start_labels(image, threads, mask);
  return plan_run(image, parameters, init_centres(image, parameters.class_count, threads, mask), std::move(labels),
                  threads, exact_sums, mask);
}

run_plan plan_run(const CImg<float>& image, const segmentation_parameters& parameters, CImg<float>&& centres,
                  CImg<float>&& labels, core::call_threads& threads, bool exact_sums, const core::pixel_mask& mask) {
  run_plan plan;
  plan.labels.swap(labels);
  plan.centres.swap(centres);
  if (plan.labels.is_empty()) return plan;
  const bool edge_phase_ahead =
      parameters.max_iterations > 0 && is_edge_phase(parameters, std::int64_t(parameters.max_iterations) - 1);
  plan.buffers = make_sweep_buffers(image, parameters, plan.labels, edge_phase_ahead, threads, mask, exact_sums);
  plan.channels = core::channel_starts(image);
  plan.exact_energy = exact_sums;
  if (mask) plan.inside_runs = core::inside_runs(mask, plan.labels.size(), std::size_t(image.width()), threads);
  plan.sums = mask ? core::plan_class_sums(plan.channels, plan.inside_runs, parameters.class_count, threads, exact_sums)
                   : core::plan_class_sums(plan.channels, plan.labels.size(), parameters.class_count, threads,
                                           exact_sums);
  if (plan.sums.exact) plan.inside_runs.clear();
  return plan;
}

}  // namespace sorvik
