// The Tamvel driver: settings, geometry checks, edge indicator, iteration.
#pragma once

#include "core/call_threads.h"
#include "core/centre_table.h"
#include "core/image.h"
#include "core/mask.h"
#include "core/run_report.h"

namespace tamvel {

// Segments the primary image (W x H x D x S) jointly with the secondary image
// (same W, H, D; at least S channels) using the eight settings of
// `parameter_image`; returns the W x H x D x 1 label image, on the call's
// threads (the labels do not depend on their count), and tells `watch` what
// it asks of the run. Refuses settings and geometry it cannot compute before
// any computation. Given `start` centres (K x S) and `secondary_start`
// centres replace the evenly spread ones of their image. Pixels outside
// `mask` get core::outside_label and take no part in the run
// (compute_edge_indicator, rebuild_band).
CImg<float> segment_image_pair(const CImg<float>& primary, const CImg<float>& secondary,
                               const CImg<float>& parameter_image, core::call_threads& threads,
                               const core::run_watch& watch = {}, const core::pixel_mask& mask = {},
                               const core::centre_table& start = {}, const core::centre_table& secondary_start = {});

// The same with a call_threads of its own, of up to `threads` threads.
CImg<float> segment_image_pair(const CImg<float>& primary, const CImg<float>& secondary,
                               const CImg<float>& parameter_image, int threads = 1);

}  // namespace tamvel
