#include "tamvel_reference.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "tamvel/edge_indicator.h"
#include "tamvel/narrow_band.h"
#include "core/convergence.h"
#include "core/window.h"

namespace tamvel_reference {
namespace {

using core::cost_ceiling;
using core::largest_cost;
using tamvel::centre_pair;
using tamvel::pair_centre_count_guard;
using tamvel::pair_segmentation_parameters;

// Squared distance of a pixel's first `channels` values to the centre of class
// k, accumulated in float in ascending channel order: the labels depend on
// every rounding step.
float squared_distance(const CImg<float>& image, unsigned x, unsigned y, unsigned z, const CImg<float>& centres, int k,
                       int channels) {
  float distance = 0;
  for (int c = 0; c < channels; ++c) {
    const float difference = image(x, y, z, c) - centres(c, k);
    distance += difference * difference;
  }
  return distance;
}

// The edge indicator summed over the window positions around (x, y) in slice
// z whose label is not k. The price of a disagreeing neighbour is the
// indicator at the neighbour, so a boundary along an edge costs little.
double edge_penalty(const CImg<float>& labels, const CImg<float>& edge_indicator, unsigned x, unsigned y, unsigned z,
                    int k, const core::disc_window& window) {
  const float label = static_cast<float>(k);
  double penalty = 0;
  for (int dy = window.lo; dy < window.hi; ++dy)
    for (int dx = window.lo; dx < window.hi; ++dx) {
      if (!window.contains(dx, dy)) continue;
      const auto xn = static_cast<unsigned>(core::mirror_index(std::int64_t(x) + dx, labels.width()));
      const auto yn = static_cast<unsigned>(core::mirror_index(std::int64_t(y) + dy, labels.height()));
      if (labels(xn, yn, z) != label) penalty += edge_indicator(xn, yn, z);
    }
  return penalty;
}

bool pixel_is_finite(const CImg<float>& image, unsigned x, unsigned y, unsigned z, int channels) {
  for (int c = 0; c < channels; ++c)
    if (!std::isfinite(image(x, y, z, c))) return false;
  return true;
}

}  // namespace

float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const CImg<float>& band, CImg<float>& labels, const centre_pair& centres,
                  const pair_segmentation_parameters& parameters, int iteration) {
  const bool penalised = iteration > parameters.last_plain_iteration && !parameters.window.empty();
  const int channels = primary.spectrum();
  const double alpha = parameters.secondary_weight;
  const double lambda = parameters.edge_weight;
  float energy = 0;
  for (unsigned z = 0; z < unsigned(labels.depth()); ++z)
    for (unsigned y = 0; y < unsigned(labels.height()); ++y)
      for (unsigned x = 0; x < unsigned(labels.width()); ++x) {
        if (!tamvel::in_band(band, x, y, z)) continue;
        // Any class whose cost is a number below the largest float can win; a
        // pixel that no class wins (NaN, infinite or larger costs) keeps its label.
        float best = core::largest_cost;
        bool won = false;
        for (int k = 0; k < parameters.class_count; ++k) {
          const float primary_distance = squared_distance(primary, x, y, z, centres.primary, k, channels);
          const float secondary_distance = squared_distance(secondary, x, y, z, centres.secondary, k, channels);
          const double penalty = penalised ? edge_penalty(labels, edge_indicator, x, y, z, k, parameters.window) : 0.0;
          const double cost = (alpha * secondary_distance + primary_distance) + lambda * penalty;
          if (cost < double(best)) {
            best = static_cast<float>(cost);
            labels(x, y, z) = static_cast<float>(k);  // seen at once by the next class and pixel
            won = true;
          }
        }
        energy += won ? best : cost_ceiling;
      }
  return energy;
}

void update_centres(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& labels,
                    centre_pair& centres) {
  const int channels = primary.spectrum();
  const int class_count = centres.primary.height();
  const std::size_t sum_count = std::size_t(class_count) * channels;
  // Double sums and whole counts: float ones stop counting at 2^24 and drift.
  std::vector<double> primary_sums(sum_count, 0.0), secondary_sums(sum_count, 0.0);
  std::vector<std::uint64_t> counts(class_count, 0);
  for (unsigned z = 0; z < unsigned(labels.depth()); ++z)
    for (unsigned y = 0; y < unsigned(labels.height()); ++y)
      for (unsigned x = 0; x < unsigned(labels.width()); ++x) {
        if (!pixel_is_finite(primary, x, y, z, channels) || !pixel_is_finite(secondary, x, y, z, channels)) continue;
        const int k = static_cast<int>(labels(x, y, z));
        ++counts[k];
        for (int c = 0; c < channels; ++c) {
          primary_sums[std::size_t(k) * channels + c] += primary(x, y, z, c);
          secondary_sums[std::size_t(k) * channels + c] += secondary(x, y, z, c);
        }
      }
  for (int k = 0; k < class_count; ++k) {
    const double divisor = double(counts[k]) + pair_centre_count_guard;
    for (int c = 0; c < channels; ++c) {
      centres.primary(c, k) = static_cast<float>(primary_sums[std::size_t(k) * channels + c] / divisor);
      centres.secondary(c, k) = static_cast<float>(secondary_sums[std::size_t(k) * channels + c] / divisor);
    }
  }
}

CImg<float> run_clustering(const CImg<float>& primary, const CImg<float>& secondary,
                           const pair_segmentation_parameters& parameters, const CImg<float>& edge_indicator) {
  const unsigned width = primary.width(), height = primary.height(), depth = primary.depth();
  CImg<float> labels(width, height, depth, 1, 0.0f);
  core::call_threads one_thread;
  centre_pair centres = tamvel::init_centres(primary, secondary, parameters.class_count, one_thread);
  float energy = core::initial_energy;
  CImg<float> band = tamvel::initial_band(width, height, depth);
  const int last_plain = parameters.last_plain_iteration;
  for (int iteration = 0; iteration < parameters.max_iterations; ++iteration) {
    const float previous_energy = energy;
    energy =
        tamvel_reference::label_sweep(primary, secondary, edge_indicator, band, labels, centres, parameters, iteration);
    // From here on only pixels near a class boundary are relabelled.
    if (iteration == last_plain) band = tamvel::rebuild_band(labels, parameters.band_sigma, one_thread);
    tamvel_reference::update_centres(primary, secondary, labels, centres);
    if (iteration > last_plain && core::has_converged(energy, previous_energy, parameters.tolerance)) break;
  }
  return labels;
}

CImg<float> segment_image_pair_reference(const CImg<float>& primary, const CImg<float>& secondary,
                                         const CImg<float>& parameter_image) {
  const tamvel::pair_segmentation_parameters parameters = tamvel::read_parameters(parameter_image);
  core::call_threads one_thread;
  const CImg<float> edge_indicator = tamvel::compute_edge_indicator(primary, one_thread);
  return tamvel_reference::run_clustering(primary, secondary, parameters, edge_indicator);
}

}  // namespace tamvel_reference
