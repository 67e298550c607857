#include "plugin_call.h"

#include <gtest/gtest.h>

namespace test_support {

const standin::plugin& sorvik_plugin() {
  static const standin::plugin plugin(STANDIN_PLUGIN_DIR "/Sorvik.mex");
  return plugin;
}

const standin::plugin& tamvel_plugin() {
  static const standin::plugin plugin(STANDIN_PLUGIN_DIR "/Tamvel.mex");
  return plugin;
}

standin::array_ptr row_vector(const std::vector<double>& values) {
  return standin::make_doubles({1, values.size()}, values);
}

standin::array_ptr matrix_by_rows(std::size_t rows, std::size_t columns, const std::vector<double>& values) {
  std::vector<double> column_major(values.size());
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < columns; ++c) column_major[r + rows * c] = values[r * columns + c];
  return standin::make_doubles({rows, columns}, column_major);
}

standin::array_ptr call(const standin::plugin& plugin, const std::vector<const mxArray*>& inputs) {
  try {
    std::vector<standin::array_ptr> outputs = plugin.call(inputs);
    return std::move(outputs.at(0));
  } catch (const standin::host_error& error) {
    ADD_FAILURE() << "unexpected host error " << error.identifier << ": " << error.what();
    return nullptr;
  } catch (const standin::host_rule_broken& broken) {
    ADD_FAILURE() << broken.what();
    return nullptr;
  }
}

std::string refusal_identifier(const standin::plugin& plugin, const std::vector<const mxArray*>& inputs,
                               int output_count) {
  try {
    plugin.call(inputs, output_count);
  } catch (const standin::host_error& error) {
    EXPECT_FALSE(std::string(error.what()).empty()) << "host error " << error.identifier << " without a message";
    return error.identifier;
  } catch (const standin::host_rule_broken& broken) {
    ADD_FAILURE() << broken.what();
  }
  return "";
}

CImg<float> labels_of(const mxArray* result) {
  const std::vector<std::size_t> dimensions = standin::dimensions_of(result);
  EXPECT_EQ(dimensions.size(), 4u);
  EXPECT_EQ(dimensions.at(3), 1u);
  const std::size_t rows = dimensions.at(0), columns = dimensions.at(1), depth = dimensions.at(2);
  CImg<float> labels(static_cast<unsigned>(columns), static_cast<unsigned>(rows), static_cast<unsigned>(depth));
  const auto* values = static_cast<const double*>(mxGetData(result));
  for (std::size_t z = 0; z < depth; ++z)
    for (std::size_t y = 0; y < rows; ++y)
      for (std::size_t x = 0; x < columns; ++x)
        labels(static_cast<unsigned>(x), static_cast<unsigned>(y), static_cast<unsigned>(z)) =
            static_cast<float>(values[y + rows * (x + columns * z)]);
  return labels;
}

}  // namespace test_support
