// Threads inside one call of either command.
//
// A team lives for one kernel call. Its threads are those of the crew the
// call has open (thread_crew.h), or else are created when the work starts
// and joined before it returns, so no thread or state outlives the call.
// Part 0 runs on the caller's thread. A part decides nothing that the
// labels depend on: the kernels split their work so that every part count
// gives the same bits, and a part count of 1 is the plain sequential kernel.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace sorvik {

// The most threads one call uses.
constexpr int largest_thread_count = 256;

// What a part may ask of its team while it runs.
class team_state {
 public:
  // Whether another part has failed; the others then stop as soon as they
  // can (see wait_until).
  bool aborted() const { return aborted_.load(std::memory_order_acquire); }
  void abort();

  // Waits until `progress` reaches `needed`, reading it so that what its
  // writer did before publishing is visible. Spins briefly, then sleeps
  // until a publish wakes it: on a busy machine the part it waits for may
  // have lost its core, and a waiter that kept spinning would hold it off.
  // Leaves by an exception when the team has aborted, so that a failed part
  // never leaves the others waiting.
  void wait_until(const std::atomic<std::size_t>& progress, std::size_t needed) const;

  // Sets `progress` to `value` and wakes the parts asleep in wait_until.
  void publish(std::atomic<std::size_t>& progress, std::size_t value) const;
  // Adds one to `progress`, which several threads count up, and wakes them.
  void count(std::atomic<std::size_t>& progress) const;

 private:
  void wake_sleepers() const;

  std::atomic<bool> aborted_{false};
  mutable std::atomic<int> sleepers_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable progressed_;
};

// Runs work(part, parts, team) for part = 0 .. parts - 1 side by side, where
// parts is `wanted` (at least 1) or fewer when the system refuses more
// threads. Returns once every part has ended; the first exception a part
// threw is then thrown again on the caller's thread.
void run_parts(int wanted, const std::function<void(int part, int parts, team_state& team)>& work);

// The share of `count` items that part `part` of `parts` takes: the items
// from begin to end - 1, in order, the shares differing by at most one item.
struct share {
  std::size_t begin, end;
};
inline share share_of(std::size_t count, int part, int parts) {
  return share{count * std::size_t(part) / std::size_t(parts), count * std::size_t(part + 1) / std::size_t(parts)};
}

// The least work worth a thread of its own: `amount` items, or a single one
// in builds for tests, which must see even tiny images split between
// threads (SEGMENTATION_SMALL_SHARES).
constexpr std::size_t worth_a_thread(std::size_t amount) {
#if defined(SEGMENTATION_SMALL_SHARES)
  return amount > 0 ? 1 : 0;
#else
  return amount;
#endif
}

// The parts worth starting for `count` items when each part should have at
// least `smallest_share` of them: between 1 and `threads`.
inline int useful_parts(int threads, std::size_t count, std::size_t smallest_share) {
  smallest_share = worth_a_thread(smallest_share);
  const std::size_t most = smallest_share > 0 ? count / smallest_share : count;
  return int(std::max<std::size_t>(1, std::min<std::size_t>(std::size_t(threads < 1 ? 1 : threads), most)));
}

}  // namespace sorvik
