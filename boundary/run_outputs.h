// What a call tells besides its labels, in the host's terms: the `info`
// struct of [L, info] = Sorvik(...), the lines of "progress", true, and the
// warnings of a run's end.
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

// The warnings of a run's end (core/run_warnings.h), kept in plain buffers
// until the call's stack is gone: the host may leave mexWarnMsgIdAndTxt by a
// long jump (a warning turned into an error) that skips destructors.
struct pending_warnings {
  static constexpr int most = 2;  // emptyClass and notConverged
  char identifier[most][96] = {};
  char message[most][1024] = {};
  int count = 0;

  // Keeps `warning` under the identifier "<command>:<mnemonic>".
  void keep(const char* command, const core::run_warning& warning);
  // Raises each kept warning as a host warning, which warning('off', id)
  // silences.
  void emit() const;
};

}  // namespace boundary
