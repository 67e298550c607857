// The Sorvik driver: settings, centres, labels, iteration.
#pragma once

#include "boundary/image.h"

namespace sorvik {

// Segments `image` (W x H x D x S) with the six settings in `parameter_image`
// and returns the W x H x D x 1 label image of class indices 0 .. K - 1,
// using up to `threads` threads; the labels do not depend on the count.
CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, int threads = 1);

}  // namespace sorvik
