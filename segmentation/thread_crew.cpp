#include "thread_crew.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

#include "thread_team.h"

namespace sorvik {

// Jobs are posted by counting up `job` and answered by every worker counting
// up `answered`, whether the job has a part for it or not, so that nothing a
// job was posted with changes while a worker may still read it. The waits
// spin and yield before they sleep: the next job of a call mostly follows
// within microseconds, and waking a sleeping thread costs tens of them.
struct thread_crew::state {
  int largest = 1;                   // threads, the calling one included
  team_state signals;                // never aborted: only its waits are used
  std::vector<std::thread> workers;  // worker w runs part w + 1
  std::atomic<std::size_t> job{0};   // the number of the job posted last
  std::atomic<std::size_t> answered{0};
  // The job posted last, written before its number is counted up.
  int parts = 1;
  const std::function<void(int, int)>* run = nullptr;
  bool closing = false;
  bool busy = false;  // read and written by the calling thread only
};

namespace {

thread_local thread_crew::state* open_crew = nullptr;

// A worker runs its part of every job that has one, until the crew closes.
// It starts after job `seen`, the last one before it existed.
void serve(thread_crew::state& crew, int part, std::size_t seen) {
  for (;;) {
    crew.signals.wait_until(crew.job, seen + 1);
    ++seen;
    if (crew.closing) return;
    if (part < crew.parts) (*crew.run)(part, crew.parts);
    crew.signals.count(crew.answered);
  }
}

// Starts workers until the crew has `wanted` threads or the system refuses
// one more; the threads it then has.
int grow(thread_crew::state& crew, int wanted) {
  wanted = std::min(wanted, crew.largest);
  try {
    while (int(crew.workers.size()) + 1 < wanted) {
      const int part = int(crew.workers.size()) + 1;
      const std::size_t seen = crew.job.load(std::memory_order_relaxed);
      crew.workers.emplace_back([&crew, part, seen] { serve(crew, part, seen); });
    }
  } catch (const std::system_error&) {
    // No more threads to be had: those started so far share the work.
  }
  return std::min(wanted, int(crew.workers.size()) + 1);
}

}  // namespace

thread_crew::thread_crew(int threads) {
  if (threads <= 1 || open_crew) return;
  state_ = std::make_unique<state>();
  state_->largest = std::min(threads, largest_thread_count);
  open_crew = state_.get();
}

thread_crew::~thread_crew() {
  if (!state_) return;
  open_crew = nullptr;
  state_->closing = true;
  state_->signals.publish(state_->job, state_->job.load(std::memory_order_relaxed) + 1);
  for (std::thread& worker : state_->workers) worker.join();
}

bool run_on_open_crew(int wanted, const std::function<void(int part, int parts)>& run) {
  thread_crew::state* crew = open_crew;
  if (!crew || crew->busy) return false;
  const int parts = grow(*crew, wanted);
  if (parts == 1) {
    run(0, 1);
    return true;
  }
  // Every worker answers the job, so the answers to wait for are known now.
  const std::size_t answers = crew->answered.load(std::memory_order_relaxed) + crew->workers.size();
  crew->busy = true;
  crew->parts = parts;
  crew->run = &run;
  crew->signals.publish(crew->job, crew->job.load(std::memory_order_relaxed) + 1);
  run(0, parts);
  crew->signals.wait_until(crew->answered, answers);
  crew->busy = false;
  return true;
}

}  // namespace sorvik
