#include "conversion.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "calls.h"
#include "core/kept_buffers.h"
#include "core/refusal.h"
#include "edgeseg/segment.h"

namespace edgeseg {

using core::refuse;
namespace {

// Multiplies and reports whether the product still fits in 64 bits.
bool multiply_fits(std::uint64_t& product, std::uint64_t factor) {
  if (factor != 0 && product > std::numeric_limits<std::uint64_t>::max() / factor) return false;
  product *= factor;
  return true;
}

std::uint64_t element_count(const image_view& view) { return view.width * view.height * view.depth * view.channels; }

void check_extents(const image_view& view, const char* role) {
  // The container keeps extents as unsigned int but hands them out as int
  // (width(), height() ...), and its loops and ours count in int: an extent of
  // 2^31 or more would turn negative there.
  const std::uint64_t largest_extent = std::numeric_limits<int>::max();
  std::uint64_t count = 1;
  bool fits = true;
  for (std::uint64_t extent : {view.width, view.height, view.depth, view.channels})
    fits = fits && extent <= largest_extent && multiply_fits(count, extent);
  std::uint64_t bytes = count;
  fits = fits && count <= cimg_max_buf_size && multiply_fits(bytes, sizeof(float)) &&
         bytes <= std::numeric_limits<std::size_t>::max();
  if (!fits)
    refuse("tooLarge",
           "%s of %llu x %llu x %llu x %llu (rows x columns x depth x channels) is too large for the image "
           "container: each extent must stay below 2^31 and the image below %llu elements.",
           role, static_cast<unsigned long long>(view.height), static_cast<unsigned long long>(view.width),
           static_cast<unsigned long long>(view.depth), static_cast<unsigned long long>(view.channels),
           static_cast<unsigned long long>(cimg_max_buf_size));
}

// One contiguous row. Its own function, so that the extent is a value no
// byte written can alias, and the loop runs on vectors for byte targets too.
template <typename Element, typename Pixel, class Convert>
void convert_row(const Element* row, Pixel* target, std::size_t width, Convert convert) {
  for (std::size_t x = 0; x < width; ++x) target[x] = convert(row[x]);
}

// Element (x, y, z, c) of the view into image pixel (x, y, z, c), a band of
// rows of one plane (z + depth * c) at a time, as `convert` makes it.
template <typename Element, typename Pixel, class Convert>
void copy_elements(const image_view& view, CImg<Pixel>& image, core::call_threads& threads, Convert convert) {
  const auto* source = static_cast<const Element*>(view.data);
  const std::size_t width = image.width(), height = image.height(), depth = image.depth();
  const std::size_t plane = width * height;
  const std::int64_t x_stride = view.x_stride, y_stride = view.y_stride;
  // Along the rows where the view's rows are contiguous, as a row-major
  // host's are; otherwise along the band's columns.
  const bool by_rows = x_stride == 1;
  for_each_band(height, depth * image.spectrum(), image.size(), threads,
                [&](std::size_t p, std::size_t first, std::size_t end) {
                  const Element* plane_start =
                      source + std::int64_t(p % depth) * view.z_stride + std::int64_t(p / depth) * view.channel_stride;
                  Pixel* target = image.data() + p * plane;
                  if (by_rows) {
                    for (std::size_t y = first; y < end; ++y)
                      convert_row(plane_start + y_stride * std::int64_t(y), target + width * y, width, convert);
                    return;
                  }
                  for (std::size_t x = 0; x < width; ++x) {
                    const Element* column = plane_start + x_stride * std::int64_t(x);
                    for (std::size_t y = first; y < end; ++y)
                      target[x + width * y] = convert(column[y_stride * std::int64_t(y)]);
                  }
                });
}

// A stride times an extent, in unsigned arithmetic: the strides of a view
// too large to convert wrap instead of overflowing, and check_view refuses
// such a view before any stride is used.
std::int64_t stride_times(std::int64_t stride, std::uint64_t extent) {
  return std::int64_t(std::uint64_t(stride) * extent);
}

// Calls copy(Element{}) with the C++ type of the view's elements.
template <class Copy>
void with_element_type(element_type type, Copy&& copy) {
  switch (type) {
    // A boolean is one byte; read it as a number, never as a bool.
    case element_type::boolean:
      return copy((unsigned char)0);
    case element_type::int8:
      return copy(std::int8_t());
    case element_type::uint8:
      return copy(std::uint8_t());
    case element_type::int16:
      return copy(std::int16_t());
    case element_type::uint16:
      return copy(std::uint16_t());
    case element_type::int32:
      return copy(std::int32_t());
    case element_type::uint32:
      return copy(std::uint32_t());
    case element_type::int64:
      return copy(std::int64_t());
    case element_type::uint64:
      return copy(std::uint64_t());
    case element_type::float32:
      return copy(float());
    case element_type::float64:
      return copy(double());
  }
}

}  // namespace

image_view column_major_view(const void* data, element_type type, std::uint64_t rows, std::uint64_t columns,
                             std::uint64_t depth, std::uint64_t channels, std::int64_t step) {
  image_view view;
  view.data = data;
  view.type = type;
  view.width = columns;
  view.height = rows;
  view.depth = depth;
  view.channels = channels;
  view.y_stride = step;
  view.x_stride = stride_times(view.y_stride, rows);
  view.z_stride = stride_times(view.x_stride, columns);
  view.channel_stride = stride_times(view.z_stride, depth);
  return view;
}

image_view row_major_view(const void* data, element_type type, std::uint64_t rows, std::uint64_t columns,
                          std::uint64_t depth, std::uint64_t channels) {
  image_view view;
  view.data = data;
  view.type = type;
  view.width = columns;
  view.height = rows;
  view.depth = depth;
  view.channels = channels;
  view.channel_stride = 1;
  view.x_stride = stride_times(1, channels);
  view.y_stride = stride_times(view.x_stride, columns);
  view.z_stride = stride_times(view.y_stride, rows);
  return view;
}

void check_view(const image_view& view, const char* role) {
  check_extents(view, role);
  if (element_count(view) != 0 && !view.data)
    refuse("missingData", "%s reports elements but the host gave no element data.", role);
}

CImg<float> image_from_view(const image_view& view, const char* role, int threads) {
  core::call_threads conversion(threads);
  return image_from_view(view, role, conversion);
}

CImg<float> image_from_view(const image_view& view, const char* role, core::call_threads& threads) {
  check_view(view, role);
  const auto width = static_cast<unsigned>(view.width), height = static_cast<unsigned>(view.height);
  const auto depth = static_cast<unsigned>(view.depth), channels = static_cast<unsigned>(view.channels);
  // The computation reports an image without pixels as empty, knowing its extents.
  if (element_count(view) == 0) return core::image_without_pixels(width, height, depth, channels);
  CImg<float> image = core::reused_image(width, height, depth, channels);
  with_element_type(view.type, [&](auto element) {
    using Element = decltype(element);
    copy_elements<Element>(view, image, threads, [](Element value) { return static_cast<float>(value); });
  });
  return image;
}

CImg<float> image_to_read(const image_view& view, const char* role, core::call_threads& threads) {
  const std::int64_t row = std::int64_t(view.width), plane = row * std::int64_t(view.height);
  const bool planar = view.type == element_type::float32 && view.x_stride == 1 && view.y_stride == row &&
                      view.z_stride == plane &&
                      (view.channels <= 1 || view.channel_stride == plane * std::int64_t(view.depth));
  if (!planar || element_count(view) == 0) return image_from_view(view, role, threads);
  check_view(view, role);
  return CImg<float>(static_cast<float*>(const_cast<void*>(view.data)), unsigned(view.width), unsigned(view.height),
                     unsigned(view.depth), unsigned(view.channels), true);
}

// Whether every element of a one-channel view is non-zero, read where it
// lies: a mask with every pixel inside is no mask, and costs no copy.
template <class Element>
bool every_element_inside(const image_view& view) {
  const auto* source = static_cast<const Element*>(view.data);
  for (std::uint64_t z = 0; z < view.depth; ++z)
    for (std::uint64_t y = 0; y < view.height; ++y) {
      const Element* row = source + std::int64_t(z) * view.z_stride + std::int64_t(y) * view.y_stride;
      // A contiguous row of bytes is searched for a zero byte at once.
      if (sizeof(Element) == 1 && view.x_stride == 1) {
        if (std::memchr(row, 0, std::size_t(view.width))) return false;
        continue;
      }
      for (std::uint64_t x = 0; x < view.width; ++x)
        if (!(row[std::int64_t(x) * view.x_stride] != 0)) return false;
    }
  return true;
}

CImg<unsigned char> mask_from_view(const image_view& mask, const CImg<float>& image, core::call_threads& threads,
                                   bool may_be_empty) {
  check_view(mask, "the mask");
  if (mask.width != std::uint64_t(image.width()) || mask.height != std::uint64_t(image.height()) ||
      mask.depth != std::uint64_t(image.depth()) || mask.channels != 1)
    refuse("geometryMismatch",
           "the mask is %llu x %llu x %llu (rows x columns x depth) with %llu channels; expected the image's "
           "%u x %u x %u with one channel.",
           static_cast<unsigned long long>(mask.height), static_cast<unsigned long long>(mask.width),
           static_cast<unsigned long long>(mask.depth), static_cast<unsigned long long>(mask.channels), image.height(),
           image.width(), image.depth());
  bool every_inside = element_count(mask) != 0;
  if (every_inside)
    with_element_type(mask.type, [&](auto element) { every_inside = every_element_inside<decltype(element)>(mask); });
  // Every pixel inside is the same call as no mask, which costs nothing.
  if (every_inside) return CImg<unsigned char>();
  CImg<unsigned char> inside = core::reused_image<unsigned char>(image.width(), image.height(), image.depth(), 1);
  if (element_count(mask) != 0)
    with_element_type(mask.type, [&](auto element) {
      using Element = decltype(element);
      copy_elements<Element>(mask, inside, threads, [](Element value) { return (unsigned char)(value != 0); });
    });
  if (!may_be_empty && !std::memchr(inside.data(), 1, inside.size()))
    refuse("emptyMask", "the mask has no pixel inside; expected at least one non-zero element.");
  return inside;
}

CImg<float> parameter_image(const std::vector<float>& parameters) {
  if (parameters.empty()) return CImg<float>();
  return CImg<float>(parameters.data(), unsigned(parameters.size()), 1, 1, 1);
}

void apply_options(const call_options& options, core::call_threads& threads) {
  if (options.stop_requested) threads.poll_for_stop(options.stop_requested);
}

core::run_watch watch_of(const call_options& options, core::run_info* info) {
  core::run_watch watch;
  watch.progress = options.progress;
  watch.info = info;
  watch.warn = options.warn;
  return watch;
}

int every_core() { return core::threads_for(0); }

label_image hand_over(CImg<float>&& labels) {
  label_image handed;
  handed.width = labels.width();
  handed.height = labels.height();
  handed.depth = labels.depth();
  if (labels.is_empty()) return handed;
  // The container's buffer moves into shared ownership: no copy, and the
  // host's result array is the only other label-sized buffer of a call.
  // Once the host lets go of it, the buffer is kept for the next call.
  std::shared_ptr<CImg<float>> owner(new CImg<float>(std::move(labels)), [](CImg<float>* kept) {
    core::keep_for_reuse(std::move(*kept));
    delete kept;
  });
  handed.values = owner->data();
  handed.storage = std::move(owner);
  return handed;
}

}  // namespace edgeseg
