#include <algorithm>
#include <cstddef>

#include "sweep_inputs.h"
#include "vector_clones.h"

namespace tamvel {

PAIR_VECTOR_CLONES void data_costs(const sweep_inputs& in, const float* primary, const float* secondary,
                            std::size_t channel_stride, std::size_t count, double* table) {
  float primary_distance[256], secondary_distance[256];
  for (int k = 0; k < in.class_count; ++k) {
    for (std::size_t i = 0; i < count; ++i) primary_distance[i] = secondary_distance[i] = 0.0f;
    for (int c = 0; c < in.channels; ++c) {
      const float* primary_value = primary + std::size_t(c) * channel_stride;
      const float* secondary_value = secondary + std::size_t(c) * channel_stride;
      const float primary_centre = in.primary_centres[std::size_t(k) * in.channels + c];
      const float secondary_centre = in.secondary_centres[std::size_t(k) * in.channels + c];
      for (std::size_t i = 0; i < count; ++i) {
        const float primary_difference = primary_value[i] - primary_centre;
        const float secondary_difference = secondary_value[i] - secondary_centre;
        primary_distance[i] += primary_difference * primary_difference;
        secondary_distance[i] += secondary_difference * secondary_difference;
      }
    }
    double* row = table + std::size_t(k) * count;
    for (std::size_t i = 0; i < count; ++i) row[i] = in.alpha * secondary_distance[i] + primary_distance[i];
  }
}

PAIR_VECTOR_CLONES void plain_sweep(const sweep_inputs& in, std::size_t position, std::size_t count, float* labels,
                             float* energy) {
  constexpr std::size_t chunk = 256;
  const double no_edge_term = in.lambda * 0.0;
  float primary_distance[chunk], secondary_distance[chunk];
  double best[chunk], winner[chunk];
  for (std::size_t start = 0; start < count; start += chunk) {
    const std::size_t n = std::min(chunk, count - start);
    for (std::size_t i = 0; i < n; ++i) {
      best[i] = largest_cost;
      winner[i] = -1.0;
    }
    for (int k = 0; k < in.class_count; ++k) {
      for (std::size_t i = 0; i < n; ++i) primary_distance[i] = secondary_distance[i] = 0.0f;
      for (int c = 0; c < in.channels; ++c) {
        const float* primary = in.primary + std::size_t(c) * in.pixel_count + position + start;
        const float* secondary = in.secondary + std::size_t(c) * in.pixel_count + position + start;
        const float primary_centre = in.primary_centres[std::size_t(k) * in.channels + c];
        const float secondary_centre = in.secondary_centres[std::size_t(k) * in.channels + c];
        for (std::size_t i = 0; i < n; ++i) {
          const float primary_difference = primary[i] - primary_centre;
          const float secondary_difference = secondary[i] - secondary_centre;
          primary_distance[i] += primary_difference * primary_difference;
          secondary_distance[i] += secondary_difference * secondary_difference;
        }
      }
      const double label = k;
      for (std::size_t i = 0; i < n; ++i) {
        const double cost = (in.alpha * secondary_distance[i] + primary_distance[i]) + no_edge_term;
        const double rounded = static_cast<float>(cost);
        winner[i] = cost < best[i] ? label : winner[i];
        // Rounding is monotonic: the float of a cost below best is at most
        // best, that of one not below it at least best, and NaN stays out.
        best[i] = rounded < best[i] ? rounded : best[i];
      }
    }
    float* label = labels + position + start;
    for (std::size_t i = 0; i < n; ++i) {
      const float won = static_cast<float>(winner[i]);
      label[i] = winner[i] >= 0 ? won : label[i];
    }
    if (energy)
      for (std::size_t i = 0; i < n; ++i) *energy += winner[i] >= 0 ? static_cast<float>(best[i]) : cost_ceiling;
  }
}

}  // namespace tamvel
