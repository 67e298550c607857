#include "parameters.h"

#include "core/settings.h"

namespace sorvik {

segmentation_parameters read_parameters(const CImg<float>& parameter_image) {
  segmentation_parameters parameters;
  core::read_settings(parameter_image, *core::settings_table_of("sorvik"), parameters);
  return parameters;
}

}  // namespace sorvik
