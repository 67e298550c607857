// A caller's image as every host hands it to the commands: a pointer, an
// element type, four extents and four strides. The API reads the elements
// through the view and never keeps or changes them; the labels it returns
// belong to the caller. Single-precision elements laid out as the
// computation keeps an image (x fastest, then y, the slices, the channels)
// are read where they lie, without a copy, so they must not change while a
// call runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/centre_table.h"
#include "core/run_report.h"

namespace edgeseg {

// Every element type a host may pass. A boolean is one byte read as an
// unsigned number, so a host's true (1) becomes 1.0 and false 0.0.
enum class element_type { boolean, int8, uint8, int16, uint16, int32, uint32, int64, uint64, float32, float64 };

// Element (x, y, z, c) lies at data + x * x_stride + y * y_stride +
// z * z_stride + c * channel_stride, the strides counted in elements of
// `type`, not in bytes. x runs along a row (width = columns), y down a column
// (height = rows), z through the slices (depth) and c through the channels.
struct image_view {
  const void* data = nullptr;
  element_type type = element_type::float32;
  std::uint64_t width = 0, height = 0, depth = 1, channels = 1;
  std::int64_t x_stride = 0, y_stride = 0, z_stride = 0, channel_stride = 0;
};

// A column-major array of rows x columns x depth x channels, rows fastest,
// as MATLAB and Octave keep theirs. `step` elements lie between neighbouring
// rows: 2 reads the real parts of interleaved complex elements.
image_view column_major_view(const void* data, element_type type, std::uint64_t rows, std::uint64_t columns,
                             std::uint64_t depth = 1, std::uint64_t channels = 1, std::int64_t step = 1);

// A row-major array of depth x rows x columns x channels, channels fastest,
// as C and NumPy (in C order) keep a stack of colour images.
image_view row_major_view(const void* data, element_type type, std::uint64_t rows, std::uint64_t columns,
                          std::uint64_t depth = 1, std::uint64_t channels = 1);

// Starting centres, K rows of one value per channel, row by row
// (core/centre_table.h); an empty table gives none.
using centre_table = core::centre_table;

struct call_options {
  // Threads the call may use, the caller's included: 1 to 256, or 0 for
  // every core the process may run on (every_core(), segment.h); a value
  // outside is taken as the nearest bound. The labels do not depend on it.
  int threads = 1;
  // Called after every iteration with its report (segment.h), on the thread
  // that made the call, while the call's other threads wait.
  std::function<void(const core::iteration_report&)> progress;
  // Asked on the thread that made the call, every 10 ms at most while it
  // runs; true stops the call, which then throws edgeseg::stopped once it
  // has released everything. Must not throw.
  std::function<bool()> stop_requested;
  // Sorvik only: every iteration's energy is the exact sum of the pixels'
  // terms rounded once to float, and centre sums that could round in double
  // are exact sums rounded once to double, so that they do not depend on the
  // order of the pixels (a run split into slabs may add them in any order).
  // The default adds them up in raster order, as the established iteration
  // does; the two may stop at different iterations and then give different
  // labels. Tamvel refuses it (badParameters).
  bool exact_sums = false;
  // The pixels to segment, rows x columns x depth of the image (Tamvel's
  // primary) with one channel, inside where an element is non-zero. A pixel
  // outside is not swept, counts in no centre, value range or energy, is no
  // pixel's neighbour and gets the label -1; for Tamvel it applies to both
  // images, and the edge indicator and the band see the pixels inside only.
  // A mask with every pixel inside gives the labels of no mask. Refused:
  // another geometry (geometryMismatch), no pixel inside (emptyMask).
  std::optional<image_view> mask;
  // Where the classes start, in place of the evenly spread centres: K x the
  // image's channels (Tamvel's primary). Refused (badCentres) with another
  // shape, another row count than the class count, or a value not finite in
  // single precision. The spread's own centres give the same labels as none.
  centre_table initial_centres;
  // Tamvel only: the secondary image's, K x the primary's channels or K x
  // the secondary's (columns past the primary's channels are not read).
  // Sorvik refuses any (badCentres).
  centre_table secondary_initial_centres;
  // Called on the thread that made the call, once the run has ended, with
  // each warning of its end: "emptyClass" and "notConverged"
  // (core/run_warnings.h). The labels are the same with or without it.
  std::function<void(const core::run_warning&)> warn;
};

// The labels of a call: width x height x depth class indices 0 .. K - 1 as
// whole floats, and -1 outside the mask, x fastest, then y, then z. `values` stays valid while
// `storage` (or a copy of it) lives; it is null when the image has no pixel.
struct label_image {
  std::uint64_t width = 0, height = 0, depth = 0;
  float* values = nullptr;
  std::shared_ptr<void> storage;

  std::uint64_t size() const { return width * height * depth; }
};

}  // namespace edgeseg
