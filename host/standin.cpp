#include "standin.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <limits>

struct standin_array {
  mxClassID class_id = mxUNKNOWN_CLASS;
  std::vector<mwSize> dimensions;
  bool complex = false;
  bool sparse = false;
  bool created_by_plugin = false;
  std::vector<unsigned char> real;
  std::vector<unsigned char> imaginary;
};

namespace {

std::size_t live_created = 0;

std::size_t element_size(mxClassID class_id) {
  switch (class_id) {
    case mxLOGICAL_CLASS: case mxINT8_CLASS: case mxUINT8_CLASS: return 1;
    case mxCHAR_CLASS: case mxINT16_CLASS: case mxUINT16_CLASS: return 2;
    case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    default: return 8;
  }
}

// Element count, or nothing when the product does not fit.
bool checked_count(const std::vector<mwSize>& dimensions, std::size_t& count) {
  count = 1;
  for (mwSize extent : dimensions) {
    if (extent != 0 && count > std::numeric_limits<std::size_t>::max() / extent) return false;
    count *= extent;
  }
  return true;
}

standin_array* new_array(mxClassID class_id, const std::vector<std::size_t>& dimensions, bool complex,
                         bool sparse, bool with_data) {
  auto* array = new standin_array;
  array->class_id = class_id;
  array->dimensions.assign(dimensions.begin(), dimensions.end());
  array->complex = complex;
  array->sparse = sparse;
  if (with_data) {
    std::size_t count = 0;
    if (!checked_count(array->dimensions, count)) {
      delete array;
      throw std::invalid_argument("stand-in host: array too large to hold");
    }
    array->real.assign(count * element_size(class_id), 0);
    if (complex) array->imaginary.assign(count * element_size(class_id), 0);
  }
  return array;
}

}  // namespace

extern "C" {

mwSize mxGetNumberOfDimensions(const mxArray* array) { return array->dimensions.size(); }
const mwSize* mxGetDimensions(const mxArray* array) { return array->dimensions.data(); }
mxClassID mxGetClassID(const mxArray* array) { return array->class_id; }
bool mxIsComplex(const mxArray* array) { return array->complex; }
bool mxIsSparse(const mxArray* array) { return array->sparse; }

void* mxGetData(const mxArray* array) {
  if (array->real.empty()) return nullptr;
  return const_cast<unsigned char*>(array->real.data());
}

double* mxGetPr(const mxArray* array) { return static_cast<double*>(mxGetData(array)); }
mxLogical* mxGetLogicals(const mxArray* array) { return static_cast<mxLogical*>(mxGetData(array)); }

mxArray* mxCreateNumericArray(mwSize dimension_count, const mwSize* dimensions, mxClassID class_id,
                              mxComplexity complexity) {
  std::vector<std::size_t> extents(dimensions, dimensions + dimension_count);
  standin_array* array = new_array(class_id, extents, complexity == mxCOMPLEX, false, true);
  array->created_by_plugin = true;
  ++live_created;
  return array;
}

void mxDestroyArray(mxArray* array) {
  if (!array) return;
  if (array->created_by_plugin) --live_created;
  delete array;
}

void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
  char text[4096];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  throw standin::host_error(identifier ? identifier : "", text);
}

}  // extern "C"

namespace standin {

array_ptr make_array(mxClassID class_id, const std::vector<std::size_t>& dimensions, bool complex, bool sparse) {
  return array_ptr(new_array(class_id, dimensions, complex, sparse, true));
}

array_ptr make_array_without_data(mxClassID class_id, const std::vector<std::size_t>& dimensions) {
  return array_ptr(new_array(class_id, dimensions, false, false, false));
}

void* imaginary_data(mxArray* array) { return array->imaginary.empty() ? nullptr : array->imaginary.data(); }

std::size_t live_created_arrays() { return live_created; }

std::size_t element_count(const mxArray* array) {
  std::size_t count = 0;
  return checked_count(array->dimensions, count) ? count : std::numeric_limits<std::size_t>::max();
}

std::vector<std::size_t> dimensions_of(const mxArray* array) {
  return std::vector<std::size_t>(array->dimensions.begin(), array->dimensions.end());
}

plugin::plugin(const std::string& path) {
  library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library_) throw std::runtime_error(std::string("stand-in host: cannot load ") + path + ": " + dlerror());
  entry_ = reinterpret_cast<entry_point>(dlsym(library_, "mexFunction"));
  if (!entry_) {
    dlclose(library_);
    throw std::runtime_error("stand-in host: no mexFunction in " + path);
  }
}

plugin::~plugin() { dlclose(library_); }

std::vector<array_ptr> plugin::call(const std::vector<const mxArray*>& inputs, int output_count) const {
  // The host owns whatever the plug-in stored, also when the call ends in an error.
  std::vector<mxArray*> slots(output_count > 0 ? output_count : 1, nullptr);
  std::vector<const mxArray*> arguments(inputs);
  try {
    entry_(output_count, slots.data(), static_cast<int>(arguments.size()), arguments.data());
  } catch (...) {
    for (mxArray* slot : slots) mxDestroyArray(slot);
    throw;
  }
  std::vector<array_ptr> outputs;
  for (mxArray* slot : slots) outputs.emplace_back(slot);
  return outputs;
}

}  // namespace standin
