#include "run_recorder.h"

#include <utility>

#include "convergence.h"
#include "labels.h"
#include "run_warnings.h"

namespace core {

void before_sweep(run_recorder& record, const CImg<float>& labels) {
  if (record.watch.progress) record.labels_before.assign(labels.begin(), labels.end());
}

void after_iteration(run_recorder& record, int iteration, bool edge_phase, float energy, const CImg<float>& labels,
                     bool last, bool converged) {
  iteration_report report;
  report.iteration = iteration;
  report.edge_phase = edge_phase;
  report.energy = energy;
  report.last = last;
  report.converged = converged;
  report.previous_energy = record.previous_energy;
  report.tolerance = record.tolerance;
  report.tested = iteration_tested(iteration, record.last_plain_iteration);
  after_iteration(record, report, labels);
}

void after_iteration(run_recorder& record, iteration_report report, const CImg<float>& labels) {
  record.iterations = report.iteration + 1;
  record.converged = report.converged;
  record.energy_before_last = record.last_energy;
  record.last_energy = report.energy;
  record.previous_energy = report.energy;
  if (!record.watch.watching()) return;
  record.energies.push_back(report.energy);
  if (!record.watch.progress) return;
  report.changed = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) report.changed += labels[i] != record.labels_before[i];
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - record.start).count();
  record.watch.progress(report);
}

namespace {

std::vector<double> centre_values(const CImg<float>& centres) {
  // S x K: channel c of class k at (c, k), so the values run class by class.
  return std::vector<double>(centres.begin(), centres.end());
}

std::vector<std::uint64_t> class_counts(const CImg<float>& labels, int class_count) {
  std::vector<std::uint64_t> counts(std::size_t(class_count), 0);
  for (const float label : labels) {
    const class_index k = class_of_label(label, class_count);
    if (k < class_count) ++counts[std::size_t(k)];
  }
  return counts;
}

void warn_of_ending(const run_recorder& record, std::vector<std::uint64_t> counts) {
  run_ending ending;
  ending.counts = std::move(counts);
  ending.iterations = record.iterations;
  ending.converged = record.converged;
  ending.last_plain_iteration = record.last_plain_iteration;
  ending.tolerance = record.tolerance;
  ending.energy = record.last_energy;
  ending.previous_energy = record.energy_before_last;
  for (const run_warning& warning : run_warnings(ending)) record.watch.warn(warning);
}

}  // namespace

void finish_run(const run_recorder& record, const CImg<float>& labels, int class_count, const CImg<float>& centres,
                const CImg<float>* secondary) {
  run_info* info = record.watch.info;
  if (!info && !record.watch.warn) return;
  std::vector<std::uint64_t> counts = class_counts(labels, class_count);
  if (record.watch.warn) warn_of_ending(record, counts);
  if (!info) return;
  info->class_count = class_count;
  info->channels = centres.width();
  info->centres = centre_values(centres);
  info->secondary_centres = secondary ? centre_values(*secondary) : std::vector<double>{};
  info->iterations = record.iterations;
  info->converged = record.converged;
  info->energies = record.energies;
  info->counts = std::move(counts);
}

}  // namespace core
