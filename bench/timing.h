// Timing, comparison and synthetic noise shared by the benchmarks. Times are CPU seconds of the
// calling thread, so that other work on a shared machine inflates them as
// little as possible.
#pragma once

#include <ctime>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>

#include "boundary/image.h"

namespace bench {

inline double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

inline double seconds_of(const std::function<void()>& work) {
  const double start = thread_seconds();
  work();
  return thread_seconds() - start;
}

inline double best_seconds_of(int runs, const std::function<void()>& work) {
  double best = seconds_of(work);
  for (int i = 1; i < runs; ++i) best = std::min(best, seconds_of(work));
  return best;
}

// Deterministic noise for the synthetic images: the sum of four uniforms from
// a linear congruential generator, roughly Gaussian with spread about 0.58.
struct noise_source {
  std::uint32_t state;
  float operator()() {
    float sum = 0;
    for (int i = 0; i < 4; ++i) {
      state = state * 1664525u + 1013904223u;
      sum += float(state >> 8) / 16777216.0f;
    }
    return sum - 2.0f;
  }
};

inline bool same_bits(const CImg<float>& a, const CImg<float>& b) {
  return a.is_sameXYZC(b) && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace bench
