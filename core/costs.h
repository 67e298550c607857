// The bounds of a pixel's cost, shared by both commands.
#pragma once

#include <cstddef>
#include <limits>

namespace core {

// What a visited pixel that no class wins adds to the energy.
constexpr float cost_ceiling = 1e8f;
// A pixel's best cost starts here: a class wins only with a cost below the
// largest float. The best cost is stored as a float, and one that rounded to
// infinity there would let any later class whose cost is still a number in
// double beat it, however much larger.
constexpr float largest_cost = std::numeric_limits<float>::max();

// A sweep's energy from its pixels' terms: a float sum in raster order, no
// term added out of turn, from `energy` on (the sum of the terms before).
inline float sum_in_raster_order(const float* terms, std::size_t count, float energy = 0) {
  for (std::size_t i = 0; i < count; ++i) energy += terms[i];
  return energy;
}

}  // namespace core
