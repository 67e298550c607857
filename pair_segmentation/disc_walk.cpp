#include "disc_walk.h"

#include <algorithm>
#include <cmath>

namespace tamvel {

disc_walk make_disc_walk(const sorvik::disc_window& window, unsigned width, unsigned height) {
  disc_walk disc;
  disc.width = width;
  disc.height = height;
  for (int dy = window.lo; dy < window.hi; ++dy) {
    if (!window.contains(0, dy)) continue;
    // The disc is symmetric and convex: each row is one run -a .. a.
    const double room = double(window.diameter_squared) / 4.0 - double(dy) * dy;
    int a = int(std::min(std::sqrt(std::max(room, 0.0)), double(window.hi)));
    while (a > 0 && !window.contains(a, dy)) --a;
    while (window.contains(a + 1, dy)) ++a;
    const disc_row row{dy, std::max(-a, window.lo), std::min(a, window.hi - 1)};
    disc.rows.push_back(row);
    disc.dx_min = std::min(disc.dx_min, row.dx_first);
    disc.dx_max = std::max(disc.dx_max, row.dx_last);
    disc.dy_min = std::min(disc.dy_min, dy);
    disc.dy_max = std::max(disc.dy_max, dy);
  }
  for (std::int64_t v = disc.dx_min; v < std::int64_t(width) + disc.dx_max; ++v)
    disc.column_of.push_back(std::size_t(sorvik::mirror_index(v, width)));
  for (std::int64_t v = disc.dy_min; v < std::int64_t(height) + disc.dy_max; ++v)
    disc.row_of.push_back(std::size_t(sorvik::mirror_index(v, height)));
  return disc;
}

}  // namespace tamvel
