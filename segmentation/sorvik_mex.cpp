// Sorvik(image, parameters): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "boundary/host_array.h"
#include "segment_image.h"

namespace {

void segment(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::require_arguments(nlhs, nrhs, 2, "L = Sorvik(image, parameters)");
  const CImg<float> image = boundary::image_from_host(prhs[0], "the image");
  const CImg<float> parameters = boundary::image_from_host(prhs[1], "the parameter vector");
  const CImg<float> labels = sorvik::segment_image(image, parameters);
  plhs[0] = boundary::image_to_host(labels);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command("Sorvik", segment, nlhs, plhs, nrhs, prhs);
}
