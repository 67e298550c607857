// Timing, comparison and synthetic noise shared by the benchmarks. The
// one-thread comparisons take CPU seconds of the calling thread, so that other
// work on a shared machine inflates them as little as possible; that clock
// misses the work of every other thread, so the threaded comparisons take
// wall-clock seconds instead (thread_scaling.h).
#pragma once

#include <ctime>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>

#include "core/image.h"

namespace bench {

inline double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

inline double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double seconds_of(const std::function<void()>& work, double (*clock)() = thread_seconds) {
  const double start = clock();
  work();
  return clock() - start;
}

inline double best_seconds_of(int runs, const std::function<void()>& work, double (*clock)() = thread_seconds) {
  double best = seconds_of(work, clock);
  for (int i = 1; i < runs; ++i) best = std::min(best, seconds_of(work, clock));
  return best;
}

inline double best_wall_seconds_of(int runs, const std::function<void()>& work) {
  return best_seconds_of(runs, work, wall_seconds);
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
