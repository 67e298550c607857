// The threads of one call: kept between its kernels, handed every part of
// each, gone when the call returns, and stopped on request.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/call_threads.h"
#include "core/sweep_parts.h"
#include "tamvel/segment_image_pair.h"
#include "sorvik/segment_image.h"

namespace {

using core::call_threads;
using core::run_progress;

// Parts run so far on the calling thread.
thread_local int parts_on_this_thread = 0;

// How many parts the threads of one run have run, after checking that each
// part ran once, on a thread of its own: the fewest of them beside the
// caller's, which is new threads' 1.
int fewest_parts_run(call_threads& threads, int wanted) {
  std::mutex mutex;
  std::vector<int> parts_run;
  std::set<std::thread::id> ids;
  int part_count = 0, fewest = 0;
  threads.run(wanted, [&](int part, int parts, run_progress&) {
    const int runs = ++parts_on_this_thread;
    std::lock_guard<std::mutex> lock(mutex);
    parts_run.push_back(part);
    ids.insert(std::this_thread::get_id());
    part_count = parts;
    if (part > 0) fewest = fewest == 0 ? runs : std::min(fewest, runs);
  });
  std::sort(parts_run.begin(), parts_run.end());
  std::vector<int> every_part(static_cast<std::size_t>(part_count));
  std::iota(every_part.begin(), every_part.end(), 0);
  EXPECT_EQ(parts_run, every_part);
  EXPECT_EQ(ids.size(), std::size_t(part_count));
  return fewest;
}

// The threads of this process, where the system tells.
int live_threads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// The threads of this process once it has `expected` of them, or after a
// second: a joined thread may be counted for a moment after the join
// returns, while the system finishes its exit; a thread left running never
// leaves the count.
int live_threads_settled(int expected) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  int count = live_threads();
  while (count != expected && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = live_threads();
  }
  return count;
}

// What the part driver asked of each part: rows and slices as they were
// swept, and slices in the order they were handed on.
struct recorded_parts {
  std::mutex mutex;
  std::vector<std::size_t> rows, slices, handed_on;
  int wholes = 0;

  void whole(const run_progress&) { ++wholes; }
  void row(int part, std::size_t y, core::row_wavefront& wave, const run_progress& progress) {
    wave.wait_for_row_above(progress, y, 10);
    wave.publish(progress, y, 10);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(y % 3, std::size_t(part));
    rows.push_back(y);
  }
  void slice(int, std::size_t z, const run_progress&) {
    std::lock_guard<std::mutex> lock(mutex);
    slices.push_back(z);
  }
  void swept(std::size_t z) { handed_on.push_back(z); }
};

TEST(CallThreads, the_least_share_caps_what_a_part_must_take_and_the_driver_sweeps_everything_once) {
  call_threads plain(4), small_shares(4, 1);
  EXPECT_EQ(core::useful_parts(plain, 100, 8192), 1);
  EXPECT_EQ(core::useful_parts(small_shares, 3, 8192), 3);
  EXPECT_EQ(core::useful_parts(small_shares, 100, 8192), 4);
  EXPECT_EQ(core::plan_sweep_parts(small_shares, 2, 50, 40, 9, 1).parts, 2);

  const std::vector<std::size_t> every_row = {0, 1, 2, 3, 4, 5, 6}, every_slice = {0, 1, 2, 3, 4};
  recorded_parts one, wave, slices;
  core::sweep_in_parts(small_shares, {1, false}, {10, 7, 1, 2}, one);
  core::sweep_in_parts(small_shares, {3, true}, {10, 7, 1, 2}, wave);
  core::sweep_in_parts(small_shares, {3, false}, {10, 7, 5, 2}, slices);
  EXPECT_EQ(one.wholes, 1);
  EXPECT_TRUE(one.rows.empty() && one.slices.empty());
  std::sort(wave.rows.begin(), wave.rows.end());
  EXPECT_EQ(wave.rows, every_row);
  std::sort(slices.slices.begin(), slices.slices.end());
  EXPECT_EQ(slices.slices, every_slice);
  EXPECT_EQ(slices.handed_on, every_slice);
}

TEST(CallThreads, later_runs_of_a_call_use_the_same_threads_and_never_more_than_asked) {
  call_threads threads(4);
  EXPECT_EQ(fewest_parts_run(threads, 4), 1);
  for (int run = 2; run <= 40; ++run) EXPECT_EQ(fewest_parts_run(threads, 4), run);
  EXPECT_EQ(fewest_parts_run(threads, 2), 41);
  call_threads two(2);
  int parts_seen = 0;
  two.run(9, [&](int part, int parts, run_progress&) {
    if (part == 0) parts_seen = parts;
  });
  EXPECT_EQ(parts_seen, 2);
}

TEST(CallThreads, parts_that_run_parts_of_their_own_or_fail_leave_the_workers_working) {
  call_threads threads(3);
  EXPECT_EQ(fewest_parts_run(threads, 3), 1);
  std::atomic<int> inner{0};
  threads.run(3, [&](int, int, run_progress&) { threads.run(2, [&](int, int, run_progress&) { ++inner; }); });
  EXPECT_EQ(inner.load(), 6);
  EXPECT_THROW(threads.run(3,
                           [](int part, int, run_progress&) {
                             if (part == 2) throw std::runtime_error("part 2 fails");
                           }),
               std::runtime_error);
  EXPECT_EQ(fewest_parts_run(threads, 3), 2);
}

TEST(CallThreads, no_thread_outlives_the_object_or_a_threaded_call) {
  // A sanitizer's runtime starts a thread of its own with the first thread.
  std::thread([] {}).join();
  const int before = live_threads();
  if (before < 0) GTEST_SKIP() << "the system does not tell the threads of a process";
  {
    call_threads threads(5);
    fewest_parts_run(threads, 5);
    EXPECT_EQ(live_threads(), before + 4);
  }
  EXPECT_EQ(live_threads_settled(before), before);
  CImg<float> image(300, 200, 2, 1);
  cimg_forXYZ(image, x, y, z) image(x, y, z) = float((x * 7 + y * 3 + z) % 50);
  const float settings[] = {5, 2, 0, 6, 1, 3};
  sorvik::segment_image(image, CImg<float>(settings, 6, 1, 1, 1), 4);
  EXPECT_EQ(live_threads_settled(before), before);
}

TEST(CallThreads, a_stop_ends_waiting_parts_and_the_run_throws) {
  call_threads threads(3);
  std::atomic<std::size_t> never{0};
  EXPECT_THROW(threads.run(3,
                           [&](int part, int, run_progress& progress) {
                             if (part == 0) threads.request_stop();
                             progress.wait_until(never, 1);  // left by the stop
                           }),
               core::call_stopped);
  EXPECT_THROW(threads.check_stop(), core::call_stopped);
}

// A long call of either command, stopped from another thread once it runs:
// it ends early with call_stopped, and every thread and buffer of it is
// released (the sanitizer and valgrind builds check the memory).
TEST(CallThreads, a_stop_requested_during_a_call_ends_it_cleanly) {
  std::thread([] {}).join();
  const int before = live_threads();
  CImg<float> image(256, 256, 4, 1);
  cimg_forXYZ(image, x, y, z) image(x, y, z) = float((x * 13 + y * 7 + z * 5) % 97);
  const float sorvik_settings[] = {7, 50, 0, 100000, 1, 6};
  const float tamvel_settings[] = {1, 0, 50, 7, 100000, 2, 1, 6};
  for (const int count : {1, 2}) {
    for (const bool pair : {false, true}) {
      call_threads threads(count);
      std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        threads.request_stop();
      });
      const auto started = std::chrono::steady_clock::now();
      const auto segment = [&] {
        if (pair)
          tamvel::segment_image_pair(image, image, CImg<float>(tamvel_settings, 8, 1, 1, 1), threads);
        else
          sorvik::segment_image(image, CImg<float>(sorvik_settings, 6, 1, 1, 1), threads);
      };
      EXPECT_THROW(segment(), core::call_stopped);
      stopper.join();
      // 100000 iterations would take minutes.
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60))
          << (pair ? "Tamvel" : "Sorvik") << ", " << count << " threads";
    }
  }
  if (before >= 0) {
    EXPECT_EQ(live_threads_settled(before), before);
  }
}

}  // namespace
