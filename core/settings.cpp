#include "settings.h"

#include <cmath>

#include "refusal.h"
#include "window.h"

namespace core {

void require_setting_count(const CImg<float>& parameter_image, unsigned required) {
  if (parameter_image.size() < required)
    refuse("tooFewParameters", "the parameter vector holds %llu values; expected %u.",
                     static_cast<unsigned long long>(parameter_image.size()), required);
}

int integer_setting(float value, const char* name) {
  // Both bounds are exact floats: -2^31 itself is allowed, 2^31 is not.
  if (!(value >= -2147483648.0f && value < 2147483648.0f))
    refuse("badParameters", "%s is %g; expected a finite number within the signed 32-bit range.", name,
                     static_cast<double>(value));
  return static_cast<int>(value);
}

float finite_setting(float value, const char* name) {
  if (!std::isfinite(value))
    refuse("badParameters", "%s is %g; expected a finite number.", name, static_cast<double>(value));
  return value;
}

float tolerance_setting(float value) {
  if (std::isnan(value)) refuse("badParameters", "the tolerance is NaN; expected a number.");
  return value;
}

int class_count_setting(float value) {
  const int count = integer_setting(value, "the class count");
  if (count < 1 || count > largest_class_count)
    refuse("badParameters", "the class count is %d; expected a whole number from 1 to %d.", count,
                     largest_class_count);
  return count;
}

int window_size_setting(float value) {
  const int size = integer_setting(value, "the window size");
  if (size > largest_window_size || size < -largest_window_size)
    refuse("badParameters", "the window size is %d; expected a diameter of at most %d pixels.", size,
                     largest_window_size);
  return size;
}

}  // namespace core
