// The threads of one call of either command.
//
// A call makes one call_threads and hands it to every kernel it runs. The
// workers are started when a kernel first shares its work, serve every later
// kernel of the call, and are joined when the object goes, before the call
// returns: no thread or state outlives a call. Part 0 of every run is the
// caller's thread. A part decides nothing that the labels depend on: the
// kernels split their work so that every part count gives the same bits, and
// a part count of 1 is the plain sequential kernel.
//
// The object also carries a stop request. Any thread may set it; the kernels
// look at it between rows or blocks of pixels and end early, and the run that
// saw it throws call_stopped on the caller's thread, so that the call unwinds
// and releases everything it holds.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "refusal.h"  // call_stopped

namespace core {

// The most threads one call uses.
constexpr int largest_thread_count = 256;

// The cores this process may run on (its CPU affinity), at least 1.
int cores_available();

// The threads a call that asks for `wanted` gets: 0 asks for one for every
// core the process may run on; any count is kept within 1 ..
// largest_thread_count.
int threads_for(int wanted);

// A stop signal that only one thread may read, such as a host's interrupt
// flag: the thread that made the call's threads asks `ask` at the kernels'
// check points, at most once per poll_interval, and a true answer sets the
// call's stop request. `ask` must not throw.
struct stop_poll {
  static constexpr std::chrono::milliseconds poll_interval{10};

  std::function<bool()> ask;
  std::thread::id reader;
  std::atomic<bool>* stop = nullptr;
  mutable std::chrono::steady_clock::time_point next{};

  void check() const {
    if (!ask || std::this_thread::get_id() != reader) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next) return;
    next = now + poll_interval;
    if (ask()) stop->store(true, std::memory_order_relaxed);
  }
};

// What the parts of one run know of each other while they run.
class run_progress {
 public:
  // `stop`, where given, is the call's stop request, and `poll` a signal
  // that sets it.
  explicit run_progress(const std::atomic<bool>* stop = nullptr, const stop_poll* poll = nullptr)
      : stop_(stop), poll_(poll) {}

  // Whether the run is ending early: another part has failed, or a stop was
  // requested. A part then stops as soon as it can (see wait_until).
  bool aborted() const {
    if (poll_) poll_->check();
    return aborted_.load(std::memory_order_acquire) || (stop_ && stop_->load(std::memory_order_relaxed));
  }
  void abort();

  // Waits until `progress` reaches `needed`, reading it so that what its
  // writer did before publishing is visible. Spins briefly, then sleeps
  // until a publish wakes it: on a busy machine the part it waits for may
  // have lost its core, and a waiter that kept spinning would hold it off.
  // Leaves by an exception, which only the run catches, when the run is
  // ending, so that a failed or stopped part never leaves the others waiting.
  void wait_until(const std::atomic<std::size_t>& progress, std::size_t needed) const;

  // Sets `progress` to `value` and wakes the parts asleep in wait_until.
  void publish(std::atomic<std::size_t>& progress, std::size_t value) const;
  // Adds one to `progress`, which several threads count up, and wakes them.
  void count(std::atomic<std::size_t>& progress) const;

 private:
  void wake_sleepers() const;

  const std::atomic<bool>* stop_;
  const stop_poll* poll_;
  std::atomic<bool> aborted_{false};
  mutable std::atomic<int> sleepers_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable progressed_;
};

using part_work = std::function<void(int part, int parts, run_progress& progress)>;

// Any share of the work a kernel asks of a part is worth a thread.
constexpr std::size_t any_share = std::size_t(-1);

class call_threads {
 public:
  // Up to `threads` threads, the caller's included, as threads_for reads
  // the count: 0 for every core. `largest_least_share` caps the least work
  // each kernel wants for a part before it shares its work (worth_a_thread):
  // tests lower it to 1 item, so that even their tiny images are split
  // between threads as large ones are. The labels never depend on it.
  explicit call_threads(int threads = 1, std::size_t largest_least_share = any_share);
  ~call_threads();
  call_threads(const call_threads&) = delete;
  call_threads& operator=(const call_threads&) = delete;

  // The most threads a run may use.
  int count() const { return largest_; }

  // The least work worth a thread of its own for a kernel that wants
  // `amount` items a part: `amount`, within the cap this object was made
  // with.
  std::size_t worth_a_thread(std::size_t amount) const { return std::min(amount, largest_least_share_); }

  // Runs work(part, parts, progress) for part = 0 .. parts - 1 side by side,
  // where parts is `wanted` (1 .. count()) or fewer when the system refuses
  // more threads. Returns once every part has ended; the first exception a
  // part threw is then thrown again here, and call_stopped where a stop was
  // requested. A run inside a part, or on another thread than the one that
  // made the object, starts threads of its own.
  void run(int wanted, const part_work& work);

  // Asks the call to stop; safe from any thread, also from a part.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
  // Throws call_stopped where a stop was requested: between a call's steps.
  void check_stop() const {
    poll_.check();
    if (stop_requested()) throw call_stopped();
  }
  // Lets `ask` request the stop (see stop_poll), asked on the thread that
  // made this object.
  void poll_for_stop(std::function<bool()> ask) { poll_.ask = std::move(ask); }

  struct crew;

 private:
  int largest_;
  std::size_t largest_least_share_;
  std::atomic<bool> stop_{false};
  stop_poll poll_;
  std::thread::id owner_;
  std::unique_ptr<crew> crew_;  // the workers, made by the first shared run
};

// The share of `count` items that part `part` of `parts` takes: the items
// from begin to end - 1, in order, the shares differing by at most one item.
struct share {
  std::size_t begin, end;
};
inline share share_of(std::size_t count, int part, int parts) {
  return share{count * std::size_t(part) / std::size_t(parts), count * std::size_t(part + 1) / std::size_t(parts)};
}

// The parts worth starting for `count` items when each part should have at
// least `smallest_share` of them (as `threads` judges what is worth a thread):
// between 1 and threads.count().
inline int useful_parts(const call_threads& threads, std::size_t count, std::size_t smallest_share) {
  smallest_share = threads.worth_a_thread(smallest_share);
  const std::size_t most = smallest_share > 0 ? count / smallest_share : count;
  return int(std::max<std::size_t>(1, std::min<std::size_t>(std::size_t(threads.count()), most)));
}

}  // namespace core
