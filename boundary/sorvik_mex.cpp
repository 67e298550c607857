// Sorvik(image, parameters, options...): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "edgeseg/segment.h"

namespace {

edgeseg::label_image segment(const edgeseg::image_view images[], const std::vector<float>& parameters,
                             const edgeseg::call_options& options, edgeseg::run_info* info) {
  return edgeseg::sorvik(images[0], parameters, options, info);
}

const boundary::command sorvik_command = {
    "Sorvik",
    "[L, info] = Sorvik(image, parameters, \"threads\", n, \"volume\", tf, \"progress\", tf, \"exactsums\", tf, "
    "\"mask\", M, \"centres\", C) (options optional)",
    true,
    1,
    {"the image"},
    segment};

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command(sorvik_command, nlhs, plhs, nrhs, prhs);
}
