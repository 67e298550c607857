// The one wrapper between mexFunction and a command: it checks the call,
// reads its options, converts the inputs, runs the command and returns its
// labels. Any refusal, image-library error or exhausted memory becomes a host
// error "<command>:<mnemonic>" - raised only after the call's stack, and with
// it every image of the call, has been released.
#pragma once

#include <cstddef>

#include "core/image.h"
#include "mex.h"

namespace boundary {

// Most image inputs a command takes before its parameter vector.
constexpr std::size_t largest_image_count = 2;

struct command {
  const char* name;       // the identifiers' prefix: "Sorvik"
  const char* call_form;  // quoted when the inputs do not fit it
  std::size_t image_count;
  const char* image_roles[largest_image_count];  // the images as messages name them
  // Labels of the converted images (image_count of them) under the settings,
  // computed with up to `threads` threads.
  CImg<float> (*segment)(const CImg<float> images[], const CImg<float>& parameters, int threads);
};

void run_command(const command& command, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // namespace boundary
