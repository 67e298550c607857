#include "thread_team.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace sorvik {
namespace {

// Thrown inside a part that waited for a part that failed; never leaves
// run_parts.
struct team_aborted {};

// Every thread waits at the gate until the caller knows how many threads it
// could start, so that all parts divide the work alike.
struct gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  int parts = 1;
};

}  // namespace

void team_state::wait_until(const std::atomic<std::size_t>& progress, std::size_t needed) const {
  for (unsigned spins = 0; progress.load(std::memory_order_acquire) < needed; ++spins) {
    if (aborted()) throw team_aborted{};
    // A short spin for the common case of a neighbour a few pixels behind,
    // then give the core away: there may be more threads than cores.
    if (spins > 64) std::this_thread::yield();
  }
}

void run_parts(int wanted, const std::function<void(int part, int parts, team_state& team)>& work) {
  wanted = std::max(1, std::min(wanted, largest_thread_count));
  if (wanted == 1) {
    team_state alone;
    work(0, 1, alone);
    return;
  }
  team_state team;
  gate start;
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const auto run = [&](int part, int parts) {
    try {
      work(part, parts, team);
    } catch (const team_aborted&) {
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(failure_mutex);
        if (!failure) failure = std::current_exception();
      }
      team.abort();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(std::size_t(wanted - 1));
  try {
    for (int part = 1; part < wanted; ++part)
      threads.emplace_back([&, part] {
        int parts;
        {
          std::unique_lock<std::mutex> lock(start.mutex);
          start.opened.wait(lock, [&] { return start.open; });
          parts = start.parts;
        }
        if (part < parts) run(part, parts);
      });
  } catch (const std::system_error&) {
    // No more threads to be had: the parts started so far share the work.
  }
  {
    std::lock_guard<std::mutex> lock(start.mutex);
    start.parts = int(threads.size()) + 1;
    start.open = true;
  }
  start.opened.notify_all();
  run(0, int(threads.size()) + 1);
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace sorvik
