#include "settings_input.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_array.h"
#include "core/refusal.h"
#include "edgeseg/settings_table.h"

namespace boundary {

using core::refuse;
using edgeseg::setting_entry;
using edgeseg::settings_table;
namespace {

bool is_vector(const mxArray* array) {
  std::vector<std::uint64_t> extents(mxGetDimensions(array), mxGetDimensions(array) + mxGetNumberOfDimensions(array));
  return edgeseg::is_settings_vector(extents.data(), extents.size());
}

std::size_t element_count(const mxArray* array) {
  std::size_t count = 1;
  for (mwSize i = 0; i < mxGetNumberOfDimensions(array); ++i) count *= mxGetDimensions(array)[i];
  return count;
}

// "window_size, edge_weight, tolerance (default 0.0001), ...".
std::string field_list(const settings_table& table) {
  std::string list;
  for (std::size_t i = 0; i < table.count; ++i) {
    char entry[80];
    const setting_entry& setting = table.settings[i];
    if (setting.has_default)
      std::snprintf(entry, sizeof entry, "%s%s (default %g)", i ? ", " : "", setting.name, setting.default_value);
    else
      std::snprintf(entry, sizeof entry, "%s%s", i ? ", " : "", setting.name);
    list += entry;
  }
  return list;
}

const setting_entry* find_setting(const settings_table& table, const char* name) {
  for (std::size_t i = 0; i < table.count; ++i)
    if (std::strcmp(table.settings[i].name, name) == 0) return &table.settings[i];
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

CImg<float> settings_from_struct(const mxArray* array, const char* command_name, const settings_table& table,
                                 int position) {
  if (element_count(array) != 1)
    refuse("badParameters", "the settings struct (input %d) is %s; expected one struct (1 x 1) with the fields %s.",
           position, argument_description(array).text, field_list(table).c_str());
  CImg<float> parameters(static_cast<unsigned>(table.count), 1, 1, 1);
  bool given[16] = {};
  const int field_count = mxGetNumberOfFields(array);
  for (int f = 0; f < field_count; ++f) {
    const char* name = mxGetFieldNameByNumber(array, f);
    const setting_entry* setting = name ? find_setting(table, name) : nullptr;
    if (!setting)
      refuse("badParameters", "the settings struct (input %d) has the unknown field \"%s\"; %s's settings are %s.",
             position, name ? name : "", command_name, field_list(table).c_str());
    const std::size_t index = static_cast<std::size_t>(setting - table.settings);
    parameters(index) = field_value(mxGetFieldByNumber(array, 0, f), setting->name, position);
    given[index] = true;
  }
  for (std::size_t i = 0; i < table.count; ++i) {
    if (given[i]) continue;
    if (!table.settings[i].has_default)
      refuse("badParameters",
             "the settings struct (input %d) has no field %s, which has no default; %s's settings are %s.", position,
             table.settings[i].name, command_name, field_list(table).c_str());
    parameters(i) = static_cast<float>(table.settings[i].default_value);
  }
  return parameters;
}

std::string capitalised(const char* text) {
  std::string word(text);
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = char(word[0] - 'a' + 'A');
  return word;
}

}  // namespace

CImg<float> settings_from_host(const mxArray* array, const char* command_name, int position) {
  const settings_table* table = edgeseg::settings_table_of(command_name);
  if (table && mxGetClassID(array) == mxSTRUCT_CLASS)
    return settings_from_struct(array, command_name, *table, position);
  if (table && is_number_class(mxGetClassID(array)) && !mxIsSparse(array) && !is_vector(array))
    refuse("badParameters",
           "the parameters (input %d) are %s; expected a vector of at least %zu numbers or a struct of named "
           "settings. %s and the parameters may be swapped: call it as L = %s(%s).",
           position, argument_description(array).text, table->count, capitalised(table->image_inputs).c_str(),
           command_name, table->inputs_in_order);
  return image_from_host(array, "the parameter vector");
}

}  // namespace boundary
