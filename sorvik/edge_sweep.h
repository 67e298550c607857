// The edge-phase label sweep of Sorvik.
//
// At each pixel a tally holds, per class, how many offsets of the pixel's disc
// carry that class at this moment; the number of differing neighbours of class
// k is the number of offsets minus the tally of k. Stepping to the next pixel
// of a row swaps, in each disc row, the column leaving on the left for the one
// entering on the right, reflected like the window. Only the current image row
// changes while it is swept: when the current pixel changes its label, the
// tally follows at once for every offset that reflects onto the pixel itself.
// The sweep stays sequential in raster order; only the bookkeeping differs
// from the plain iteration, never a cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/image.h"
#include "core/call_threads.h"
#include "core/centre_sums.h"
#include "core/sweep.h"
#include "core/disc_rows.h"
#include "core/labels.h"
#include "core/mask.h"
#include "parameters.h"
#include "core/pixel_blocks.h"
#include "core/vector_lanes.h"

namespace sorvik {

// The tally in lanes, one vector for all classes (K <= 8): one-hot lanes per
// class index (none for K), the lanes of the image rows within reach of the
// current one, kept as a ring, and the disc rows other than the own ones
// grouped by half width, with each group's columns summed per block.
struct lane_tally {
  std::vector<core::class_lanes> one_hot;
  std::vector<core::class_lanes> row_lanes;
  // Per ring slot, the columns its lanes were last written over: all its
  // lanes outside them are zero.
  std::vector<core::inside_span> slot_written;
  std::vector<int> group_half, group_of_half, grouped_rows;
  std::vector<std::size_t> group_end;
  std::vector<core::class_lanes> column_sum;
  std::vector<const core::class_lanes*> leaving_column, entering_column;
};

// The tally in memory, for any K and any disc: the labels as class indices,
// and one counter per class index.
struct memory_tally {
  std::vector<core::class_index> class_of;
  std::vector<std::int64_t> tally;
  std::vector<double> cost;  // the pixel's cost of every class
};

// What one part of a sweep works with.
struct edge_buffers {
  std::vector<double> value;  // a block's values, see data_terms.h
  std::vector<double> table;  // the block's data terms, K rows of table_stride
  std::size_t table_stride = core::block_pixels;
  core::disc_rows disc;
  std::vector<std::int32_t> column_of;  // reflected column of x, for x from -radius to width + radius
  std::vector<const void*> row_source;  // per disc row, the image row it reads for the current row
  std::vector<int> own_rows;            // disc rows reading the current row itself
  bool in_lanes = false;
  lane_tally lanes;            // when in_lanes
  std::size_t ring_slots = 0;  // rows the lanes keep
  memory_tally memory;         // otherwise
  core::sweep_layout layout;
  core::disc_mask inside;  // kept by the first part for all; empty without a mask
};

// One set of buffers per part of the sweeps to come, for the call's
// threads. A wavefront's lanes, a sweep's labels as class indices and what
// the sweeps know of `mask` are kept by the first part for all. Outside the
// mask no pixel is swept, and a pixel's differing neighbours are those of its
// disc inside the mask that carry another class.
std::vector<edge_buffers> make_edge_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                                            const CImg<float>& labels, core::call_threads& threads,
                                            const core::pixel_mask& mask = {});

// One edge-phase sweep, relabelling in place; returns its energy. With more
// than one part, `terms` has room for every pixel's energy term, or is null
// where no one reads the energy, and then 0 is returned. With
// `centre_sums`, the new labels' centre sums are added to it in raster order:
// a volume's as its slices are swept, while the other parts sweep on; over
// the pixels of `summed_runs` alone where given (see core::inside_runs). The
// energy continues `energy_before`, the sum of the terms before the image's.
float edge_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, std::vector<edge_buffers>& parts, core::call_threads& threads, float* terms,
                 core::running_class_sums* centre_sums = nullptr,
                 const std::vector<core::inside_span>* summed_runs = nullptr, float energy_before = 0.0f);

}  // namespace sorvik
