// The test side of the stand-in host: make host arrays, load a plug-in the way
// a host does (dlopen, look up mexFunction) and call it. Errors a plug-in
// raises through mexErrMsgIdAndTxt arrive here as standin::host_error.
//
// While a call runs, the stand-in host holds the plug-in to the host's rules
// and reports a broken one as standin::host_rule_broken once the call is over:
// the plug-in destroys no array it did not create, writes no output slot
// beyond those requested, stores only arrays it created there, changes no input, leaves
// no array it created behind, lets no exception but a host error leave
// mexFunction, and prints nothing to standard output.
#pragma once

#include "mex.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace standin {

struct host_error : std::runtime_error {
  host_error(std::string id, const std::string& text) : std::runtime_error(text), identifier(std::move(id)) {}
  std::string identifier;
};

// A plug-in broke a rule of the host during a call; the message lists each.
struct host_rule_broken : std::logic_error {
  using std::logic_error::logic_error;
};

struct array_deleter {
  void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using array_ptr = std::unique_ptr<mxArray, array_deleter>;

// A zero-filled array of the given class and dimensions. Cell, structure,
// character and function-handle classes get storage too, so that a plug-in
// that wrongly reads them reads zeros instead of wild memory.
array_ptr make_array(mxClassID class_id, const std::vector<std::size_t>& dimensions, bool complex = false,
                     bool sparse = false);

// An array that reports the dimensions but holds no element storage at all:
// for sizes no machine could hold. Reading its data yields a null pointer.
array_ptr make_array_without_data(mxClassID class_id, const std::vector<std::size_t>& dimensions, bool complex = false,
                                  bool sparse = false);

// An array whose elements all read as zero from read-only pages the system
// shares, holding no memory of its own: for sizes beyond the machine's memory
// that a plug-in should still be handed with their data. Writing to it faults.
array_ptr make_array_of_zero_pages(mxClassID class_id, const std::vector<std::size_t>& dimensions);

// An array filled from values given in the host's column-major order.
template <typename T>
array_ptr make_filled(mxClassID class_id, const std::vector<std::size_t>& dimensions, const std::vector<T>& values) {
  array_ptr array = make_array(class_id, dimensions);
  std::size_t count = 1;
  for (std::size_t extent : dimensions) count *= extent;
  if (values.size() != count) throw std::invalid_argument("make_filled: value count does not match dimensions");
  if (count) std::memcpy(mxGetData(array.get()), values.data(), count * sizeof(T));
  return array;
}

inline array_ptr make_doubles(const std::vector<std::size_t>& dimensions, const std::vector<double>& values) {
  return make_filled(mxDOUBLE_CLASS, dimensions, values);
}

// A char row vector holding `text` (ASCII) in the host's 16-bit characters.
array_ptr make_char(const std::string& text);

// A 1 x n array of MATLAB's class "string" (Octave has no such class): an
// object without element data, which a plug-in reads through
// mexCallMATLAB(..., "char").
array_ptr make_strings(const std::vector<std::string>& elements);

// A 1 x 1 struct with these fields, in this order; it owns their values.
array_ptr make_struct(std::vector<std::pair<std::string, array_ptr>> fields);

// The warnings (identifier, then message) the plug-in raised in the last call.
std::vector<std::pair<std::string, std::string>> last_call_warnings();

// What the plug-in printed through mexPrintf in the last call, and the
// commands it had evaluated (the flushes of what it printed).
std::string last_call_printed();
std::vector<std::string> last_call_evaluated();

// The user presses Ctrl-C: from any thread, also while a call runs. The
// interrupt is pending until the call that is running, or the next one, is
// over.
void press_interrupt();

// The imaginary part of a complex array (the real part is mxGetData).
void* imaginary_data(mxArray* array);

// Arrays the plug-ins created through mxCreateNumericArray and nobody destroyed yet.
std::size_t live_created_arrays();

// Element count of an array, from its dimensions.
std::size_t element_count(const mxArray* array);
// Bytes of one element of the class (of its real part, for complex arrays).
std::size_t element_size(mxClassID class_id);
std::vector<std::size_t> dimensions_of(const mxArray* array);

// A plug-in loaded from its shared library, as a host loads it.
class plugin {
 public:
  explicit plugin(const std::string& path);
  ~plugin();
  plugin(const plugin&) = delete;
  plugin& operator=(const plugin&) = delete;

  // Calls mexFunction with the inputs and returns the output slots, owned.
  // Output slots the plug-in did not fill come back as null. Throws
  // host_error for an error the plug-in raised and host_rule_broken, in its
  // place, when the plug-in broke a rule of the host.
  std::vector<array_ptr> call(const std::vector<const mxArray*>& inputs, int output_count = 1) const;

 private:
  void* library_ = nullptr;
  using entry_point = void (*)(int, mxArray*[], int, const mxArray*[]);
  entry_point entry_ = nullptr;
};

}  // namespace standin
