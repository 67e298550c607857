// The settings input of a call: the parameter vector, or a struct of named
// settings that becomes the same vector here, so that the commands read one
// form only and both forms give the same labels bit for bit.
#pragma once

#include <cstddef>

#include "core/image.h"
#include "mex.h"

namespace boundary {

struct named_setting {
  const char* name;  // the field name, also the keyword of other hosts
  bool has_default;
  double default_value;  // rounded to float as a vector's double would be
};

// A command's settings in the order of its parameter vector.
struct settings_layout {
  const named_setting* settings;
  std::size_t count;
  const char* inputs_in_order;  // "image, parameters", quoted when they seem swapped
  const char* image_inputs;     // "the image", as that message names them
};

// The layout of "Sorvik" or "Tamvel"; null for any other command name.
const settings_layout* settings_layout_of(const char* command_name);

// Converts the settings input (input number `position`, counted from 1) of
// `command_name`. A numeric or logical array must be
// a vector (at most one extent other than 1): anything wider is refused as
// badParameters, since it is most likely the image given in the settings'
// place. A struct must be 1 x 1, with known field names only, each holding
// one real number; settings left out take their defaults, and a setting
// without one must be given. Other inputs are converted as images are, and
// refused there.
CImg<float> settings_from_host(const mxArray* array, const char* command_name, int position);

}  // namespace boundary
