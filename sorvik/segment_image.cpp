#include "segment_image.h"

#include "clustering.h"
#include "core/labels.h"
#include "core/refusal.h"
#include "core/run_recorder.h"
#include "parameters.h"

namespace sorvik {
namespace {

// An image with a channel but no pixel has no value range to spread the
// centres over; the image library would report that in its own words, and
// print them. An image without channels still gets its labels, all 0.
void require_pixels(const CImg<float>& image) {
  if (image.spectrum() > 0 && (image.width() == 0 || image.height() == 0 || image.depth() == 0))
    core::refuse("emptyImage",
                 "the image is %u x %u x %u (rows x columns x depth) with %u channel%s; expected at least one "
                 "row, column and slice.",
                 image.height(), image.width(), image.depth(), image.spectrum(), image.spectrum() == 1 ? "" : "s");
}

}  // namespace

CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, core::call_threads& threads,
                          const core::run_watch& watch, bool exact_sums, const core::pixel_mask& mask) {
  // The settings are refused first, as Tamvel refuses them before its images.
  const segmentation_parameters parameters = read_parameters(parameter_image);
  require_pixels(image);
  CImg<float> labels = core::start_labels(image, threads);
  core::mark_outside(mask, labels, threads);
  CImg<float> centres = init_centres(image, parameters.class_count, threads, mask);
  // No pixel to label (an image without channels gets this far with a zero
  // extent): the container has set every extent of the labels to 0, but the
  // result keeps the image's rows, columns and depth.
  if (labels.is_empty()) {
    core::finish_run(core::run_recorder{watch}, labels, parameters.class_count, centres);
    return core::image_without_pixels(image.width(), image.height(), image.depth(), 1);
  }
  run_clustering(image, parameters, centres, labels, threads, watch, exact_sums, mask);
  return labels;
}

CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, int threads) {
  core::call_threads call(threads);
  return segment_image(image, parameter_image, call);
}

}  // namespace sorvik
