// The name-value pairs a call may add after its required inputs, in the
// host's convention: L = Sorvik(image, parameters, "threads", n, "volume", tf,
// "progress", tf, "exactsums", tf, "mask", M).
#pragma once

#include "core/call_threads.h"
#include "mex.h"

namespace boundary {

struct call_options {
  // Threads the computation may use, resolved: 1 .. core::largest_thread_count.
  int threads = 1;
  // A rows x columns x depth array is one channel over depth slices, not one
  // slice with depth channels.
  bool volume = false;
  // Whether the call said "volume" at all: without it a 3-D array of many
  // channels may be a volume read by mistake.
  bool volume_given = false;
  // A line in the host's window after every iteration.
  bool progress = false;
  // Sorvik's energies and centre sums summed exactly (edgeseg::call_options).
  bool exact_sums = false;
  // The pixels to segment: an array of the image's rows x columns (x depth),
  // non-zero inside; checked when the images are (edgeseg::call_options).
  const mxArray* mask = nullptr;
};

// Reads the `count` arguments that follow the required inputs (the first of
// them is input number `first_position`, counted from 1). Names match without
// regard to case and may be char row vectors or string scalars; a name given
// twice keeps its last value. "exactsums" is read only where
// `exact_sums_offered` (Sorvik); anything else is refused as badOption.
call_options read_call_options(const mxArray* const arguments[], int count, int first_position,
                               bool exact_sums_offered = false);

}  // namespace boundary
