#include "edgeseg/sorvik_steps.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "calls.h"
#include "conversion.h"
#include "core/call_threads.h"
#include "core/centre_sums.h"
#include "core/convergence.h"
#include "core/costs.h"
#include "core/exact_sum.h"
#include "core/initial_centres.h"
#include "core/refusal.h"
#include "sorvik/clustering.h"
#include "sorvik/iteration.h"
#include "sorvik/parameters.h"

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
// whose label names it and whose channels are all finite, as the core's
// centre sums take them, continued from the totals' own.
void continue_image_totals(sweep_totals& totals, const CImg<float>& image, const float* labels, const float* terms,
                           bool any_order = false) {
  const std::size_t pixels = std::size_t(image.width()) * image.height() * image.depth();
  const int class_count = int(totals.counts.size());
  if (terms) totals.energy = core::sum_in_raster_order(terms, pixels, totals.energy);
  core::running_class_sums running =
      core::start_class_sums(class_count, image.spectrum(), any_order, totals.sums, totals.counts);
  core::add_class_sums(running, labels, core::channel_starts(image), 0, pixels);
  core::finish_class_sums(running, totals.sums, totals.counts);
}

// The slab's part of the volume's mask (call_options::mask), one byte a
// pixel; none without a mask or where every pixel is inside. A slab may lie
// wholly outside.
CImg<unsigned char> slab_mask(const call_options& options, const CImg<float>& image, core::call_threads& threads) {
  if (!options.mask) return CImg<unsigned char>();
  return mask_from_view(*options.mask, image, threads, true);
}

}  // namespace

std::vector<channel_range> finite_ranges(const image_view& part, const call_options& options) {
  core::call_threads threads(options.threads);
  const CImg<float> image = image_to_read(part, "the slab", threads);
  const std::size_t channel_size = std::size_t(image.width()) * image.height() * image.depth();
  std::vector<channel_range> ranges(std::size_t(image.spectrum()));
  if (channel_size == 0) return ranges;
  const CImg<unsigned char> inside = slab_mask(options, image, threads);
  for (int c = 0; c < image.spectrum(); ++c) {
    channel_range& range = ranges[std::size_t(c)];
    range.found = core::finite_range(image.data(0, 0, 0, c), channel_size, range.lowest, range.highest, threads,
                                     core::mask_of(inside).inside);
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
  const CImg<float> image = image_to_read(slab, "the slab", threads);
  slab_sweep swept;
  swept.totals = before ? *before : zero_totals(settings.class_count, centres.channels);
  const std::size_t pixels = std::size_t(slab.width) * slab.height * slab.depth;
  if (pixels == 0) return swept;
  if (!labels) core::refuse("missingData", "the slab's labels are missing.");
  CImg<float> slab_labels(labels, image.width(), image.height(), image.depth(), 1, true);
  const CImg<float> centre_image(centres.values.data(), unsigned(centres.channels), unsigned(centres.class_count));
  swept.terms.resize(pixels);
  const CImg<unsigned char> inside = slab_mask(options, image, threads);
  core::mark_outside(core::mask_of(inside), slab_labels, threads);
  sorvik::label_sweep(image, settings, centre_image, slab_labels, iteration, threads, swept.terms.data(),
                      core::mask_of(inside));
  continue_image_totals(swept.totals, image, labels, swept.terms.data());
  return swept;
}

void sweep_slab_into(const image_view& slab, float* labels, float* terms, const centres& centres,
                     const std::vector<float>& parameters, int iteration, const call_options& options) {
  const sorvik::segmentation_parameters settings = settings_of(parameters);
  require_centres(centres, settings.class_count, slab.channels);
  core::call_threads threads(options.threads);
  const CImg<float> image = image_to_read(slab, "the slab", threads);
  if (image.is_empty()) return;
  if (!labels) core::refuse("missingData", "the slab's labels are missing.");
  CImg<float> slab_labels(labels, image.width(), image.height(), image.depth(), 1, true);
  const CImg<float> centre_image(centres.values.data(), unsigned(centres.channels), unsigned(centres.class_count));
  const CImg<unsigned char> inside = slab_mask(options, image, threads);
  core::mark_outside(core::mask_of(inside), slab_labels, threads);
  if (terms)
    sorvik::label_sweep(image, settings, centre_image, slab_labels, iteration, threads, terms, core::mask_of(inside));
  else
    sorvik::label_sweep(image, settings, centre_image, slab_labels, iteration, threads, core::mask_of(inside));
}

float sweep_slab_continuing(const image_view& slab, float* labels, float energy, const centres& centres,
                            const std::vector<float>& parameters, int iteration, const call_options& options) {
  const sorvik::segmentation_parameters settings = settings_of(parameters);
  require_centres(centres, settings.class_count, slab.channels);
  core::call_threads threads(options.threads);
  const CImg<float> image = image_to_read(slab, "the slab", threads);
  if (image.is_empty()) return energy;
  if (!labels) core::refuse("missingData", "the slab's labels are missing.");
  CImg<float> slab_labels(labels, image.width(), image.height(), image.depth(), 1, true);
  const CImg<float> centre_image(centres.values.data(), unsigned(centres.channels), unsigned(centres.class_count));
  const CImg<unsigned char> inside = slab_mask(options, image, threads);
  core::mark_outside(core::mask_of(inside), slab_labels, threads);
  return sorvik::label_sweep(image, settings, centre_image, slab_labels, iteration, threads, core::mask_of(inside),
                             energy);
}

void continue_totals(sweep_totals& totals, const image_view& slab, const float* labels, const float* terms,
                     bool any_order) {
  core::call_threads one_thread;
  const CImg<float> image = image_to_read(slab, "the slab", one_thread);
  if (image.is_empty()) return;
  if (!labels) core::refuse("missingData", "the slab's labels are missing.");
  continue_image_totals(totals, image, labels, terms, any_order);
}

float continue_energy(const float* terms, std::size_t count, float energy) {
  return core::sum_in_raster_order(terms, count, energy);
}

sum_survey survey_sums(const image_view& part, const call_options& options) {
  core::call_threads threads(options.threads);
  const CImg<float> image = image_to_read(part, "the slab", threads);
  const std::size_t pixels = std::size_t(image.width()) * image.height() * image.depth();
  const core::sum_survey found = core::survey_sums(core::channel_starts(image), pixels, nullptr, threads);
  return sum_survey{found.count, found.largest, found.finest_exponent};
}

bool sums_exact_in_any_order(const std::vector<sum_survey>& parts) {
  std::vector<core::sum_survey> surveys;
  for (const sum_survey& part : parts) surveys.push_back({part.count, part.largest, part.finest_exponent});
  return core::sums_exact_in_any_order(core::merge_surveys(surveys));
}

exact_slab_sums exact_sums_of_slab(const image_view& slab, const float* labels, const float* terms, int class_count,
                                   bool class_sums) {
  core::call_threads one_thread;
  const CImg<float> image = image_to_read(slab, "the slab", one_thread);
  const std::size_t pixels = std::size_t(image.width()) * image.height() * image.depth();
  exact_slab_sums found;
  if (terms) {
    core::exact_sum energy;
    core::add(energy, terms, pixels);
    found.energy = core::to_words(energy);
  }
  if (!class_sums) return found;
  if (pixels && !labels) core::refuse("missingData", "the slab's labels are missing.");
  std::vector<core::exact_sum> sums;
  core::exact_class_sums(labels, pixels, core::channel_starts(image), class_count, sums, found.counts, one_thread);
  for (const core::exact_sum& sum : sums) found.sums.push_back(core::to_words(sum));
  return found;
}

sweep_totals round_exact_sums(const std::vector<exact_slab_sums>& slabs, int class_count, int channels) {
  const std::size_t sum_count = std::size_t(class_count) * std::size_t(channels);
  core::exact_sum energy;
  std::vector<core::exact_sum> sums(sum_count);
  sweep_totals totals;
  totals.counts.assign(std::size_t(class_count), 0);
  const auto read = [](const std::vector<std::int64_t>& words) {
    const std::optional<core::exact_sum> sum = core::exact_sum_from_words(words);
    if (!sum) core::refuse("badTotals", "a slab's exact sum is not one that exact_sums_of_slab gave.");
    return *sum;
  };
  for (const exact_slab_sums& slab : slabs) {
    if (!slab.energy.empty()) core::merge(energy, read(slab.energy));
    if (slab.sums.empty()) continue;
    if (slab.sums.size() != sum_count || slab.counts.size() != totals.counts.size())
      core::refuse("badTotals", "a slab's exact sums do not hold %d classes of %d channels.", class_count, channels);
    for (std::size_t i = 0; i < sum_count; ++i) core::merge(sums[i], read(slab.sums[i]));
    for (std::size_t k = 0; k < totals.counts.size(); ++k) totals.counts[k] += slab.counts[k];
  }
  totals.energy = core::to_float(energy);
  for (const core::exact_sum& sum : sums) totals.sums.push_back(core::to_double(sum));
  return totals;
}

bool energy_needed(const std::vector<float>& parameters, int iteration) {
  const sorvik::segmentation_parameters settings = settings_of(parameters);
  return core::energy_wanted(iteration, settings.last_plain_iteration, settings.tolerance);
}

sweep_totals add_totals(const std::vector<sweep_totals>& slabs) {
  if (slabs.empty()) return sweep_totals{};
  sweep_totals whole = slabs.front();
  whole.energy = slabs.back().energy;
  std::fill(whole.sums.begin(), whole.sums.end(), 0.0);
  std::fill(whole.counts.begin(), whole.counts.end(), 0);
  whole.changed = 0;
  for (const sweep_totals& slab : slabs) {
    for (std::size_t i = 0; i < whole.sums.size() && i < slab.sums.size(); ++i) whole.sums[i] += slab.sums[i];
    for (std::size_t k = 0; k < whole.counts.size() && k < slab.counts.size(); ++k) whole.counts[k] += slab.counts[k];
    whole.changed += slab.changed;
  }
  return whole;
}

sweep_totals combine_slabs(const std::vector<slab_sweep>& slabs) {
  std::vector<sweep_totals> totals;
  for (const slab_sweep& slab : slabs) totals.push_back(slab.totals);
  sweep_totals whole = add_totals(totals);
  whole.energy = 0;
  for (const slab_sweep& slab : slabs)
    whole.energy = core::sum_in_raster_order(slab.terms.data(), slab.terms.size(), whole.energy);
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
  sorvik::run_state state{iteration, previous_energy};
  outcome.report = sorvik::finish_iteration(settings, {totals.energy, totals.sums, totals.counts, totals.changed},
                                            outcome.next.values.data(), channels, state);
  outcome.energy = totals.energy;
  outcome.converged = state.converged;
  outcome.done = state.done;
  return outcome;
}

bool edge_phase(const std::vector<float>& parameters, int iteration) {
  return sorvik::is_edge_phase(settings_of(parameters), iteration);
}

float energy_before_first_iteration() { return core::initial_energy; }

int iteration_limit(const std::vector<float>& parameters) {
  const int limit = settings_of(parameters).max_iterations;
  return limit > 0 ? limit : 0;
}

}  // namespace edgeseg
