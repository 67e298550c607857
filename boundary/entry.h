// The one wrapper between mexFunction and a command: it checks the call,
// reads its options, describes the inputs, runs the command through the
// host-neutral API (edgeseg/segment.h) and returns its labels, and on request
// what the run found. Any refusal, image-library error, exhausted memory or
// interrupt becomes a host error "<command>:<mnemonic>" - raised only after
// the call's stack, and with it every image of the call, has been released.
#pragma once

#include <cstddef>
#include <vector>

#include "edgeseg/segment.h"
#include "mex.h"

namespace boundary {

// Most image inputs a command takes before its parameter vector.
constexpr std::size_t largest_image_count = 2;

struct command {
  const char* name;        // the identifiers' prefix: "Sorvik"
  const char* call_form;   // quoted when the inputs do not fit it
  bool offers_exact_sums;  // takes the option "exactsums"
  std::size_t image_count;
  const char* image_roles[largest_image_count];  // the images as messages name them
  // Labels of the described images (image_count of them) under the
  // settings, through the host-neutral API.
  edgeseg::label_image (*segment)(const edgeseg::image_view images[], const std::vector<float>& parameters,
                                  const edgeseg::call_options& options, edgeseg::run_info* info);
};

void run_command(const command& command, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // namespace boundary
