// The disc window as rows of offsets, shared by both commands, and how often a
// pixel meets itself in its own reflected disc.
#pragma once

#include <cstdint>
#include <vector>

#include "window.h"

namespace core {

// One row of the disc: the offsets dx from -half_width to half_width at row
// offset dy (the disc is symmetric in dx, also for even window sizes).
struct disc_row {
  int dy;
  int half_width;
};

struct disc_rows {
  std::vector<disc_row> rows;     // by ascending dy; rows without offsets left out
  std::int64_t offset_count = 0;  // offsets in the disc
  int radius = 0;                 // the largest half width
  int dy_min = 0, dy_max = 0;     // the reach of the rows (0, 0 for an empty disc)
};

disc_rows make_disc_rows(const disc_window& window);

// How often column x occurs among the reflected columns x - a .. x + a of a row
// of n pixels.
std::int64_t own_column_count(std::int64_t x, std::int64_t a, std::int64_t n);

}  // namespace core
