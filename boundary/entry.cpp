#include "entry.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "image.h"
#include "refusal.h"

namespace boundary {
namespace {

// The host may leave mexErrMsgIdAndTxt by a long jump that skips destructors,
// so the error text waits in plain buffers, not in objects that own memory.
struct pending_error {
  char identifier[96] = "";
  char message[1024] = "";
  bool raised = false;

  void set(const char* command, const char* mnemonic, const char* text) {
    std::snprintf(identifier, sizeof identifier, "%s:%s", command, mnemonic);
    // Hosts name the command beside the message themselves.
    std::snprintf(message, sizeof message, "%s", text);
    raised = true;
  }
};

}  // namespace

void run_command(const char* command, command_body body, int nlhs, mxArray* plhs[], int nrhs,
                 const mxArray* prhs[]) {
  pending_error error;
  try {
    body(nlhs, plhs, nrhs, prhs);
  } catch (const refusal& fault) {
    error.set(command, fault.mnemonic(), fault.what());
  } catch (const cimg_library::CImgException& fault) {
    // The library reports memory it could not get as its own error.
    const bool memory = std::strstr(fault.what(), "Failed to allocate memory") != nullptr;
    error.set(command, memory ? "outOfMemory" : "imageLibrary", fault.what());
  } catch (const std::bad_alloc&) {
    error.set(command, "outOfMemory", "not enough memory for this image and these settings.");
  }
  if (error.raised) mexErrMsgIdAndTxt(error.identifier, "%s", error.message);
}

void require_arguments(int nlhs, int nrhs, int required, const char* call_form) {
  if (nrhs < required) refuse("notEnoughInputs", "expected %d inputs, got %d. Call it as %s.", required, nrhs, call_form);
  if (nrhs > required) refuse("tooManyInputs", "expected %d inputs, got %d. Call it as %s.", required, nrhs, call_form);
  if (nlhs > 1) refuse("tooManyOutputs", "returns one output (the label array), but %d were requested.", nlhs);
}

}  // namespace boundary
