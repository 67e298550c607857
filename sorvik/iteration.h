// One Sorvik iteration's steps, shared by the one-machine run and the
// steps a distributed driver takes: sweep the image (or its slabs), total
// what the sweep found, then end the iteration here: next centres, the
// convergence decision and the report. A run's state between iterations
// is a run_state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/convergence.h"
#include "core/run_report.h"
#include "parameters.h"

namespace sorvik {

// Added to a class's pixel count before the division, so an empty class gets 0.
constexpr double centre_count_guard = 1e-9;

// What a sweep (of the whole image, or of its slabs put together) gives
// the end of its iteration: the energy (0 where not formed), per class the
// double sums (sums[k * channels + c]) and the count of the pixels whose
// channels are all finite, and how many labels changed.
struct sweep_totals {
  float energy = 0;
  std::vector<double> sums;
  std::vector<std::uint64_t> counts;
  std::uint64_t changed = 0;
};

// Where a run stands between iterations: the iteration to run next, the
// energy of the one before (initial_energy before the first), and whether
// the run has ended, and ended by the convergence test.
struct run_state {
  int iteration = 0;
  float energy = core::initial_energy;
  bool done = false;
  bool converged = false;
};

// A run's state before its first iteration: done at once when none runs.
run_state start_run(const segmentation_parameters& parameters);

// Whether iteration `iteration` sweeps with the edge term: the settings as
// read (the last plain iteration truncated), and never with an empty window.
bool is_edge_phase(const segmentation_parameters& parameters, std::int64_t iteration);

// Whether the iteration's sweep forms its energy: where a convergence test
// reads it, or for a watched run.
bool energy_wanted(const segmentation_parameters& parameters, int iteration, bool watched);

// Ends iteration state.iteration: every centre (centres[k * channels + c])
// becomes the mean of its class from `totals`, the convergence test
// compares totals.energy with state.energy, and `state` moves on. Returns
// the iteration's report, its seconds left 0 for the caller's clock.
core::iteration_report finish_iteration(const segmentation_parameters& parameters, const sweep_totals& totals,
                                        float* centres, std::size_t channels, run_state& state);

}  // namespace sorvik
