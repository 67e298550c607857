#include "run_recorder.h"

#include "labels.h"

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
  report.tested = iteration > record.last_plain_iteration;
  after_iteration(record, report, labels);
}

void after_iteration(run_recorder& record, iteration_report report, const CImg<float>& labels) {
  record.iterations = report.iteration + 1;
  record.converged = report.converged;
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

}  // namespace

void finish_run(const run_recorder& record, const CImg<float>& labels, int class_count, const CImg<float>& centres,
                const CImg<float>* secondary) {
  run_info* info = record.watch.info;
  if (!info) return;
  info->class_count = class_count;
  info->channels = centres.width();
  info->centres = centre_values(centres);
  info->secondary_centres = secondary ? centre_values(*secondary) : std::vector<double>{};
  info->iterations = record.iterations;
  info->converged = record.converged;
  info->energies = record.energies;
  info->counts.assign(std::size_t(class_count), 0);
  for (const float label : labels) {
    const class_index k = class_of_label(label, class_count);
    if (k < class_count) ++info->counts[std::size_t(k)];
  }
}

}  // namespace core
