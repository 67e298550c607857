// Sorvik(image, parameters, options...): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "boundary/refusal.h"
#include "parameters.h"
#include "segment_image.h"

namespace {

// An image with a channel but no pixel has no value range to spread the
// centres over; the image library would report that in its own words, and
// print them. An image without channels still gets its labels, all 0. The
// settings are refused first, as Tamvel refuses them before its images.
void require_pixels(const CImg<float>& image, const CImg<float>& parameters) {
  sorvik::read_parameters(parameters);
  if (image.spectrum() > 0 && (image.width() == 0 || image.height() == 0 || image.depth() == 0))
    boundary::refuse("emptyImage",
                     "the image is %u x %u x %u (rows x columns x depth) with %u channel%s; expected at least one "
                     "row, column and slice.",
                     image.height(), image.width(), image.depth(), image.spectrum(), image.spectrum() == 1 ? "" : "s");
}

CImg<float> segment(const CImg<float> images[], const CImg<float>& parameters, int threads) {
  require_pixels(images[0], parameters);
  return sorvik::segment_image(images[0], parameters, threads);
}

const boundary::command sorvik_command = {
    "Sorvik", "L = Sorvik(image, parameters, \"threads\", n, \"volume\", tf) (both options optional)", 1,
    {"the image"}, segment};

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command(sorvik_command, nlhs, plhs, nrhs, prhs);
}
