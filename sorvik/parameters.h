// The six settings of a Sorvik call, read from the converted parameter vector.
#pragma once

#include "core/image.h"
#include "core/settings.h"

namespace sorvik {

struct segmentation_parameters : core::clustering_settings {};

constexpr unsigned sorvik_setting_count = 6;

// Reads buffer positions 0 to 5 (the host's element order for a vector).
// Counts and sizes are truncated toward zero; every setting is range-checked.
segmentation_parameters read_parameters(const CImg<float>& parameter_image);

}  // namespace sorvik
