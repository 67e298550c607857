#include "host_console.h"

#include "mex.h"

#if defined(HAVE_OCTAVE)
// Octave's handler of SIGINT counts the interrupt at once; the interpreter
// acts on it at its next safe point. (Its flag of a caught signal is set by
// other signals too, such as a child process ending.)
#include <octave/quit.h>
#elif defined(MATLAB_MEX_FILE)
// MATLAB's interrupt query lives in libut, undocumented but long stable.
extern "C" bool utIsInterruptPending(void);
#endif

namespace boundary {

bool host_interrupt_pending() noexcept {
#if defined(HAVE_OCTAVE)
  return octave_interrupt_state > 0;
#else
  // MATLAB, and the stand-in host, which offers the same query.
  return utIsInterruptPending();
#endif
}

void host_print(const char* text) {
  mexPrintf("%s", text);
  // mexPrintf's lines wait in the host's buffer until it flushes them.
#if defined(HAVE_OCTAVE)
  mexEvalString("fflush(stdout);");
#else
  mexEvalString("drawnow;");
#endif
}

}  // namespace boundary
