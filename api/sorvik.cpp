#include "calls.h"
#include "conversion.h"
#include "edgeseg/segment.h"
#include "sorvik/parameters.h"
#include "sorvik/segment_image.h"

namespace edgeseg {

CImg<float> sorvik_labels(const image_view& image, const std::vector<float>& parameters, core::call_threads& threads,
                          const core::run_watch& watch, bool exact_sums, const image_view* mask) {
  // The converted image goes before the labels are handed back: a call
  // holds the image and the labels, then the labels and the host's result.
  const CImg<float> converted = image_from_view(image, "the image", threads);
  // The settings are refused before the mask, in the order a call gives them.
  if (mask) sorvik::read_parameters(parameter_image(parameters));
  const CImg<unsigned char> inside = mask ? mask_from_view(*mask, converted, threads) : CImg<unsigned char>();
  return sorvik::segment_image(converted, parameter_image(parameters), threads, watch, exact_sums,
                               core::mask_of(inside));
}

label_image sorvik(const image_view& image, const std::vector<float>& parameters, const call_options& options,
                   run_info* info) {
  core::call_threads threads(options.threads);
  apply_options(options, threads);
  return hand_over(sorvik_labels(image, parameters, threads, core::run_watch{options.progress, info},
                                 options.exact_sums, options.mask ? &*options.mask : nullptr));
}

}  // namespace edgeseg
