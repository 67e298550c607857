#include "sorvik_reference.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "sorvik/clustering.h"  // the named constants, shared with the fast kernels
#include "core/convergence.h"
#include "core/exact_sum.h"

namespace sorvik_reference {
namespace {

using core::cost_ceiling;
using core::initial_energy;
using sorvik::centre_count_guard;

bool pixel_is_finite(const CImg<float>& image, unsigned x, unsigned y, unsigned z) {
  for (int c = 0; c < image.spectrum(); ++c)
    if (!std::isfinite(image(x, y, z, c))) return false;
  return true;
}

bool outside(const mask_image* mask, unsigned x, unsigned y, unsigned z) { return mask && !(*mask)(x, y, z); }

}  // namespace

int edge_count(const CImg<float>& labels, unsigned x, unsigned y, unsigned z, int k, const core::disc_window& window,
               const mask_image* mask) {
  const float label = static_cast<float>(k);
  int count = 0;
  for (int dy = window.lo; dy < window.hi; ++dy)
    for (int dx = window.lo; dx < window.hi; ++dx) {
      if (!window.contains(dx, dy)) continue;
      const auto xn = static_cast<unsigned>(core::mirror_index(std::int64_t(x) + dx, labels.width()));
      const auto yn = static_cast<unsigned>(core::mirror_index(std::int64_t(y) + dy, labels.height()));
      if (!outside(mask, xn, yn, z) && labels(xn, yn, z) != label) ++count;
    }
  return count;
}

float label_sweep(const CImg<float>& image, const sorvik::segmentation_parameters& parameters,
                  const CImg<float>& centres, CImg<float>& labels, int iteration, bool exact_sums,
                  const mask_image* mask) {
  const bool edge_phase = iteration > parameters.last_plain_iteration && !parameters.window.empty();
  const int channels = image.spectrum();
  float energy = 0;
  core::exact_sum exact_energy;
  for (unsigned z = 0; z < unsigned(labels.depth()); ++z)
    for (unsigned y = 0; y < unsigned(labels.height()); ++y)
      for (unsigned x = 0; x < unsigned(labels.width()); ++x) {
        if (outside(mask, x, y, z)) continue;
        // Any class whose cost is a number below the largest float can win; a
        // pixel that no class wins (NaN, infinite or larger costs) keeps its label.
        float best = core::largest_cost;
        bool won = false;
        for (int k = 0; k < parameters.class_count; ++k) {
          double distance = 0;
          for (int c = 0; c < channels; ++c) {
            const double difference = double(image(x, y, z, c)) - double(centres(c, k));
            distance += difference * difference;
          }
          const int differing =
              edge_phase ? sorvik_reference::edge_count(labels, x, y, z, k, parameters.window, mask) : 0;
          const double cost = distance + double(parameters.edge_weight) * differing;
          if (cost < best) {
            best = static_cast<float>(cost);
            labels(x, y, z) = static_cast<float>(k);  // seen at once by the next class and pixel
            won = true;
          }
        }
        if (exact_sums)
          core::add(exact_energy, won ? best : cost_ceiling);
        else
          energy += won ? best : cost_ceiling;
      }
  return exact_sums ? core::to_float(exact_energy) : energy;
}

void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres,
                    bool exact_sums, const mask_image* mask) {
  const int channels = image.spectrum();
  // Double sums and whole counts: float ones stop counting at 2^24 and drift.
  std::vector<double> sums(std::size_t(class_count) * channels, 0.0);
  std::vector<core::exact_sum> exact(sums.size());
  std::vector<std::uint64_t> counts(class_count, 0);
  for (unsigned z = 0; z < unsigned(labels.depth()); ++z)
    for (unsigned y = 0; y < unsigned(labels.height()); ++y)
      for (unsigned x = 0; x < unsigned(labels.width()); ++x) {
        if (!pixel_is_finite(image, x, y, z) || outside(mask, x, y, z)) continue;
        const int k = static_cast<int>(labels(x, y, z));
        ++counts[k];
        for (int c = 0; c < channels; ++c) {
          if (exact_sums)
            core::add(exact[std::size_t(k) * channels + c], image(x, y, z, c));
          else
            sums[std::size_t(k) * channels + c] += image(x, y, z, c);
        }
      }
  if (exact_sums)
    for (std::size_t i = 0; i < sums.size(); ++i) sums[i] = core::to_double(exact[i]);
  for (int k = 0; k < class_count; ++k)
    for (int c = 0; c < channels; ++c)
      centres(c, k) =
          static_cast<float>(sums[std::size_t(k) * channels + c] / (double(counts[k]) + centre_count_guard));
}

void run_clustering(const CImg<float>& image, const sorvik::segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels, bool exact_sums, const mask_image* mask) {
  float energy = initial_energy;
  for (int iteration = 0; iteration < parameters.max_iterations; ++iteration) {
    const float previous_energy = energy;
    energy = sorvik_reference::label_sweep(image, parameters, centres, labels, iteration, exact_sums, mask);
    sorvik_reference::update_centres(image, labels, parameters.class_count, centres, exact_sums, mask);
    if (iteration > parameters.last_plain_iteration &&
        core::has_converged(energy, previous_energy, parameters.tolerance))
      break;
  }
}

CImg<float> segment_image_reference(const CImg<float>& image, const CImg<float>& parameter_image, bool exact_sums,
                                    const mask_image* mask) {
  const sorvik::segmentation_parameters parameters = sorvik::read_parameters(parameter_image);
  CImg<float> labels(image.width(), image.height(), image.depth(), 1, 0.0f);
  cimg_forXYZ(labels, x, y, z) if (outside(mask, x, y, z)) labels(x, y, z) = -1.0f;
  core::call_threads one_thread;
  CImg<float> centres =
      sorvik::init_centres(image, parameters.class_count, one_thread, core::pixel_mask{mask ? mask->data() : nullptr});
  sorvik_reference::run_clustering(image, parameters, centres, labels, exact_sums, mask);
  return labels;
}

}  // namespace sorvik_reference
