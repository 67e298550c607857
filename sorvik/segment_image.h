// The Sorvik driver: settings, centres, labels, iteration.
#pragma once

#include "core/call_threads.h"
#include "core/centre_table.h"
#include "core/image.h"
#include "core/mask.h"
#include "core/run_report.h"

namespace sorvik {

// Segments `image` (W x H x D x S) with the six settings in `parameter_image`
// and returns the W x H x D x 1 label image of class indices 0 .. K - 1,
// on the call's threads; the labels do not depend on their count. `watch`
// is told what it asks of the run. `exact_sums` sums energies and centres
// exactly (run_clustering). Given `start` centres (K x S) replace the evenly
// spread ones. Pixels outside `mask` get core::outside_label and take no part
// in the run.
CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, core::call_threads& threads,
                          const core::run_watch& watch = {}, bool exact_sums = false, const core::pixel_mask& mask = {},
                          const core::centre_table& start = {});

// Given starting centres as the S x K centre image of a run of `class_count`
// classes over `channels` channels, refused as segment_image refuses them
// (core::given_centres).
CImg<float> given_start(const core::centre_table& start, int class_count, int channels);

// The same with a call_threads of its own, of up to `threads` threads.
CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, int threads = 1);

}  // namespace sorvik
