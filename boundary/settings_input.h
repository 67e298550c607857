// The settings input of a call: the parameter vector, or a struct of named
// settings that becomes the same vector here, so that the commands read one
// form only and both forms give the same labels bit for bit.
#pragma once

#include "core/image.h"
#include "mex.h"

namespace boundary {

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
