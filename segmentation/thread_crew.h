// The threads of one call, kept between its kernels.
//
// Starting and joining a thread costs tens of microseconds, and a call runs
// two kernels with threads per iteration. A crew opened on the calling thread
// keeps the threads that run_parts starts there and hands them the parts of
// every later run_parts of that thread; it joins them when it closes, before
// the call returns, so that no thread outlives the call. Run_parts on any
// other thread, or inside a part, starts threads of its own as before.
#pragma once

#include <functional>
#include <memory>

namespace sorvik {

class thread_crew {
 public:
  // Opens a crew for up to `threads` threads when that is more than one and
  // none is open on this thread yet; otherwise does nothing.
  explicit thread_crew(int threads);
  ~thread_crew();
  thread_crew(const thread_crew&) = delete;
  thread_crew& operator=(const thread_crew&) = delete;

  struct state;

 private:
  std::unique_ptr<state> state_;
};

// Runs run(part, parts) for part = 0 .. parts - 1 on the crew open on this
// thread, part 0 here, where parts is `wanted` or fewer when the system
// refuses more threads, and returns once every part has ended; `run` must
// not throw. False, with nothing run, where no crew is open here or it is
// running parts already.
bool run_on_open_crew(int wanted, const std::function<void(int part, int parts)>& run);

}  // namespace sorvik
