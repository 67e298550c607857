// Sorvik in steps, for a driver that spreads a volume over many machines as
// slabs of whole slices. A pixel's window stays inside its own slice, so
// given the centres the slabs of one sweep are independent; what ties them
// together is the centre update and the convergence test. One run:
//
//   ranges of each slab            (finite_ranges, anywhere)
//   combine_ranges, initial_centres (one place, slabs in order)
//   per iteration:
//     sweep_slab on every slab      (anywhere; each keeps its own labels, all 0 at first)
//     combine_slabs                 (one place, slabs in order)
//     next_centres                  (one place): new centres, stop or go on, the report
//
// These are the steps of a whole call, which is the case of one slab: the
// end of an iteration (next_centres) runs the code a whole call runs after
// each sweep, and so decides and reports alike, and edge_phase answers as it
// reads the settings.
//
// What the steps promise today, and why:
// - The labels a slab gets from sweep_slab are bit for bit those the whole
//   sweep gives its slices, for the same centres: always.
// - The ranges and the initial centres combined from slabs are those of one
//   pass over the volume, -0 and 0 included (the first in raster order is
//   kept): always, when the slabs are given in order.
// - The energy is a float sum of every pixel's term in raster order, a serial
//   chain through the whole volume: a slab's own sum cannot be added to the
//   others' without rounding differently. So sweep_slab returns the slab's
//   terms (one float a pixel) and combine_slabs continues the sum through
//   them, slab after slab: the energy, and so the convergence decision, is
//   exact always, at the price of moving the terms to one place.
// - The centre sums are double sums in raster order. Where every sum of the
//   volume's finite values is exact in double (whole-number data, as most
//   sensors give: core::sums_are_exact over the whole volume), order does not
//   matter and the slabs' own sums, added in any order, are exact: the labels
//   of every iteration equal one whole call's. For other data the slabs' sums
//   added one after another round differently from one chain in raster
//   order; the labels then match only where that rounding does not move a
//   centre. A slab can be given the running sums of the slabs before it
//   (sweep_slab's `before`, or continue_totals), which restores the chain,
//   and the bits, at the price of adding the slabs' sums one after another.
//   A driver surveys the volume once (survey_sums, sums_exact_in_any_order)
//   and chains only where the survey finds the sums could round.
// - A mask (call_options::mask, the slab's part of the volume's mask) is
//   honoured by finite_ranges and the sweeps: the ranges read the pixels
//   inside, a sweep labels the pixels outside -1 and leaves them out, and
//   the totals count only labels of a class. A slab may lie wholly outside.
// - A slice cannot be split: once the edge term applies, a pixel's cost
//   depends on the labels just given to the pixels before it in its slice.
// - A slab held as one float image (single precision, x fastest, then y, the
//   slices, the channels) is swept where it lies; any other is converted
//   into single precision first. Each call makes its sweep's buffers again:
//   a slab costs its labels and its terms (a float a pixel each), and a
//   converted slab its image too, while it is swept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image_view.h"
#include "segment.h"

namespace edgeseg {

// The smallest and the largest finite value of one channel; none found
// where `found` is false.
struct channel_range {
  bool found = false;
  float lowest = 0, highest = 0;
};

// Per channel, the finite range of a part of the image (any run of pixels,
// in raster order within the part).
std::vector<channel_range> finite_ranges(const image_view& part, const call_options& options = {});

// The ranges of the parts, given in raster order, as one pass over all of
// them finds them: a later part's bound replaces an earlier one only when
// strictly beyond it.
std::vector<channel_range> combine_ranges(const std::vector<std::vector<channel_range>>& parts);

// The class centres: values[k * channels + c] is the centre of class k in
// channel c.
struct centres {
  int class_count = 0, channels = 0;
  std::vector<float> values;
};

// The initial centres under the six settings (only the class count is
// used, but all are checked as a whole call checks them): spaced evenly
// inside each channel's range, 0 in a channel without a finite value.
centres initial_centres(const std::vector<channel_range>& ranges, const std::vector<float>& parameters);

// What the centre update and the convergence test need of a run of slabs:
// the energy so far, and per class the double sums (sums[k * channels + c])
// and the count of the pixels whose channels are all finite.
struct sweep_totals {
  float energy = 0;
  std::vector<double> sums;
  std::vector<std::uint64_t> counts;
  std::uint64_t changed = 0;  // labels the sweep changed, where counted
};

// What one slab's sweep gives: every pixel's energy term, in raster order,
// and its totals (from zero, or continued from `before`).
struct slab_sweep {
  std::vector<float> terms;
  sweep_totals totals;
};

// One sweep of iteration `iteration` over a slab of whole slices (the
// slab's own extents; any depth), relabelling `labels` in place (width x
// height x depth of the slab, x fastest). With `before`, the totals of all
// slabs before this one, the slab's totals continue them in raster order.
slab_sweep sweep_slab(const image_view& slab, float* labels, const centres& centres,
                      const std::vector<float>& parameters, int iteration, const call_options& options = {},
                      const sweep_totals* before = nullptr);

// The same sweep for a driver that keeps each slab's labels and energy
// terms itself: `terms` (room for every pixel of the slab) receives every
// pixel's energy term, or, null, none is kept. Nothing is summed.
void sweep_slab_into(const image_view& slab, float* labels, float* terms, const centres& centres,
                     const std::vector<float>& parameters, int iteration, const call_options& options = {});

// The same sweep for a driver that knows the energy of every slab before
// this one, `energy`: the sweep continues it through the slab's terms as it
// goes, in raster order, and returns it; no term is kept.
float sweep_slab_continuing(const image_view& slab, float* labels, float energy, const centres& centres,
                            const std::vector<float>& parameters, int iteration, const call_options& options = {});

// Continues `totals` through a swept slab in raster order: the energy
// through its terms (left as it is where `terms` is null), each class's
// sums and count through its pixels' labels, as sweep_slab's `before` does.
// `any_order` tells that the volume's sums are exact in any order
// (sums_exact_in_any_order), which lets them be formed faster.
void continue_totals(sweep_totals& totals, const image_view& slab, const float* labels, const float* terms,
                     bool any_order = false);

// The energy continued through `count` terms in raster order, a float
// addition each.
float continue_energy(const float* terms, std::size_t count, float energy);

// What tells whether a volume's centre sums come out the same in any order:
// per part, the pixels whose channels are all finite, the largest magnitude
// among their values and the exponent of the least significant bit set in
// any of them (a value is a whole multiple of 2^finest_exponent).
struct sum_survey {
  std::uint64_t count = 0;
  float largest = 0;
  int finest_exponent = 1 << 20;  // none found
};
sum_survey survey_sums(const image_view& part, const call_options& options = {});

// Whether every sum of the surveyed parts' values, in any order, is exact in
// double: every value a whole multiple of one power of two small enough that
// no sum of all of them outgrows the 53-bit significand. Then the slabs' own
// sums may be added in any order and still give the sums of one pass.
bool sums_exact_in_any_order(const std::vector<sum_survey>& parts);

// Whether the energy of iteration `iteration` is ever read: by the
// convergence test of the next iteration, which only a non-zero tolerance
// can pass.
bool energy_needed(const std::vector<float>& parameters, int iteration);

// What a run with exact sums (call_options::exact_sums) takes of a slab, as
// whole numbers that travel between processes and merge in any order: the
// exact sum of the slab's energy terms (empty without terms), and, where
// asked for, per class and channel the exact sum of the values of the
// pixels that carry it, with their counts (pixels as continue_totals
// counts them).
struct exact_slab_sums {
  std::vector<std::int64_t> energy;
  std::vector<std::vector<std::int64_t>> sums;  // class k, channel c at k * channels + c
  std::vector<std::uint64_t> counts;
};
exact_slab_sums exact_sums_of_slab(const image_view& slab, const float* labels, const float* terms, int class_count,
                                   bool class_sums);

// The slabs' exact sums merged, and each rounded once: the energy to float
// (0 where no slab has one), the class sums to double, the counts added.
// Slabs without class sums add none.
sweep_totals round_exact_sums(const std::vector<exact_slab_sums>& slabs, int class_count, int channels);

// The totals of a whole sweep from its slabs' results, given in raster
// order: the energy continued through every slab's terms, and the sums and
// counts added slab after slab. Exact as the header's notes say. With
// chained slabs (each given the totals before it), the last slab's totals
// are already those of the whole sweep.
sweep_totals combine_slabs(const std::vector<slab_sweep>& slabs);

// Totals of slabs given in plane order, put together without their terms:
// the sums, counts and changed labels added slab after slab (as many sums
// and counts as the first slab has; a slab without sums adds none), and the energy
// the last slab's (the whole sweep's where each slab's totals continued the
// ones before it, as continue_totals does).
sweep_totals add_totals(const std::vector<sweep_totals>& slabs);

// The end of an iteration, the code a whole call runs after each sweep:
// every centre becomes the mean of its class; `converged` tells whether the
// convergence test holds, from this sweep's energy and the one before
// (energy_before_first_iteration() before iteration 0), and `done` whether
// the run stops here, converged or at the iteration limit. `report` is the
// iteration's progress report as a whole call makes it (changed labels from
// the totals; seconds 0, for the driver's clock).
struct iteration_outcome {
  centres next;
  float energy = 0;
  bool converged = false;
  bool done = false;
  iteration_report report;
};
iteration_outcome next_centres(const sweep_totals& totals, const centres& current, const std::vector<float>& parameters,
                               int iteration, float previous_energy);

// Whether iteration `iteration` sweeps with the edge term, as a whole call
// reads the settings (the last plain iteration truncated: -0.5 leaves
// iteration 0 plain).
bool edge_phase(const std::vector<float>& parameters, int iteration);

// The energy a run starts from, before iteration 0.
float energy_before_first_iteration();

// The most iterations a run takes under the settings: 0 when none runs,
// and the labels then stay all 0.
int iteration_limit(const std::vector<float>& parameters);

}  // namespace edgeseg
