#include "settings_input.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "host_array.h"
#include "core/refusal.h"

namespace boundary {

using core::refuse;
namespace {

// The defaults are the settings most calls keep: the help files give them,
// and other hosts take the same names and defaults as keywords.
constexpr named_setting sorvik_settings[] = {
    {"window_size", false, 0},    {"edge_weight", false, 0},         {"tolerance", true, 1e-4},
    {"max_iterations", true, 30}, {"last_plain_iteration", true, 4}, {"class_count", false, 0},
};
constexpr named_setting tamvel_settings[] = {
    {"secondary_weight", true, 1},     {"tolerance", true, 1e-4},    {"edge_weight", false, 0},
    {"window_size", false, 0},         {"max_iterations", true, 30}, {"band_sigma", true, 2},
    {"last_plain_iteration", true, 4}, {"class_count", false, 0},
};
constexpr settings_layout sorvik_layout = {sorvik_settings, std::size(sorvik_settings), "image, parameters",
                                           "the image"};
constexpr settings_layout tamvel_layout = {tamvel_settings, std::size(tamvel_settings),
                                           "primary, secondary, parameters", "the images"};

// Rows, columns, a 1 x 1 x n array: at most one extent other than 1. An
// empty array counts too, and is then refused as too few values.
bool is_vector(const mxArray* array) {
  const mwSize count = mxGetNumberOfDimensions(array);
  const mwSize* dimensions = mxGetDimensions(array);
  int long_extents = 0;
  for (mwSize i = 0; i < count; ++i) {
    if (dimensions[i] == 0) return true;
    long_extents += dimensions[i] != 1;
  }
  return long_extents <= 1;
}

std::size_t element_count(const mxArray* array) {
  std::size_t count = 1;
  for (mwSize i = 0; i < mxGetNumberOfDimensions(array); ++i) count *= mxGetDimensions(array)[i];
  return count;
}

// "window_size, edge_weight, tolerance (default 0.0001), ...".
std::string field_list(const settings_layout& layout) {
  std::string list;
  for (std::size_t i = 0; i < layout.count; ++i) {
    char entry[80];
    const named_setting& setting = layout.settings[i];
    if (setting.has_default)
      std::snprintf(entry, sizeof entry, "%s%s (default %g)", i ? ", " : "", setting.name, setting.default_value);
    else
      std::snprintf(entry, sizeof entry, "%s%s", i ? ", " : "", setting.name);
    list += entry;
  }
  return list;
}

const named_setting* find_setting(const settings_layout& layout, const char* name) {
  for (std::size_t i = 0; i < layout.count; ++i)
    if (std::strcmp(layout.settings[i].name, name) == 0) return &layout.settings[i];
  return nullptr;
}

// One field's value, converted as the same number in a vector would be.
float field_value(const mxArray* value, const char* name, int position) {
  if (!value || !is_number_class(mxGetClassID(value)) || mxIsSparse(value) || mxIsComplex(value) ||
      element_count(value) != 1)
    refuse("badParameters", "the field %s of the settings struct (input %d) is %s; expected one real number.", name,
           position, value ? argument_description(value).text : "missing");
  char role[96];
  std::snprintf(role, sizeof role, "the field %s of the settings struct", name);
  return image_from_host(value, role)(0);
}

CImg<float> settings_from_struct(const mxArray* array, const char* command_name, const settings_layout& layout,
                                 int position) {
  if (element_count(array) != 1)
    refuse("badParameters", "the settings struct (input %d) is %s; expected one struct (1 x 1) with the fields %s.",
           position, argument_description(array).text, field_list(layout).c_str());
  CImg<float> parameters(static_cast<unsigned>(layout.count), 1, 1, 1);
  bool given[16] = {};
  const int field_count = mxGetNumberOfFields(array);
  for (int f = 0; f < field_count; ++f) {
    const char* name = mxGetFieldNameByNumber(array, f);
    const named_setting* setting = name ? find_setting(layout, name) : nullptr;
    if (!setting)
      refuse("badParameters", "the settings struct (input %d) has the unknown field \"%s\"; %s's settings are %s.",
             position, name ? name : "", command_name, field_list(layout).c_str());
    const std::size_t index = static_cast<std::size_t>(setting - layout.settings);
    parameters(index) = field_value(mxGetFieldByNumber(array, 0, f), setting->name, position);
    given[index] = true;
  }
  for (std::size_t i = 0; i < layout.count; ++i) {
    if (given[i]) continue;
    if (!layout.settings[i].has_default)
      refuse("badParameters",
             "the settings struct (input %d) has no field %s, which has no default; %s's settings are %s.", position,
             layout.settings[i].name, command_name, field_list(layout).c_str());
    parameters(i) = static_cast<float>(layout.settings[i].default_value);
  }
  return parameters;
}

std::string capitalised(const char* text) {
  std::string word(text);
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = char(word[0] - 'a' + 'A');
  return word;
}

}  // namespace

const settings_layout* settings_layout_of(const char* command_name) {
  if (std::strcmp(command_name, "Sorvik") == 0) return &sorvik_layout;
  if (std::strcmp(command_name, "Tamvel") == 0) return &tamvel_layout;
  return nullptr;
}

CImg<float> settings_from_host(const mxArray* array, const char* command_name, int position) {
  const settings_layout* layout = settings_layout_of(command_name);
  if (layout && mxGetClassID(array) == mxSTRUCT_CLASS)
    return settings_from_struct(array, command_name, *layout, position);
  if (layout && is_number_class(mxGetClassID(array)) && !mxIsSparse(array) && !is_vector(array))
    refuse("badParameters",
           "the parameters (input %d) are %s; expected a vector of at least %zu numbers or a struct of named "
           "settings. %s and the parameters may be swapped: call it as L = %s(%s).",
           position, argument_description(array).text, layout->count, capitalised(layout->image_inputs).c_str(),
           command_name, layout->inputs_in_order);
  return image_from_host(array, "the parameter vector");
}

}  // namespace boundary
