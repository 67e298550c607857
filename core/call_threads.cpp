#include "call_threads.h"

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <bitset>
#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>
#include <vector>

namespace core {

int cores_available() {
#if defined(__linux__)
  // A machine may have more CPUs than one cpu_set_t holds: grow the set until
  // the affinity mask fits.
  for (std::size_t sets = 1; sets <= 64; sets *= 2) {
    std::vector<cpu_set_t> mask(sets);
    const std::size_t bytes = sets * sizeof(cpu_set_t);
    if (sched_getaffinity(0, bytes, mask.data()) == 0) return std::max(1, CPU_COUNT_S(bytes, mask.data()));
    if (errno != EINVAL) break;
  }
#elif defined(_WIN32)
  // The mask covers the process's processor group, the most one process is
  // given unless it asks for more.
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0)
    return int(std::bitset<sizeof(DWORD_PTR) * CHAR_BIT>(process_mask).count());
#endif
  // Systems without an affinity a process can read (macOS): every core.
  return int(std::max(1u, std::min(std::thread::hardware_concurrency(), unsigned(INT_MAX))));
}

int threads_for(int wanted) { return std::clamp(wanted == 0 ? cores_available() : wanted, 1, largest_thread_count); }
namespace {

// Thrown inside a part that waited for a part that failed or stopped; never
// leaves a run.
struct run_aborted {};

}  // namespace

void run_progress::wait_until(const std::atomic<std::size_t>& progress, std::size_t needed) const {
  // Most waits are for a neighbour a few pixels behind: a short spin, a few
  // yields, and only then sleep.
  constexpr unsigned spins = 64, yields = 256;
  for (unsigned attempt = 0; attempt < spins + yields; ++attempt) {
    if (progress.load(std::memory_order_acquire) >= needed) return;
    if (aborted()) throw run_aborted{};
    if (attempt >= spins) std::this_thread::yield();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // Counted as asleep before the last look, so that a publish after that
  // look sees the sleeper and wakes it (both sequentially consistent). A stop
  // request wakes no one: the sleep is short, and it is seen after it.
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  while (progress.load(std::memory_order_seq_cst) < needed && !aborted())
    progressed_.wait_for(lock, std::chrono::milliseconds(1));
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  if (progress.load(std::memory_order_acquire) < needed) throw run_aborted{};
}

void run_progress::publish(std::atomic<std::size_t>& progress, std::size_t value) const {
  progress.store(value, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) > 0) wake_sleepers();
}

void run_progress::count(std::atomic<std::size_t>& progress) const {
  progress.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) > 0) wake_sleepers();
}

void run_progress::abort() {
  aborted_.store(true, std::memory_order_seq_cst);
  wake_sleepers();
}

void run_progress::wake_sleepers() const {
  // Taking the lock orders the wake after a sleeper's last look.
  { std::lock_guard<std::mutex> lock(mutex_); }
  progressed_.notify_all();
}

// The workers kept between the runs of a call. Jobs are posted by counting
// up `job` and answered by every worker counting up `answered`, whether the
// job has a part for it or not, so that nothing a job was posted with changes
// while a worker may still read it. The waits spin and yield before they
// sleep: the next job of a call mostly follows within microseconds, and
// waking a sleeping thread costs tens of them.
struct call_threads::crew {
  run_progress signals;              // never aborted: only its waits are used
  std::vector<std::thread> workers;  // worker w runs part w + 1
  std::atomic<std::size_t> job{0};   // the number of the job posted last
  std::atomic<std::size_t> answered{0};
  // The job posted last, written before its number is counted up.
  int parts = 1;
  const std::function<void(int, int)>* run = nullptr;
  bool closing = false;
  bool busy = false;  // read and written by the owning thread only

  ~crew() {
    closing = true;
    signals.publish(job, job.load(std::memory_order_relaxed) + 1);
    for (std::thread& worker : workers) worker.join();
  }
};

namespace {

using crew = call_threads::crew;

// A worker runs its part of every job that has one, until the crew closes.
// It starts after job `seen`, the last one before it existed.
void serve(crew& workers, int part, std::size_t seen) {
  for (;;) {
    workers.signals.wait_until(workers.job, seen + 1);
    ++seen;
    if (workers.closing) return;
    if (part < workers.parts) (*workers.run)(part, workers.parts);
    workers.signals.count(workers.answered);
  }
}

// Starts workers until the crew has `wanted` threads or the system refuses
// one more; the threads it then has.
int grow(crew& workers, int wanted) {
  try {
    while (int(workers.workers.size()) + 1 < wanted) {
      const int part = int(workers.workers.size()) + 1;
      const std::size_t seen = workers.job.load(std::memory_order_relaxed);
      workers.workers.emplace_back([&workers, part, seen] { serve(workers, part, seen); });
    }
  } catch (const std::system_error&) {
    // No more threads to be had: those started so far share the work.
  }
  return std::min(wanted, int(workers.workers.size()) + 1);
}

// Runs run(part, parts) on the crew's workers, part 0 here; `run` must not throw.
void run_on_crew(crew& workers, int wanted, const std::function<void(int part, int parts)>& run) {
  const int parts = grow(workers, wanted);
  if (parts == 1) {
    run(0, 1);
    return;
  }
  // Every worker answers the job, so the answers to wait for are known now.
  const std::size_t answers = workers.answered.load(std::memory_order_relaxed) + workers.workers.size();
  workers.busy = true;
  workers.parts = parts;
  workers.run = &run;
  workers.signals.publish(workers.job, workers.job.load(std::memory_order_relaxed) + 1);
  run(0, parts);
  workers.signals.wait_until(workers.answered, answers);
  workers.busy = false;
}

// Every thread waits at the gate until the caller knows how many threads it
// could start, so that all parts divide the work alike.
struct gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  int parts = 1;
};

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

call_threads::call_threads(int threads, std::size_t largest_least_share)
    : largest_(threads_for(threads)), largest_least_share_(largest_least_share), owner_(std::this_thread::get_id()) {
  poll_.reader = owner_;
  poll_.stop = &stop_;
}

call_threads::~call_threads() = default;

void call_threads::run(int wanted, const part_work& work) {
  wanted = std::clamp(wanted, 1, largest_);
  run_progress progress(&stop_, poll_.ask ? &poll_ : nullptr);
  if (wanted == 1) {
    try {
      work(0, 1, progress);
    } catch (const run_aborted&) {
    }
    check_stop();
    return;
  }
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const std::function<void(int, int)> run_part = [&](int part, int parts) {
    try {
      work(part, parts, progress);
    } catch (const run_aborted&) {
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(failure_mutex);
        if (!failure) failure = std::current_exception();
      }
      progress.abort();
    }
  };
  if (std::this_thread::get_id() != owner_ || (crew_ && crew_->busy)) {
    run_on_new_threads(wanted, run_part);
  } else {
    if (!crew_) crew_ = std::make_unique<crew>();
    run_on_crew(*crew_, wanted, run_part);
  }
  if (failure) std::rethrow_exception(failure);
  check_stop();
}

}  // namespace core
