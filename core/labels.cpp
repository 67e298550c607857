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
    if (!mask.runs) {
      for (std::size_t i = mine.begin; i < mine.end; ++i) label[i] = mask.inside[i] ? 0.0f : outside_label;
      return;
    }
    // The listed runs that reach into this share, and the gaps between them.
    const std::vector<inside_span>& runs = *mask.runs;
    auto run =
        std::partition_point(runs.begin(), runs.end(), [&](const inside_span& r) { return r.end <= mine.begin; });
    std::size_t at = mine.begin;
    for (; run != runs.end() && run->begin < mine.end; ++run) {
      const std::size_t begin = std::max(run->begin, mine.begin), end = std::min(run->end, mine.end);
      std::fill(label + at, label + begin, outside_label);
      std::fill(label + begin, label + end, 0.0f);
      at = end;
    }
    std::fill(label + at, label + mine.end, outside_label);
  });
  return labels;
}

}  // namespace core
