// What a call tells besides its labels, in the host's terms: the `info`
// struct of [L, info] = Sorvik(...), and the lines of "progress", true.
#pragma once

#include <cstdio>

#include "edgeseg/segment.h"
#include "mex.h"

namespace boundary {

// The run's summary as a 1 x 1 struct: centres (K x C), for a pair of images
// secondary_centres too, iterations, converged, energy (the last, NaN when no
// iteration ran), energies (one row per iteration) and counts (K x 1).
mxArray* info_to_host(const edgeseg::run_info& info, bool pair);

// The lines of a run's progress, one per iteration and one more at its end,
// each shown as it is printed.
struct progress_lines {
  const char* command;

  void print(const edgeseg::iteration_report& report) const;
};

}  // namespace boundary
