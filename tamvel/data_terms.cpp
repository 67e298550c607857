#include <algorithm>
#include <cstddef>

#include "core/sweep.h"
#include "core/vectors.h"
#include "data_terms.h"

namespace tamvel {
namespace {

// The squared distances of `count` pixels to class k's centres in I and in J,
// each a float sum in ascending channel order. Channel c of pixel i is
// primary[c * channel_stride + i], likewise secondary. The sums start from
// the first channel's squares, which is what 0 plus a square (never -0)
// gives, without clearing the rows first. Inlined, so that it takes the
// vector width of the build that calls it.
VECTOR_INLINE void class_distances(const sweep_inputs& in, const float* primary, const float* secondary,
                                   std::size_t channel_stride, int k, std::size_t count, float* primary_distance,
                                   float* secondary_distance) {
  if (in.channels <= 0) {
    for (std::size_t i = 0; i < count; ++i) primary_distance[i] = secondary_distance[i] = 0.0f;
    return;
  }
  for (int c = 0; c < in.channels; ++c) {
    const float* primary_value = primary + std::size_t(c) * channel_stride;
    const float* secondary_value = secondary + std::size_t(c) * channel_stride;
    const float primary_centre = in.primary_centres[std::size_t(k) * in.channels + c];
    const float secondary_centre = in.secondary_centres[std::size_t(k) * in.channels + c];
    const bool first = c == 0;
    for (std::size_t i = 0; i < count; ++i) {
      const float primary_difference = primary_value[i] - primary_centre;
      const float secondary_difference = secondary_value[i] - secondary_centre;
      const float primary_square = primary_difference * primary_difference;
      const float secondary_square = secondary_difference * secondary_difference;
      primary_distance[i] = first ? primary_square : primary_distance[i] + primary_square;
      secondary_distance[i] = first ? secondary_square : secondary_distance[i] + secondary_square;
    }
  }
}

struct data_cost_rows {
  static VECTOR_INLINE void run(const sweep_inputs& in, const float* primary, const float* secondary,
                                std::size_t channel_stride, std::size_t count, double* table) {
    float primary_distance[core::block_pixels], secondary_distance[core::block_pixels];
    for (int k = 0; k < in.class_count; ++k) {
      class_distances(in, primary, secondary, channel_stride, k, count, primary_distance, secondary_distance);
      double* row = table + std::size_t(k) * count;
      for (std::size_t i = 0; i < count; ++i) row[i] = in.alpha * secondary_distance[i] + primary_distance[i];
    }
  }
};

struct plain_span_rows {
  static VECTOR_INLINE void run(const sweep_inputs& in, std::size_t position, std::size_t count, float* labels,
                                const core::energy_sink& energy, std::size_t first_term) {
    float primary_distance[core::block_pixels], secondary_distance[core::block_pixels];
    double best[core::block_pixels], winner[core::block_pixels];
    float added[core::block_pixels];
    for (std::size_t start = 0; start < count; start += core::block_pixels) {
      const std::size_t n = std::min(core::block_pixels, count - start);
      for (std::size_t i = 0; i < n; ++i) {
        best[i] = core::largest_cost;
        winner[i] = -1.0;
      }
      for (int k = 0; k < in.class_count; ++k) {
        class_distances(in, in.primary + position + start, in.secondary + position + start, in.pixel_count, k, n,
                        primary_distance, secondary_distance);
        const double label = k;
        for (std::size_t i = 0; i < n; ++i) {
          const double cost = in.alpha * secondary_distance[i] + primary_distance[i];
          core::keep_lower_cost(cost, double(static_cast<float>(cost)), label, best[i], winner[i]);
        }
      }
      float* label = labels + position + start;
      for (std::size_t i = 0; i < n; ++i) {
        const float won = static_cast<float>(winner[i]);
        label[i] = winner[i] >= 0 ? won : label[i];
        added[i] = winner[i] >= 0 ? static_cast<float>(best[i]) : core::cost_ceiling;
      }
      energy.add(first_term + start, added, n);
    }
  }
};

}  // namespace

void data_costs(const sweep_inputs& in, const float* primary, const float* secondary, std::size_t channel_stride,
                std::size_t count, double* table) {
  core::on_widest_vectors<data_cost_rows>(in, primary, secondary, channel_stride, count, table);
}

void plain_span(const sweep_inputs& in, std::size_t position, std::size_t count, float* labels,
                const core::energy_sink& energy, std::size_t first_term) {
  core::on_widest_vectors<plain_span_rows>(in, position, count, labels, energy, first_term);
}

}  // namespace tamvel
