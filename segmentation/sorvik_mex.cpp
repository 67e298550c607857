// Sorvik(image, parameters): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "boundary/host_array.h"
#include "segment_image.h"

namespace {

void segment(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::require_arguments(nlhs, nrhs, 2, "L = Sorvik(image, parameters)");
  // The converted image goes before the result array comes: a call holds the
  // image and the labels, then the labels and the result, never all three.
  const CImg<float> labels = [prhs] {
    const CImg<float> image = boundary::image_from_host(prhs[0], "the image");
    const CImg<float> parameters = boundary::image_from_host(prhs[1], "the parameter vector");
    return sorvik::segment_image(image, parameters);
  }();
  plhs[0] = boundary::image_to_host(labels);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command("Sorvik", segment, nlhs, plhs, nrhs, prhs);
}
