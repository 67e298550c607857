// The bookkeeping of a watched run, shared by the drivers of both commands:
// every iteration's energy and changed pixels for the reports, and at the
// end the summary of the run that made the labels.
#pragma once

#include <chrono>
#include <vector>

#include "convergence.h"
#include "image.h"
#include "run_report.h"

namespace core {

struct run_recorder {
  // `tolerance` and `last_plain_iteration`: the run's, which the reports name.
  explicit run_recorder(const run_watch& watched, float tolerance = 0, int last_plain_iteration = 0)
      : watch(watched), tolerance(tolerance), last_plain_iteration(last_plain_iteration) {}

  const run_watch& watch;
  float tolerance;
  int last_plain_iteration;
  float previous_energy = initial_energy;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::vector<float> labels_before;  // the labels before the sweep, to count changes
  int iterations = 0;
  bool converged = false;
  std::vector<float> energies;
  // The last iteration's energy and the one before it, for the warnings.
  float last_energy = initial_energy, energy_before_last = initial_energy;

  // Whether the run is to form every iteration's energy.
  bool energies_wanted() const { return watch.watching(); }
};

// Before an iteration's sweep: keeps the labels where the changes are to be
// counted.
void before_sweep(run_recorder& record, const CImg<float>& labels);

// After an iteration's centre update; `last` when the run ends with it, and
// `converged` when the convergence test ended it.
void after_iteration(run_recorder& record, int iteration, bool edge_phase, float energy, const CImg<float>& labels,
                     bool last, bool converged);

// The same with the report the driver made of the iteration, its changed
// labels and seconds still to be filled in here.
void after_iteration(run_recorder& record, iteration_report report, const CImg<float>& labels);

// Once the run has ended: fills the watch's run_info, if any, from the
// labels and centres (S x K images) it ended with, and hands the warnings
// of its end (run_warnings.h) to the watch's `warn`, if any; `secondary`
// may be null.
void finish_run(const run_recorder& record, const CImg<float>& labels, int class_count, const CImg<float>& centres,
                const CImg<float>* secondary = nullptr);

}  // namespace core
