#include "host_array.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/refusal.h"
#include "core/call_threads.h"

namespace boundary {

using core::refuse;
using core::image_without_pixels;
namespace {

#if defined(MX_HAS_INTERLEAVED_COMPLEX) && MX_HAS_INTERLEAVED_COMPLEX
constexpr bool interleaved_complex = true;
#else
constexpr bool interleaved_complex = false;
#endif

const char* class_name(mxClassID class_id) {
  switch (class_id) {
    case mxCELL_CLASS: return "cell";
    case mxSTRUCT_CLASS: return "struct";
    case mxLOGICAL_CLASS: return "logical";
    case mxCHAR_CLASS: return "char";
    case mxDOUBLE_CLASS: return "double";
    case mxSINGLE_CLASS: return "single";
    case mxINT8_CLASS: return "int8";
    case mxUINT8_CLASS: return "uint8";
    case mxINT16_CLASS: return "int16";
    case mxUINT16_CLASS: return "uint16";
    case mxINT32_CLASS: return "int32";
    case mxUINT32_CLASS: return "uint32";
    case mxINT64_CLASS: return "int64";
    case mxUINT64_CLASS: return "uint64";
    case mxFUNCTION_CLASS: return "function_handle";
    default: return "unknown";
  }
}

struct image_extents {
  std::uint64_t width = 0, height = 0, depth = 1, spectrum = 1;
};

// Multiplies and reports whether the product still fits in 64 bits.
bool multiply_fits(std::uint64_t& product, std::uint64_t factor) {
  if (factor != 0 && product > std::numeric_limits<std::uint64_t>::max() / factor) return false;
  product *= factor;
  return true;
}

image_extents extents_of(const mxArray* array, const char* role, bool volume) {
  const std::uint64_t dimension_count = static_cast<std::uint64_t>(mxGetNumberOfDimensions(array));
  if (dimension_count < 2 || dimension_count > 4)
    refuse("tooManyDimensions",
           "%s has %llu dimensions; expected 2 (rows x columns), 3 (rows x columns x channels) "
           "or 4 (rows x columns x depth x channels).",
           role, static_cast<unsigned long long>(dimension_count));
  const mwSize* dimensions = mxGetDimensions(array);
  image_extents extents;
  extents.height = static_cast<std::uint64_t>(dimensions[0]);
  extents.width = static_cast<std::uint64_t>(dimensions[1]);
  if (dimension_count == 3) (volume ? extents.depth : extents.spectrum) = static_cast<std::uint64_t>(dimensions[2]);
  if (dimension_count == 4) {
    extents.depth = static_cast<std::uint64_t>(dimensions[2]);
    extents.spectrum = static_cast<std::uint64_t>(dimensions[3]);
  }

  // The container keeps extents as unsigned int but hands them out as int
  // (width(), height() ...), and its loops and ours count in int: an extent of
  // 2^31 or more would turn negative there.
  const std::uint64_t largest_extent = std::numeric_limits<int>::max();
  std::uint64_t count = 1;
  bool fits = true;
  for (std::uint64_t extent : {extents.width, extents.height, extents.depth, extents.spectrum})
    fits = fits && extent <= largest_extent && multiply_fits(count, extent);
  std::uint64_t bytes = count;
  fits = fits && count <= cimg_max_buf_size && multiply_fits(bytes, sizeof(float)) &&
         bytes <= std::numeric_limits<std::size_t>::max();
  if (!fits)
    refuse("tooLarge",
           "%s of %llu x %llu x %llu x %llu (rows x columns x depth x channels) is too large for the image "
           "container: each extent must stay below 2^31 and the image below %llu elements.",
           role, static_cast<unsigned long long>(extents.height), static_cast<unsigned long long>(extents.width),
           static_cast<unsigned long long>(extents.depth), static_cast<unsigned long long>(extents.spectrum),
           static_cast<unsigned long long>(cimg_max_buf_size));
  return extents;
}

// Host arrays run down the columns (y fastest), images along the rows (x
// fastest). Both copies go through bands of a few rows, so that every column
// of a band is read or written as one run and the band's rows are written or
// read side by side, and bands go to the call's threads.
constexpr std::size_t band_rows = 16;

// Bands of all planes (depth x channels) of an image, shared among up to
// `threads` threads: band(plane, first row, end row) for every band. The
// threads are started and joined here, between host calls: a host may leave
// its API by a long jump, which would skip the joining of threads kept open
// across such a call.
template <class Band>
void for_each_band(const CImg<float>& image, int threads, Band&& band) {
  const std::size_t height = image.height();
  const std::size_t planes = std::size_t(image.depth()) * image.spectrum();
  const std::size_t bands_per_plane = (height + band_rows - 1) / band_rows;
  const std::size_t bands = planes * bands_per_plane;
  core::call_threads conversion(threads);
  const int parts = core::useful_parts(threads, image.size(), std::size_t(1) << 18);
  conversion.run(parts, [&](int part, int part_count, core::run_progress&) {
    const core::share mine = core::share_of(bands, part, part_count);
    for (std::size_t b = mine.begin; b < mine.end; ++b) {
      const std::size_t first = (b % bands_per_plane) * band_rows;
      band(b / bands_per_plane, first, std::min(height, first + band_rows));
    }
  });
}

// Host element (y, x, z, c), `element_step` elements apart, into image pixel
// (x, y, z, c).
template <typename Element>
void copy_elements(const void* data, std::size_t element_step, CImg<float>& image, int threads) {
  const auto* source = static_cast<const Element*>(data);
  const std::size_t width = image.width(), height = image.height(), plane = width * height;
  for_each_band(image, threads, [&](std::size_t p, std::size_t first, std::size_t end) {
    float* target = image.data() + p * plane;
    for (std::size_t x = 0; x < width; ++x) {
      const Element* column = source + element_step * (p * plane + height * x);
      for (std::size_t y = first; y < end; ++y) target[x + width * y] = static_cast<float>(column[element_step * y]);
    }
  });
}

}  // namespace

bool is_number_class(mxClassID class_id) {
  return class_id == mxLOGICAL_CLASS || (class_id >= mxDOUBLE_CLASS && class_id <= mxUINT64_CLASS);
}

const char* host_class_name(const mxArray* array) {
  // MATLAB's strings are objects; the class identifier does not tell them.
  return mxIsClass(array, "string") ? "string" : class_name(mxGetClassID(array));
}

argument_description::argument_description(const mxArray* array) {
  int used = std::snprintf(text, sizeof text, "a %s%s%s array of size ", mxIsSparse(array) ? "sparse " : "",
                           mxIsComplex(array) ? "complex " : "", host_class_name(array));
  const mwSize count = mxGetNumberOfDimensions(array);
  for (mwSize i = 0; i < count && used > 0 && std::size_t(used) < sizeof text; ++i)
    used += std::snprintf(text + used, sizeof text - std::size_t(used), "%s%llu", i ? " x " : "",
                          static_cast<unsigned long long>(mxGetDimensions(array)[i]));
}

CImg<float> image_from_host(const mxArray* array, const char* role, bool volume, int threads) {
  if (mxIsSparse(array))
    refuse("sparseInput", "%s is a sparse array; pass a full array (full(x)).", role);
  const mxClassID class_id = mxGetClassID(array);
  if (!is_number_class(class_id))
    refuse("unsupportedClass",
           "%s is of class %s; expected a logical or numeric array (double, single, int8 to uint64).", role,
           host_class_name(array));

  const image_extents extents = extents_of(array, role, volume);
  // The computation reports an image without pixels as empty, knowing its extents.
  if (extents.width * extents.height * extents.depth * extents.spectrum == 0)
    return image_without_pixels(static_cast<unsigned int>(extents.width), static_cast<unsigned int>(extents.height),
                                static_cast<unsigned int>(extents.depth), static_cast<unsigned int>(extents.spectrum));

  const void* data = class_id == mxLOGICAL_CLASS ? static_cast<const void*>(mxGetLogicals(array)) : mxGetData(array);
  if (!data) refuse("missingData", "%s reports elements but the host gave no element data.", role);

  CImg<float> image(static_cast<unsigned int>(extents.width), static_cast<unsigned int>(extents.height),
                    static_cast<unsigned int>(extents.depth), static_cast<unsigned int>(extents.spectrum));
  const std::size_t step = interleaved_complex && mxIsComplex(array) ? 2 : 1;
  switch (class_id) {
    // A logical element is one byte; read it as a number, never as a bool.
    case mxLOGICAL_CLASS: copy_elements<unsigned char>(data, 1, image, threads); break;
    case mxDOUBLE_CLASS: copy_elements<double>(data, step, image, threads); break;
    case mxSINGLE_CLASS: copy_elements<float>(data, step, image, threads); break;
    case mxINT8_CLASS: copy_elements<std::int8_t>(data, step, image, threads); break;
    case mxUINT8_CLASS: copy_elements<std::uint8_t>(data, step, image, threads); break;
    case mxINT16_CLASS: copy_elements<std::int16_t>(data, step, image, threads); break;
    case mxUINT16_CLASS: copy_elements<std::uint16_t>(data, step, image, threads); break;
    case mxINT32_CLASS: copy_elements<std::int32_t>(data, step, image, threads); break;
    case mxUINT32_CLASS: copy_elements<std::uint32_t>(data, step, image, threads); break;
    case mxINT64_CLASS: copy_elements<std::int64_t>(data, step, image, threads); break;
    case mxUINT64_CLASS: copy_elements<std::uint64_t>(data, step, image, threads); break;
    default: break;
  }
  return image;
}

mxArray* image_to_host(const CImg<float>& image, int threads) {
  const std::size_t width = image.width(), height = image.height();
  const std::size_t depth = image.depth(), spectrum = image.spectrum();
  const mwSize dimensions[4] = {static_cast<mwSize>(height), static_cast<mwSize>(width), static_cast<mwSize>(depth),
                                static_cast<mwSize>(spectrum)};
  mxArray* array = mxCreateNumericArray(4, dimensions, mxDOUBLE_CLASS, mxREAL);
  if (!array) refuse("outOfMemory", "the host could not create the result array.");
  if (image.is_empty()) return array;
  double* target = static_cast<double*>(mxGetData(array));
  const std::size_t plane = width * height;
  // Pixel (x, y, z, c) into host element (y, x, z, c).
  for_each_band(image, threads, [&](std::size_t p, std::size_t first, std::size_t end) {
    const float* source = image.data() + p * plane;
    for (std::size_t x = 0; x < width; ++x) {
      double* column = target + p * plane + height * x;
      for (std::size_t y = first; y < end; ++y) column[y] = source[x + width * y];
    }
  });
  return array;
}

}  // namespace boundary
