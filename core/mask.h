// The pixels a call segments. A mask names them with one byte per pixel in
// raster order (x fastest, then y, then z), non-zero inside; without one,
// every pixel is inside. A pixel outside is never swept, counts in no centre
// mean, no value range and no energy, is no pixel's neighbour, and keeps the
// label outside_label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "call_threads.h"
#include "disc_rows.h"
#include "image.h"

namespace core {

// The label of every pixel outside the mask, in every host.
constexpr float outside_label = -1.0f;

struct pixel_mask {
  const unsigned char* inside = nullptr;  // null: every pixel is inside

  bool covers(std::size_t pixel) const { return !inside || inside[pixel] != 0; }
  explicit operator bool() const { return inside != nullptr; }
};

// The mask of `mask` (W x H x D, one byte a pixel), or none for an empty image.
inline pixel_mask mask_of(const CImg<unsigned char>& mask) {
  return pixel_mask{mask.is_empty() ? nullptr : mask.data()};
}

// Gives every pixel outside the mask outside_label.
void mark_outside(const pixel_mask& mask, CImg<float>& labels, call_threads& threads);

// Whether any of `count` pixels from `first` on is inside.
bool any_inside(const pixel_mask& mask, std::size_t first, std::size_t count);

// The pixels from the first to the last inside among `count` pixels from
// `first` on, as positions begin .. end - 1 counted from `first`; all of them
// without a mask, and begin = end where none is inside.
struct inside_span {
  std::size_t begin, end;
};
inside_span span_inside(const pixel_mask& mask, std::size_t first, std::size_t count);

// How many of the `count` pixels from `first` on are outside before the first
// inside (all `count` without one inside).
std::size_t outside_run(const pixel_mask& mask, std::size_t first, std::size_t count);

// What an edge-phase sweep knows of the mask before it starts: per pixel,
// how many offsets of its reflected disc land on a pixel inside, the most
// neighbours that can differ from it (without a mask, every offset).
struct disc_mask {
  pixel_mask mask;
  std::vector<std::int32_t> offsets_inside;
};

// The counts for a width x height x depth image, the rows shared among the
// call's threads; empty without a mask.
disc_mask count_disc_inside(const pixel_mask& mask, const disc_rows& disc, int width, int height, int depth,
                            call_threads& threads);

}  // namespace core
