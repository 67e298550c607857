// A Python buffer as the API's image view, without copying: the Python layer
// hands over every image as four axes (planes, rows, columns, channels) in
// whatever memory order the caller's array has, and the view reads the
// elements through the buffer's own strides.
#pragma once

#include <pybind11/pybind11.h>

#include "edgeseg/image_view.h"

namespace python_host {

// The view of a buffer of four axes. `argument` names the input in the
// messages ("image"). A format that is not one of the API's element types
// raises TypeError; a buffer of other than four axes, or with a stride that
// is no whole number of elements, raises ValueError (the Python layer
// passes neither, having copied such arrays first).
edgeseg::image_view view_of_buffer(const pybind11::buffer_info& buffer, const char* argument);

}  // namespace python_host
