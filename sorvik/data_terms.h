// Data terms of a block of pixels, and the plain-phase choice of a class for
// each.
//
// A block's values are held in double, channel after channel, block_pixels
// apart.
#pragma once

#include <cstddef>

#include "core/image.h"
#include "core/pixel_blocks.h"

namespace sorvik {

// The values of `count` pixels from pixel `first` on.
void block_values(const CImg<float>& image, std::size_t first, std::size_t channel_size, std::size_t count,
                  double* value);

// Every class's data terms for a block, class after class `stride` apart.
void data_term_table(const double* value, int channels, const float* centres, int classes, std::size_t count,
                     std::size_t stride, double* table);

// The plain-phase choice for a block of `count` pixels: where a class wins a
// pixel, `label` takes the class; `added` receives what the pixel adds to the
// energy, the winning cost rounded to float, or the ceiling where no class
// wins. Without the edge term the costs are the data terms (adding 0 changes
// none). `centres` and `centre_values` are the same centres in float and in
// double; `distance` and `best` are room for one block. `label` and `added`
// need room up to the next multiple of eight past `count`, whose values are
// written but mean nothing.
void plain_choice(const double* value, int channels, const float* centres, const double* centre_values, int classes,
                  std::size_t count, double* distance, double* best, float* label, float* added);

}  // namespace sorvik
