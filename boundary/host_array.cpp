#include "host_array.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "api/conversion.h"
#include "core/refusal.h"

namespace boundary {

using core::refuse;
namespace {

#if defined(MX_HAS_INTERLEAVED_COMPLEX) && MX_HAS_INTERLEAVED_COMPLEX
constexpr bool interleaved_complex = true;
#else
constexpr bool interleaved_complex = false;
#endif

const char* class_name(mxClassID class_id) {
  switch (class_id) {
    case mxCELL_CLASS:
      return "cell";
    case mxSTRUCT_CLASS:
      return "struct";
    case mxLOGICAL_CLASS:
      return "logical";
    case mxCHAR_CLASS:
      return "char";
    case mxDOUBLE_CLASS:
      return "double";
    case mxSINGLE_CLASS:
      return "single";
    case mxINT8_CLASS:
      return "int8";
    case mxUINT8_CLASS:
      return "uint8";
    case mxINT16_CLASS:
      return "int16";
    case mxUINT16_CLASS:
      return "uint16";
    case mxINT32_CLASS:
      return "int32";
    case mxUINT32_CLASS:
      return "uint32";
    case mxINT64_CLASS:
      return "int64";
    case mxUINT64_CLASS:
      return "uint64";
    case mxFUNCTION_CLASS:
      return "function_handle";
    default:
      return "unknown";
  }
}

// The host's dimensions as extents: rows, columns, then depth and channels
// as the dimension count and the volume option place them.
struct host_extents {
  std::uint64_t width = 0, height = 0, depth = 1, channels = 1;
};

host_extents extents_of(const mxArray* array, const char* role, bool volume) {
  const std::uint64_t dimension_count = static_cast<std::uint64_t>(mxGetNumberOfDimensions(array));
  if (dimension_count < 2 || dimension_count > 4)
    refuse("tooManyDimensions",
           "%s has %llu dimensions; expected 2 (rows x columns), 3 (rows x columns x channels) "
           "or 4 (rows x columns x depth x channels).",
           role, static_cast<unsigned long long>(dimension_count));
  const mwSize* dimensions = mxGetDimensions(array);
  host_extents extents;
  extents.height = static_cast<std::uint64_t>(dimensions[0]);
  extents.width = static_cast<std::uint64_t>(dimensions[1]);
  if (dimension_count == 3) (volume ? extents.depth : extents.channels) = static_cast<std::uint64_t>(dimensions[2]);
  if (dimension_count == 4) {
    extents.depth = static_cast<std::uint64_t>(dimensions[2]);
    extents.channels = static_cast<std::uint64_t>(dimensions[3]);
  }
  return extents;
}

edgeseg::element_type element_type_of(mxClassID class_id) {
  switch (class_id) {
    case mxLOGICAL_CLASS:
      return edgeseg::element_type::boolean;
    case mxSINGLE_CLASS:
      return edgeseg::element_type::float32;
    case mxINT8_CLASS:
      return edgeseg::element_type::int8;
    case mxUINT8_CLASS:
      return edgeseg::element_type::uint8;
    case mxINT16_CLASS:
      return edgeseg::element_type::int16;
    case mxUINT16_CLASS:
      return edgeseg::element_type::uint16;
    case mxINT32_CLASS:
      return edgeseg::element_type::int32;
    case mxUINT32_CLASS:
      return edgeseg::element_type::uint32;
    case mxINT64_CLASS:
      return edgeseg::element_type::int64;
    case mxUINT64_CLASS:
      return edgeseg::element_type::uint64;
    default:
      return edgeseg::element_type::float64;
  }
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

edgeseg::image_view describe_host_array(const mxArray* array, const char* role, bool volume) {
  if (mxIsSparse(array)) refuse("sparseInput", "%s is a sparse array; pass a full array (full(x)).", role);
  const mxClassID class_id = mxGetClassID(array);
  if (!is_number_class(class_id))
    refuse("unsupportedClass",
           "%s is of class %s; expected a logical or numeric array (double, single, int8 to uint64).", role,
           host_class_name(array));
  const host_extents extents = extents_of(array, role, volume);
  // A logical element is one byte, read through its own pointer; with
  // interleaved complex elements the real parts are every second one.
  const void* data = class_id == mxLOGICAL_CLASS ? static_cast<const void*>(mxGetLogicals(array)) : mxGetData(array);
  const std::int64_t step = class_id != mxLOGICAL_CLASS && interleaved_complex && mxIsComplex(array) ? 2 : 1;
  const edgeseg::image_view view = edgeseg::column_major_view(data, element_type_of(class_id), extents.height,
                                                              extents.width, extents.depth, extents.channels, step);
  edgeseg::check_view(view, role);
  return view;
}

CImg<float> image_from_host(const mxArray* array, const char* role, bool volume, int threads) {
  return edgeseg::image_from_view(describe_host_array(array, role, volume), role, threads);
}

std::vector<float> parameters_from_host(const mxArray* array) {
  const CImg<float> parameters = image_from_host(array, "the parameter vector");
  return std::vector<float>(parameters.data(), parameters.data() + parameters.size());
}

namespace {

// A new real double host array of dimensions (height, width, depth,
// channels): pixel (x, y, z, c) of `values` into host element (y, x, z, c).
mxArray* values_to_host(const float* values, std::size_t width, std::size_t height, std::size_t depth,
                        std::size_t channels, int threads) {
  const mwSize dimensions[4] = {static_cast<mwSize>(height), static_cast<mwSize>(width), static_cast<mwSize>(depth),
                                static_cast<mwSize>(channels)};
  mxArray* array = mxCreateNumericArray(4, dimensions, mxDOUBLE_CLASS, mxREAL);
  if (!array) refuse("outOfMemory", "the host could not create the result array.");
  const std::size_t plane = width * height;
  if (!values || plane * depth * channels == 0) return array;
  double* target = static_cast<double*>(mxGetData(array));
  edgeseg::for_each_band(height, depth * channels, plane * depth * channels, threads,
                         [&](std::size_t p, std::size_t first, std::size_t end) {
                           const float* source = values + p * plane;
                           for (std::size_t x = 0; x < width; ++x) {
                             double* column = target + p * plane + height * x;
                             for (std::size_t y = first; y < end; ++y) column[y] = source[x + width * y];
                           }
                         });
  return array;
}

}  // namespace

mxArray* image_to_host(const CImg<float>& image, int threads) {
  return values_to_host(image.is_empty() ? nullptr : image.data(), image.width(), image.height(), image.depth(),
                        image.spectrum(), threads);
}

mxArray* labels_to_host(const edgeseg::label_image& labels, int threads) {
  return values_to_host(labels.values, labels.width, labels.height, labels.depth, 1, threads);
}

}  // namespace boundary
