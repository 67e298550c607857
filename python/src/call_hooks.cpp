#include "call_hooks.h"

#include <string>
#include <utility>

#include "core/progress_text.h"

namespace python_host {

namespace py = pybind11;
namespace {

// The API asks every 10 ms at most; the interpreter is taken only this often,
// so that a busy Python thread elsewhere delays the calling thread, which
// does its share of the work, rarely. A fraction of a second still.
constexpr std::chrono::milliseconds signal_poll_interval(50);

void report(call_hooks& hooks, const edgeseg::iteration_report& report) {
  if (hooks.error || hooks.progress.is_none()) return;
  const std::string lines = core::iteration_line(hooks.command, report) + core::closing_line(hooks.command, report);
  py::gil_scoped_acquire hold;
  try {
    hooks.progress(report.iteration, report.edge_phase, report.energy, report.changed, report.seconds, report.last,
                   report.converged, lines);
  } catch (py::error_already_set& raised) {
    hooks.error = std::make_unique<py::error_already_set>(std::move(raised));
  }
}

bool stop_requested(call_hooks& hooks) noexcept {
  if (hooks.error) return true;
  if (!hooks.interruptible) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - hooks.last_poll < signal_poll_interval) return false;
  hooks.last_poll = now;
  try {
    py::gil_scoped_acquire hold;
    // Runs the signal handlers; Python's own turns SIGINT into KeyboardInterrupt.
    if (PyErr_CheckSignals() == 0) return false;
    hooks.error = std::make_unique<py::error_already_set>();
  } catch (...) {
    // Nothing may leave a stop request; stopping is the safe answer.
  }
  return true;
}

}  // namespace

edgeseg::call_options options_for(int threads, call_hooks& hooks) {
  edgeseg::call_options options;
  options.threads = threads;
  hooks.last_poll = std::chrono::steady_clock::now();
  if (!hooks.progress.is_none())
    options.progress = [&hooks](const edgeseg::iteration_report& iteration) { report(hooks, iteration); };
  if (hooks.interruptible || options.progress)
    options.stop_requested = [&hooks]() noexcept { return stop_requested(hooks); };
  return options;
}

void raise_caught(call_hooks& hooks) {
  if (!hooks.error) return;
  hooks.error->restore();
  hooks.error.reset();
  throw py::error_already_set();
}

}  // namespace python_host
