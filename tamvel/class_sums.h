// The centres of Tamvel's classes as quotients of per-class sums, and how
// those sums follow the pixels a sweep relabels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "clustering.h"
#include "core/mask.h"
#include "edge_sweep.h"

namespace tamvel {

// Per pixel, whether every used channel of both images is finite: only such
// pixels enter the centres. The images never change, so a run asks once.
// With `inside`, the pixels a mask holds, every other pixel is left out
// unread.
CImg<unsigned char> counted_pixels(const CImg<float>& primary, const CImg<float>& secondary,
                                   const std::vector<band_run>* inside = nullptr);

// Per class and channel the sums of the counted pixels' values in I and in
// J, and per class their count: what the centres are the quotients of.
struct class_sums {
  int channels = 0;            // S
  std::vector<double> values;  // per class, S sums in I, then S in J
  std::vector<std::uint64_t> counts;

  double& primary(std::size_t k, int c) { return values[k * 2 * channels + c]; }
  double& secondary(std::size_t k, int c) { return values[k * 2 * channels + channels + c]; }
};

// Each (class, channel) sum takes its pixels in raster order, in double, so
// that it rounds as the plain iteration's does; or, with `parts` > 1, which
// the caller allows only where a plan's sums are exact, parts of the image are
// summed side by side.
void sum_classes(const CImg<float>& primary, const CImg<float>& secondary, const float* labels, int class_count,
                 class_sums& sums, core::call_threads& threads, int parts = 1);

// The centres become the quotients of the sums, as update_centres forms them.
void set_centres(class_sums& sums, centre_pair& centres);

// How a run forms its sums: over every pixel or, under a mask, over the runs
// of pixels inside alone (those between them are outside and labelled
// core::outside_label, which no class counts); in `parts` side by side where
// `exact`. Exact holds when every sum, in any order and with any of its
// values taken out again, is exact in double: each sum holds one channel,
// so it is enough that each channel's values are whole multiples of one
// power of two small enough that no sum of them outgrows the 53-bit
// significand. Whole-numbered images, as most sensors give, pass. Then the
// sums need not be formed anew in raster order: moving a relabelled pixel's
// values from one class to the other gives the same bits. `counted`
// (counted_pixels) is formed where the sums follow the relabelled pixels
// (move_relabelled) so.
struct sum_plan {
  bool exact = false;
  int parts = 1;
  bool masked = false;
  std::vector<core::inside_span> runs;
  CImg<unsigned char> counted;
};

// The plan for a run; `inside`, where given, lists the pixels inside its
// mask.
sum_plan plan_sums(const CImg<float>& primary, const CImg<float>& secondary, int class_count,
                   const std::vector<band_run>* inside, core::call_threads& threads);

// The sums sum_classes forms, as `plan` says.
void sum_classes(const CImg<float>& primary, const CImg<float>& secondary, const float* labels, int class_count,
                 class_sums& sums, core::call_threads& threads, const sum_plan& plan);

// Moves the pixels the last sweep relabelled between the class sums.
void move_relabelled(const CImg<float>& primary, const CImg<float>& secondary, const float* labels,
                     const CImg<unsigned char>& counted, const std::vector<label_change>& changes, class_sums& sums);

}  // namespace tamvel
