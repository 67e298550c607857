// The six settings of a Sorvik call, read from the converted parameter vector.
#pragma once

#include "core/image.h"
#include "core/window.h"

namespace sorvik {

struct segmentation_parameters {
  int window_size = 0;           // w: diameter of the disc of the edge term
  float edge_weight = 0;         // lambda
  float tolerance = 0;           // tau
  int max_iterations = 0;        // iterations 0 .. max_iterations - 1 at most
  int last_plain_iteration = 0;  // T: iterations 0 .. T run without edge term and test
  int class_count = 1;           // K
  core::disc_window window;      // derived from window_size
};

constexpr unsigned sorvik_setting_count = 6;

// Reads buffer positions 0 to 5 (the host's element order for a vector).
// Counts and sizes are truncated toward zero; every setting is range-checked.
segmentation_parameters read_parameters(const CImg<float>& parameter_image);

}  // namespace sorvik
