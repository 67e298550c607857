// The plain Tamvel iteration, pixel by pixel and class by class, written to be
// read rather than to be fast. The fast kernels in tamvel/ must give
// the same labels as these on every input; the property tests and the
// benchmark compare against them.
#pragma once

#include "core/image.h"
#include "tamvel/clustering.h"
#include "tamvel/parameters.h"

namespace tamvel_reference {

// One raster sweep over the pixels in the band; relabels in place and returns
// the energy of the visited pixels.
float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const CImg<float>& band, CImg<float>& labels, const tamvel::centre_pair& centres,
                  const tamvel::pair_segmentation_parameters& parameters, int iteration);

// Both centre lists become the means of the finite pixels of each class.
void update_centres(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& labels,
                    tamvel::centre_pair& centres);

// The whole iteration; returns the label image W x H x D x 1.
CImg<float> run_clustering(const CImg<float>& primary, const CImg<float>& secondary,
                           const tamvel::pair_segmentation_parameters& parameters, const CImg<float>& edge_indicator);

// The whole command on converted inputs, as tamvel/segment_image_pair.cpp
// for the inputs that it accepts.
CImg<float> segment_image_pair_reference(const CImg<float>& primary, const CImg<float>& secondary,
                                         const CImg<float>& parameter_image);

}  // namespace tamvel_reference
