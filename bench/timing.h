// Timing and comparison shared by the benchmarks. Times are CPU seconds of the
// calling thread, so that other work on a shared machine inflates them as
// little as possible.
#pragma once

#include <ctime>

#include <algorithm>
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

inline bool same_bits(const CImg<float>& a, const CImg<float>& b) {
  return a.is_sameXYZC(b) && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace bench
