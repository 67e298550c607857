// Which iterations run with the edge term, shared by both commands.
#pragma once

#include <cstdint>

#include "window.h"

namespace core {

// Iterations 0 .. T are plain; the later ones weigh the disagreeing
// neighbours, unless the window holds no offset.
inline bool is_edge_phase(int last_plain_iteration, const disc_window& window, std::int64_t iteration) {
  return iteration > last_plain_iteration && !window.empty();
}

}  // namespace core
