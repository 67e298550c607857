// Each command's settings: their names, their order in the settings vector,
// their defaults and which are whole numbers. Every host reads them here (the
// MEX host's struct of named settings, the Python keywords), so that a
// setting is named, placed and defaulted once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

struct setting_entry {
  const char* name;  // the struct field and keyword of every host
  bool has_default;
  double default_value;  // rounded to float as a vector's double would be
  // Counts and sizes in whole pixels or iterations: a vector truncates a
  // fraction, a host that names the setting may refuse it.
  bool whole_number;
};

struct settings_table {
  const setting_entry* settings;  // in the order of the settings vector
  std::size_t count;
  const char* inputs_in_order;  // "image, parameters": the inputs of a call, in order
  const char* image_inputs;     // "the image" or "the images"
};

// The table of "Sorvik" or "Tamvel", whatever the case of the letters; null
// for any other name.
const settings_table* settings_table_of(const char* command_name);

// Whether an array of these extents may hold a settings vector: at most one
// extent other than 1 (an empty array too, which is then too short). A wider
// array is refused as most likely an image given in the settings' place.
bool is_settings_vector(const std::uint64_t* extents, std::size_t count);

}  // namespace core
