// What the sweeps of the Tamvel kernels read: the images, the edge indicator,
// the centres and the weights, as plain arrays.
#pragma once

#include <cstddef>

#include "clustering.h"

namespace tamvel {

struct sweep_inputs {
  const float* primary;
  const float* secondary;
  const float* edge_indicator;
  std::size_t pixel_count;  // per channel
  int channels;
  int class_count;
  double alpha;
  double lambda;
  const float* primary_centres;    // S values per class
  const float* secondary_centres;  // S values per class
};

inline sweep_inputs inputs_of(const CImg<float>& primary, const CImg<float>& secondary,
                              const CImg<float>& edge_indicator, const centre_pair& centres,
                              const pair_segmentation_parameters& parameters) {
  return sweep_inputs{primary.data(),
                      secondary.data(),
                      edge_indicator.data(),
                      std::size_t(primary.width()) * primary.height() * primary.depth(),
                      primary.spectrum(),
                      parameters.class_count,
                      parameters.secondary_weight,
                      parameters.edge_weight,
                      centres.primary.data(),
                      centres.secondary.data()};
}

}  // namespace tamvel
