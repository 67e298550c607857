#include "standin.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <iterator>
#include <limits>
#include <thread>
#include <unordered_set>

namespace {

// Read-only zero pages mapped for an array too large to fill; unmapped with it.
struct zero_page_mapping {
  void* address = nullptr;
  std::size_t bytes = 0;
  zero_page_mapping() = default;
  zero_page_mapping(const zero_page_mapping&) = delete;
  zero_page_mapping& operator=(const zero_page_mapping&) = delete;
  ~zero_page_mapping() {
#if defined(_WIN32)
    if (address) VirtualFree(address, 0, MEM_RELEASE);
#else
    if (address) munmap(address, bytes);
#endif
  }
};

// Pages that read as zeros and are never written; null where none can be had.
void* map_zero_pages(std::size_t bytes) {
#if defined(_WIN32)
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
#else
  void* address = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return address == MAP_FAILED ? nullptr : address;
#endif
}

// A library loaded as a host loads a plug-in, and a symbol of it.
#if defined(_WIN32)
void* load_library(const std::string& path) { return reinterpret_cast<void*>(LoadLibraryA(path.c_str())); }
void* library_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void unload_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
std::string load_error() { return "error " + std::to_string(GetLastError()); }
#else
void* load_library(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* library_symbol(void* library, const char* name) { return dlsym(library, name); }
void unload_library(void* library) { dlclose(library); }
std::string load_error() { return dlerror(); }
#endif

}  // namespace

struct standin_array {
  mxClassID class_id = mxUNKNOWN_CLASS;
  std::vector<mwSize> dimensions;
  bool complex = false;
  bool sparse = false;
  bool created_by_plugin = false;
  std::vector<unsigned char> real;
  std::vector<unsigned char> imaginary;
  zero_page_mapping zero_pages;      // the real part, instead of `real`
  std::vector<std::string> strings;  // the elements of a "string" object
  // A struct's field names, and its values element by element, owned here.
  std::vector<std::string> field_names;
  std::vector<standin_array*> field_values;
};

namespace {

// Every array made and not yet destroyed.
std::unordered_set<const standin_array*> live_arrays;
std::size_t live_created = 0;

// What the stand-in host notes while a plug-in call runs.
struct call_record {
  bool active = false;
  std::thread::id caller;               // the thread that called mexFunction
  std::vector<standin_array*> created;  // by the plug-in in this call, not yet destroyed
  std::vector<std::string> broken_rules;
  std::vector<std::pair<std::string, std::string>> warnings;
  std::string printed;                 // through mexPrintf
  std::vector<std::string> evaluated;  // through mexEvalString
};
call_record current_call;

// The user's Ctrl-C as the stand-in host keeps it: set by a test from any
// thread, read by the plug-in through utIsInterruptPending, and handled, that
// is cleared, when the call it interrupted is over.
std::atomic<bool> interrupt_pending{false};

void break_rule(const std::string& rule) { current_call.broken_rules.push_back(rule); }

// A host's API belongs to the thread it called the plug-in on. The first
// function called from any other thread is noted here, without touching the
// call's record, which belongs to the caller's thread too.
std::atomic<const char*> called_off_thread{nullptr};

void on_callers_thread(const char* function) {
  if (!current_call.active || std::this_thread::get_id() == current_call.caller) return;
  const char* none = nullptr;
  called_off_thread.compare_exchange_strong(none, function);
}

// An array handle that is no array: the plug-in holds one it must not use.
[[noreturn]] void dead_array(const char* function) {
  std::fprintf(stderr, "stand-in host: %s was given an array that was destroyed or never made\n", function);
  std::abort();
}

const standin_array* checked(const mxArray* array, const char* function) {
  on_callers_thread(function);
  if (!array || !live_arrays.count(array)) dead_array(function);
  return array;
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

// The byte count of the real part, or nothing when it does not fit.
bool checked_bytes(const standin_array& array, std::size_t& bytes) {
  const std::size_t size = standin::element_size(array.class_id);
  if (!checked_count(array.dimensions, bytes) || bytes > std::numeric_limits<std::size_t>::max() / size) return false;
  bytes *= size;
  return true;
}

enum class storage { held, none, zero_pages };

standin_array* new_array(mxClassID class_id, const std::vector<std::size_t>& dimensions, bool complex, bool sparse,
                         storage kind) {
  auto array = std::make_unique<standin_array>();
  array->class_id = class_id;
  array->dimensions.assign(dimensions.begin(), dimensions.end());
  array->complex = complex;
  array->sparse = sparse;
  std::size_t bytes = 0;
  if (kind != storage::none && !checked_bytes(*array, bytes))
    throw std::invalid_argument("stand-in host: array too large to hold");
  if (kind == storage::held) {
    array->real.assign(bytes, 0);
    if (complex) array->imaginary.assign(bytes, 0);
  } else if (kind == storage::zero_pages && bytes > 0) {
    void* address = map_zero_pages(bytes);
    if (!address) throw std::runtime_error("stand-in host: cannot map zero pages");
    array->zero_pages.address = address;
    array->zero_pages.bytes = bytes;
  }
  live_arrays.insert(array.get());
  return array.release();
}

// A fingerprint of everything a plug-in could change in an input (FNV-1a).
std::uint64_t fingerprint(const standin_array& array) {
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](const void* data, std::size_t bytes) {
    const auto* byte = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) hash = (hash ^ byte[i]) * 1099511628211ull;
  };
  mix(&array.class_id, sizeof array.class_id);
  mix(array.dimensions.data(), array.dimensions.size() * sizeof(mwSize));
  const bool flags[] = {array.complex, array.sparse};
  mix(flags, sizeof flags);
  mix(array.real.data(), array.real.size());
  mix(array.imaginary.data(), array.imaginary.size());
  for (const std::string& text : array.strings) mix(text.data(), text.size() + 1);
  return hash;
}

// Standard output sent to a scratch file while a plug-in runs, and read back.
class output_capture {
 public:
  output_capture() {
    std::fflush(stdout);
    std::cout.flush();
    scratch_ = scratch_file();
    if (scratch_ < 0 || ftruncate(scratch_, 0) != 0 || lseek(scratch_, 0, SEEK_SET) != 0)
      throw std::runtime_error("stand-in host: cannot prepare the file that catches standard output");
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0 || dup2(scratch_, STDOUT_FILENO) < 0)
      throw std::runtime_error("stand-in host: cannot redirect standard output");
  }
  output_capture(const output_capture&) = delete;
  output_capture& operator=(const output_capture&) = delete;
  ~output_capture() { restore(); }

  // What was printed (its first part), once the plug-in has returned.
  std::string finish() {
    restore();
    struct stat status {};
    if (fstat(scratch_, &status) != 0 || status.st_size == 0) return "";
    std::string text(std::min<std::size_t>(std::size_t(status.st_size), 200), '\0');
    const auto got = lseek(scratch_, 0, SEEK_SET) == 0 ? read(scratch_, &text[0], unsigned(text.size())) : -1;
    text.resize(got > 0 ? std::size_t(got) : 0);
    if (std::size_t(status.st_size) > text.size()) text += "...";
    return text.empty() ? "(unreadable output)" : text;
  }

 private:
  static int scratch_file() {
    static std::FILE* const file = std::tmpfile();
    return file ? fileno(file) : -1;
  }
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    std::cout.flush();
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  int scratch_ = -1;
  int saved_ = -1;
};

// Marks the stand-in host as inside a plug-in call for its lifetime.
struct call_scope {
  call_scope() {
    if (current_call.active) throw std::logic_error("stand-in host: plug-in calls do not nest");
    current_call = call_record();
    current_call.caller = std::this_thread::get_id();
    called_off_thread.store(nullptr);
    current_call.active = true;
  }
  call_scope(const call_scope&) = delete;
  call_scope& operator=(const call_scope&) = delete;
  ~call_scope() { current_call.active = false; }
};

bool created_in_call(const mxArray* array) {
  return std::find(current_call.created.begin(), current_call.created.end(), array) != current_call.created.end();
}

void destroy(standin_array* array) {
  for (standin_array* value : array->field_values)
    if (value) destroy(value);
  live_arrays.erase(array);
  if (array->created_by_plugin) --live_created;
  current_call.created.erase(std::remove(current_call.created.begin(), current_call.created.end(), array),
                             current_call.created.end());
  delete array;
}

// Output slots past the requested ones hold this until the plug-in returns.
mxArray* untouched_slot() {
  static standin_array marker;
  return &marker;
}

constexpr std::size_t spare_slots = 4;

// The plug-in owns what it creates; the call records it to see it released.
mxArray* created_by_plugin(standin_array* array) {
  array->created_by_plugin = true;
  ++live_created;
  if (current_call.active) current_call.created.push_back(array);
  return array;
}

// The host's names of its classes, in the order of mxClassID; objects are
// of the one class the stand-in host makes, "string".
const char* class_name(const standin_array& array) {
  static const char* const names[] = {"unknown", "cell",   "struct",          "logical", "char",   "void",  "double",
                                      "single",  "int8",   "uint8",           "int16",   "uint16", "int32", "uint32",
                                      "int64",   "uint64", "function_handle", "opaque",  "string"};
  const auto index = static_cast<std::size_t>(array.class_id);
  return index < std::size(names) ? names[index] : "unknown";
}

template <typename T>
double first_as_double(const void* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return static_cast<double>(value);
}

// A 1 x n char array holding `text` in the host's characters.
standin_array* new_char_array(const std::string& text) {
  standin_array* array = new_array(mxCHAR_CLASS, {1, text.size()}, false, false, storage::held);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const mxChar code = static_cast<unsigned char>(text[i]);
    std::memcpy(array->real.data() + i * sizeof code, &code, sizeof code);
  }
  return array;
}

// The text of an error or warning, as the host formats it.
std::string message_text(const char* format, va_list arguments) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, arguments);
  return text;
}

}  // namespace

extern "C" {

mwSize mxGetNumberOfDimensions(const mxArray* array) {
  return checked(array, "mxGetNumberOfDimensions")->dimensions.size();
}
const mwSize* mxGetDimensions(const mxArray* array) { return checked(array, "mxGetDimensions")->dimensions.data(); }
mxClassID mxGetClassID(const mxArray* array) { return checked(array, "mxGetClassID")->class_id; }
bool mxIsComplex(const mxArray* array) { return checked(array, "mxIsComplex")->complex; }
bool mxIsSparse(const mxArray* array) { return checked(array, "mxIsSparse")->sparse; }

void* mxGetData(const mxArray* array) {
  checked(array, "mxGetData");
  if (array->zero_pages.address) return array->zero_pages.address;
  if (array->real.empty()) return nullptr;
  return const_cast<unsigned char*>(array->real.data());
}

double* mxGetPr(const mxArray* array) { return static_cast<double*>(mxGetData(array)); }
mxLogical* mxGetLogicals(const mxArray* array) { return static_cast<mxLogical*>(mxGetData(array)); }

mxArray* mxCreateNumericArray(mwSize dimension_count, const mwSize* dimensions, mxClassID class_id,
                              mxComplexity complexity) {
  on_callers_thread("mxCreateNumericArray");
  std::vector<std::size_t> extents(dimensions, dimensions + dimension_count);
  return created_by_plugin(new_array(class_id, extents, complexity == mxCOMPLEX, false, storage::held));
}

bool mxIsClass(const mxArray* array, const char* name) {
  return name && std::strcmp(class_name(*checked(array, "mxIsClass")), name) == 0;
}

// The first element as a double, as the host gives it; 0 for an array without one.
double mxGetScalar(const mxArray* array) {
  const void* data = mxGetData(array);
  if (!data || standin::element_count(array) == 0) return 0;
  switch (array->class_id) {
    case mxLOGICAL_CLASS:
      return first_as_double<std::uint8_t>(data);
    case mxCHAR_CLASS:
      return first_as_double<mxChar>(data);
    case mxDOUBLE_CLASS:
      return first_as_double<double>(data);
    case mxSINGLE_CLASS:
      return first_as_double<float>(data);
    case mxINT8_CLASS:
      return first_as_double<std::int8_t>(data);
    case mxUINT8_CLASS:
      return first_as_double<std::uint8_t>(data);
    case mxINT16_CLASS:
      return first_as_double<std::int16_t>(data);
    case mxUINT16_CLASS:
      return first_as_double<std::uint16_t>(data);
    case mxINT32_CLASS:
      return first_as_double<std::int32_t>(data);
    case mxUINT32_CLASS:
      return first_as_double<std::uint32_t>(data);
    case mxINT64_CLASS:
      return first_as_double<std::int64_t>(data);
    case mxUINT64_CLASS:
      return first_as_double<std::uint64_t>(data);
    default:
      return 0;
  }
}

// The characters of a char array in column order, as the host copies them:
// 0 when all fit with their terminating zero, 1 when cut short or not char.
int mxGetString(const mxArray* array, char* text, mwSize capacity) {
  checked(array, "mxGetString");
  if (capacity == 0) return 1;
  if (array->class_id != mxCHAR_CLASS) {
    text[0] = '\0';
    return 1;
  }
  const std::size_t count = standin::element_count(array);
  const std::size_t copied = std::min<std::size_t>(count, capacity - 1);
  const unsigned char* source = array->real.data();
  for (std::size_t i = 0; i < copied && source; ++i) {
    mxChar code;
    std::memcpy(&code, source + i * sizeof code, sizeof code);
    text[i] = code < 128 ? static_cast<char>(code) : '?';
  }
  text[source ? copied : 0] = '\0';
  return copied == count && source ? 0 : 1;
}

// Of the host's functions only char() of one string scalar, the way a
// plug-in reads a MATLAB string; the result is the plug-in's to destroy.
int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name) {
  on_callers_thread("mexCallMATLAB");
  const bool string_to_char = name && std::strcmp(name, "char") == 0 && nlhs == 1 && nrhs == 1 &&
                              checked(prhs[0], "mexCallMATLAB")->class_id == mxOBJECT_CLASS &&
                              prhs[0]->strings.size() == 1;
  if (!string_to_char) {
    break_rule(std::string("called mexCallMATLAB(\"") + (name ? name : "") +
               "\") in a way the stand-in host does not provide (only char of one string scalar)");
    return 1;
  }
  plhs[0] = created_by_plugin(new_char_array(prhs[0]->strings[0]));
  return 0;
}

void mxDestroyArray(mxArray* array) {
  on_callers_thread("mxDestroyArray");
  if (!array) return;
  if (current_call.active) {
    // The array stays alive: the host still holds it and frees it itself.
    if (!live_arrays.count(array)) {
      break_rule("destroyed an array that was already destroyed or never made");
      return;
    }
    if (!created_in_call(array)) {
      break_rule("destroyed an array the host gave it (an input or another host array)");
      return;
    }
  } else if (!live_arrays.count(array)) {
    dead_array("mxDestroyArray");
  }
  destroy(array);
}

void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
  on_callers_thread("mexErrMsgIdAndTxt");
  va_list arguments;
  va_start(arguments, format);
  const std::string text = message_text(format, arguments);
  va_end(arguments);
  throw standin::host_error(identifier ? identifier : "", text);
}

// A warning is printed to the error stream by a real host; here it is noted
// for the test to read.
void mexWarnMsgIdAndTxt(const char* identifier, const char* format, ...) {
  on_callers_thread("mexWarnMsgIdAndTxt");
  va_list arguments;
  va_start(arguments, format);
  const std::string text = message_text(format, arguments);
  va_end(arguments);
  current_call.warnings.emplace_back(identifier ? identifier : "", text);
}

mxArray* mxCreateDoubleMatrix(mwSize rows, mwSize columns, mxComplexity complexity) {
  const mwSize dimensions[] = {rows, columns};
  return mxCreateNumericArray(2, dimensions, mxDOUBLE_CLASS, complexity);
}

mxArray* mxCreateDoubleScalar(double value) {
  mxArray* array = mxCreateDoubleMatrix(1, 1, mxREAL);
  std::memcpy(array->real.data(), &value, sizeof value);
  return array;
}

mxArray* mxCreateLogicalScalar(mxLogical value) {
  const mwSize dimensions[] = {1, 1};
  mxArray* array = mxCreateNumericArray(2, dimensions, mxLOGICAL_CLASS, mxREAL);
  array->real[0] = value ? 1 : 0;
  return array;
}

mxArray* mxCreateStructMatrix(mwSize rows, mwSize columns, int field_count, const char** field_names) {
  on_callers_thread("mxCreateStructMatrix");
  standin_array* array = new_array(mxSTRUCT_CLASS, {rows, columns}, false, false, storage::none);
  for (int i = 0; i < field_count; ++i) array->field_names.emplace_back(field_names[i]);
  array->field_values.assign(rows * columns * array->field_names.size(), nullptr);
  return created_by_plugin(array);
}

// The struct takes over the value, which the plug-in created and no longer
// owns; a value already in the field is left to the plug-in, as hosts do.
void mxSetField(mxArray* array, mwIndex element, const char* name, mxArray* value) {
  standin_array* target = const_cast<standin_array*>(checked(array, "mxSetField"));
  const auto field = std::find(target->field_names.begin(), target->field_names.end(), std::string(name ? name : ""));
  const std::size_t index = element * target->field_names.size() + std::size_t(field - target->field_names.begin());
  if (field == target->field_names.end() || index >= target->field_values.size()) {
    break_rule(std::string("set field \"") + (name ? name : "") + "\", which the struct does not have");
    return;
  }
  if (value) {
    checked(value, "mxSetField");
    if (!created_in_call(value)) {
      break_rule("put an array it did not create, or one already in a struct, into a struct field");
      return;
    }
    current_call.created.erase(std::remove(current_call.created.begin(), current_call.created.end(), value),
                               current_call.created.end());
  }
  target->field_values[index] = value;
}

mxArray* mxGetField(const mxArray* array, mwIndex element, const char* name) {
  const standin_array* source = checked(array, "mxGetField");
  const auto field = std::find(source->field_names.begin(), source->field_names.end(), std::string(name ? name : ""));
  const std::size_t index = element * source->field_names.size() + std::size_t(field - source->field_names.begin());
  if (field == source->field_names.end() || index >= source->field_values.size()) return nullptr;
  return source->field_values[index];
}

// What a host prints in its command window; noted for the test to read.
int mexPrintf(const char* format, ...) {
  on_callers_thread("mexPrintf");
  va_list arguments;
  va_start(arguments, format);
  const std::string text = message_text(format, arguments);
  va_end(arguments);
  current_call.printed += text;
  return int(text.size());
}

// Of the host's commands only the ones that flush what was printed.
int mexEvalString(const char* command) {
  on_callers_thread("mexEvalString");
  const std::string text = command ? command : "";
  if (text != "drawnow;" && text != "fflush(stdout);")
    break_rule("evaluated \"" + text + "\", which the stand-in host does not provide");
  current_call.evaluated.push_back(text);
  return 0;
}

bool utIsInterruptPending(void) {
  on_callers_thread("utIsInterruptPending");
  return interrupt_pending.load();
}

int mxGetNumberOfFields(const mxArray* array) {
  return static_cast<int>(checked(array, "mxGetNumberOfFields")->field_names.size());
}

const char* mxGetFieldNameByNumber(const mxArray* array, int field) {
  const standin_array* checked_array = checked(array, "mxGetFieldNameByNumber");
  if (field < 0 || std::size_t(field) >= checked_array->field_names.size()) return nullptr;
  return checked_array->field_names[std::size_t(field)].c_str();
}

mxArray* mxGetFieldByNumber(const mxArray* array, mwIndex element, int field) {
  const standin_array* checked_array = checked(array, "mxGetFieldByNumber");
  const std::size_t fields = checked_array->field_names.size();
  const std::size_t index = element * fields + std::size_t(field);
  if (field < 0 || std::size_t(field) >= fields || index >= checked_array->field_values.size()) return nullptr;
  return checked_array->field_values[index];
}

}  // extern "C"

namespace standin {

std::size_t element_size(mxClassID class_id) {
  switch (class_id) {
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
      return 1;
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
      return 2;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    default:
      return 8;
  }
}

array_ptr make_array(mxClassID class_id, const std::vector<std::size_t>& dimensions, bool complex, bool sparse) {
  return array_ptr(new_array(class_id, dimensions, complex, sparse, storage::held));
}

array_ptr make_array_without_data(mxClassID class_id, const std::vector<std::size_t>& dimensions, bool complex,
                                  bool sparse) {
  return array_ptr(new_array(class_id, dimensions, complex, sparse, storage::none));
}

array_ptr make_array_of_zero_pages(mxClassID class_id, const std::vector<std::size_t>& dimensions) {
  return array_ptr(new_array(class_id, dimensions, false, false, storage::zero_pages));
}

array_ptr make_char(const std::string& text) { return array_ptr(new_char_array(text)); }

array_ptr make_strings(const std::vector<std::string>& elements) {
  array_ptr array(new_array(mxOBJECT_CLASS, {1, elements.size()}, false, false, storage::none));
  array->strings = elements;
  return array;
}

array_ptr make_struct(std::vector<std::pair<std::string, array_ptr>> fields) {
  array_ptr array(new_array(mxSTRUCT_CLASS, {1, 1}, false, false, storage::none));
  for (auto& field : fields) {
    array->field_names.push_back(field.first);
    array->field_values.push_back(field.second.release());
  }
  return array;
}

std::vector<std::pair<std::string, std::string>> last_call_warnings() { return current_call.warnings; }

std::string last_call_printed() { return current_call.printed; }

std::vector<std::string> last_call_evaluated() { return current_call.evaluated; }

void press_interrupt() { interrupt_pending.store(true); }

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
  library_ = load_library(path);
  if (!library_) throw std::runtime_error(std::string("stand-in host: cannot load ") + path + ": " + load_error());
  entry_ = reinterpret_cast<entry_point>(library_symbol(library_, "mexFunction"));
  if (!entry_) {
    unload_library(library_);
    throw std::runtime_error("stand-in host: no mexFunction in " + path);
  }
}

plugin::~plugin() { unload_library(library_); }

std::vector<array_ptr> plugin::call(const std::vector<const mxArray*>& inputs, int output_count) const {
  // A host hands out room for at least one output; the slots past the
  // requested ones are there to see whether the plug-in writes beyond them.
  const std::size_t slot_count = std::size_t(std::max(output_count, 1));
  std::vector<mxArray*> slots(slot_count + spare_slots, untouched_slot());
  std::fill(slots.begin(), slots.begin() + std::ptrdiff_t(slot_count), nullptr);
  std::vector<const mxArray*> arguments(inputs);
  std::vector<std::uint64_t> before;
  for (const mxArray* input : inputs) before.push_back(fingerprint(*checked(input, "the call")));

  std::exception_ptr error;
  std::string printed;
  {
    const call_scope scope;
    output_capture capture;
    try {
      entry_(output_count, slots.data(), static_cast<int>(arguments.size()), arguments.data());
    } catch (const host_error&) {
      error = std::current_exception();
    } catch (const std::exception& escaped) {
      break_rule(std::string("let an exception other than a host error leave mexFunction: ") + escaped.what());
    } catch (...) {
      break_rule("let an exception of unknown type leave mexFunction");
    }
    printed = capture.finish();
    interrupt_pending.store(false);  // the host handles the interrupt once the call is over
    if (const char* function = called_off_thread.load())
      break_rule(std::string("called ") + function + " off the thread that called mexFunction");
    if (!printed.empty()) break_rule("printed to standard output: \"" + printed + "\"");
  }

  for (std::size_t i = slot_count; i < slots.size(); ++i)
    if (slots[i] != untouched_slot())
      break_rule("wrote output slot " + std::to_string(i + 1) + "; only " + std::to_string(slot_count) +
                 " were requested");
  std::vector<array_ptr> outputs;
  for (std::size_t i = 0; i < slot_count; ++i) {
    if (slots[i] && !created_in_call(slots[i])) {
      break_rule("stored an array it did not create, or one stored already, in output slot " + std::to_string(i + 1));
      slots[i] = nullptr;  // not the plug-in's to hand over
    }
    // The host owns what sits in the slots, also when the call ends in an
    // error (and then frees it).
    outputs.emplace_back(slots[i]);
    if (slots[i])
      current_call.created.erase(std::remove(current_call.created.begin(), current_call.created.end(), slots[i]),
                                 current_call.created.end());
  }
  for (std::size_t i = 0; i < inputs.size(); ++i)
    if (fingerprint(*checked(inputs[i], "the call")) != before[i])
      break_rule("changed input " + std::to_string(i + 1) + ", which the host only lends it");
  // Anything else the plug-in created is left over.
  const std::vector<standin_array*> left_over = current_call.created;
  if (!left_over.empty())
    break_rule("created " + std::to_string(left_over.size()) + " array(s) it neither returned nor destroyed");
  for (standin_array* array : left_over) destroy(array);

  if (!current_call.broken_rules.empty()) {
    std::string message = "stand-in host: the plug-in broke the host's rules:";
    for (const std::string& rule : current_call.broken_rules) message += "\n  - it " + rule;
    throw host_rule_broken(message);
  }
  if (error) std::rethrow_exception(error);
  return outputs;
}

}  // namespace standin
