#include "edgeseg/sorvik_steps.h"

#include <cmath>
#include <cstddef>

#include "calls.h"
#include "conversion.h"
#include "core/call_threads.h"
#include "core/convergence.h"
#include "core/costs.h"
#include "core/initial_centres.h"
#include "core/refusal.h"
#include "segmentation/clustering.h"
#include "segmentation/parameters.h"

namespace edgeseg {
namespace {

sorvik::segmentation_parameters settings_of(const std::vector<float>& parameters) {
  return sorvik::read_parameters(parameter_image(parameters));
}

// Centres that do not fit the settings and the slab would be read out of
// bounds.
void require_centres(const centres& given, int class_count, std::uint64_t channels) {
  const bool fits = given.class_count == class_count && std::uint64_t(given.channels) == channels &&
                    given.values.size() == std::size_t(class_count) * std::size_t(given.channels);
  if (!fits)
    core::refuse("badCentres", "the centres are %d classes of %d channels (%llu values); expected %d classes of %llu.",
                 given.class_count, given.channels, static_cast<unsigned long long>(given.values.size()), class_count,
                 static_cast<unsigned long long>(channels));
}

sweep_totals zero_totals(int class_count, int channels) {
  sweep_totals totals;
  totals.sums.assign(std::size_t(class_count) * std::size_t(channels), 0.0);
  totals.counts.assign(std::size_t(class_count), 0);
  return totals;
}

// Continues the totals through the slab's pixels in raster order: the
// energy through their terms, and each class's sums through the pixels
// whose label names it (truncated, as the centre update reads a label) and
// whose channels are all finite, as a plain pixel loop rounds them.
void continue_totals(sweep_totals& totals, const CImg<float>& image, const float* labels, const float* terms) {
  const std::size_t pixels = std::size_t(image.width()) * image.height() * image.depth();
  const int channels = image.spectrum();
  const int class_count = int(totals.counts.size());
  totals.energy = core::sum_in_raster_order(terms, pixels, totals.energy);
  for (std::size_t i = 0; i < pixels; ++i) {
    if (!(labels[i] > -1.0f && labels[i] < float(class_count))) continue;
    bool finite = true;
    for (int c = 0; c < channels; ++c) finite = finite && std::isfinite(image.data()[i + pixels * std::size_t(c)]);
    if (!finite) continue;
    const auto k = std::size_t(labels[i]);
    for (int c = 0; c < channels; ++c)
      totals.sums[k * std::size_t(channels) + std::size_t(c)] += double(image.data()[i + pixels * std::size_t(c)]);
    ++totals.counts[k];
  }
}

}  // namespace

std::vector<channel_range> finite_ranges(const image_view& part, const call_options& options) {
  core::call_threads threads(options.threads);
  const CImg<float> image = image_from_view(part, "the part", threads.count());
  const std::size_t channel_size = std::size_t(image.width()) * image.height() * image.depth();
  std::vector<channel_range> ranges(std::size_t(image.spectrum()));
  if (channel_size == 0) return ranges;
  for (int c = 0; c < image.spectrum(); ++c) {
    channel_range& range = ranges[std::size_t(c)];
    range.found = core::finite_range(image.data(0, 0, 0, c), channel_size, range.lowest, range.highest, threads);
  }
  return ranges;
}

std::vector<channel_range> combine_ranges(const std::vector<std::vector<channel_range>>& parts) {
  std::vector<core::value_range> whole(parts.empty() ? 0 : parts.front().size());
  for (const std::vector<channel_range>& part : parts) {
    if (part.size() != whole.size())
      core::refuse("badRanges", "the parts have %llu and %llu channels; expected the same for every part.",
                   static_cast<unsigned long long>(whole.size()), static_cast<unsigned long long>(part.size()));
    for (std::size_t c = 0; c < part.size(); ++c)
      core::extend_range(whole[c], core::value_range{part[c].found, part[c].lowest, part[c].highest});
  }
  std::vector<channel_range> ranges(whole.size());
  for (std::size_t c = 0; c < whole.size(); ++c)
    ranges[c] = channel_range{whole[c].found, whole[c].lowest, whole[c].highest};
  return ranges;
}

centres initial_centres(const std::vector<channel_range>& ranges, const std::vector<float>& parameters) {
  const int class_count = settings_of(parameters).class_count;
  centres initial;
  initial.class_count = class_count;
  initial.channels = int(ranges.size());
  initial.values.assign(std::size_t(class_count) * ranges.size(), 0.0f);
  for (std::size_t c = 0; c < ranges.size(); ++c) {
    if (!ranges[c].found) continue;
    for (int j = 1; j <= class_count; ++j)
      initial.values[std::size_t(j - 1) * ranges.size() + c] =
          core::spaced_centre(ranges[c].lowest, ranges[c].highest, class_count, j);
  }
  return initial;
}

slab_sweep sweep_slab(const image_view& slab, float* labels, const centres& centres,
                      const std::vector<float>& parameters, int iteration, const call_options& options,
                      const sweep_totals* before) {
  const sorvik::segmentation_parameters settings = settings_of(parameters);
  require_centres(centres, settings.class_count, slab.channels);
  core::call_threads threads(options.threads);
  const CImg<float> image = image_from_view(slab, "the slab", threads.count());
  slab_sweep swept;
  swept.totals = before ? *before : zero_totals(settings.class_count, centres.channels);
  const std::size_t pixels = std::size_t(slab.width) * slab.height * slab.depth;
  if (pixels == 0) return swept;
  if (!labels) core::refuse("missingData", "the slab's labels are missing.");
  CImg<float> slab_labels(labels, image.width(), image.height(), image.depth(), 1, true);
  const CImg<float> centre_image(centres.values.data(), unsigned(centres.channels), unsigned(centres.class_count));
  swept.terms.resize(pixels);
  sorvik::label_sweep(image, settings, centre_image, slab_labels, iteration, threads, swept.terms.data());
  continue_totals(swept.totals, image, labels, swept.terms.data());
  return swept;
}

sweep_totals combine_slabs(const std::vector<slab_sweep>& slabs) {
  if (slabs.empty()) return sweep_totals{};
  sweep_totals whole = slabs.front().totals;
  whole.energy = 0;
  std::fill(whole.sums.begin(), whole.sums.end(), 0.0);
  std::fill(whole.counts.begin(), whole.counts.end(), 0);
  for (const slab_sweep& slab : slabs) {
    whole.energy = core::sum_in_raster_order(slab.terms.data(), slab.terms.size(), whole.energy);
    for (std::size_t i = 0; i < whole.sums.size() && i < slab.totals.sums.size(); ++i)
      whole.sums[i] += slab.totals.sums[i];
    for (std::size_t k = 0; k < whole.counts.size() && k < slab.totals.counts.size(); ++k)
      whole.counts[k] += slab.totals.counts[k];
  }
  return whole;
}

iteration_outcome next_centres(const sweep_totals& totals, const centres& current, const std::vector<float>& parameters,
                               int iteration, float previous_energy) {
  const sorvik::segmentation_parameters settings = settings_of(parameters);
  require_centres(current, settings.class_count, std::uint64_t(current.channels));
  const std::size_t channels = std::size_t(current.channels);
  if (totals.sums.size() != current.values.size() || totals.counts.size() != std::size_t(settings.class_count))
    core::refuse("badTotals", "the totals do not hold %d classes of %llu channels.", settings.class_count,
                 static_cast<unsigned long long>(channels));
  iteration_outcome outcome;
  outcome.next = current;
  for (std::size_t k = 0; k < totals.counts.size(); ++k)
    for (std::size_t c = 0; c < channels; ++c)
      outcome.next.values[k * channels + c] =
          static_cast<float>(totals.sums[k * channels + c] / (double(totals.counts[k]) + sorvik::centre_count_guard));
  outcome.energy = totals.energy;
  outcome.converged = iteration > settings.last_plain_iteration &&
                      core::has_converged(totals.energy, previous_energy, settings.tolerance);
  outcome.done = outcome.converged || iteration + 1 >= settings.max_iterations;
  return outcome;
}

float energy_before_first_iteration() { return core::initial_energy; }

int iteration_limit(const std::vector<float>& parameters) {
  const int limit = settings_of(parameters).max_iterations;
  return limit > 0 ? limit : 0;
}

}  // namespace edgeseg
