// The disc window of the edge terms, shared by both commands.
//
// A window of diameter w covers the offsets dx, dy from lo = (-w)/2 to
// hi - 1 = (w + 1)/2 - 1 (divisions truncating toward zero) that satisfy
// dx^2 + dy^2 < w^2 / 4, strictly. The offsets at -w/2 never qualify, so the
// disc is symmetric for even w too; for w >= 1 it holds the pixel itself.
#pragma once

#include <cstdint>
#include <vector>

namespace core {

// Beyond this diameter w * w no longer fits a signed 32-bit integer.
constexpr int largest_window_size = 46340;

struct disc_window {
  int lo = 0;
  int hi = 0;
  std::int64_t diameter_squared = 0;

  bool empty() const { return lo >= hi; }
  // Exact form of dx^2 + dy^2 < w^2 / 4.
  bool contains(int dx, int dy) const { return 4 * (std::int64_t(dx) * dx + std::int64_t(dy) * dy) < diameter_squared; }
};

inline disc_window make_window(int window_size) {
  disc_window window;
  window.lo = (-window_size) / 2;
  window.hi = (window_size + 1) / 2;
  window.diameter_squared = std::int64_t(window_size) * window_size;
  return window;
}

// Reflects a position about the first and the last pixel of an axis of n
// pixels without repeating the edge pixel (n = 10: -1 -> 1, 10 -> 8), as often
// as needed, so any offset lands inside: the pattern repeats every 2n - 2.
inline std::int64_t mirror_index(std::int64_t v, std::int64_t n) {
  if (n <= 1) return 0;
  const std::int64_t period = 2 * n - 2;
  std::int64_t folded = v % period;
  if (folded < 0) folded += period;
  return folded < n ? folded : period - folded;
}

// mirror_index(v, n) for v from `first` to `end` - 1, looked up by v - first.
inline std::vector<std::int32_t> mirror_table(std::int64_t first, std::int64_t end, std::int64_t n) {
  std::vector<std::int32_t> table;
  table.reserve(std::size_t(end > first ? end - first : 0));
  for (std::int64_t v = first; v < end; ++v) table.push_back(std::int32_t(mirror_index(v, n)));
  return table;
}

}  // namespace core
