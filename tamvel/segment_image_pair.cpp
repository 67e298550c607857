#include "segment_image_pair.h"

#include <cstddef>
#include <vector>

#include "core/kept_buffers.h"
#include "core/refusal.h"
#include "clustering.h"
#include "edge_indicator.h"
#include "parameters.h"

namespace tamvel {
namespace {

const char* channel_word(unsigned count) { return count == 1 ? "channel" : "channels"; }

// The gradient behind the edge indicator is not defined on an image without
// pixels, and the host boundary keeps the extents of a 0 x 5 array.
void require_pixels(const CImg<float>& primary) {
  if (primary.width() == 0 || primary.height() == 0 || primary.depth() == 0 || primary.spectrum() == 0)
    core::refuse("emptyImage",
                 "the primary image is %u x %u x %u (rows x columns x depth) with %u %s; expected at least one "
                 "row, column, slice and channel.",
                 primary.height(), primary.width(), primary.depth(), primary.spectrum(),
                 channel_word(primary.spectrum()));
}

// Every pixel of the primary image is paired with the secondary pixel at the
// same position, channel by channel; channels beyond the primary's are unused.
void require_matching_secondary(const CImg<float>& primary, const CImg<float>& secondary) {
  const bool same_grid = secondary.width() == primary.width() && secondary.height() == primary.height() &&
                         secondary.depth() == primary.depth();
  if (!same_grid || secondary.spectrum() < primary.spectrum())
    core::refuse("geometryMismatch",
                 "the secondary image is %u x %u x %u (rows x columns x depth) with %u %s; expected the "
                 "primary's %u x %u x %u with at least %u %s.",
                 secondary.height(), secondary.width(), secondary.depth(), secondary.spectrum(),
                 channel_word(secondary.spectrum()), primary.height(), primary.width(), primary.depth(),
                 primary.spectrum(), channel_word(primary.spectrum()));
}

}  // namespace

CImg<float> segment_image_pair(const CImg<float>& primary, const CImg<float>& secondary,
                               const CImg<float>& parameter_image, core::call_threads& threads,
                               const core::run_watch& watch, const core::pixel_mask& mask,
                               const core::centre_table& start, const core::centre_table& secondary_start) {
  const pair_segmentation_parameters parameters = read_parameters(parameter_image);
  require_pixels(primary);
  require_matching_secondary(primary, secondary);
  // The mask's runs, listed once: the passes below walk them, not the bytes.
  const std::vector<core::inside_span> runs =
      core::list_runs(mask, std::size_t(primary.width()) * primary.height() * primary.depth(), primary.width());
  const core::pixel_mask listed{mask.inside, mask ? &runs : nullptr};
  const centre_pair centres =
      start_centres(primary, secondary, parameters.class_count, start, secondary_start, threads, listed);
  CImg<float> edge_indicator = compute_edge_indicator(primary, threads, listed);
  CImg<float> labels = run_clustering(primary, secondary, parameters, edge_indicator, threads, watch, listed, &centres);
  core::keep_for_reuse(std::move(edge_indicator));
  return labels;
}

CImg<float> segment_image_pair(const CImg<float>& primary, const CImg<float>& secondary,
                               const CImg<float>& parameter_image, int threads) {
  core::call_threads call(threads);
  return segment_image_pair(primary, secondary, parameter_image, call);
}

}  // namespace tamvel
