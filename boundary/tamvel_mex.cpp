// Tamvel(primary, secondary, parameters, options...): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "pair_segmentation/segment_image_pair.h"

namespace {

CImg<float> segment(const CImg<float> images[], const CImg<float>& parameters, int threads) {
  return tamvel::segment_image_pair(images[0], images[1], parameters, threads);
}

const boundary::command tamvel_command = {
    "Tamvel",
    "L = Tamvel(primary, secondary, parameters, \"threads\", n, \"volume\", tf) (both options optional)", 2,
    {"the primary image", "the secondary image"}, segment};

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command(tamvel_command, nlhs, plhs, nrhs, prhs);
}
