#include "vectors.h"

namespace core {

bool wide_vectors_available() {
#if WIDE_VECTORS
  // The compiler's check also asks whether the system saves the wide
  // registers; the runtime behind it exists with GCC and Clang on every
  // x86-64 system, where the loader's indirect functions do not.
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return available;
#else
  return false;
#endif
}

}  // namespace core
