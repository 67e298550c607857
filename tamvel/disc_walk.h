// The disc window of Tamvel's penalty as the kernels walk it: by rows, and
// without reflecting while the window lies inside the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/disc_rows.h"
#include "core/window.h"

namespace tamvel {

// The disc walked in the order the penalty sums it (dy outer, dx inner,
// ascending), with the reflected columns and rows a window reaching beyond
// the image reads.
struct disc_walk {
  std::vector<core::disc_row> rows;
  std::int64_t width = 0, height = 0;
  int dx_min = 0, dx_max = 0, dy_min = 0, dy_max = 0;
  std::vector<std::int32_t> column_of;  // column of x + dx at x + dx - dx_min
  std::vector<std::int32_t> row_of;     // row of y + dy at y + dy - dy_min

  // Whether the window around (x, y) lies inside the image: then nothing is
  // reflected and the pixel occurs once in it.
  bool inside(unsigned x, unsigned y) const {
    return std::int64_t(x) + dx_min >= 0 && std::int64_t(x) + dx_max < width && std::int64_t(y) + dy_min >= 0 &&
           std::int64_t(y) + dy_max < height;
  }

  // Calls visit(p) for the buffer position p of every window position around
  // the pixel at `position` = (x, y) of its slice, in summation order.
  template <class Visit>
  void walk(std::size_t position, unsigned x, unsigned y, Visit&& visit) const {
    if (inside(x, y)) {
      for (const core::disc_row& row : rows) {
        const std::size_t centre = position + std::ptrdiff_t(row.dy) * width;
        for (int dx = -row.half_width; dx <= row.half_width; ++dx) visit(centre + std::ptrdiff_t(dx));
      }
      return;
    }
    const std::size_t slice = position - x - std::size_t(y) * std::size_t(width);
    const std::int32_t* column = column_of.data() + (std::int64_t(x) - dx_min);
    for (const core::disc_row& row : rows) {
      const std::size_t source =
          slice + std::size_t(row_of[std::size_t(std::int64_t(y) + row.dy - dy_min)]) * std::size_t(width);
      for (int dx = -row.half_width; dx <= row.half_width; ++dx) visit(source + std::size_t(column[dx]));
    }
  }
};

disc_walk make_disc_walk(const core::disc_window& window, unsigned width, unsigned height);

}  // namespace tamvel
