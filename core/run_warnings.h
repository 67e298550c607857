// When a run's labels stand but its end deserves a word: a class that ended
// with no pixel, and an iteration limit reached while the convergence test
// still failed. The core decides both and writes their texts; every host
// only emits them, in its own way (an Octave warning with an identifier, a
// Python warning class).
#pragma once

#include <cstdint>
#include <vector>

#include "run_report.h"

namespace core {

// How a run ended, as the warnings need it.
struct run_ending {
  std::vector<std::uint64_t> counts;  // pixels of each class in the labels
  int iterations = 0;
  bool converged = false;
  int last_plain_iteration = 0;  // T, truncated: iterations 0 .. T are never tested
  float tolerance = 0;
  float energy = 0, previous_energy = 0;  // of the last iteration and the one before
};

// The warnings of a run that ended so, in this order: emptyClass when at
// least one iteration ran and a class holds no pixel; notConverged when the
// tolerance is above 0, the run did not converge, and its last iteration
// was tested against an energy of the run (it came after iteration T and
// after iteration 0) and changed the energy.
// A run with only plain iterations, or with tolerance 0, is fixed-length by
// choice and gets none; one whose energy stopped changing is settled.
std::vector<run_warning> run_warnings(const run_ending& ending);

}  // namespace core
