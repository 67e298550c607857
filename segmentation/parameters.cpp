#include "parameters.h"

#include "settings.h"

namespace sorvik {

segmentation_parameters read_parameters(const CImg<float>& parameter_image) {
  require_setting_count(parameter_image, sorvik_setting_count);
  const float* value = parameter_image.data();
  segmentation_parameters parameters;
  parameters.window_size = window_size_setting(value[0]);
  parameters.edge_weight = finite_setting(value[1], "the edge weight");
  parameters.tolerance = tolerance_setting(value[2]);
  parameters.max_iterations = integer_setting(value[3], "the maximum number of iterations");
  parameters.last_plain_iteration = integer_setting(value[4], "the last plain iteration");
  parameters.class_count = class_count_setting(value[5]);
  parameters.window = make_window(parameters.window_size);
  return parameters;
}

}  // namespace sorvik
