// What a Sorvik run prepares once, before its first sweep: the labels, the
// initial centres, every sweep's working memory and how the centre sums
// are formed, in one round.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/call_threads.h"
#include "core/centre_sums.h"
#include "core/image.h"
#include "core/mask.h"
#include "edge_sweep.h"
#include "parameters.h"

namespace sorvik {

// A block buffer's worth of the plain sweep: a block's values, room for one
// block of data terms and best costs, and the block's labels and energy terms.
struct plain_block_buffers {
  std::vector<double> value, distance, best;
  std::vector<float> label, added;
};

// Working memory of the sweeps, allocated once per run (or per call of
// label_sweep), so that a sweep itself allocates nothing: one set per part
// of the sweep, and with more than one part every pixel's energy term, which
// the caller adds up in raster order (or exactly, in any order).
struct sweep_buffers {
  core::call_threads* threads = nullptr;
  std::vector<double> centre_values;  // the centres in double
  std::vector<plain_block_buffers> plain;
  std::vector<edge_buffers> edge;  // when an edge-phase sweep is to come
  core::pixel_mask mask;
  // Not cleared beforehand: a sweep writes every term before any is read, and
  // the parts touch their pages first, side by side.
  std::unique_ptr<float[]> energy_terms;
};

sweep_buffers make_sweep_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                                 const CImg<float>& labels, bool edge_phase_ahead, core::call_threads& threads,
                                 const core::pixel_mask& mask = {}, bool exact_sums = false);

// K centres per channel, spaced evenly inside the channel's finite value
// range over the pixels inside `mask`, with up to `threads` threads.
CImg<float> init_centres(const CImg<float>& image, int class_count, core::call_threads& threads,
                         const core::pixel_mask& mask = {});

// A run's labels and centres (S x K: the centre of class k in channel c at
// (c, k)), the buffers of its sweeps, where each channel of the image
// starts, and how its centre sums are formed.
struct run_plan {
  CImg<float> labels, centres;
  sweep_buffers buffers;
  std::vector<const float*> channels;
  core::class_sum_plan sums;
  // With a mask and sums that are not exact: the runs of pixels that hold
  // every pixel inside, the only ones summed.
  std::vector<core::inside_span> inside_runs;
  bool exact_energy = false;
};

// The plan of a run over `image`: labels all 0 and the initial centres.
// With `exact_sums`, energies are exact sums rounded once, and so are centre
// sums that could round in double. Pixels outside `mask` are labelled
// core::outside_label and take no part.
run_plan plan_run(const CImg<float>& image, const segmentation_parameters& parameters, core::call_threads& threads,
                  bool exact_sums, const core::pixel_mask& mask = {});

// The same from given labels and centres, which the plan takes over (the
// labels outside `mask` outside_label already).
run_plan plan_run(const CImg<float>& image, const segmentation_parameters& parameters, CImg<float>&& centres,
                  CImg<float>&& labels, core::call_threads& threads, bool exact_sums,
                  const core::pixel_mask& mask = {});

}  // namespace sorvik
