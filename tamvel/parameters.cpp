#include "parameters.h"

#include "core/settings.h"

namespace tamvel {

pair_segmentation_parameters read_parameters(const CImg<float>& parameter_image) {
  core::require_setting_count(parameter_image, tamvel_setting_count);
  const float* value = parameter_image.data();
  pair_segmentation_parameters parameters;
  parameters.secondary_weight = core::finite_setting(value, 0, "the secondary weight");
  parameters.tolerance = core::tolerance_setting(value, 1);
  parameters.edge_weight = core::finite_setting(value, 2, "the edge weight");
  parameters.window_size = core::window_size_setting(value, 3);
  parameters.max_iterations = core::integer_setting(value, 4, "the maximum number of iterations");
  parameters.band_sigma = core::finite_setting(value, 5, "the band smoothing scale");
  parameters.last_plain_iteration = core::integer_setting(value, 6, "the last plain iteration");
  parameters.class_count = core::class_count_setting(value, 7);
  parameters.window = core::make_window(parameters.window_size);
  return parameters;
}

}  // namespace tamvel
