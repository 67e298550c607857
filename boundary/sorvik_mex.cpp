// Sorvik(image, parameters, options...): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "segmentation/segment_image.h"

namespace {

CImg<float> segment(const CImg<float> images[], const CImg<float>& parameters, int threads) {
  return sorvik::segment_image(images[0], parameters, threads);
}

const boundary::command sorvik_command = {
    "Sorvik", "L = Sorvik(image, parameters, \"threads\", n, \"volume\", tf) (both options optional)", 1,
    {"the image"}, segment};

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command(sorvik_command, nlhs, plhs, nrhs, prhs);
}
