#include "clustering.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "centre_sums.h"
#include "convergence.h"
#include "data_terms.h"
#include "edge_sweep.h"
#include "initial_centres.h"
#include "phases.h"

// These kernels give, bit for bit, the labels, centres and energies of the
// plain iteration kept in tests/reference/: every pixel and class goes through
// the same operations in the same order. They only arrange the work so that
// independent pixels run side by side (data_terms, centre_sums) and the edge
// term needs no pass over the disc per class (edge_sweep).

namespace sorvik {
namespace {

// Working memory of the sweeps, allocated once per run (or per call of
// label_sweep), so that a sweep itself allocates nothing.
struct sweep_buffers {
  // Plain sweep: a block's values, the centres in double, room for one row of
  // data terms and best costs, and the block's labels and energy terms.
  std::vector<double> value, centre_values, distance, best;
  std::vector<float> label, added;
  std::optional<edge_buffers> edge;  // when an edge-phase sweep is to come
};

bool is_edge_phase(const segmentation_parameters& parameters, std::int64_t iteration) {
  return is_edge_phase(parameters.last_plain_iteration, parameters.window, iteration);
}

sweep_buffers make_sweep_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                                 const CImg<float>& labels, bool edge_phase_ahead) {
  sweep_buffers buffers;
  buffers.value.resize(std::size_t(std::max(image.spectrum(), 1)) * block_pixels);
  buffers.centre_values.resize(std::size_t(image.spectrum()) * parameters.class_count);
  buffers.distance.resize(block_pixels);
  buffers.best.resize(block_pixels);
  buffers.label.resize(block_pixels);
  buffers.added.resize(block_pixels);
  if (edge_phase_ahead) buffers.edge = make_edge_buffers(image, parameters, labels);
  return buffers;
}

// The plain phase: costs do not depend on labels, so a block of pixels is
// decided side by side.
float plain_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, sweep_buffers& buffers) {
  const std::size_t pixels = labels.size();
  float energy = 0;
  // The cost adds the edge weight times 0 differing neighbours: nothing, or
  // NaN for an infinite weight, and then no class wins any pixel.
  if (!(double(parameters.edge_weight) * 0 == 0)) {
    for (std::size_t i = 0; i < pixels; ++i) energy += cost_ceiling;
    return energy;
  }
  // Labels and energy terms pass through the block buffers, which have room
  // for the pixels past a block's end that the choice computes anyway.
  float* label = buffers.label.data();
  float* added = buffers.added.data();
  std::copy(centres.data(), centres.data() + centres.size(), buffers.centre_values.data());
  for (std::size_t first = 0; first < pixels; first += block_pixels) {
    const std::size_t count = std::min(block_pixels, pixels - first);
    block_values(image, first, pixels, count, buffers.value.data());
    std::copy(labels.data() + first, labels.data() + first + count, label);
    plain_choice(buffers.value.data(), image.spectrum(), centres.data(), buffers.centre_values.data(),
                 parameters.class_count, count, buffers.distance.data(), buffers.best.data(), label, added);
    std::copy(label, label + count, labels.data() + first);
    // The energy is a float sum in raster order: no pixel may be added out of turn.
    for (std::size_t i = 0; i < count; ++i) energy += added[i];
  }
  return energy;
}

float sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
            CImg<float>& labels, int iteration, sweep_buffers& buffers) {
  if (!is_edge_phase(parameters, iteration)) return plain_sweep(image, parameters, centres, labels, buffers);
  return edge_sweep(image, parameters, centres, labels, *buffers.edge);
}

}  // namespace

CImg<float> init_centres(const CImg<float>& image, int class_count) {
  // A 0 x 5 image still has one channel but no value range: the image
  // library reports it as an empty instance.
  if (image.is_empty() && image.spectrum() > 0) {
    float lowest = 0;
    image.max_min(lowest);
  }
  CImg<float> centres(image.spectrum(), class_count, 1, 1, 0.0f);
  spread_centres(image, image.spectrum(), class_count, centres);
  return centres;
}

float label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, int iteration) {
  sweep_buffers buffers = make_sweep_buffers(image, parameters, labels, is_edge_phase(parameters, iteration));
  return sweep(image, parameters, centres, labels, iteration, buffers);
}

void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres) {
  const int channels = image.spectrum();
  std::vector<const float*> channel(channels);
  for (int c = 0; c < channels; ++c) channel[c] = image.data() + std::size_t(c) * labels.size();
  std::vector<double> sums;
  std::vector<std::uint64_t> counts;
  sum_by_class(labels.data(), labels.size(), channel, class_count, sums, counts);
  for (int k = 0; k < class_count; ++k)
    for (int c = 0; c < channels; ++c)
      centres(c, k) =
          static_cast<float>(sums[std::size_t(k) * channels + c] / (double(counts[k]) + empty_class_guard));
}

void run_clustering(const CImg<float>& image, const segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels) {
  const bool edge_phase_ahead =
      parameters.max_iterations > 0 && is_edge_phase(parameters, std::int64_t(parameters.max_iterations) - 1);
  sweep_buffers buffers = make_sweep_buffers(image, parameters, labels, edge_phase_ahead);
  float energy = initial_energy;
  for (int iteration = 0; iteration < parameters.max_iterations; ++iteration) {
    const float previous_energy = energy;
    energy = sweep(image, parameters, centres, labels, iteration, buffers);
    update_centres(image, labels, parameters.class_count, centres);
    if (iteration > parameters.last_plain_iteration && has_converged(energy, previous_energy, parameters.tolerance))
      break;
  }
}

}  // namespace sorvik
