#include "segment_image.h"

#include "clustering.h"
#include "core/labels.h"
#include "parameters.h"

namespace sorvik {

CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, core::call_threads& threads) {
  const segmentation_parameters parameters = read_parameters(parameter_image);
  CImg<float> labels = core::start_labels(image, threads);
  CImg<float> centres = init_centres(image, parameters.class_count, threads);
  // No pixel to label (an image without channels gets this far with a zero
  // extent): the container has set every extent of the labels to 0, but the
  // result keeps the image's rows, columns and depth.
  if (labels.is_empty()) return core::image_without_pixels(image.width(), image.height(), image.depth(), 1);
  run_clustering(image, parameters, centres, labels, threads);
  return labels;
}

CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, int threads) {
  core::call_threads call(threads);
  return segment_image(image, parameter_image, call);
}

}  // namespace sorvik
