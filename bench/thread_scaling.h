// The threaded comparison shared by the benchmarks: a list of thread counts
// from the command line, the machine's cores, and each count timed against
// one thread with the labels required to be the same.
//
// These times are wall-clock (steady_clock), the best of a few runs: the CPU
// time of the calling thread leaves out the work of every other thread, and
// the CPU time of the process counts work that overlaps once per thread.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "core/call_threads.h"
#include "core/image.h"

namespace bench {

// Runs of each thread count; the least time counts.
constexpr int thread_runs = 5;

// The cores the system reports online (those this process may run on are
// core::cores_available()).
inline int cores_online() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? int(online) : 1;
}

// One entry of --threads: as written, and the threads it means.
struct thread_count {
  int asked;
  int threads;
};

// "1,2,0": whole numbers from 0 to 256, 0 meaning every core the process may
// run on.
inline std::vector<thread_count> parse_thread_list(const std::string& list) {
  std::vector<thread_count> counts;
  std::stringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    std::size_t used = 0;
    int asked = -1;
    try {
      asked = std::stoi(item, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != item.size() || asked < 0 || asked > 256)
      throw std::runtime_error("--threads takes whole numbers from 0 to 256 separated by commas, not \"" + list + "\"");
    counts.push_back({asked, asked == 0 ? core::cores_available() : asked});
  }
  if (counts.empty()) throw std::runtime_error("--threads needs at least one thread count");
  return counts;
}

inline std::string thread_label(const thread_count& count) {
  if (count.asked == 0) return "0 (" + std::to_string(count.threads) + ")";
  return std::to_string(count.threads);
}

inline void print_machine(const std::vector<thread_count>& counts) {
  std::printf("cores online %d, cores this process may run on (affinity) %d; thread counts:", cores_online(),
              core::cores_available());
  for (const thread_count& count : counts) std::printf(" %s", thread_label(count).c_str());
  std::printf(" (0: every core it may run on)\n");
  std::printf(
      "threaded times: wall-clock seconds (steady_clock), best of %d taken in turns, speed-up over one thread\n",
      thread_runs);
}

// One case at every thread count: the least wall-clock time of `runs` runs of
// `labels_with(threads)`, and whether every count gave one thread's labels.
// The counts take turns, run by run, so that a spell in which this virtual
// machine runs slower falls on all of them alike.
struct thread_times {
  double one_thread = 0;
  std::vector<double> seconds;  // by entry of the list
  bool same_labels = true;
};

inline thread_times time_thread_counts(const std::vector<thread_count>& counts, int runs,
                                       const std::function<CImg<float>(int threads)>& labels_with) {
  thread_times times;
  times.seconds.assign(counts.size(), 0);
  std::vector<bool> differed(counts.size(), false);
  CImg<float> expected, labels;
  for (int run = 0; run < runs; ++run) {
    const double one = seconds_of([&] { expected = labels_with(1); }, wall_seconds);
    times.one_thread = run == 0 ? one : std::min(times.one_thread, one);
    for (std::size_t i = 0; i < counts.size(); ++i) {
      if (counts[i].threads == 1) continue;
      const double seconds = seconds_of([&] { labels = labels_with(counts[i].threads); }, wall_seconds);
      times.seconds[i] = run == 0 ? seconds : std::min(times.seconds[i], seconds);
      if (!differed[i] && !same_bits(labels, expected)) {
        differed[i] = true;
        times.same_labels = false;
        std::fprintf(stderr, "FAILED: the labels with %d threads differ from those with one thread\n",
                     counts[i].threads);
      }
    }
  }
  for (std::size_t i = 0; i < counts.size(); ++i)
    if (counts[i].threads == 1) times.seconds[i] = times.one_thread;
  return times;
}

// "threads 1: 0.119 s 1.00x | 2: 0.065 s 1.83x | ... | labels identical"
inline std::string thread_times_text(const std::vector<thread_count>& counts, const thread_times& times) {
  std::string text = "threads";
  char cell[96];
  for (std::size_t i = 0; i < counts.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%s %s: %.4g s %.2fx", i ? " |" : "", thread_label(counts[i]).c_str(),
                  times.seconds[i], times.one_thread / times.seconds[i]);
    text += cell;
  }
  return text + (times.same_labels ? " | labels identical" : " | labels DIFFER");
}

// Times one case, prints its line under the case's name and tells whether
// the labels agreed.
inline bool report_thread_counts(const std::vector<thread_count>& counts,
                                 const std::function<CImg<float>(int threads)>& labels_with) {
  const thread_times times = time_thread_counts(counts, thread_runs, labels_with);
  std::printf("    %s\n", thread_times_text(counts, times).c_str());
  return times.same_labels;
}

}  // namespace bench
