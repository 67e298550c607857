// The recursive Gaussian that smooths the labels for the narrow band: a
// second-order causal and anti-causal filter pair along one axis, border
// values extended, with the coefficients and the double arithmetic of the
// image library's deriche(sigma, 0, axis, 1), step for step, so that it gives
// the library's bits. Ours reads one image and writes another, and runs many
// lines side by side: the library copies the image first and walks a column
// one pixel at a time, each step waiting for the one before.
#pragma once

#include <cstddef>
#include <vector>

#include "core/call_threads.h"
#include "core/image.h"
#include "core/mask.h"

namespace tamvel {

// The filter's coefficients for one sigma.
struct gaussian_coefficients {
  double a0, a1, a2, a3, b1, b2, coefp, coefn;
};

// Those of sigma (>= 0.1; the library leaves an image unchanged below it).
gaussian_coefficients gaussian_coefficients_of(float sigma);

// Smooths `source` along `axis` ('x', 'y' or 'z') into `target`, which has the
// same extents and may be `source` itself. An axis of length 1 or less is
// copied unchanged, as is everything for sigma < 0.1. Up to `threads`
// threads share the lines, which do not depend on each other.
void smooth_along(const CImg<float>& source, CImg<float>& target, float sigma, char axis, core::call_threads& threads);

// `length` values from source[first] on: a run of pixels along x.
struct line_run {
  std::size_t first;
  std::size_t length;
};

// Smooths each run from `source` into `target` (which may be `source`) as a
// line of its own, its end values extended beyond it as at the image's
// border: each gives the bits smooth_along gives a line of its values alone.
// A run of one value is copied unchanged, as is everything for sigma < 0.1;
// values in no run are left as they are. Runs must not share a value. Up to
// `threads` threads share the runs.
void smooth_runs(const float* source, float* target, const std::vector<line_run>& runs, float sigma,
                 core::call_threads& threads);

// Smooths `image` in place along `axis` ('y' or 'z') inside a mask whose
// runs of pixels inside along x are `rows`: each run of pixels inside along
// the axis as smooth_runs smooths a run along x. Lines are filtered eight
// side by side, from the first value any of them has inside to the last;
// the values outside they read there are set to 0 and change nothing
// inside, and the other values outside are left as they are. Which lines
// are inside at each value is taken from `rows` (a byte for eight lines,
// an eighth of the image's pixels in all); the mask is not read. Up to
// `threads` threads share the lines.
void smooth_inside_along(CImg<float>& image, const std::vector<line_run>& rows, float sigma, char axis,
                         core::call_threads& threads);

}  // namespace tamvel
