#include "thread_team.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "thread_crew.h"

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
  // Most waits are for a neighbour a few pixels behind: a short spin, a few
  // yields, and only then sleep.
  constexpr unsigned spins = 64, yields = 256;
  for (unsigned attempt = 0; attempt < spins + yields; ++attempt) {
    if (progress.load(std::memory_order_acquire) >= needed) return;
    if (aborted()) throw team_aborted{};
    if (attempt >= spins) std::this_thread::yield();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // Counted as asleep before the last look, so that a publish after that
  // look sees the sleeper and wakes it (both sequentially consistent).
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  while (progress.load(std::memory_order_seq_cst) < needed && !aborted())
    progressed_.wait_for(lock, std::chrono::milliseconds(1));
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  if (progress.load(std::memory_order_acquire) < needed) throw team_aborted{};
}

void team_state::publish(std::atomic<std::size_t>& progress, std::size_t value) const {
  progress.store(value, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) > 0) wake_sleepers();
}

void team_state::count(std::atomic<std::size_t>& progress) const {
  progress.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) > 0) wake_sleepers();
}

void team_state::abort() {
  aborted_.store(true, std::memory_order_seq_cst);
  wake_sleepers();
}

void team_state::wake_sleepers() const {
  // Taking the lock orders the wake after a sleeper's last look.
  { std::lock_guard<std::mutex> lock(mutex_); }
  progressed_.notify_all();
}

namespace {

// Runs run(part, parts) on threads started here and joined before it returns.
void run_on_new_threads(int wanted, const std::function<void(int part, int parts)>& run) {
  gate start;
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
}

}  // namespace

void run_parts(int wanted, const std::function<void(int part, int parts, team_state& team)>& work) {
  wanted = std::max(1, std::min(wanted, largest_thread_count));
  if (wanted == 1) {
    team_state alone;
    work(0, 1, alone);
    return;
  }
  team_state team;
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const std::function<void(int, int)> run = [&](int part, int parts) {
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
  if (!run_on_open_crew(wanted, run)) run_on_new_threads(wanted, run);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace sorvik
