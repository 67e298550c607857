#include "calls.h"
#include "conversion.h"
#include "edgeseg/segment.h"
#include "tamvel/segment_image_pair.h"

namespace edgeseg {

CImg<float> tamvel_labels(const image_view& primary, const image_view& secondary, const std::vector<float>& parameters,
                          core::call_threads& threads, const core::run_watch& watch) {
  const CImg<float> converted_primary = image_from_view(primary, "the primary image", threads);
  const CImg<float> converted_secondary = image_from_view(secondary, "the secondary image", threads);
  return tamvel::segment_image_pair(converted_primary, converted_secondary, parameter_image(parameters), threads,
                                    watch);
}

label_image tamvel(const image_view& primary, const image_view& secondary, const std::vector<float>& parameters,
                   const call_options& options, run_info* info) {
  if (options.exact_sums)
    core::refuse("badParameters", "exact_sums is true, which only Sorvik offers; expected false for Tamvel.");
  if (options.mask)
    core::refuse("badParameters", "a mask is given, which only Sorvik takes; expected none for Tamvel.");
  core::call_threads threads(options.threads);
  apply_options(options, threads);
  return hand_over(tamvel_labels(primary, secondary, parameters, threads, core::run_watch{options.progress, info}));
}

}  // namespace edgeseg
