// What both property tests draw their random cases with, and how they compare
// results.
//
// The cases come from fixed seeds and the raw output of std::mt19937 (whose
// sequence the standard fixes), so every run and every platform sees the same
// inputs. A failure names the seed that reproduces it.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "boundary/image.h"

namespace property {

// Whether this build runs under AddressSanitizer, where the reference iteration
// is slow and the tests draw fewer cases.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized_build = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized_build = true;
#else
constexpr bool sanitized_build = false;
#endif
#else
constexpr bool sanitized_build = false;
#endif

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

struct draw {
  std::mt19937 engine;
  explicit draw(std::uint32_t seed) : engine(seed) {}
  // A whole number from lo to hi inclusive.
  int between(int lo, int hi) { return lo + int(engine() % std::uint32_t(hi - lo + 1)); }
  bool chance(int percent) { return between(1, 100) <= percent; }
  float unit() { return float(engine() >> 8) / 16777216.0f; }
  template <class T, std::size_t n>
  T one_of(const T (&values)[n]) {
    return values[between(0, int(n) - 1)];
  }
};

// Which iterations a case runs with the edge term: none, all, or those after
// a few plain ones.
enum class phase { plain_only, edge_from_start, plain_then_edge };

// The last plain iteration T for `iterations` iterations in all.
inline int last_plain_iteration(draw& d, phase kind, int iterations) {
  switch (kind) {
    case phase::plain_only: return d.between(iterations > 1 ? iterations - 1 : 0, iterations + 3);
    case phase::edge_from_start: return d.between(-4, -1);
    case phase::plain_then_edge: break;
  }
  return d.between(0, iterations > 2 ? iterations - 2 : 0);
}

inline bool same_bits(const CImg<float>& a, const CImg<float>& b) {
  return a.is_sameXYZC(b) && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace property
