// Sorvik in steps for the distributed driver, added to edgeseg._core.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "edgeseg/sorvik_steps.h"

namespace python_host {

// What a sweep adds to its iteration, as edgeseg._core.SweepTotals: the
// totals, the largest magnitude among the energy terms swept (NaN where
// one is NaN), and with exact sums the mergeable whole numbers.
struct slab_totals {
  edgeseg::sweep_totals totals;
  float largest_term = 0;
  std::optional<std::vector<std::int64_t>> exact_energy;
  std::optional<std::vector<std::vector<std::int64_t>>> exact_sums;
};

// The larger of two largest terms; NaN where either is.
inline float larger_term(float a, float b) { return a != a ? a : b != b ? b : a > b ? a : b; }

void add_steps(pybind11::module_& module);

// The named steps: SweepTotals, continue_slab, combine_slabs,
// finish_iteration and sorvik_edge_phase (iteration_steps.cpp).
void add_iteration_steps(pybind11::module_& module);

}  // namespace python_host
