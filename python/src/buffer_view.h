// A Python buffer as the API's image view, without copying: the Python layer
// hands over every image as four axes (planes, rows, columns, channels) in
// whatever memory order the caller's array has, and the view reads the
// elements through the buffer's own strides.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "edgeseg/image_view.h"

namespace python_host {

// The view of a buffer of four axes. `argument` names the input in the
// messages ("image"). A format that is not one of the API's element types
// raises TypeError; a buffer of other than four axes, or with a stride that
// is no whole number of elements, raises ValueError (the Python layer
// passes neither, having copied such arrays first).
edgeseg::image_view view_of_buffer(const pybind11::buffer_info& buffer, const char* argument);

// Refuses (ValueError) a buffer whose first element lies at an address that
// is no multiple of its element size: the elements are read as their C++
// type. numpy marks such arrays unaligned (flags.aligned); they come from
// byte offsets of other buffers, such as a message between Dask workers.
void require_aligned(const pybind11::buffer_info& buffer, const char* argument);

// A float32 array in C order, as the extension reads one: numpy copies an
// array of another type, order or alignment into one.
using float_array = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast |
                                                 pybind11::detail::npy_api::NPY_ARRAY_ALIGNED_>;

}  // namespace python_host
