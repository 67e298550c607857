#include "settings_table.h"

#include <iterator>

namespace core {
namespace {

// The defaults are the settings most calls keep: the help files and the
// docstrings give them.
constexpr setting_entry window_size = {"window_size", false, 0, true, setting_kind::window_size, "the window size"};
constexpr setting_entry edge_weight = {"edge_weight", false, 0, false, setting_kind::weight, "the edge weight"};
constexpr setting_entry tolerance = {"tolerance", true, 1e-4, false, setting_kind::tolerance, "the tolerance"};
constexpr setting_entry max_iterations = {
    "max_iterations", true, 30, true, setting_kind::count, "the maximum number of iterations"};
constexpr setting_entry last_plain_iteration = {"last_plain_iteration",    true, 4, true, setting_kind::count,
                                                "the last plain iteration"};
constexpr setting_entry class_count = {"class_count", false, 0, true, setting_kind::class_count, "the class count"};

constexpr setting_entry sorvik_settings[] = {window_size,    edge_weight,          tolerance,
                                             max_iterations, last_plain_iteration, class_count};
constexpr setting_entry tamvel_settings[] = {
    {"secondary_weight", true, 1, false, setting_kind::weight, "the secondary weight"},
    tolerance,
    edge_weight,
    window_size,
    max_iterations,
    {"band_sigma", true, 2, false, setting_kind::weight, "the band smoothing scale"},
    last_plain_iteration,
    class_count,
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

std::size_t setting_position(const settings_table& table, const char* name) {
  for (std::size_t i = 0; i < table.count; ++i)
    if (same_name(name, table.settings[i].name)) return i;
  return table.count;
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
