// The label image both commands start from, and what class a stored label
// stands for.
#pragma once

#include <cstdint>

#include "call_threads.h"
#include "image.h"
#include "mask.h"

namespace core {

// A class index as the kernels count it; K stands for a stored label that is
// no class index, a slot that differs from every class.
using class_index = std::int32_t;

// A label in a sweep: its class when it is exactly one of 0 .. K - 1, and K
// otherwise.
inline class_index class_of_label(float label, int class_count) {
  if (!(label >= 0.0f && label < float(class_count))) return class_count;
  const auto k = static_cast<class_index>(label);
  return float(k) == label ? k : class_count;
}

// The labels a run starts from: the image's extent with one channel, 0
// inside `mask` and outside_label outside it.
CImg<float> start_labels(const CImg<float>& image, call_threads& threads, const pixel_mask& mask = {});

}  // namespace core
