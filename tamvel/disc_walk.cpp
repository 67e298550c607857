#include "disc_walk.h"

namespace tamvel {

disc_walk make_disc_walk(const core::disc_window& window, unsigned width, unsigned height) {
  const core::disc_rows disc = core::make_disc_rows(window);
  disc_walk walk;
  walk.rows = disc.rows;
  walk.width = width;
  walk.height = height;
  walk.dx_min = -disc.radius;
  walk.dx_max = disc.radius;
  walk.dy_min = disc.dy_min;
  walk.dy_max = disc.dy_max;
  walk.column_of = core::mirror_table(walk.dx_min, std::int64_t(width) + walk.dx_max, width);
  walk.row_of = core::mirror_table(walk.dy_min, std::int64_t(height) + walk.dy_max, height);
  return walk;
}

}  // namespace tamvel
