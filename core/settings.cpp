#include "settings.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "refusal.h"
#include "window.h"

namespace core {

void require_setting_count(const CImg<float>& parameter_image, unsigned required) {
  if (parameter_image.size() < required)
    refuse("tooFewParameters", "the parameter vector holds %llu values; expected %u.",
           static_cast<unsigned long long>(parameter_image.size()), required);
}

int integer_setting(const float* values, int index, const char* name) {
  const float value = values[index];
  // Both bounds are exact floats: -2^31 itself is allowed, 2^31 is not.
  if (!(value >= -2147483648.0f && value < 2147483648.0f))
    refuse_setting(index, "%s is %g; expected a finite number within the signed 32-bit range.", name,
                   static_cast<double>(value));
  return static_cast<int>(value);
}

float finite_setting(const float* values, int index, const char* name) {
  const float value = values[index];
  if (!std::isfinite(value))
    refuse_setting(index, "%s is %g; expected a finite number.", name, static_cast<double>(value));
  return value;
}

float tolerance_setting(const float* values, int index) {
  const float value = values[index];
  if (std::isnan(value)) refuse_setting(index, "the tolerance is NaN; expected a number.");
  return value;
}

namespace {

// "0.5, which truncates to 0": the value as given, and what it became.
struct given_value {
  char text[64];
  given_value(float value, int truncated) {
    if (value == static_cast<float>(truncated))
      std::snprintf(text, sizeof text, "%d", truncated);
    else
      std::snprintf(text, sizeof text, "%.9g, which truncates to %d", static_cast<double>(value), truncated);
  }
};

}  // namespace

int class_count_setting(const float* values, int index) {
  const int count = integer_setting(values, index, "the class count");
  if (count < 1 || count > largest_class_count)
    refuse_setting(index, "the class count is %s; expected a whole number from 1 to %d.",
                   given_value(values[index], count).text, largest_class_count);
  return count;
}

int window_size_setting(const float* values, int index) {
  const int size = integer_setting(values, index, "the window size");
  if (size > largest_window_size || size < -largest_window_size)
    refuse_setting(index, "the window size is %s; expected a diameter of at most %d pixels.",
                   given_value(values[index], size).text, largest_window_size);
  return size;
}

namespace {

double checked_setting(const float* values, int index, const setting_entry& setting) {
  switch (setting.kind) {
    case setting_kind::window_size:
      return window_size_setting(values, index);
    case setting_kind::weight:
      return finite_setting(values, index, setting.description);
    case setting_kind::tolerance:
      return tolerance_setting(values, index);
    case setting_kind::count:
      return integer_setting(values, index, setting.description);
    case setting_kind::class_count:
      return class_count_setting(values, index);
  }
  return values[index];
}

}  // namespace

std::vector<double> read_settings(const CImg<float>& parameter_image, const settings_table& table,
                                  clustering_settings& shared) {
  require_setting_count(parameter_image, unsigned(table.count));
  std::vector<double> values(table.count);
  for (std::size_t i = 0; i < table.count; ++i)
    values[i] = checked_setting(parameter_image.data(), int(i), table.settings[i]);
  const auto value = [&](const char* name) { return values[setting_position(table, name)]; };
  shared.window_size = int(value("window_size"));
  shared.edge_weight = float(value("edge_weight"));
  shared.tolerance = float(value("tolerance"));
  shared.max_iterations = int(value("max_iterations"));
  shared.last_plain_iteration = int(value("last_plain_iteration"));
  shared.class_count = int(value("class_count"));
  shared.window = make_window(shared.window_size);
  return values;
}

}  // namespace core
