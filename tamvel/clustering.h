// The two-image, band-limited clustering iteration of Tamvel.
//
// Each class has a centre in the primary image I and one in the secondary
// image J. Both centre lists are images of S x K values: centre of class k in
// channel c at (c, k); S is the primary image's channel count.
#pragma once

#include <cstddef>
#include <vector>

#include "core/call_threads.h"
#include "core/centre_table.h"
#include "core/mask.h"
#include "core/image.h"
#include "parameters.h"
#include "core/costs.h"
#include "core/run_report.h"

namespace tamvel {

// Added to a class's pixel count before the division, so an empty class gets 0.
constexpr double pair_centre_count_guard = 1e-10;

struct centre_pair {
  CImg<float> primary;    // S x K
  CImg<float> secondary;  // S x K
};

// Pixels a sweep visits, consecutive along one row: buffer positions
// position .. position + length - 1, columns x .. x + length - 1 of row y.
struct band_run {
  std::size_t position;
  unsigned x;
  unsigned y;
  unsigned length;
};

// K centres per channel, spaced evenly inside each channel's finite range,
// taken separately for I and for J (channels 0 .. S-1 of J).
centre_pair init_centres(const CImg<float>& primary, const CImg<float>& secondary, int class_count,
                         core::call_threads& threads, const core::pixel_mask& mask = {});

// The centres a run starts from: the given tables (K x S, the secondary's
// K x S or K x its own channels) where the call gives them, each refused as
// core::given_centres refuses, and the evenly spread ones where not.
centre_pair start_centres(const CImg<float>& primary, const CImg<float>& secondary, int class_count,
                          const core::centre_table& start, const core::centre_table& secondary_start,
                          core::call_threads& threads, const core::pixel_mask& mask = {});

// The pixels in the band, in raster order. The band only changes at its
// rebuild, so the iteration lists it once and each later sweep costs in
// proportion to the band, not to the image.
std::vector<band_run> list_band(const CImg<float>& band);

// The pixels of `band` within the listed pixels `within` (a band or the
// pixels inside a mask) that are in the band: what list_band gives where the
// band is 0 elsewhere.
std::vector<band_run> list_band(const CImg<float>& band, const std::vector<band_run>& within);

// The band of every pixel inside the mask, listed as list_band lists one.
std::vector<band_run> list_inside(const core::pixel_mask& mask, unsigned width, unsigned height, unsigned depth);

// How many pixels a listed band holds.
std::size_t pixels_in(const std::vector<band_run>& band);

// One raster sweep over the pixels in the band; relabels in place and returns
// the energy of the visited pixels. Up to `threads` threads share the sweep;
// labels and energy do not depend on their number.
float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const CImg<float>& band, CImg<float>& labels, const centre_pair& centres,
                  const pair_segmentation_parameters& parameters, int iteration, core::call_threads& threads);

// The same sweep over a band listed by list_band.
float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const std::vector<band_run>& band, CImg<float>& labels, const centre_pair& centres,
                  const pair_segmentation_parameters& parameters, int iteration, core::call_threads& threads);

// Both centre lists become the means of the finite pixels of each class.
void update_centres(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& labels,
                    centre_pair& centres);

// The whole iteration on up to `threads` threads; returns the label image
// W x H x D x 1, whatever the thread count, and tells `watch` what it asks.
// It starts from `start` (start_centres), or else from init_centres. Only the
// pixels inside `mask` are swept, each of the others labelled
// core::outside_label; `edge_indicator` is 0 outside it.
CImg<float> run_clustering(const CImg<float>& primary, const CImg<float>& secondary,
                           const pair_segmentation_parameters& parameters, const CImg<float>& edge_indicator,
                           core::call_threads& threads, const core::run_watch& watch = {},
                           const core::pixel_mask& mask = {}, const centre_pair* start = nullptr);

}  // namespace tamvel
