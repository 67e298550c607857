// What class a stored label stands for, shared by both commands.
#pragma once

#include <cstdint>

namespace sorvik {

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

}  // namespace sorvik
