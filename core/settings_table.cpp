#include "settings_table.h"

#include <iterator>

namespace core {
namespace {

// The defaults are the settings most calls keep: the help files and the
// docstrings give them.
constexpr setting_entry sorvik_settings[] = {
    {"window_size", false, 0, true},    {"edge_weight", false, 0, false},        {"tolerance", true, 1e-4, false},
    {"max_iterations", true, 30, true}, {"last_plain_iteration", true, 4, true}, {"class_count", false, 0, true},
};
constexpr setting_entry tamvel_settings[] = {
    {"secondary_weight", true, 1, false},    {"tolerance", true, 1e-4, false},   {"edge_weight", false, 0, false},
    {"window_size", false, 0, true},         {"max_iterations", true, 30, true}, {"band_sigma", true, 2, false},
    {"last_plain_iteration", true, 4, true}, {"class_count", false, 0, true},
};
constexpr settings_table sorvik_table = {sorvik_settings, std::size(sorvik_settings), "image, parameters", "the image"};
constexpr settings_table tamvel_table = {tamvel_settings, std::size(tamvel_settings), "primary, secondary, parameters",
                                         "the images"};

bool same_name(const char* given, const char* name) {
  for (; *given && *name; ++given, ++name) {
    const char letter = *given >= 'A' && *given <= 'Z' ? char(*given - 'A' + 'a') : *given;
    const char wanted = *name >= 'A' && *name <= 'Z' ? char(*name - 'A' + 'a') : *name;
    if (letter != wanted) return false;
  }
  return *given == *name;
}

}  // namespace

const settings_table* settings_table_of(const char* command_name) {
  if (same_name(command_name, "sorvik")) return &sorvik_table;
  if (same_name(command_name, "tamvel")) return &tamvel_table;
  return nullptr;
}

bool is_settings_vector(const std::uint64_t* extents, std::size_t count) {
  std::size_t long_extents = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (extents[i] == 0) return true;
    long_extents += extents[i] != 1;
  }
  return long_extents <= 1;
}

}  // namespace core
