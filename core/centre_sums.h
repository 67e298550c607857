// The per-class sums and counts of the centre update, shared by both commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "call_threads.h"
#include "exact_sum.h"
#include "image.h"
#include "mask.h"

namespace core {

// For every class k and channel c, the sum in double of channel c over the
// pixels whose label names k, into sums[k * C + c] (C = channel.size()), and
// their number into counts[k]. channel[c] points at channel c of pixel 0; a
// label names the class it truncates to, as a cast converts it, and a pixel
// with NaN or an infinity in any of the channels is left out. Each sum takes
// its pixels in raster order, so that it rounds as a plain pixel loop's does.
//
// With `parts` > 1 the pixels are split into that many runs summed side by
// side and the run sums are added in order, and with `any_order` the pixels
// may be taken in any order: the caller promises, through sums_are_exact,
// that no sum rounds, so that both give the same bits.
void sum_by_class(const float* labels, std::size_t pixels, const std::vector<const float*>& channel, int class_count,
                  std::vector<double>& sums, std::vector<std::uint64_t>& counts, call_threads& threads, int parts = 1,
                  bool any_order = false);

// The same sums and counts, each sum exact and rounded once to double, so
// that neither the order of the pixels nor `parts`, the runs of pixels
// summed side by side, can change them.
void exact_sum_by_class(const float* labels, std::size_t pixels, const std::vector<const float*>& channel,
                        int class_count, std::vector<double>& sums, std::vector<std::uint64_t>& counts,
                        call_threads& threads, int parts = 1);

// The exact sums themselves, not yet rounded: sums[k * C + c], to be merged
// with other runs' in any order.
void exact_class_sums(const float* labels, std::size_t pixels, const std::vector<const float*>& channel,
                      int class_count, std::vector<exact_sum>& sums, std::vector<std::uint64_t>& counts,
                      call_threads& threads, int parts = 1);

// Where each channel of `image` starts.
inline std::vector<const float*> channel_starts(const CImg<float>& image) {
  const std::size_t pixels = std::size_t(image.width()) * image.height() * image.depth();
  std::vector<const float*> channel(image.spectrum());
  for (int c = 0; c < image.spectrum(); ++c) channel[c] = image.data() + std::size_t(c) * pixels;
  return channel;
}

// The same sums formed piece by piece, for a caller that learns the final
// labels a run of pixels at a time: runs added one after another, in raster
// order, give the bits of sum_by_class over all of them at once (one part,
// the same `any_order`).
struct running_class_sums {
  int class_count = 0, channels = 0;
  bool any_order = false;
  std::vector<double> sums;           // K + 1 classes of C channels, the last for the pixels left out
  std::vector<std::uint64_t> counts;  // as many
  bool in_lanes = false;              // up to eight classes, summed side by side:
  std::vector<double> lane_sums;      // then C rows of eight classes
  std::int64_t lane_counts[8] = {};
  std::vector<const float*> block_values;  // room for add_class_sums, which a masked run calls once a run
};

running_class_sums start_class_sums(int class_count, int channels, bool any_order);

// The same, continuing given sums and counts (sums[k * C + c], counts[k], as
// finish_class_sums gives them): the pixels added after them round as they
// would in one pass that had summed the earlier ones first.
running_class_sums start_class_sums(int class_count, int channels, bool any_order, const std::vector<double>& sums,
                                    const std::vector<std::uint64_t>& counts);

// Adds pixels first .. first + count - 1; channel[c] points at channel c of
// pixel 0, and `labels` at pixel 0's label.
void add_class_sums(running_class_sums& running, const float* labels, const std::vector<const float*>& channel,
                    std::size_t first, std::size_t count);

// The sums and counts of the K classes, as sum_by_class gives them.
void finish_class_sums(const running_class_sums& running, std::vector<double>& sums,
                       std::vector<std::uint64_t>& counts);

// What tells whether the sums of a run of pixels come out the same in any
// order: the pixels counted (where counted[i] is non-zero or, without
// `counted`, where every channel is finite), the largest magnitude among
// their values, and the exponent of the least significant bit set in any of
// them (each is a whole multiple of 2^finest_exponent). Surveys of parts
// merge in any order. Up to `threads` threads share the pass.
struct sum_survey {
  std::uint64_t count = 0;
  float largest = 0;
  int finest_exponent = 1 << 20;  // none found
};
sum_survey survey_sums(const std::vector<const float*>& channel, std::size_t pixels, const unsigned char* counted,
                       call_threads& threads);
sum_survey merge_surveys(const std::vector<sum_survey>& parts);

// Whether every sum of the surveyed values, in any order and with any of
// them taken out again, is exact in double: all whole multiples of one
// power of two small enough that no sum of them outgrows the 53-bit
// significand. Whole-numbered images, as most sensors give, pass. Then the
// sums need not be formed in raster order.
bool sums_exact_in_any_order(const sum_survey& whole);

// The same for one run of pixels surveyed at once.
bool sums_are_exact(const std::vector<const float*>& channel, std::size_t pixels, const unsigned char* counted,
                    call_threads& threads);

// How a run forms its centre sums: in `parts` runs of pixels side by side;
// in any order where that cannot change them; or else, where `exact_sums`
// asks for it, exactly, which no order changes either.
struct class_sum_plan {
  int parts = 1;
  bool any_order = false;
  bool exact = false;
};
class_sum_plan plan_class_sums(const std::vector<const float*>& channel, std::size_t pixels, int class_count,
                               call_threads& threads, bool exact_sums);
// The same for sums over the pixels of `runs` alone (raster positions, in
// order), which are all it surveys.
class_sum_plan plan_class_sums(const std::vector<const float*>& channel, const std::vector<inside_span>& runs,
                               int class_count, call_threads& threads, bool exact_sums);

// The sums and counts of sum_by_class, formed as `plan` says.
void class_sums(const float* labels, std::size_t pixels, const std::vector<const float*>& channel, int class_count,
                std::vector<double>& sums, std::vector<std::uint64_t>& counts, call_threads& threads,
                const class_sum_plan& plan);

// The sums and counts of class_sums over the pixels of `runs` alone, for a
// plan from the runs that does not ask for exact sums: the pixels between
// the runs are left out as the dropped ones are.
void class_sums_in_runs(const float* labels, const std::vector<inside_span>& runs,
                        const std::vector<const float*>& channel, int class_count, std::vector<double>& sums,
                        std::vector<std::uint64_t>& counts, call_threads& threads, const class_sum_plan& plan);

// The centre update of both commands: the centre of class k in channel c,
// centres[k * channels + c], becomes sums[k * sum_stride + c] divided by
// counts[k] + guard, rounded to float. The guard, a command's own small
// number, gives an empty class 0.
inline void centres_from_sums(const double* sums, std::size_t sum_stride, const std::uint64_t* counts,
                              std::size_t class_count, std::size_t channels, double guard, float* centres) {
  for (std::size_t k = 0; k < class_count; ++k) {
    const double divisor = double(counts[k]) + guard;
    for (std::size_t c = 0; c < channels; ++c)
      centres[k * channels + c] = static_cast<float>(sums[k * sum_stride + c] / divisor);
  }
}

// The parts worth summing `pixels` pixels of K classes and C channels with.
int useful_sum_parts(const call_threads& threads, std::size_t pixels, int class_count, int channels);

}  // namespace core
