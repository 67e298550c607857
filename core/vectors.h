// One vector dispatch for the kernels of both commands.
//
// A kernel is a struct whose static `run` is its one body, written with the
// vector types of vector_lanes.h or as plain loops. on_widest_vectors builds
// that body twice where the processor may have wider vectors than the build
// assumes (x86-64: AVX2 beside the baseline SSE2) and takes the wide build
// when a check made once per process finds them. The check needs no help from
// the loader, so it works alike on Linux, macOS and Windows; ARM64 has one
// build of every body. Both builds make the same IEEE operations in the same
// order, lane by lane, and with contraction off (-ffp-contract=off, or
// /fp:precise under MSVC from Visual Studio 2022 on) no multiplication merges
// with its addition, so every build gives the same bits.
//
// SEGMENTATION_BASELINE_VECTORS keeps the baseline build only, so that the
// tests run its code paths on any processor. SEGMENTATION_PORTABLE_VECTORS
// leaves out every compiler extension, vector types included: the path
// compilers without them (MSVC) take, which a GCC build can be forced onto so
// that the tests run it too.
#pragma once

#include <utility>

#if !defined(__GNUC__) && !defined(SEGMENTATION_PORTABLE_VECTORS)
#define SEGMENTATION_PORTABLE_VECTORS
#endif

#if defined(SEGMENTATION_PORTABLE_VECTORS)
#define VECTOR_TYPES 0
#define VECTOR_INLINE inline
#else
#define VECTOR_TYPES 1
// The body takes the instruction set of the build it is inlined into.
#define VECTOR_INLINE __attribute__((always_inline)) inline
#endif

#if VECTOR_TYPES && defined(__x86_64__) && !defined(SEGMENTATION_BASELINE_VECTORS)
#define WIDE_VECTORS 1
#define WIDE_VECTOR_TARGET __attribute__((target("avx2")))
#else
#define WIDE_VECTORS 0
#endif

namespace core {

// Whether the wide build of the kernels runs here: this build has one, and
// the processor and the system support its registers.
bool wide_vectors_available();

#if WIDE_VECTORS
template <typename Kernel, typename... Arguments>
WIDE_VECTOR_TARGET auto run_on_wide_vectors(Arguments&&... arguments) {
  return Kernel::run(std::forward<Arguments>(arguments)...);
}
#endif

template <typename Kernel, typename... Arguments>
auto on_widest_vectors(Arguments&&... arguments) {
#if WIDE_VECTORS
  if (wide_vectors_available()) return run_on_wide_vectors<Kernel>(std::forward<Arguments>(arguments)...);
#endif
  return Kernel::run(std::forward<Arguments>(arguments)...);
}

}  // namespace core
