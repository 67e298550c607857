#include "buffer_view.h"

#include <cstdint>
#include <string>

namespace python_host {

namespace py = pybind11;
namespace {

// A format character with an optional byte-order prefix; only the native
// order is read ('@', '=', or the explicit prefix of this machine's order).
bool strip_native_prefix(std::string& format) {
  if (format.empty()) return false;
  const bool little = [] {
    const std::uint16_t probe = 1;
    return *reinterpret_cast<const unsigned char*>(&probe) == 1;
  }();
  const char prefix = format[0];
  if (prefix == '@' || prefix == '=' || (prefix == '<' && little) || ((prefix == '>' || prefix == '!') && !little))
    format.erase(0, 1);
  return format.size() == 1;
}

edgeseg::element_type signed_type(py::ssize_t size) {
  switch (size) {
    case 1:
      return edgeseg::element_type::int8;
    case 2:
      return edgeseg::element_type::int16;
    case 4:
      return edgeseg::element_type::int32;
    default:
      return edgeseg::element_type::int64;
  }
}

edgeseg::element_type unsigned_type(py::ssize_t size) {
  switch (size) {
    case 1:
      return edgeseg::element_type::uint8;
    case 2:
      return edgeseg::element_type::uint16;
    case 4:
      return edgeseg::element_type::uint32;
    default:
      return edgeseg::element_type::uint64;
  }
}

bool is_integer_size(py::ssize_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

// The element type of a format: the struct module's codes, which numpy
// exports (a C long is 'l' whatever its width, so the item size decides).
edgeseg::element_type element_type_of(const py::buffer_info& buffer, const char* argument) {
  std::string format = buffer.format;
  const py::ssize_t size = buffer.itemsize;
  if (strip_native_prefix(format)) {
    const char code = format[0];
    if (code == '?' && size == 1) return edgeseg::element_type::boolean;
    if ((code == 'b' || code == 'h' || code == 'i' || code == 'l' || code == 'q') && is_integer_size(size))
      return signed_type(size);
    if ((code == 'B' || code == 'H' || code == 'I' || code == 'L' || code == 'Q') && is_integer_size(size))
      return unsigned_type(size);
    if (code == 'f' && size == 4) return edgeseg::element_type::float32;
    if (code == 'd' && size == 8) return edgeseg::element_type::float64;
  }
  throw py::type_error(std::string(argument) + " has elements of buffer format '" + buffer.format +
                       "'; expected bool, an integer type, float32 or float64 in native byte order.");
}

}  // namespace

void require_aligned(const py::buffer_info& buffer, const char* argument) {
  if (buffer.itemsize > 0 && reinterpret_cast<std::uintptr_t>(buffer.ptr) % std::uintptr_t(buffer.itemsize) != 0)
    throw py::value_error(std::string(argument) + " lies at a byte address that is no multiple of its " +
                          std::to_string(buffer.itemsize) + "-byte elements; expected an aligned array " +
                          "(numpy.require(array, requirements='A') copies it into one).");
}

edgeseg::image_view view_of_buffer(const py::buffer_info& buffer, const char* argument) {
  const edgeseg::element_type type = element_type_of(buffer, argument);
  require_aligned(buffer, argument);
  if (buffer.ndim != 4)
    throw py::value_error(std::string(argument) + " reached the extension with " + std::to_string(buffer.ndim) +
                          " axes; expected 4 (planes, rows, columns, channels).");
  std::int64_t strides[4];
  for (int axis = 0; axis < 4; ++axis) {
    if (buffer.strides[axis] % buffer.itemsize != 0)
      throw py::value_error(std::string(argument) + " has a stride of " + std::to_string(buffer.strides[axis]) +
                            " bytes, which is no whole number of its " + std::to_string(buffer.itemsize) +
                            "-byte elements.");
    strides[axis] = buffer.strides[axis] / buffer.itemsize;
  }
  edgeseg::image_view view;
  view.data = buffer.ptr;
  view.type = type;
  view.depth = static_cast<std::uint64_t>(buffer.shape[0]);
  view.height = static_cast<std::uint64_t>(buffer.shape[1]);
  view.width = static_cast<std::uint64_t>(buffer.shape[2]);
  view.channels = static_cast<std::uint64_t>(buffer.shape[3]);
  view.z_stride = strides[0];
  view.y_stride = strides[1];
  view.x_stride = strides[2];
  view.channel_stride = strides[3];
  return view;
}

}  // namespace python_host
