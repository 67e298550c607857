// edgeseg._core: the Python host's entry. Each call reads the caller's
// buffers through views, runs the command with the interpreter free for
// other threads, and hands the labels back as a buffer that numpy wraps
// without a copy. Argument handling, axes and documentation live in the
// pure-Python layer (python/edgeseg/); this file only meets the C++ API.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "buffer_view.h"
#include "core/image.h"
#include "edgeseg/segment.h"

namespace py = pybind11;

namespace {

// The labels of one call, kept alive for as long as numpy's array over them.
struct held_labels {
  edgeseg::label_image labels;
};

// The labels as a float32 buffer of (planes, rows, columns), x fastest. An
// image without pixels has no storage; its empty buffer points at a dummy.
py::buffer_info labels_buffer(held_labels& held) {
  static float no_pixels = 0;
  const edgeseg::label_image& labels = held.labels;
  const auto width = static_cast<py::ssize_t>(labels.width), height = static_cast<py::ssize_t>(labels.height);
  const auto depth = static_cast<py::ssize_t>(labels.depth);
  const py::ssize_t item = sizeof(float);
  return py::buffer_info(labels.values ? labels.values : &no_pixels, item, py::format_descriptor<float>::format(), 3,
                         {depth, height, width}, {height * width * item, width * item, item}, true);
}

// What a call is asked besides its images and settings. Progress reports and
// the stop request (Ctrl-C) join the thread count here as the API gains them.
edgeseg::call_options options_for(int threads) {
  edgeseg::call_options options;
  options.threads = threads;
  return options;
}

// The buffers stay requested (the arrays pinned) until the call has returned
// and the interpreter is held again, which their release needs.
held_labels sorvik_call(const py::buffer& image, const std::vector<float>& parameters, int threads) {
  const py::buffer_info image_buffer = image.request();
  const edgeseg::image_view image_view = python_host::view_of_buffer(image_buffer, "image");
  const edgeseg::call_options options = options_for(threads);
  held_labels held;
  {
    py::gil_scoped_release free_interpreter;
    held.labels = edgeseg::sorvik(image_view, parameters, options);
  }
  return held;
}

held_labels tamvel_call(const py::buffer& primary, const py::buffer& secondary, const std::vector<float>& parameters,
                        int threads) {
  const py::buffer_info primary_buffer = primary.request();
  const py::buffer_info secondary_buffer = secondary.request();
  const edgeseg::image_view primary_view = python_host::view_of_buffer(primary_buffer, "primary");
  const edgeseg::image_view secondary_view = python_host::view_of_buffer(secondary_buffer, "secondary");
  const edgeseg::call_options options = options_for(threads);
  held_labels held;
  {
    py::gil_scoped_release free_interpreter;
    held.labels = edgeseg::tamvel(primary_view, secondary_view, parameters, options);
  }
  return held;
}

// A refusal becomes ValueError carrying the fault's name as `mnemonic`
// ("badParameters", "geometryMismatch" ...), the identifier the Octave
// command gives the same fault.
void raise_refusal(const edgeseg::refusal& fault) {
  py::object error = py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_ValueError, "s", fault.what()));
  if (!error) return;  // the interpreter's own error stays set
  error.attr("mnemonic") = py::str(fault.mnemonic());
  PyErr_SetObject(PyExc_ValueError, error.ptr());
}

// Every exception the API lets out, in Python's terms; everything the call
// made has been released by then.
void translate_exception(std::exception_ptr fault) {
  try {
    std::rethrow_exception(fault);
  } catch (const edgeseg::refusal& refusal) {
    raise_refusal(refusal);
  } catch (const cimg_library::CImgException& library_fault) {
    // The image library reports memory it could not get as its own error.
    const bool memory = std::strstr(library_fault.what(), "Failed to allocate memory") != nullptr;
    PyErr_SetString(memory ? PyExc_MemoryError : PyExc_RuntimeError, library_fault.what());
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "not enough memory for this image and these settings.");
  }
}

}  // namespace

PYBIND11_MODULE(_core, module) {
  module.doc() = "The compiled calls under edgeseg.sorvik and edgeseg.tamvel; use those.";
  py::register_exception_translator(translate_exception);
  py::class_<held_labels>(module, "Labels", py::buffer_protocol()).def_buffer(&labels_buffer);
  module.def("sorvik", &sorvik_call, py::arg("image"), py::arg("parameters"), py::arg("threads"),
             "Labels of a (planes, rows, columns, channels) buffer under the six settings.");
  module.def("tamvel", &tamvel_call, py::arg("primary"), py::arg("secondary"), py::arg("parameters"),
             py::arg("threads"), "Labels of two (planes, rows, columns, channels) buffers under the eight settings.");
}
