// Tamvel's data terms of many pixels side by side, and the sweep without
// edge penalty, which needs nothing else.
#pragma once

#include <cstddef>

#include "core/pixel_blocks.h"
#include "core/sweep.h"
#include "sweep_inputs.h"

namespace tamvel {

// Pixels whose data terms are formed together: as many as keep a table of K
// of them small (4096 doubles), at most a block.
inline std::size_t table_block_pixels(int class_count) { return core::pixels_per_table(class_count, 4096); }

// alpha * d_J + d_I of `count` pixels, class by class into
// table[k * count + i]; each distance a float sum in ascending channel
// order. Channel c of pixel i is primary[c * channel_stride + i], likewise
// secondary. The terms do not depend on the labels.
void data_costs(const sweep_inputs& in, const float* primary, const float* secondary, std::size_t channel_stride,
                std::size_t count, double* table);

// The plain-phase choice over `count` consecutive pixels from `position`
// on, where no neighbour differs and the costs are the data terms (see
// core::plain_costs_are_data_terms). The costs do not depend on the labels,
// so pixels are compared side by side (core::keep_lower_cost); best and
// winner are kept in double lanes like the costs. Pixel i's energy term goes
// to `energy` as term first_term + i.
void plain_span(const sweep_inputs& in, std::size_t position, std::size_t count, float* labels,
                const core::energy_sink& energy, std::size_t first_term);

}  // namespace tamvel
