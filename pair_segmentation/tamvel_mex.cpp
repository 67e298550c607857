// Tamvel(primary, secondary, parameters): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "boundary/host_array.h"
#include "segment_image_pair.h"

namespace {

void segment(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::require_arguments(nlhs, nrhs, 3, "L = Tamvel(primary, secondary, parameters)");
  // The converted images go before the result array comes.
  const CImg<float> labels = [prhs] {
    const CImg<float> primary = boundary::image_from_host(prhs[0], "the primary image");
    const CImg<float> secondary = boundary::image_from_host(prhs[1], "the secondary image");
    const CImg<float> parameters = boundary::image_from_host(prhs[2], "the parameter vector");
    return tamvel::segment_image_pair(primary, secondary, parameters);
  }();
  plhs[0] = boundary::image_to_host(labels);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command("Tamvel", segment, nlhs, plhs, nrhs, prhs);
}
