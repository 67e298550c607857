// The threads of one call: kept between its kernels, handed every part of
// each, and gone when the call returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "segmentation/segment_image.h"
#include "segmentation/thread_crew.h"
#include "segmentation/thread_team.h"

namespace {

using sorvik::run_parts;
using sorvik::team_state;

// Parts run so far on the calling thread.
thread_local int parts_on_this_thread = 0;

// How many parts the threads of one run_parts have run, after checking that
// each part ran once, on a thread of its own: the fewest of them beside the
// caller's, which is new threads' 1.
int fewest_parts_run(int wanted) {
  std::mutex mutex;
  std::vector<int> parts_run;
  std::set<std::thread::id> threads;
  int part_count = 0, fewest = 0;
  run_parts(wanted, [&](int part, int parts, team_state&) {
    const int runs = ++parts_on_this_thread;
    std::lock_guard<std::mutex> lock(mutex);
    parts_run.push_back(part);
    threads.insert(std::this_thread::get_id());
    part_count = parts;
    if (part > 0) fewest = fewest == 0 ? runs : std::min(fewest, runs);
  });
  std::sort(parts_run.begin(), parts_run.end());
  std::vector<int> every_part(static_cast<std::size_t>(part_count));
  std::iota(every_part.begin(), every_part.end(), 0);
  EXPECT_EQ(parts_run, every_part);
  EXPECT_EQ(threads.size(), std::size_t(part_count));
  return fewest;
}

// The threads of this process, where the system tells.
int live_threads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

TEST(ThreadCrew, later_kernels_of_a_call_run_on_the_same_threads) {
  const sorvik::thread_crew crew(4);
  EXPECT_EQ(fewest_parts_run(4), 1);
  for (int run = 2; run <= 40; ++run) EXPECT_EQ(fewest_parts_run(4), run);
  EXPECT_EQ(fewest_parts_run(2), 41);
}

TEST(ThreadCrew, parts_that_run_parts_of_their_own_or_fail_leave_the_crew_working) {
  const sorvik::thread_crew crew(3);
  EXPECT_EQ(fewest_parts_run(3), 1);
  std::atomic<int> inner{0};
  run_parts(3, [&](int, int, team_state&) { run_parts(2, [&](int, int, team_state&) { ++inner; }); });
  EXPECT_EQ(inner.load(), 6);
  EXPECT_THROW(run_parts(3,
                         [](int part, int, team_state&) {
                           if (part == 2) throw std::runtime_error("part 2 fails");
                         }),
               std::runtime_error);
  EXPECT_EQ(fewest_parts_run(3), 2);
}

TEST(ThreadCrew, no_thread_outlives_a_crew_or_a_threaded_call) {
  // A sanitizer's runtime starts a thread of its own with the first thread.
  std::thread([] {}).join();
  const int before = live_threads();
  if (before < 0) GTEST_SKIP() << "the system does not tell the threads of a process";
  {
    const sorvik::thread_crew crew(5);
    fewest_parts_run(5);
    EXPECT_EQ(live_threads(), before + 4);
  }
  EXPECT_EQ(live_threads(), before);
  CImg<float> image(300, 200, 2, 1);
  cimg_forXYZ(image, x, y, z) image(x, y, z) = float((x * 7 + y * 3 + z) % 50);
  const float settings[] = {5, 2, 0, 6, 1, 3};
  sorvik::segment_image(image, CImg<float>(settings, 6, 1, 1, 1), 4);
  EXPECT_EQ(live_threads(), before);
}

}  // namespace
