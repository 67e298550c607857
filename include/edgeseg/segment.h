// Whole calls of both commands, for any host: the MEX plug-ins are one, and
// a Python package or a distributed driver are others. No host type appears
// here; the image container stays behind the API too.
//
// A call the commands will not compute is refused with edgeseg::refusal,
// whose mnemonic() names the fault ("badParameters", "tooLarge", ...) and
// whose what() says what was expected. Memory the call could not get leaves
// as std::bad_alloc or as the image library's own exception, derived from
// std::exception. Nothing is caught inside: a host catches at its entry and
// reports in its own terms. Everything the call made is released first.
#pragma once

#include <vector>

// Installed beside this header as edgeseg/core/; in the source tree they
// are in core/ under the project's root.
#include "core/refusal.h"
#include "core/run_report.h"
#include "core/run_warnings.h"
#include "image_view.h"

namespace edgeseg {

using refusal = core::refusal;
// What a call throws once it has stopped on request (call_options), after
// releasing everything it held.
using stopped = core::call_stopped;
// A report after every iteration (call_options::progress), and what a run
// found besides its labels (the `info` of a call).
using iteration_report = core::iteration_report;
using run_info = core::run_info;

// The threads a call with call_options::threads = 0 uses: one for every
// core this process may run on (its CPU affinity), at most 256.
int every_core();

// Sorvik: labels of one image (2-D, or a volume of `depth` slices, with any
// number of channels) under the six settings in the command's order: window
// size, edge weight, tolerance, maximum iterations, last plain iteration,
// class count. The labels are bit for bit those of the MEX command given the
// same elements.
// With `info`, the run's centres, iterations, energies and class sizes go
// there; the labels are the same with or without.
label_image sorvik(const image_view& image, const std::vector<float>& parameters, const call_options& options = {},
                   run_info* info = nullptr);

// Tamvel: labels of a primary image segmented with a secondary image of the
// same rows, columns and depth and at least its channels, under the eight
// settings in the command's order: secondary weight, tolerance, edge weight,
// window size, maximum iterations, band smoothing scale, last plain
// iteration, class count.
label_image tamvel(const image_view& primary, const image_view& secondary, const std::vector<float>& parameters,
                   const call_options& options = {}, run_info* info = nullptr);

// Sorvik's starting centres for a run under `parameters` of an image of
// `channels` channels, as call_options::initial_centres gives them: refused
// as a call refuses them, and otherwise K x channels values, class by
// class, as the run starts from them (for a driver that runs the iteration
// in steps, edgeseg/sorvik_steps.h).
std::vector<float> sorvik_start(const centre_table& given, const std::vector<float>& parameters, int channels);

// The warnings (call_options::warn) of a run that ended as `ending` tells,
// for a driver that runs the iteration itself.
std::vector<core::run_warning> run_warnings(const core::run_ending& ending);

}  // namespace edgeseg
