// Scans of byte rows (mask rows, per-pixel flags) that pass over long
// stretches eight bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/mask.h"

namespace tamvel {

// Whether all eight bytes from `bytes` on are non-zero.
inline bool eight_nonzero(const unsigned char* bytes) {
  std::uint64_t eight;
  std::memcpy(&eight, bytes, 8);
  return ((eight - 0x0101010101010101u) & ~eight & 0x8080808080808080u) == 0;
}

// The first position from `at` on, before `end`, whose byte is non-zero
// (`end` if none).
inline std::size_t next_nonzero(const unsigned char* bytes, std::size_t at, std::size_t end) {
  return at + core::zeros_ahead(bytes + at, end - at);
}

}  // namespace tamvel
