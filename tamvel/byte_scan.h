// Scans of byte rows (mask rows, per-pixel flags) that pass over long
// stretches of zeros many bytes at a time.
#pragma once

#include <cstddef>

#include "core/mask.h"

namespace tamvel {

// The first position from `at` on, before `end`, whose byte is non-zero
// (`end` if none).
inline std::size_t next_nonzero(const unsigned char* bytes, std::size_t at, std::size_t end) {
  return at + core::zeros_ahead(bytes + at, end - at);
}

}  // namespace tamvel
