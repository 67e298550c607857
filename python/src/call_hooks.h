// What a Python caller hears from a running call and how it stops it: the
// progress callable after every iteration, and Ctrl-C. Both run on the
// calling thread, which holds the interpreter only while in them. A Python
// exception raised there (KeyboardInterrupt from the signal handler, or one
// the progress callable raised) stops the call, and the entry raises it once
// the call has released everything.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <memory>

#include "edgeseg/segment.h"

namespace python_host {

struct call_hooks {
  // None, or called as progress(iteration, edge_phase, energy, changed,
  // seconds, last, converged, lines): `lines`, the progress lines every host
  // prints for the iteration, under the name `command`.
  pybind11::object progress;
  const char* command = "";
  // Only the main thread sees signals: a call made elsewhere is not polled.
  bool interruptible = false;
  // The exception that stopped the call, held until the entry raises it.
  std::unique_ptr<pybind11::error_already_set> error;
  std::chrono::steady_clock::time_point last_poll{};
};

// The API's options for a call of `threads` threads, whose progress and stop
// request go through `hooks` (which must outlive the call).
edgeseg::call_options options_for(int threads, call_hooks& hooks);

// After the call: raises the exception a hook caught, if any. Called with the
// interpreter held.
void raise_caught(call_hooks& hooks);

}  // namespace python_host
