#include "calls.h"
#include "conversion.h"
#include "core/kept_buffers.h"
#include "edgeseg/segment.h"
#include "tamvel/parameters.h"
#include "tamvel/segment_image_pair.h"

namespace edgeseg {

CImg<float> tamvel_labels(const image_view& primary, const image_view& secondary, const std::vector<float>& parameters,
                          core::call_threads& threads, const core::run_watch& watch, const image_view* mask,
                          const core::centre_table& start, const core::centre_table& secondary_start) {
  CImg<float> converted_primary = image_to_read(primary, "the primary image", threads);
  CImg<float> converted_secondary = image_to_read(secondary, "the secondary image", threads);
  // The settings are refused before the mask, in the order a call gives them.
  if (mask) tamvel::read_parameters(parameter_image(parameters));
  CImg<unsigned char> inside = mask ? mask_from_view(*mask, converted_primary, threads) : CImg<unsigned char>();
  CImg<float> labels = tamvel::segment_image_pair(converted_primary, converted_secondary, parameter_image(parameters),
                                                  threads, watch, core::mask_of(inside), start, secondary_start);
  core::keep_for_reuse(std::move(converted_primary));
  core::keep_for_reuse(std::move(converted_secondary));
  core::keep_for_reuse(std::move(inside));
  return labels;
}

label_image tamvel(const image_view& primary, const image_view& secondary, const std::vector<float>& parameters,
                   const call_options& options, run_info* info) {
  if (options.exact_sums)
    core::refuse("badParameters", "exact_sums is true, which only Sorvik offers; expected false for Tamvel.");
  core::call_threads threads(options.threads);
  apply_options(options, threads);
  return hand_over(tamvel_labels(primary, secondary, parameters, threads, watch_of(options, info),
                                 options.mask ? &*options.mask : nullptr, options.initial_centres,
                                 options.secondary_initial_centres));
}

}  // namespace edgeseg
