// The plain Sorvik iteration, pixel by pixel and class by class, written to be
// read rather than to be fast. The fast kernels in segmentation/ must give the
// same labels as these on every input; the property tests and the benchmark
// compare against them.
#pragma once

#include "core/image.h"
#include "segmentation/parameters.h"

namespace sorvik_reference {

// Number of disc offsets around (x, y) in slice z whose label is not k.
int edge_count(const CImg<float>& labels, unsigned x, unsigned y, unsigned z, int k, const core::disc_window& window);

// One raster sweep, relabelling in place; returns its energy.
float label_sweep(const CImg<float>& image, const sorvik::segmentation_parameters& parameters,
                  const CImg<float>& centres, CImg<float>& labels, int iteration);

// Every centre becomes the mean of the finite pixels carrying its label.
void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres);

// Sweeps and updates until the convergence test holds or the limit is reached.
void run_clustering(const CImg<float>& image, const sorvik::segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels);

// The whole command on converted inputs, as segmentation/segment_image.cpp.
CImg<float> segment_image_reference(const CImg<float>& image, const CImg<float>& parameter_image);

}  // namespace sorvik_reference
