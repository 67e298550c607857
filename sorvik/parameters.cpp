#include "parameters.h"

#include "core/settings.h"

namespace sorvik {

segmentation_parameters read_parameters(const CImg<float>& parameter_image) {
  core::require_setting_count(parameter_image, sorvik_setting_count);
  const float* value = parameter_image.data();
  segmentation_parameters parameters;
  parameters.window_size = core::window_size_setting(value, 0);
  parameters.edge_weight = core::finite_setting(value, 1, "the edge weight");
  parameters.tolerance = core::tolerance_setting(value, 2);
  parameters.max_iterations = core::integer_setting(value, 3, "the maximum number of iterations");
  parameters.last_plain_iteration = core::integer_setting(value, 4, "the last plain iteration");
  parameters.class_count = core::class_count_setting(value, 5);
  parameters.window = core::make_window(parameters.window_size);
  return parameters;
}

}  // namespace sorvik
