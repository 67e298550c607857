// The edge indicator of Tamvel's primary image: near 1 where channel 0 is
// flat, near 0 on its strongest edges. It prices a disagreeing neighbour.
#pragma once

#include "core/call_threads.h"
#include "core/image.h"
#include "core/mask.h"

namespace tamvel {

// W x H x D x 1. Per pixel 1 / (1 + |gradient of channel 0|), where the
// gradient of a single-slice image (D = 1) uses the rotation-invariant 3 x 3
// mask pair and that of a volume (D > 1) central differences in x and y within
// each slice (no z derivative); neighbours beyond the border take the border
// value. A value that is not finite becomes 0. The result is then normalised
// (normalize_edge_indicator). An empty primary image gives an empty result.
// Up to `threads` threads share the rows; the values do not depend on their
// number.
// With a mask, a neighbour outside it takes the value of the pixel whose
// gradient is formed (so the mask's border is no edge), the normalisation
// reads the pixels inside only, and every pixel outside gets 0: it prices
// nothing, and so is no pixel's neighbour.
CImg<float> compute_edge_indicator(const CImg<float>& primary, core::call_threads& threads,
                                   const core::pixel_mask& mask = {});

// Maps the finite values linearly onto [0, 1] (v - m) / (M - m), with m and M
// the smallest and largest finite value; all values become 0 when m == M or
// no value is finite. An image already spanning exactly [0, 1], and an empty
// image, are left alone. Up to `threads` threads share the values. Only the
// values inside `mask` are read and kept; the others become 0.
void normalize_edge_indicator(CImg<float>& indicator, core::call_threads& threads, const core::pixel_mask& mask = {});

}  // namespace tamvel
