#include "calls.h"
#include "conversion.h"
#include "edgeseg/segment.h"
#include "sorvik/segment_image.h"

namespace edgeseg {

CImg<float> sorvik_labels(const image_view& image, const std::vector<float>& parameters, core::call_threads& threads,
                          const core::run_watch& watch, bool exact_sums) {
  // The converted image goes before the labels are handed back: a call
  // holds the image and the labels, then the labels and the host's result.
  const CImg<float> converted = image_from_view(image, "the image", threads);
  return sorvik::segment_image(converted, parameter_image(parameters), threads, watch, exact_sums);
}

label_image sorvik(const image_view& image, const std::vector<float>& parameters, const call_options& options,
                   run_info* info) {
  core::call_threads threads(options.threads);
  apply_options(options, threads);
  return hand_over(
      sorvik_labels(image, parameters, threads, core::run_watch{options.progress, info}, options.exact_sums));
}

}  // namespace edgeseg
