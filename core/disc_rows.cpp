#include "disc_rows.h"

#include <algorithm>
#include <cmath>

namespace core {
namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t quotient = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? quotient - 1 : quotient;
}

}  // namespace

disc_rows make_disc_rows(const disc_window& window) {
  disc_rows disc;
  for (int dy = window.lo; dy < window.hi; ++dy) {
    if (!window.contains(0, dy)) continue;
    // The square root only guesses the half width; contains() decides it.
    const double room = double(window.diameter_squared) / 4.0 - double(dy) * dy;
    std::int64_t half_width = room > 0 ? std::min<std::int64_t>(std::int64_t(std::sqrt(room)), window.hi - 1) : 0;
    while (half_width > 0 && !window.contains(int(half_width), dy)) --half_width;
    while (half_width + 1 < window.hi && window.contains(int(half_width + 1), dy)) ++half_width;
    disc.rows.push_back({dy, int(half_width)});
    disc.offset_count += 2 * half_width + 1;
    disc.radius = std::max(disc.radius, int(half_width));
    disc.dy_min = std::min(disc.dy_min, dy);
    disc.dy_max = std::max(disc.dy_max, dy);
  }
  return disc;
}

// With the period P = 2n - 2 of the reflection, column v lands on x exactly
// when v = x or v = -x modulo P; for x = 0 and x = n - 1 these are one residue.
std::int64_t own_column_count(std::int64_t x, std::int64_t a, std::int64_t n) {
  if (n <= 1) return 2 * a + 1;
  const std::int64_t period = 2 * n - 2;
  std::int64_t count = 2 * (a / period) + 1;
  if (x != 0 && x != n - 1) count += floor_div(2 * x + a, period) - floor_div(2 * x - a - 1, period);
  return count;
}

}  // namespace core
