// edgeseg._core's named Sorvik steps: the totals a sweep adds to its
// iteration (SweepTotals, which travels between processes), putting the
// slabs' totals together, and the end of an iteration with its report, the
// code a whole call runs after each of its sweeps.
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/progress_text.h"
#include "edgeseg/sorvik_steps.h"
#include "steps.h"

namespace py = pybind11;

namespace {

using python_host::slab_totals;

slab_totals zero_slab_totals(int class_count, int channels) {
  if (class_count < 0 || channels < 0) throw py::value_error("class_count and channels must not be negative.");
  slab_totals zero;
  zero.totals.sums.assign(std::size_t(class_count) * std::size_t(channels), 0.0);
  zero.totals.counts.assign(std::size_t(class_count), 0);
  return zero;
}

py::tuple state_of(const slab_totals& totals) {
  return py::make_tuple(totals.totals.energy, totals.totals.sums, totals.totals.counts, totals.totals.changed,
                        totals.largest_term, totals.exact_energy, totals.exact_sums);
}

slab_totals from_state(const py::tuple& state) {
  if (state.size() != 7) throw py::value_error("not the state of a SweepTotals.");
  slab_totals totals;
  totals.totals = {state[0].cast<float>(), state[1].cast<std::vector<double>>(),
                   state[2].cast<std::vector<std::uint64_t>>(), state[3].cast<std::uint64_t>()};
  totals.largest_term = state[4].cast<float>();
  totals.exact_energy = state[5].cast<std::optional<std::vector<std::int64_t>>>();
  totals.exact_sums = state[6].cast<std::optional<std::vector<std::vector<std::int64_t>>>>();
  return totals;
}

// The totals of a whole sweep from its slabs' (plane order): the plain
// parts added, and exact parts, where slabs carry them, merged and rounded
// once; the energy the exact one where any slab has it, else the last
// slab's.
slab_totals combine_slabs(const std::vector<slab_totals>& slabs, int class_count, int channels) {
  slab_totals whole = zero_slab_totals(class_count, channels);
  if (slabs.empty()) return whole;
  std::vector<edgeseg::sweep_totals> plain;
  std::vector<edgeseg::exact_slab_sums> exact;
  bool exact_energy = false, exact_sums = false;
  for (const slab_totals& slab : slabs) {
    plain.push_back(slab.totals);
    if (slab.exact_sums) plain.back().sums.clear(), plain.back().counts.clear();
    exact_energy |= bool(slab.exact_energy);
    exact_sums |= bool(slab.exact_sums);
    exact.push_back({slab.exact_energy.value_or(std::vector<std::int64_t>{}),
                     slab.exact_sums.value_or(std::vector<std::vector<std::int64_t>>{}),
                     slab.exact_sums ? slab.totals.counts : std::vector<std::uint64_t>{}});
  }
  plain.insert(plain.begin(), whole.totals);
  whole.totals = edgeseg::add_totals(plain);
  whole.totals.energy = slabs.back().totals.energy;
  for (const slab_totals& slab : slabs)
    whole.largest_term = python_host::larger_term(whole.largest_term, slab.largest_term);
  if (!exact_energy && !exact_sums) return whole;
  const edgeseg::sweep_totals rounded = edgeseg::round_exact_sums(exact, class_count, channels);
  if (exact_energy) whole.totals.energy = rounded.energy;
  if (exact_sums) {
    for (std::size_t i = 0; i < whole.totals.sums.size(); ++i) whole.totals.sums[i] += rounded.sums[i];
    for (std::size_t k = 0; k < whole.totals.counts.size(); ++k) whole.totals.counts[k] += rounded.counts[k];
  }
  return whole;
}

// The end of an iteration, with the report a whole call gives for it.
struct iteration_end {
  edgeseg::iteration_outcome outcome;
  std::string lines;
};

iteration_end finish_iteration(const slab_totals& totals, const std::vector<float>& centres,
                               const std::vector<float>& parameters, int iteration, float previous_energy,
                               double seconds) {
  edgeseg::centres current;
  current.class_count = edgeseg::initial_centres({}, parameters).class_count;
  current.channels = current.class_count > 0 ? int(centres.size() / std::size_t(current.class_count)) : 0;
  current.values = centres;
  iteration_end end{edgeseg::next_centres(totals.totals, current, parameters, iteration, previous_energy), {}};
  end.outcome.report.seconds = seconds;
  end.lines = core::iteration_line("sorvik", end.outcome.report) + core::closing_line("sorvik", end.outcome.report);
  return end;
}

}  // namespace

namespace python_host {

void add_iteration_steps(py::module_& module) {
  py::class_<slab_totals>(module, "SweepTotals",
                          "What a sweep of a slab, of a run of slabs or of the whole volume adds to its iteration.")
      .def(py::init(&zero_slab_totals), py::arg("class_count"), py::arg("channels"))
      .def_property(
          "energy", [](const slab_totals& t) { return t.totals.energy; },
          [](slab_totals& t, float energy) { t.totals.energy = energy; })
      .def_property(
          "sums", [](const slab_totals& t) { return t.totals.sums; },
          [](slab_totals& t, std::vector<double> sums) { t.totals.sums = std::move(sums); })
      .def_property(
          "counts", [](const slab_totals& t) { return t.totals.counts; },
          [](slab_totals& t, std::vector<std::uint64_t> counts) { t.totals.counts = std::move(counts); })
      .def_property(
          "changed", [](const slab_totals& t) { return t.totals.changed; },
          [](slab_totals& t, std::uint64_t changed) { t.totals.changed = changed; })
      .def_readwrite("largest_term", &slab_totals::largest_term)
      .def_readwrite("exact_energy", &slab_totals::exact_energy)
      .def_readwrite("exact_sums", &slab_totals::exact_sums)
      .def(py::pickle(&state_of, &from_state));
  module.def("combine_slabs", &combine_slabs, py::arg("slabs"), py::arg("class_count"), py::arg("channels"),
             "The SweepTotals of a whole sweep from its slabs', given in plane order.");
  py::class_<iteration_end>(module, "SorvikIteration", "The end of one iteration: next centres, decision, report.")
      .def_property_readonly("centres", [](const iteration_end& e) { return e.outcome.next.values; })
      .def_property_readonly("energy", [](const iteration_end& e) { return e.outcome.energy; })
      .def_property_readonly("converged", [](const iteration_end& e) { return e.outcome.converged; })
      .def_property_readonly("done", [](const iteration_end& e) { return e.outcome.done; })
      .def_property_readonly("iteration", [](const iteration_end& e) { return e.outcome.report.iteration; })
      .def_property_readonly("edge_phase", [](const iteration_end& e) { return e.outcome.report.edge_phase; })
      .def_property_readonly("changed", [](const iteration_end& e) { return e.outcome.report.changed; })
      .def_property_readonly("seconds", [](const iteration_end& e) { return e.outcome.report.seconds; })
      .def_property_readonly("last", [](const iteration_end& e) { return e.outcome.report.last; })
      .def_property_readonly("previous_energy", [](const iteration_end& e) { return e.outcome.report.previous_energy; })
      .def_property_readonly("tolerance", [](const iteration_end& e) { return e.outcome.report.tolerance; })
      .def_property_readonly("tested", [](const iteration_end& e) { return e.outcome.report.tested; })
      .def_readonly("lines", &iteration_end::lines);
  module.def("finish_iteration", &finish_iteration, py::arg("totals"), py::arg("centres"), py::arg("parameters"),
             py::arg("iteration"), py::arg("previous_energy"), py::arg("seconds"),
             "Next centres, the convergence decision and the report, as a whole call ends an iteration.");
  module.def("sorvik_edge_phase", &edgeseg::edge_phase, py::arg("parameters"), py::arg("iteration"),
             "Whether the iteration sweeps with the edge term, as the core reads the settings.");
}

}  // namespace python_host
