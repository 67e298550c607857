// The name-value pairs a call may add after its required inputs, in the
// host's convention: L = Sorvik(image, parameters, "threads", n, "volume", tf,
// "progress", tf, "exactsums", tf, "mask", M, "centres", C); Tamvel also takes
// "secondary_centres", C2.
#pragma once

#include "core/call_threads.h"
#include "edgeseg/image_view.h"
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
  // Starting centres as the call gave them (null: none), read once the images
  // are described (centres_from_host), and the input number of each.
  const mxArray* centres = nullptr;
  const mxArray* secondary_centres = nullptr;
  int centres_position = 0, secondary_centres_position = 0;
};

// Reads the `count` arguments that follow the required inputs (the first of
// them is input number `first_position`, counted from 1). Names match without
// regard to case and may be char row vectors or string scalars; a name given
// twice keeps its last value. "exactsums" is read only where
// `exact_sums_offered` (Sorvik), "secondary_centres" only where
// `secondary_centres_offered` (Tamvel); anything else is refused as badOption.
call_options read_call_options(const mxArray* const arguments[], int count, int first_position,
                               bool exact_sums_offered = false, bool secondary_centres_offered = false);

// The starting centres given as option `name` (input `position`): a real,
// full, numeric or logical K x C matrix, read through single precision;
// [] (0 x 0) and null give none. Other arrays are refused as badCentres; the
// core refuses a shape or values that do not fit the call.
edgeseg::centre_table centres_from_host(const mxArray* value, const char* name, int position);

}  // namespace boundary
