// The eight settings of a Tamvel call, read from the converted parameter vector.
#pragma once

#include "core/image.h"
#include "core/window.h"

namespace tamvel {

struct pair_segmentation_parameters {
  float secondary_weight = 0;    // alpha: weight of the squared distance in the secondary image
  float tolerance = 0;           // tau
  float edge_weight = 0;         // lambda: weight of the edge penalty
  int window_size = 0;           // s: diameter of the disc window
  int max_iterations = 0;        // N
  float band_sigma = 0;          // smoothing scale of the band rebuild; < 0: percent of the largest extent
  int last_plain_iteration = 0;  // T
  int class_count = 1;           // K
  core::disc_window window;      // derived from window_size
};

constexpr unsigned tamvel_setting_count = 8;

// Reads buffer positions 0 to 7; counts and sizes truncated toward zero and
// range-checked as for Sorvik.
pair_segmentation_parameters read_parameters(const CImg<float>& parameter_image);

}  // namespace tamvel
