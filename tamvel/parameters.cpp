#include "parameters.h"

#include "core/settings.h"

namespace tamvel {

pair_segmentation_parameters read_parameters(const CImg<float>& parameter_image) {
  pair_segmentation_parameters parameters;
  const core::settings_table& table = *core::settings_table_of("tamvel");
  const std::vector<double> values = core::read_settings(parameter_image, table, parameters);
  parameters.secondary_weight = float(values[core::setting_position(table, "secondary_weight")]);
  parameters.band_sigma = float(values[core::setting_position(table, "band_sigma")]);
  return parameters;
}

}  // namespace tamvel
