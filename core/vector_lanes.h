// The vector types of the fast kernels of both commands: GCC's vector
// extension, which GCC and Clang compile for every instruction set, with
// plain structs or loops instead where it is missing (vectors.h).
#pragma once

#include <cstdint>

#include "vectors.h"

namespace core {

// The edge sweep's count of each class in its disc: eight 16-bit lanes, one
// per class.
constexpr int lane_count = 8;
#if VECTOR_TYPES
typedef std::uint16_t class_lanes __attribute__((vector_size(16)));
// Four values side by side. Kept in registers and copied from and to memory
// with memcpy: the wide build may not assume the alignment they would need
// there. A comparison gives a lane -1 where it holds and 0 elsewhere.
typedef double four_doubles __attribute__((vector_size(32)));
typedef std::int64_t four_integers __attribute__((vector_size(32)));
typedef float four_floats __attribute__((vector_size(16)));
typedef std::int32_t four_int32s __attribute__((vector_size(16)));

// Four doubles read from memory of any alignment in one load: a memcpy into
// an element of an array of vectors becomes two narrow stores that the wide
// load after them has to wait for.
typedef double unaligned_four_doubles __attribute__((vector_size(32), aligned(alignof(double))));
VECTOR_INLINE void load(const double* from, four_doubles& to) {
  to = *reinterpret_cast<const unaligned_four_doubles*>(from);
}

// Four floats or whole numbers widened to doubles, written lane by lane:
// GCC 12 splits __builtin_convertvector to doubles into two halves where one
// wide instruction does (a 1.5x slower kernel).
VECTOR_INLINE void widen(const four_floats& from, four_doubles& to) {
  to = four_doubles{from[0], from[1], from[2], from[3]};
}
VECTOR_INLINE void widen(const four_int32s& from, four_doubles& to) {
  to = four_doubles{double(from[0]), double(from[1]), double(from[2]), double(from[3])};
}
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
