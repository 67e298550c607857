// The edge-weighted clustering iteration of Sorvik.
//
// Centres are kept as one image of S x K values: the centre of class k in
// channel c is centres(c, k). The kernels are a fast arrangement of the plain
// iteration kept in tests/reference/ and give the same bits on every input.
#pragma once

#include "core/call_threads.h"
#include "core/image.h"
#include "core/mask.h"
#include "core/run_report.h"
#include "iteration.h"
#include "parameters.h"
#include "run_plan.h"

namespace sorvik {

// One raster sweep, relabelling in place; returns its energy, the sum of its
// terms continuing `energy_before` (that of the pixels before the image's,
// a slab's of a volume). `threads` is the threads it may use; the labels and
// the energy do not depend on it. Pixels outside `mask` are left as they are
// (labelled outside_label) and add nothing.
float label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                  CImg<float>& labels, int iteration, core::call_threads& threads, const core::pixel_mask& mask = {},
                  float energy_before = 0.0f);

// The same sweep for a caller that continues an energy begun elsewhere (a
// slab of a volume): every pixel's energy term goes to terms[pixel], which
// has room for every pixel, and nothing is summed.
void label_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, int iteration, core::call_threads& threads, float* terms,
                 const core::pixel_mask& mask = {});

// Every centre becomes the mean of the finite pixels carrying its label.
void update_centres(const CImg<float>& image, const CImg<float>& labels, int class_count, CImg<float>& centres);

// Sweeps and updates plan.labels and plan.centres until the convergence test
// holds or the limit is reached, telling `watch` what it asks for.
void run_clustering(const CImg<float>& image, const segmentation_parameters& parameters, run_plan& plan,
                    const core::run_watch& watch = {});

// The same from given centres and labels, with up to `threads` threads.
// With `exact_sums`, every energy is the exact sum of the sweep's terms
// rounded once to float, and centre sums that could round in double are
// exact sums rounded once to double; otherwise both are added up as the
// plain iteration does, in raster order. The labels of pixels outside
// `mask` are outside_label already and stay so.
void run_clustering(const CImg<float>& image, const segmentation_parameters& parameters, CImg<float>& centres,
                    CImg<float>& labels, core::call_threads& threads, const core::run_watch& watch = {},
                    bool exact_sums = false, const core::pixel_mask& mask = {});

}  // namespace sorvik
