#include "labels.h"

#include <algorithm>

namespace core {

CImg<float> start_labels(const CImg<float>& image, call_threads& threads) {
  CImg<float> labels(image.width(), image.height(), image.depth(), 1);
  const std::size_t pixels = labels.size();
  // Each part clears its own share, and so first touches its pages.
  threads.run(useful_parts(threads, pixels, 1 << 18), [&](int part, int part_count, run_progress&) {
    const share mine = share_of(pixels, part, part_count);
    std::fill(labels.data() + mine.begin, labels.data() + mine.end, 0.0f);
  });
  return labels;
}

}  // namespace core
