// Each command's settings as every host names them: their names in the
// order of the settings vector, their defaults, and which are whole numbers.
// A host builds its keywords or fields from this table rather than keeping
// its own copy.
#pragma once

// Installed beside this header as edgeseg/core/; in the source tree it is in
// core/ under the project's root.
#include "core/settings_table.h"

namespace edgeseg {

using setting_entry = core::setting_entry;
using settings_table = core::settings_table;
// "Sorvik" or "Tamvel" in any case; null for another name.
using core::settings_table_of;
// Whether an array of these extents may hold a settings vector.
using core::is_settings_vector;

}  // namespace edgeseg
