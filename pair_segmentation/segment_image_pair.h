// The Tamvel driver: settings, geometry checks, edge indicator, iteration.
#pragma once

#include "boundary/image.h"

namespace tamvel {

// Segments the primary image (W x H x D x S) jointly with the secondary image
// (same W, H, D; at least S channels) using the eight settings of
// `parameter_image`; returns the W x H x D x 1 label image, using up to
// `threads` threads (the labels do not depend on the count). Refuses settings
// and geometry it cannot compute before any computation.
CImg<float> segment_image_pair(const CImg<float>& primary, const CImg<float>& secondary,
                               const CImg<float>& parameter_image, int threads = 1);

}  // namespace tamvel
