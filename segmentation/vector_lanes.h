// Vector types and instruction-set dispatch of the fast Sorvik kernels
// (included by clustering.cpp and the kernel headers it includes).
//
// The kernels give the same bits on every processor: lane by lane, vector code
// makes the IEEE operations of the plain iteration in the same order, and
// -ffp-contract=off keeps every multiplication apart from its addition.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

// Wider vectors (AVX2) where the processor has them, chosen when the plug-in
// is loaded; the baseline x86-64 (SSE2) otherwise. SORVIK_BASELINE_VECTORS
// keeps the baseline everywhere, so that the tests can run its code paths on
// any processor.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__) && defined(__has_attribute) && \
    !defined(SORVIK_BASELINE_VECTORS)
#if __has_attribute(target_clones)
#define SORVIK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define SORVIK_WIDER_VECTORS 1
#endif
#endif
#ifndef SORVIK_VECTOR_CLONES
#define SORVIK_VECTOR_CLONES
#endif

namespace sorvik {

// Pixels handled together: enough for the vector units, few enough that their
// values and data terms stay in the first-level cache. A multiple of eight.
constexpr std::size_t block_pixels = 256;

// A class index as the kernels count it; K stands for a stored label that is
// no class index.
using class_index = std::int32_t;

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

}  // namespace sorvik
