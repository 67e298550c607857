// The plain Sorvik iteration, pixel by pixel and class by class, written to be
// read rather than to be fast. The fast kernels in sorvik/ must give the
// same labels as these on every input; the property tests and the benchmark
// compare against them.
#pragma once

#include "core/image.h"
#include "sorvik/parameters.h"

namespace sorvik_reference {

// A mask, where given, holds one byte a pixel, non-zero inside: a pixel
// outside is not swept, is counted nowhere and is no neighbour.
using mask_image = CImg<unsigned char>;

// Number of disc offsets around (x, y) in slice z, inside the mask, whose
// label is not k.
int edge_count(const CImg<float>& labels, unsigned x, unsigned y, unsigned z, int k, const core::disc_window& window,
               const mask_image* mask = nullptr);

// With `exact_sums` every sum below is exact and rounded once, the energy to
// float and the centre sums to double; without, each is a running sum in
// raster order.

// One raster sweep, relabelling in place; returns its energy.
float label_sweep(const CImg<float>& image, const sorvik::segmentation_parameters& parameters,
                  const CImg<float>& centres, CImg<float>& labels, int iteration, bool exact_sums = false,
                  const mask_image* mask = nullptr);

// Every centre becomes the mean of the finite pixels carrying its label.
void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres,
                    bool exact_sums = false, const mask_image* mask = nullptr);

// Sweeps and updates until the convergence test holds or the limit is reached.
void run_clustering(const CImg<float>& image, const sorvik::segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels, bool exact_sums = false, const mask_image* mask = nullptr);

// The whole command on converted inputs, as sorvik/segment_image.cpp:
// labels -1 outside the mask.
CImg<float> segment_image_reference(const CImg<float>& image, const CImg<float>& parameter_image,
                                    bool exact_sums = false, const mask_image* mask = nullptr);

}  // namespace sorvik_reference
