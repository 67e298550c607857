// The eight settings of a Tamvel call, read from the converted parameter vector.
#pragma once

#include "core/image.h"
#include "core/settings.h"

namespace tamvel {

struct pair_segmentation_parameters : core::clustering_settings {
  float secondary_weight = 0;  // alpha: weight of the squared distance in the secondary image
  float band_sigma = 0;        // smoothing scale of the band rebuild; < 0: percent of the largest extent
};

constexpr unsigned tamvel_setting_count = 8;

// Reads buffer positions 0 to 7; counts and sizes truncated toward zero and
// range-checked as for Sorvik.
pair_segmentation_parameters read_parameters(const CImg<float>& parameter_image);

}  // namespace tamvel
