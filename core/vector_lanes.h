// The vector types of the fast Sorvik kernels.
#pragma once

#include <cstdint>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace core {

// The edge sweep's count of each class in its disc: eight 16-bit lanes, one
// per class.
constexpr int lane_count = 8;
#if defined(__GNUC__)
typedef std::uint16_t class_lanes __attribute__((vector_size(16)));
// Four doubles or four 64-bit integers side by side. Kept in registers and
// copied from and to memory with memcpy: a clone for wider vectors may not
// assume the alignment they would need there.
typedef double four_doubles __attribute__((vector_size(32)));
typedef std::int64_t four_integers __attribute__((vector_size(32)));
#else
struct class_lanes {
  std::uint16_t lane[lane_count] = {};
  std::uint16_t& operator[](int k) { return lane[k]; }
  std::uint16_t operator[](int k) const { return lane[k]; }
  class_lanes& operator+=(const class_lanes& other) {
    for (int k = 0; k < lane_count; ++k) lane[k] = std::uint16_t(lane[k] + other.lane[k]);
    return *this;
  }
  class_lanes& operator-=(const class_lanes& other) {
    for (int k = 0; k < lane_count; ++k) lane[k] = std::uint16_t(lane[k] - other.lane[k]);
    return *this;
  }
  class_lanes operator-(const class_lanes& other) const {
    class_lanes difference = *this;
    return difference -= other;
  }
};
#endif

}  // namespace core
