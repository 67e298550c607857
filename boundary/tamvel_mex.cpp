// Tamvel(primary, secondary, parameters, options...): the host's entry point.
#include "mex.h"

#include "boundary/entry.h"
#include "edgeseg/segment.h"

namespace {

edgeseg::label_image segment(const edgeseg::image_view images[], const std::vector<float>& parameters,
                             const edgeseg::call_options& options, edgeseg::run_info* info) {
  return edgeseg::tamvel(images[0], images[1], parameters, options, info);
}

const boundary::command tamvel_command = {
    "Tamvel",
    "[L, info] = Tamvel(primary, secondary, parameters, \"threads\", n, "
    "\"volume\", tf, \"progress\", tf, \"mask\", M, \"centres\", C, \"secondary_centres\", C2) "
    "(options optional)",
    false,
    2,
    {"the primary image", "the secondary image"},
    segment};

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  boundary::run_command(tamvel_command, nlhs, plhs, nrhs, prhs);
}
