#include "iteration.h"

#include "core/centre_sums.h"
#include "core/convergence.h"
#include "core/phases.h"

namespace sorvik {

run_state start_run(const segmentation_parameters& parameters) {
  run_state state;
  state.done = parameters.max_iterations <= 0;
  return state;
}

bool is_edge_phase(const segmentation_parameters& parameters, std::int64_t iteration) {
  return core::is_edge_phase(parameters.last_plain_iteration, parameters.window, iteration);
}

bool energy_wanted(const segmentation_parameters& parameters, int iteration, bool watched) {
  return core::energy_wanted(iteration, parameters.last_plain_iteration, parameters.tolerance, watched);
}

core::iteration_report finish_iteration(const segmentation_parameters& parameters, const sweep_totals& totals,
                                        float* centres, std::size_t channels, run_state& state) {
  core::centres_from_sums(totals.sums.data(), channels, totals.counts.data(), std::size_t(parameters.class_count),
                          channels, centre_count_guard, centres);
  core::iteration_report report;
  report.iteration = state.iteration;
  report.edge_phase = is_edge_phase(parameters, state.iteration);
  report.energy = totals.energy;
  report.changed = totals.changed;
  report.previous_energy = state.energy;
  report.tolerance = parameters.tolerance;
  report.tested = core::iteration_tested(state.iteration, parameters.last_plain_iteration);
  report.converged = core::iteration_converged(state.iteration, parameters.last_plain_iteration, totals.energy,
                                               state.energy, parameters.tolerance);
  report.last = report.converged || state.iteration + 1 >= parameters.max_iterations;
  state = run_state{state.iteration + 1, totals.energy, report.last, report.converged};
  return report;
}

}  // namespace sorvik
