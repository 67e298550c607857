#include "call_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>

#include "host_array.h"
#include "core/refusal.h"

namespace boundary {

using core::largest_thread_count;
using core::refuse;
namespace {

constexpr const char* option_forms =
    "\"threads\", n, \"volume\", tf, \"progress\", tf, \"mask\", M, \"centres\", C or \"secondary_centres\", C2";
constexpr const char* option_forms_with_exact_sums =
    "\"threads\", n, \"volume\", tf, \"progress\", tf, \"exactsums\", tf, \"mask\", M or \"centres\", C";

// Room for the longest name worth reading; a longer one is unknown anyway.
constexpr std::size_t name_capacity = 40;

// The host may leave mexCallMATLAB by a long jump, so option names are read
// into plain buffers, and the options before any image is converted: nothing
// that owns memory is on the stack then but the string's char() below.
struct host_array_owner {
  mxArray* array = nullptr;
  host_array_owner() = default;
  host_array_owner(const host_array_owner&) = delete;
  host_array_owner& operator=(const host_array_owner&) = delete;
  ~host_array_owner() {
    if (array) mxDestroyArray(array);
  }
};

bool is_scalar(const mxArray* array) {
  const mwSize count = mxGetNumberOfDimensions(array);
  const mwSize* dimensions = mxGetDimensions(array);
  return std::all_of(dimensions, dimensions + count, [](mwSize extent) { return extent == 1; });
}

// A row of text; '' (0 x 0) counts as one too.
bool is_char_row(const mxArray* array) {
  return mxGetClassID(array) == mxCHAR_CLASS && mxGetNumberOfDimensions(array) == 2 && mxGetDimensions(array)[0] <= 1;
}

// Copies the text of a char row vector or a string scalar into `name`
// (cut short where it does not fit); false for any other argument.
bool read_name(const mxArray* argument, char (&name)[name_capacity]) {
  name[0] = '\0';
  if (is_char_row(argument)) {
    mxGetString(argument, name, name_capacity);
    return true;
  }
  // MATLAB hands a string to a plug-in as an object; char() gives its text.
  // Octave has no string class, so there this branch is never taken.
  if (!mxIsClass(argument, "string") || !is_scalar(argument)) return false;
  host_array_owner text;
  mxArray* string = const_cast<mxArray*>(argument);  // char() only reads it
  if (mexCallMATLAB(1, &text.array, 1, &string, "char") != 0 || !text.array || !is_char_row(text.array)) return false;
  mxGetString(text.array, name, name_capacity);
  return true;
}

bool same_name(const char* given, const char* option) {
  for (; *given && *option; ++given, ++option)
    if (std::tolower(static_cast<unsigned char>(*given)) != *option) return false;
  return *given == *option;
}

// The value of a pair: a real full numeric or logical scalar, as a double.
double read_value(const mxArray* value, const char* name, int position, const char* expected) {
  if (!is_number_class(mxGetClassID(value)) || mxIsSparse(value) || mxIsComplex(value) || !is_scalar(value))
    refuse("badOption", "the value of \"%s\" (input %d) is %s; expected %s.", name, position,
           argument_description(value).text, expected);
  if (!mxGetData(value))
    refuse("missingData", "input %d reports an element but the host gave no element data.", position);
  return mxGetScalar(value);
}

// What "threads" takes, with the core's cap.
const char* threads_expected() {
  static const std::string text =
      "one whole number >= 0 (1: the caller's thread, 0: every core the process may run "
      "on, n: n threads, at most " +
      std::to_string(largest_thread_count) + ")";
  return text.c_str();
}

int resolve_threads(double wanted, int position) {
  if (!(std::isfinite(wanted) && wanted >= 0 && wanted == std::floor(wanted)))
    refuse("badOption", "the value of \"threads\" (input %d) is %g; expected %s.", position, wanted,
           threads_expected());
  return core::threads_for(int(std::min(wanted, double(largest_thread_count))));
}

constexpr const char* switch_expected = "true or false (1 or 0)";

bool resolve_switch(const char* name, double wanted, int position) {
  if (wanted != 0 && wanted != 1)
    refuse("badOption", "the value of \"%s\" (input %d) is %g; expected %s.", name, position, wanted, switch_expected);
  return wanted == 1;
}

// The options a call may give, each with the form its messages quote.
enum class option_name { threads, volume, progress, exact_sums, mask, centres, secondary_centres, unknown };

option_name option_named(const char* name) {
  if (same_name(name, "threads")) return option_name::threads;
  if (same_name(name, "volume")) return option_name::volume;
  if (same_name(name, "progress")) return option_name::progress;
  if (same_name(name, "exactsums")) return option_name::exact_sums;
  if (same_name(name, "mask")) return option_name::mask;
  if (same_name(name, "centres")) return option_name::centres;
  if (same_name(name, "secondary_centres")) return option_name::secondary_centres;
  return option_name::unknown;
}

const char* option_form(option_name option) {
  switch (option) {
    case option_name::threads:
      return "\"threads\", n";
    case option_name::volume:
      return "\"volume\", tf";
    case option_name::exact_sums:
      return "\"exactsums\", tf";
    case option_name::mask:
      return "\"mask\", M";
    case option_name::centres:
      return "\"centres\", C";
    case option_name::secondary_centres:
      return "\"secondary_centres\", C2";
    default:
      return "\"progress\", tf";
  }
}

}  // namespace

call_options read_call_options(const mxArray* const arguments[], int count, int first_position, bool exact_sums_offered,
                               bool secondary_centres_offered) {
  const char* const forms = exact_sums_offered ? option_forms_with_exact_sums : option_forms;
  call_options options;
  for (int i = 0; i < count; i += 2) {
    const int position = first_position + i;
    char name[name_capacity];
    if (!read_name(arguments[i], name))
      refuse("badOption", "input %d is %s; expected an option name: %s.", position,
             argument_description(arguments[i]).text, forms);
    const option_name option = option_named(name);
    if (option == option_name::unknown)
      refuse("badOption", "input %d is the unknown option \"%s\"; expected %s.", position, name, forms);
    if ((option == option_name::exact_sums && !exact_sums_offered) ||
        (option == option_name::secondary_centres && !secondary_centres_offered))
      refuse("badOption", "input %d is the option \"%s\", which only %s offers; expected %s.", position, name,
             exact_sums_offered ? "Tamvel" : "Sorvik", forms);
    if (i + 1 == count)
      refuse("badOption", "the option \"%s\" (input %d) has no value; expected %s.", name, position,
             option_form(option));
    const mxArray* value = arguments[i + 1];
    if (option == option_name::threads) {
      options.threads = resolve_threads(read_value(value, "threads", position + 1, threads_expected()), position + 1);
    } else if (option == option_name::volume) {
      options.volume_given = true;
      options.volume =
          resolve_switch("volume", read_value(value, "volume", position + 1, switch_expected), position + 1);
    } else if (option == option_name::mask) {
      options.mask = value;
    } else if (option == option_name::centres) {
      options.centres = value;
      options.centres_position = position + 1;
    } else if (option == option_name::secondary_centres) {
      options.secondary_centres = value;
      options.secondary_centres_position = position + 1;
    } else if (option == option_name::exact_sums) {
      options.exact_sums =
          resolve_switch("exactsums", read_value(value, "exactsums", position + 1, switch_expected), position + 1);
    } else {
      options.progress =
          resolve_switch("progress", read_value(value, "progress", position + 1, switch_expected), position + 1);
    }
  }
  return options;
}

edgeseg::centre_table centres_from_host(const mxArray* value, const char* name, int position) {
  edgeseg::centre_table table;
  if (!value) return table;
  const mwSize* extents = mxGetDimensions(value);
  const bool matrix = mxGetNumberOfDimensions(value) == 2;
  if (matrix && extents[0] == 0 && extents[1] == 0) return table;  // [] gives none
  if (!is_number_class(mxGetClassID(value)) || mxIsSparse(value) || mxIsComplex(value) || !matrix)
    refuse("badCentres", "the value of \"%s\" (input %d) is %s; expected a real full K x C matrix of numbers.", name,
           position, argument_description(value).text);
  const CImg<float> rows = image_from_host(value, "the starting centres");
  table.classes = extents[0];
  table.channels = extents[1];
  table.values.assign(rows.begin(), rows.end());
  return table;
}

}  // namespace boundary
