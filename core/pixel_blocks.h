// How many pixels the kernels of both commands take at a time.
#pragma once

#include <algorithm>
#include <cstddef>

namespace core {

// Pixels handled together: enough for the vector units, few enough that their
// values and data terms stay in the first-level cache. A multiple of eight.
constexpr std::size_t block_pixels = 256;

// Pixels of a block whose data terms for all K classes, `table_size` doubles
// at most, are formed at once: at least 1 and at most block_pixels.
inline std::size_t pixels_per_table(int class_count, std::size_t table_size) {
  return std::clamp<std::size_t>(table_size / std::size_t(class_count), 1, block_pixels);
}

}  // namespace core
