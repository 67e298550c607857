#include "segment_image.h"

#include "clustering.h"
#include "core/initial_centres.h"
#include "core/labels.h"
#include "run_plan.h"
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

// The class count's position in the settings vector.
constexpr int class_count_position = 5;

}  // namespace

CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, core::call_threads& threads,
                          const core::run_watch& watch, bool exact_sums, const core::pixel_mask& mask,
                          const core::centre_table& start) {
  // The settings are refused first, as Tamvel refuses them before its images.
  const segmentation_parameters parameters = read_parameters(parameter_image);
  require_pixels(image);
  CImg<float> start_labels = core::start_labels(image, threads, mask);
  CImg<float> centres = start.given() ? given_start(start, parameters.class_count, image.spectrum())
                                      : init_centres(image, parameters.class_count, threads, mask);
  run_plan plan = plan_run(image, parameters, std::move(centres), std::move(start_labels), threads, exact_sums, mask);
  // No pixel to label (an image without channels gets this far with a zero
  // extent): the container has set every extent of the labels to 0, but the
  // result keeps the image's rows, columns and depth.
  if (plan.labels.is_empty()) {
    core::finish_run(core::run_recorder{watch}, plan.labels, parameters.class_count, plan.centres);
    return core::image_without_pixels(image.width(), image.height(), image.depth(), 1);
  }
  run_clustering(image, parameters, plan, watch);
  CImg<float> labels;
  labels.swap(plan.labels);
  return labels;
}

CImg<float> given_start(const core::centre_table& start, int class_count, int channels) {
  return core::given_centres(start, class_count, channels, channels, "the starting centres", class_count_position);
}

CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, int threads) {
  core::call_threads call(threads);
  return segment_image(image, parameter_image, call);
}

}  // namespace sorvik
