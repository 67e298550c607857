// Between a caller's elements and the image container: the checks, the
// threaded copy into single precision, and the labels handed back. Hosts of
// the API (the MEX boundary) use these to keep their refusals in the order
// their inputs come.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "core/call_threads.h"
#include "core/image.h"
#include "edgeseg/image_view.h"

namespace edgeseg {

// Refuses a view whose image the container cannot hold (tooLarge), and one
// with elements but no data (missingData). `role` names the input in the
// messages ("the image").
void check_view(const image_view& view, const char* role);

// The view's elements as a single-precision image, each rounded to the
// nearest float (an integer beyond 2^24 to the nearest one, a double beyond
// the float range to an infinity); checked as check_view does. An image
// without pixels keeps its extents. The call's threads copy the elements,
// and a stop requested meanwhile ends the copy (call_stopped).
CImg<float> image_from_view(const image_view& view, const char* role, core::call_threads& threads);
// The same for a host outside a call, on up to `threads` threads of its own.
CImg<float> image_from_view(const image_view& view, const char* role, int threads);

// The view's values for a computation that only reads them: the caller's
// own elements, shared and not copied, where they already lie as a float
// image does (single precision, x fastest, then y, the slices, the
// channels); image_from_view's copy otherwise. The caller's elements must
// not change until the image is gone.
CImg<float> image_to_read(const image_view& view, const char* role, core::call_threads& threads);

// The mask of an image as one byte a pixel, 1 inside (a non-zero element)
// and 0 outside, or an empty image where every pixel is inside. Refuses a
// mask of other rows, columns or depth than the image's, or of more than one
// channel (geometryMismatch), and one without any pixel inside (emptyMask)
// unless `may_be_empty` (a slab of a volume may lie wholly outside).
CImg<unsigned char> mask_from_view(const image_view& mask, const CImg<float>& image, core::call_threads& threads,
                                   bool may_be_empty = false);

// The labels of a call, handed over without a copy.
label_image hand_over(CImg<float>&& labels);

// Rows a band holds: every column of a band is read or written as one run,
// and the band's rows side by side, whichever of the two layouts is strided.
constexpr std::size_t band_rows = 16;

// Calls band(plane, first row, end row) for every band of every plane
// (depth x channels) of a width x height image, the bands shared among the
// call's threads.
template <class Band>
void for_each_band(std::size_t height, std::size_t planes, std::size_t elements, core::call_threads& threads,
                   Band&& band) {
  const std::size_t bands_per_plane = (height + band_rows - 1) / band_rows;
  const std::size_t bands = planes * bands_per_plane;
  const int parts = core::useful_parts(threads, elements, std::size_t(1) << 17);
  threads.run(parts, [&](int part, int part_count, core::run_progress&) {
    const core::share mine = core::share_of(bands, part, part_count);
    for (std::size_t b = mine.begin; b < mine.end; ++b) {
      const std::size_t first = (b % bands_per_plane) * band_rows;
      band(b / bands_per_plane, first, std::min(height, first + band_rows));
    }
  });
}

// The same for a host outside a call, on up to `threads` threads started and
// joined inside: a host may leave its own API by a long jump, which would
// skip the joining of threads kept open across such a call.
template <class Band>
void for_each_band(std::size_t height, std::size_t planes, std::size_t elements, int threads, Band&& band) {
  core::call_threads own(threads);
  for_each_band(height, planes, elements, own, std::forward<Band>(band));
}

}  // namespace edgeseg
