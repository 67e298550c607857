// The edge penalties of every class at one pixel, summed as the plain
// iteration sums them.
#pragma once

#include <cstddef>

#include "disc_walk.h"

namespace tamvel {

// Every class's penalty at one pixel into penalty[0 .. K-1], and into
// penalty[K] its own class's after another class has won, when its label is a
// class after the first: only such a class can see an earlier class win.
void class_penalties(const disc_walk& disc, std::size_t position, unsigned x, unsigned y, const float* labels,
                     const float* edge, int class_count, double* penalty);

}  // namespace tamvel
