#include "segment_image.h"

#include "clustering.h"
#include "parameters.h"
#include "thread_crew.h"

namespace sorvik {

CImg<float> segment_image(const CImg<float>& image, const CImg<float>& parameter_image, int threads) {
  const segmentation_parameters parameters = read_parameters(parameter_image);
  const thread_crew crew(threads);  // the call's threads, started when needed and joined before it returns
  CImg<float> labels = start_labels(image, threads);
  CImg<float> centres = init_centres(image, parameters.class_count, threads);
  // No pixel to label (an image without channels gets this far with a zero
  // extent): the container has set every extent of the labels to 0, but the
  // result keeps the image's rows, columns and depth.
  if (labels.is_empty()) return boundary::image_without_pixels(image.width(), image.height(), image.depth(), 1);
  run_clustering(image, parameters, centres, labels, threads);
  return labels;
}

}  // namespace sorvik
