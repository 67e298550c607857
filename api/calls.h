// The whole calls on a thread object the caller makes: where a stop request
// or progress reports reach a running call (core::call_threads carries the
// stop request that every sweep checks).
#pragma once

#include <vector>

#include "core/call_threads.h"
#include "core/image.h"
#include "edgeseg/image_view.h"

namespace edgeseg {

// The parameter vector as the commands read it: one value after another.
CImg<float> parameter_image(const std::vector<float>& parameters);

CImg<float> sorvik_labels(const image_view& image, const std::vector<float>& parameters, core::call_threads& threads);

CImg<float> tamvel_labels(const image_view& primary, const image_view& secondary, const std::vector<float>& parameters,
                          core::call_threads& threads);

}  // namespace edgeseg
