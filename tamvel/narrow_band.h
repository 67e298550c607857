// The narrow band of Tamvel: which pixels a sweep relabels. It starts as the
// whole image and is rebuilt once, after the last plain sweep, as the labels
// minus a smoothed copy of themselves: only pixels near a class boundary keep
// a difference above the threshold.
#pragma once

#include <vector>

#include "clustering.h"
#include "core/call_threads.h"
#include "core/image.h"
#include "core/mask.h"

namespace tamvel {

// A pixel is in the band when |band value| > 0.01, compared in double.
constexpr double band_threshold = 0.01;

// W x H x D x 1, every value 1: every pixel in the band.
CImg<float> initial_band(unsigned width, unsigned height, unsigned depth);

// True when |band(x, y, z, 0)| > band_threshold (false for NaN).
bool in_band(const CImg<float>& band, unsigned x, unsigned y, unsigned z);

// The smoothing scale: band_sigma itself when >= 0, otherwise a percentage
// of the largest extent, (-band_sigma) * max(W, H, D) / 100, kept as a float.
float resolve_band_sigma(float band_sigma, unsigned width, unsigned height, unsigned depth);

// labels - smooth(labels): the labels smoothed along x, then y, then z,
// skipping axes of extent 1, with the recursive Gaussian that gives the bits
// of the library's deriche(sigma, 0, axis, 1) (order 0, border values
// extended). Below sigma 0.1 nothing is smoothed, which empties the band.
// Up to `threads` threads share the smoothing; the values do not depend on
// their number.
// With a mask, the smoothing sees only the labels inside: along each axis,
// each run of pixels inside is smoothed as a line of its own, its end values
// extended beyond it as at the image's border, so that the filter sees the
// nearest inside value along the line and the mask's border is no class
// boundary. A mask with every pixel inside gives the band of none; the
// values outside are left unspecified. `inside`, where given, is list_inside
// of the mask, which is then not scanned again.
CImg<float> rebuild_band(const CImg<float>& labels, float band_sigma, core::call_threads& threads,
                         const core::pixel_mask& mask = {}, const std::vector<band_run>* inside = nullptr);

}  // namespace tamvel
