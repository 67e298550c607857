// The whole calls on a thread object the caller makes, for callers that
// stop a call from another thread (core::call_threads carries the stop
// request that every sweep checks).
#pragma once

#include <vector>

#include "core/call_threads.h"
#include "core/image.h"
#include "edgeseg/image_view.h"

namespace edgeseg {

// The parameter vector as the commands read it: one value after another.
CImg<float> parameter_image(const std::vector<float>& parameters);

CImg<float> sorvik_labels(const image_view& image, const std::vector<float>& parameters, core::call_threads& threads,
                          const core::run_watch& watch = {}, bool exact_sums = false, const image_view* mask = nullptr,
                          const core::centre_table& start = {});

CImg<float> tamvel_labels(const image_view& primary, const image_view& secondary, const std::vector<float>& parameters,
                          core::call_threads& threads, const core::run_watch& watch = {},
                          const image_view* mask = nullptr, const core::centre_table& start = {},
                          const core::centre_table& secondary_start = {});

// What a call of `options` and `info` asks of its run.
core::run_watch watch_of(const call_options& options, core::run_info* info);

// Hands the stop request of `options`, if any, to the call's threads, which
// poll it on the calling thread.
void apply_options(const call_options& options, core::call_threads& threads);

}  // namespace edgeseg
