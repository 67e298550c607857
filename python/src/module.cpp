// edgeseg._core: the Python host's entry. Each call reads the caller's
// buffers through views, runs the command with the interpreter free for
// other threads, and hands the labels back as an int64 numpy array.
// Argument handling, axes and documentation live in the pure-Python layer
// (python/edgeseg/); this file meets the C++ API, and the API's conversion
// helpers (api/conversion.h) for handing the labels back in bands.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/conversion.h"
#include "buffer_view.h"
#include "call_hooks.h"
#include "chain.h"
#include "steps.h"
#include "core/call_threads.h"
#include "core/image.h"
#include "core/progress_text.h"
#include "core/settings.h"
#include "edgeseg/segment.h"
#include "edgeseg/settings_table.h"

namespace py = pybind11;

namespace {

// The labels as a new int64 numpy array of (planes, rows, columns), made
// through numpy's Python interface (not its C interface, which ties an
// extension to one numpy ABI) and filled with the interpreter free, by the
// call's threads in bands of rows, as the MEX host fills its result.
py::object labels_array(const edgeseg::label_image& labels, int threads) {
  const std::size_t width = labels.width, height = labels.height, depth = labels.depth;
  py::object array = py::module_::import("numpy").attr("empty")(py::make_tuple(depth, height, width), "int64");
  if (!labels.values) return array;
  const py::buffer_info target = py::buffer(array).request(true);
  auto* out = static_cast<std::int64_t*>(target.ptr);
  {
    py::gil_scoped_release free_interpreter;
    edgeseg::for_each_band(
        height, depth, labels.size(), threads, [&](std::size_t plane, std::size_t first, std::size_t end) {
          const std::size_t start = (plane * height + first) * width, stop = (plane * height + end) * width;
          for (std::size_t i = start; i < stop; ++i) out[i] = static_cast<std::int64_t>(labels.values[i]);
        });
  }
  return array;
}

// What a run found, for the Python layer to shape: plain lists, numbers and
// flags under the names of the Octave command's info.
py::dict info_dict(const edgeseg::run_info& info) {
  py::dict found;
  found["class_count"] = info.class_count;
  found["channels"] = info.channels;
  found["centres"] = py::cast(info.centres);
  found["secondary_centres"] = py::cast(info.secondary_centres);
  found["iterations"] = info.iterations;
  found["converged"] = info.converged;
  found["energies"] = py::cast(info.energies);
  found["counts"] = py::cast(info.counts);
  return found;
}

// Starting centres from a C-contiguous float64 (K, C) buffer, as the Python
// layer forms them; None gives none.
edgeseg::centre_table centre_table_of(const py::object& given, const char* argument) {
  edgeseg::centre_table table;
  if (given.is_none()) return table;
  const py::buffer_info buffer = py::buffer(given).request();
  if (buffer.ndim != 2 || buffer.format != py::format_descriptor<double>::format() ||
      buffer.strides[1] != py::ssize_t(sizeof(double)) || buffer.strides[0] != buffer.shape[1] * buffer.strides[1])
    throw py::type_error(std::string(argument) + " must reach the extension as a C-contiguous float64 (K, C) array.");
  table.classes = std::uint64_t(buffer.shape[0]);
  table.channels = std::uint64_t(buffer.shape[1]);
  const auto* values = static_cast<const double*>(buffer.ptr);
  table.values.assign(values, values + buffer.size);
  return table;
}

// The warnings of the run's end, raised through edgeseg._warnings.
void emit_warnings(const std::vector<core::run_warning>& warnings) {
  if (warnings.empty()) return;
  const py::object emit = py::module_::import("edgeseg._warnings").attr("emit");
  for (const core::run_warning& warning : warnings) emit(warning.mnemonic, warning.message);
}

// Runs one call with the interpreter free, then hands back the labels (and
// the run's info when asked), and raises the warnings of the run's end. A
// stopped call raises what stopped it.
template <typename Call>
py::object run(const char* command, Call&& call, int threads, const py::object& progress, bool interruptible,
               bool want_info) {
  python_host::call_hooks hooks;
  hooks.progress = progress;
  hooks.command = command;
  hooks.interruptible = interruptible;
  edgeseg::call_options options = python_host::options_for(threads, hooks);
  std::vector<core::run_warning> warnings;
  options.warn = [&warnings](const core::run_warning& warning) { warnings.push_back(warning); };
  edgeseg::run_info info;
  edgeseg::label_image labels;
  try {
    py::gil_scoped_release free_interpreter;
    labels = call(options, want_info ? &info : nullptr);
  } catch (const edgeseg::stopped&) {
    python_host::raise_caught(hooks);
    // Only a hook stops a call, and it keeps what stopped it; should that be
    // lost, the caller still hears that the call was stopped.
    PyErr_SetString(PyExc_KeyboardInterrupt, "the call was stopped before it finished.");
    throw py::error_already_set();
  }
  python_host::raise_caught(hooks);  // the progress callable failed at the last iteration
  py::object array = labels_array(labels, threads);
  emit_warnings(warnings);
  if (!want_info) return array;
  return py::make_tuple(array, info_dict(info));
}

// The buffers stay requested (the arrays pinned) until the call has returned
// and the interpreter is held again, which their release needs. The
// converted images are gone by the time the labels array is made.
// The mask's view, where one is given; its buffer stays requested in `buffer`.
std::optional<edgeseg::image_view> mask_view_of(const std::optional<py::buffer>& mask, py::buffer_info& buffer) {
  if (!mask) return std::nullopt;
  buffer = mask->request();
  return python_host::view_of_buffer(buffer, "mask");
}

py::object sorvik_call(const py::buffer& image, const std::vector<float>& parameters, int threads,
                       const py::object& progress, bool interruptible, bool want_info, bool exact_sums,
                       const std::optional<py::buffer>& mask, const py::object& initial_centres) {
  const py::buffer_info image_buffer = image.request();
  const edgeseg::image_view image_view = python_host::view_of_buffer(image_buffer, "image");
  py::buffer_info mask_buffer;
  const std::optional<edgeseg::image_view> mask_view = mask_view_of(mask, mask_buffer);
  const edgeseg::centre_table start = centre_table_of(initial_centres, "initial_centres");
  return run(
      "sorvik",
      [&](edgeseg::call_options options, edgeseg::run_info* info) {
        options.exact_sums = exact_sums;
        options.mask = mask_view;
        options.initial_centres = start;
        return edgeseg::sorvik(image_view, parameters, options, info);
      },
      threads, progress, interruptible, want_info);
}

py::object tamvel_call(const py::buffer& primary, const py::buffer& secondary, const std::vector<float>& parameters,
                       int threads, const py::object& progress, bool interruptible, bool want_info,
                       const std::optional<py::buffer>& mask, const py::object& initial_centres,
                       const py::object& secondary_initial_centres) {
  const py::buffer_info primary_buffer = primary.request();
  const py::buffer_info secondary_buffer = secondary.request();
  const edgeseg::image_view primary_view = python_host::view_of_buffer(primary_buffer, "primary");
  const edgeseg::image_view secondary_view = python_host::view_of_buffer(secondary_buffer, "secondary");
  py::buffer_info mask_buffer;
  const std::optional<edgeseg::image_view> mask_view = mask_view_of(mask, mask_buffer);
  const edgeseg::centre_table start = centre_table_of(initial_centres, "initial_centres");
  const edgeseg::centre_table secondary_start = centre_table_of(secondary_initial_centres, "secondary_initial_centres");
  return run(
      "tamvel",
      [&](edgeseg::call_options options, edgeseg::run_info* info) {
        options.mask = mask_view;
        options.initial_centres = start;
        options.secondary_initial_centres = secondary_start;
        return edgeseg::tamvel(primary_view, secondary_view, parameters, options, info);
      },
      threads, progress, interruptible, want_info);
}

// The progress lines of an iteration that a Python driver ran itself
// (edgeseg.dask), from the fields of its report.
std::string progress_text(const std::string& command, int iteration, bool edge_phase, float energy,
                          std::uint64_t changed, double seconds, bool last, bool converged, float previous_energy,
                          float tolerance, bool tested) {
  edgeseg::iteration_report report;
  report.iteration = iteration;
  report.edge_phase = edge_phase;
  report.energy = energy;
  report.changed = changed;
  report.seconds = seconds;
  report.last = last;
  report.converged = converged;
  report.previous_energy = previous_energy;
  report.tolerance = tolerance;
  report.tested = tested;
  return core::iteration_line(command.c_str(), report) + core::closing_line(command.c_str(), report);
}

// A command's settings in the order of its settings vector, as (name,
// default or None, whole number): the defaults of whole-number settings as
// ints. The Python layer builds its keywords and checks from these.
py::list settings_table(const std::string& command) {
  const edgeseg::settings_table* table = edgeseg::settings_table_of(command.c_str());
  if (!table) throw py::value_error("there is no command \"" + command + "\"; expected sorvik or tamvel.");
  py::list entries;
  for (std::size_t i = 0; i < table->count; ++i) {
    const edgeseg::setting_entry& setting = table->settings[i];
    py::object default_value = py::none();
    if (setting.has_default && setting.whole_number)
      default_value = py::int_(static_cast<long long>(setting.default_value));
    else if (setting.has_default)
      default_value = py::float_(setting.default_value);
    entries.append(py::make_tuple(setting.name, default_value, setting.whole_number));
  }
  return entries;
}

// Sorvik's starting centres for a driver that runs the iteration itself
// (edgeseg.dask): K x C values class by class, refused as a call refuses them.
std::vector<float> sorvik_start(const py::object& initial_centres, const std::vector<float>& parameters, int channels) {
  return edgeseg::sorvik_start(centre_table_of(initial_centres, "initial_centres"), parameters, channels);
}

// The warnings of a Sorvik run that a Python driver ran itself, as
// (mnemonic, message) pairs; the settings read from their vector as the
// core reads them.
std::vector<std::pair<std::string, std::string>> run_warnings(const std::vector<std::uint64_t>& counts,
                                                              const std::vector<float>& parameters, int iterations,
                                                              bool converged, float energy, float previous_energy) {
  const CImg<float> vector(parameters.data(), 1, unsigned(parameters.size()), 1, 1, true);
  core::clustering_settings settings;
  core::read_settings(vector, *core::settings_table_of("sorvik"), settings);
  core::run_ending ending;
  ending.counts = counts;
  ending.iterations = iterations;
  ending.converged = converged;
  ending.last_plain_iteration = settings.last_plain_iteration;
  ending.tolerance = settings.tolerance;
  ending.energy = energy;
  ending.previous_energy = previous_energy;
  std::vector<std::pair<std::string, std::string>> found;
  for (const core::run_warning& warning : edgeseg::run_warnings(ending))
    found.emplace_back(warning.mnemonic, warning.message);
  return found;
}

// A refusal becomes ValueError carrying the fault's name as `mnemonic`
// ("badParameters", "geometryMismatch" ...), the identifier the Octave
// command gives the same fault, and as `setting` the position in the
// settings vector of the setting refused (None for other faults).
void raise_refusal(const edgeseg::refusal& fault) {
  py::object error = py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_ValueError, "s", fault.what()));
  if (!error) return;  // the interpreter's own error stays set
  error.attr("mnemonic") = py::str(fault.mnemonic());
  error.attr("setting") = fault.setting() < 0 ? py::none() : py::object(py::int_(fault.setting()));
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
  module.def("sorvik", &sorvik_call, py::arg("image"), py::arg("parameters"), py::arg("threads"), py::arg("progress"),
             py::arg("interruptible"), py::arg("want_info"), py::arg("exact_sums") = false,
             py::arg("mask") = py::none(), py::arg("initial_centres") = py::none(),
             "Labels of a (planes, rows, columns, channels) buffer under the six settings, inside a "
             "(planes, rows, columns, 1) mask where one is given (-1 outside).");
  module.def("tamvel", &tamvel_call, py::arg("primary"), py::arg("secondary"), py::arg("parameters"),
             py::arg("threads"), py::arg("progress"), py::arg("interruptible"), py::arg("want_info"),
             py::arg("mask") = py::none(), py::arg("initial_centres") = py::none(),
             py::arg("secondary_initial_centres") = py::none(),
             "Labels of two (planes, rows, columns, channels) buffers under the eight settings, inside a "
             "(planes, rows, columns, 1) mask where one is given (-1 outside).");
  module.def("progress_text", &progress_text, py::arg("command"), py::arg("iteration"), py::arg("edge_phase"),
             py::arg("energy"), py::arg("changed"), py::arg("seconds"), py::arg("last"), py::arg("converged"),
             py::arg("previous_energy"), py::arg("tolerance"), py::arg("tested"),
             "The progress lines of an iteration, as every host prints them.");
  module.def("settings_table", &settings_table, py::arg("command"),
             "The settings of 'sorvik' or 'tamvel' in the vector's order: (name, default or None, whole number).");
  module.def(
      "is_settings_vector",
      [](const std::vector<std::uint64_t>& shape) { return edgeseg::is_settings_vector(shape.data(), shape.size()); },
      py::arg("shape"), "Whether an array of this shape may hold a settings vector (else it looks like an image).");
  module.def("sorvik_start", &sorvik_start, py::arg("initial_centres"), py::arg("parameters"), py::arg("channels"),
             "Sorvik's starting centres, class by class, checked as a call checks them.");
  module.def("run_warnings", &run_warnings, py::arg("counts"), py::arg("parameters"), py::arg("iterations"),
             py::arg("converged"), py::arg("energy"), py::arg("previous_energy"),
             "The (mnemonic, message) warnings of a Sorvik run's end.");
  module.attr("largest_thread_count") = core::largest_thread_count;
  module.def("every_core", &edgeseg::every_core,
             "The threads a call of threads=0 uses: one for every core this process may run on, at most 256.");
  python_host::add_steps(module);
  python_host::add_chain(module);
}
