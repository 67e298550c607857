// The pixels a call segments. A mask names them with one byte per pixel in
// raster order (x fastest, then y, then z), non-zero inside; without one,
// every pixel is inside. A pixel outside is never swept, counts in no centre
// mean, no value range and no energy, is no pixel's neighbour, and keeps the
// label outside_label.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "call_threads.h"
#include "disc_rows.h"
#include "image.h"

namespace core {

// The label of every pixel outside the mask, in every host.
constexpr float outside_label = -1.0f;

// Positions begin .. end - 1 of a stretch of pixels.
struct inside_span {
  std::size_t begin, end;
};

struct pixel_mask {
  const unsigned char* inside = nullptr;  // null: every pixel is inside
  // Where a command has listed them once for all its passes (list_runs):
  // the runs of pixels inside, within rows, in raster order. Passes that
  // can walk them do, instead of reading the bytes outside again.
  const std::vector<inside_span>* runs = nullptr;

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
inside_span span_inside(const pixel_mask& mask, std::size_t first, std::size_t count);

// Runs of pixels, as raster positions begin .. end - 1 in raster order, that
// hold every pixel inside among `pixels` pixels in rows of `width`: each
// row's span, adjacent spans joined. The rows are shared among the call's
// threads.
std::vector<inside_span> inside_runs(const pixel_mask& mask, std::size_t pixels, std::size_t width,
                                     call_threads& threads);

// Every run of pixels inside among `pixels` pixels in rows of `width`, as
// raster positions begin .. end - 1 in raster order: a run ends where a
// pixel outside or its row's end follows it. Empty without a mask.
std::vector<inside_span> list_runs(const pixel_mask& mask, std::size_t pixels, std::size_t width);

// The pixels `runs` hold together.
std::size_t run_pixels(const std::vector<inside_span>& runs);

// Calls visit(begin, end) for each piece of `runs` (raster positions, in
// order) that part `part` of `parts` takes: their `total` pixels shared in
// order as share_of shares them.
template <class Visit>
void for_runs_of_part(const std::vector<inside_span>& runs, std::size_t total, int part, int parts, Visit&& visit) {
  const share mine = share_of(total, part, parts);
  std::size_t passed = 0;  // pixels of the runs before `run`
  for (const inside_span& run : runs) {
    const std::size_t length = run.end - run.begin;
    const std::size_t from = std::max(mine.begin, passed), to = std::min(mine.end, passed + length);
    if (from < to) visit(run.begin + (from - passed), run.begin + (to - passed));
    passed += length;
    if (passed >= mine.end) return;
  }
}

// How many of the `count` bytes from `from` on are 0 before the first that
// is not, 32 and then eight at a time where they all are.
std::size_t zeros_ahead(const unsigned char* from, std::size_t count);

// How many of the `count` pixels from `first` on are outside before the first
// inside (all `count` without one inside).
std::size_t outside_run(const pixel_mask& mask, std::size_t first, std::size_t count);

// What an edge-phase sweep knows of the mask before it starts: per pixel
// inside, how many offsets of its reflected disc land on a pixel inside, the
// most neighbours that can differ from it (without a mask, every offset);
// and per image row (z * height + y), its span of columns from the first
// pixel inside to the last.
struct disc_mask {
  pixel_mask mask;
  // The counts of the rows' spans one after another, row r's from
  // row_first[r] on: only the pixels from a row's first inside to its last
  // have one, so that memory outside the mask is neither held nor touched.
  std::unique_ptr<std::int32_t[]> offsets_inside;
  std::vector<std::size_t> row_first;
  std::vector<inside_span> row_span;

  // The counts of image row `row`'s span, from its first column on.
  const std::int32_t* row_counts(std::size_t row) const { return offsets_inside.get() + row_first[row]; }

  // The span of `count` columns from `first_x` on in image row `row`, from
  // `first_x`: a run that holds every pixel inside among them.
  inside_span span_in_row(std::size_t row, std::size_t first_x, std::size_t count) const {
    if (!mask) return {0, count};
    const inside_span whole = row_span[row];
    const std::size_t begin = std::clamp(whole.begin, first_x, first_x + count) - first_x;
    const std::size_t end = std::clamp(whole.end, first_x, first_x + count) - first_x;
    return begin < end ? inside_span{begin, end} : inside_span{0, 0};
  }
};

// The counts for a width x height x depth image, the rows shared among the
// call's threads; empty without a mask.
disc_mask count_disc_inside(const pixel_mask& mask, const disc_rows& disc, int width, int height, int depth,
                            call_threads& threads);

}  // namespace core
