#include "labels.h"

#include <algorithm>

#include "kept_buffers.h"

namespace core {

CImg<float> start_labels(const CImg<float>& image, call_threads& threads, const pixel_mask& mask) {
  CImg<float> labels = reused_image(image.width(), image.height(), image.depth(), 1);
  const std::size_t pixels = labels.size();
  // Each part writes its own share, and so first touches its pages.
  threads.run(useful_parts(threads, pixels, 1 << 17), [&](int part, int part_count, run_progress&) {
    const share mine = share_of(pixels, part, part_count);
    float* label = labels.data();
    if (!mask) return std::fill(label + mine.begin, label + mine.end, 0.0f);
    for (std::size_t i = mine.begin; i < mine.end; ++i) label[i] = mask.inside[i] ? 0.0f : outside_label;
  });
  return labels;
}

}  // namespace core
