#include "class_sums.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "core/centre_sums.h"
#include "core/kept_buffers.h"

namespace tamvel {
namespace {

// Channels 0 .. S - 1 of I, then of J: what the centres are means of.
std::vector<const float*> summed_channels(const CImg<float>& primary, const CImg<float>& secondary) {
  const std::size_t pixels = std::size_t(primary.width()) * primary.height() * primary.depth();
  std::vector<const float*> channel;
  for (const CImg<float>* image : {&primary, &secondary})
    for (int c = 0; c < primary.spectrum(); ++c) channel.push_back(image->data() + std::size_t(c) * pixels);
  return channel;
}

}  // namespace

CImg<unsigned char> counted_pixels(const CImg<float>& primary, const CImg<float>& secondary,
                                   const std::vector<band_run>* inside) {
  const std::size_t pixels = std::size_t(primary.width()) * primary.height() * primary.depth();
  CImg<unsigned char> counted =
      core::reused_image<unsigned char>(primary.width(), primary.height(), primary.depth(), 1);
  counted.fill(inside ? 0 : 1);
  const auto count_finite = [&](std::size_t first, std::size_t count) {
    if (inside) std::fill_n(counted.begin() + std::ptrdiff_t(first), count, 1);
    for (int c = 0; c < primary.spectrum(); ++c) {
      const float* primary_value = primary.data() + std::size_t(c) * pixels;
      const float* secondary_value = secondary.data() + std::size_t(c) * pixels;
      for (std::size_t i = first; i < first + count; ++i)
        counted[i] &= std::isfinite(primary_value[i]) && std::isfinite(secondary_value[i]);
    }
  };
  if (!inside)
    count_finite(0, pixels);
  else
    for (const band_run& run : *inside) count_finite(run.position, run.length);
  return counted;
}

void sum_classes(const CImg<float>& primary, const CImg<float>& secondary, const float* labels, int class_count,
                 class_sums& sums, core::call_threads& threads, int parts) {
  const std::size_t pixels = std::size_t(primary.width()) * primary.height() * primary.depth();
  sums.channels = primary.spectrum();
  core::sum_by_class(labels, pixels, summed_channels(primary, secondary), class_count, sums.values, sums.counts,
                     threads, parts);
}

void set_centres(class_sums& sums, centre_pair& centres) {
  const std::size_t channels = std::size_t(centres.primary.width()), classes = std::size_t(centres.primary.height());
  core::centres_from_sums(sums.values.data(), 2 * channels, sums.counts.data(), classes, channels,
                          pair_centre_count_guard, centres.primary.data());
  core::centres_from_sums(sums.values.data() + channels, 2 * channels, sums.counts.data(), classes, channels,
                          pair_centre_count_guard, centres.secondary.data());
}

namespace {

// Whether every sum of one channel's values over the pixels counted, in any
// order, is exact: each sum holds one channel alone, so each channel is
// surveyed on its own, over every pixel or over `runs`. A channel's finite
// values are surveyed whether or not the pixel's other channels are finite,
// which can only make the test stricter.
bool each_channel_exact(const std::vector<const float*>& channel, std::size_t pixels,
                        const std::vector<core::inside_span>* runs, int class_count, core::call_threads& threads) {
  for (const float* values : channel) {
    const std::vector<const float*> one{values};
    const bool exact = runs ? core::plan_class_sums(one, *runs, class_count, threads, false).any_order
                            : core::sums_are_exact(one, pixels, nullptr, threads);
    if (!exact) return false;
  }
  return true;
}

}  // namespace

sum_plan plan_sums(const CImg<float>& primary, const CImg<float>& secondary, int class_count,
                   const std::vector<band_run>* inside, core::call_threads& threads) {
  sum_plan plan;
  const int channels = 2 * primary.spectrum();
  if (!inside) {
    const std::size_t pixels = std::size_t(primary.width()) * primary.height() * primary.depth();
    plan.exact = each_channel_exact(summed_channels(primary, secondary), pixels, nullptr, class_count, threads);
    plan.parts = plan.exact ? core::useful_sum_parts(threads, pixels, class_count, channels) : 1;
    if (plan.exact) plan.counted = counted_pixels(primary, secondary);
    return plan;
  }
  plan.masked = true;
  for (const band_run& run : *inside)
    if (!plan.runs.empty() && plan.runs.back().end == run.position)
      plan.runs.back().end += run.length;
    else
      plan.runs.push_back({run.position, run.position + run.length});
  plan.exact = each_channel_exact(summed_channels(primary, secondary), 0, &plan.runs, class_count, threads);
  plan.parts = plan.exact ? core::useful_sum_parts(threads, core::run_pixels(plan.runs), class_count, channels) : 1;
  if (plan.exact) plan.counted = counted_pixels(primary, secondary, inside);
  return plan;
}

void sum_classes(const CImg<float>& primary, const CImg<float>& secondary, const float* labels, int class_count,
                 class_sums& sums, core::call_threads& threads, const sum_plan& plan) {
  if (!plan.masked) return sum_classes(primary, secondary, labels, class_count, sums, threads, plan.parts);
  sums.channels = primary.spectrum();
  core::class_sums_in_runs(labels, plan.runs, summed_channels(primary, secondary), class_count, sums.values,
                           sums.counts, threads, core::class_sum_plan{plan.parts, plan.exact, false});
}

void move_relabelled(const CImg<float>& primary, const CImg<float>& secondary, const float* labels,
                     const CImg<unsigned char>& counted, const std::vector<label_change>& changes, class_sums& sums) {
  const int channels = primary.spectrum();
  const std::size_t pixels = counted.size();
  const std::size_t class_count = sums.counts.size();
  for (const label_change& change : changes) {
    const std::size_t from = std::size_t(change.from), to = std::size_t(labels[change.position]);
    if (!counted[change.position] || from >= class_count) continue;
    --sums.counts[from];
    ++sums.counts[to];
    for (int c = 0; c < channels; ++c) {
      const std::size_t at = std::size_t(c) * pixels + change.position;
      sums.primary(from, c) -= primary.data()[at];
      sums.primary(to, c) += primary.data()[at];
      sums.secondary(from, c) -= secondary.data()[at];
      sums.secondary(to, c) += secondary.data()[at];
    }
  }
}

}  // namespace tamvel
