// What a run tells its caller besides the labels, when asked: a report after
// every iteration, and at the end the centres, iterations, energies and class
// sizes of the run that made the labels. Asking changes no label.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace core {

// One iteration: its sweep and the centre update after it.
struct iteration_report {
  int iteration = 0;          // counted from 0
  bool edge_phase = false;    // whether the edge term applied in the sweep
  float energy = 0;           // the sweep's energy
  std::uint64_t changed = 0;  // pixels whose label the sweep changed
  double seconds = 0;         // since the run began
  bool last = false;          // the run ends after this iteration
  bool converged = false;     // with `last`: the convergence test ended it, not the iteration limit
  // What the convergence test compared after this iteration, for a host to
  // say why the run went on or ended: the energy before (that of the first
  // comparison is a huge stand-in), the run's tolerance, and whether the test
  // applied at all (not in the plain iterations).
  float previous_energy = 0;
  float tolerance = 0;
  bool tested = false;
};

// The run that made the labels.
struct run_info {
  int class_count = 0, channels = 0;
  // The centres after the last update, that is the class means of the
  // finite pixels of the labels returned (the initial centres when no
  // iteration ran): class k's centre in channel c at [k * channels + c].
  std::vector<double> centres;
  std::vector<double> secondary_centres;  // for a pair of images: the secondary image's, alike
  int iterations = 0;
  bool converged = false;
  std::vector<float> energies;        // every iteration's, in order
  std::vector<std::uint64_t> counts;  // pixels of each class in the labels
};

// A run that ended in a way its caller should look at, though its labels
// stand: `mnemonic` is "emptyClass" or "notConverged", which hosts make
// their warning identifiers of ("<Command>:<mnemonic>"), and `message` says
// what happened and what to try.
struct run_warning {
  const char* mnemonic = "";  // always a string literal
  std::string message;
};

// What the caller of a run wants to know. With neither, a run forms nothing
// it does not need; with either, it forms every iteration's energy.
struct run_watch {
  // Called on the thread that runs the call, after every iteration.
  std::function<void(const iteration_report&)> progress;
  run_info* info = nullptr;
  // Called on the thread that runs the call, once the run has ended, with
  // each warning of its end (core/run_warnings.h). It asks for nothing more
  // of the run than its labels.
  std::function<void(const run_warning&)> warn;

  bool watching() const { return progress || info; }
};

}  // namespace core
