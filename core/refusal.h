// The two ways a call ends without its labels, besides exhausted memory: a
// stop that was requested, and a refusal. A refusal is a call the commands
// will not compute: raised where the fault is found and turned by each
// host's entry into its own error (for the MEX host, one with the identifier
// "<Command>:<mnemonic>"), after every image of the call has been released.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace core {

// How a call ends when a stop was requested while it ran, once it has
// released everything it held.
class call_stopped : public std::exception {
 public:
  const char* what() const noexcept override { return "the call was stopped before it finished."; }
};

class refusal : public std::runtime_error {
 public:
  // `setting`: the position in the command's settings vector of the setting
  // refused, so that a host can name it in its own terms; -1 for other faults.
  refusal(const char* mnemonic, const std::string& message, int setting = -1)
      : std::runtime_error(message), mnemonic_(mnemonic), setting_(setting) {}
  const char* mnemonic() const noexcept { return mnemonic_; }
  int setting() const noexcept { return setting_; }

 private:
  const char* mnemonic_;  // always a string literal
  int setting_;
};

inline std::string formatted_message(const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  return text;
}

// The standard attribute comes first: clang accepts no standard attribute
// after a GNU one.
[[noreturn]]
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void
refuse(const char* mnemonic, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::string text = formatted_message(format, arguments);
  va_end(arguments);
  throw refusal(mnemonic, text);
}

// Refuses the setting at `setting` in the settings vector ("badParameters").
[[noreturn]]
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void
refuse_setting(int setting, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::string text = formatted_message(format, arguments);
  va_end(arguments);
  throw refusal("badParameters", text, setting);
}

}  // namespace core
