// The one wrapper between mexFunction and a command. The command body runs
// inside it; any refusal, image-library error or exhausted memory that leaves
// the body becomes a host error "<command>:<mnemonic>" - raised only after the
// body's stack, and with it every image of the call, has been released.
#pragma once

#include "mex.h"

namespace boundary {

using command_body = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

void run_command(const char* command, command_body body, int nlhs, mxArray* plhs[], int nrhs,
                 const mxArray* prhs[]);

// Refuses a call with other than `required` inputs or more than one output.
void require_arguments(int nlhs, int nrhs, int required, const char* call_form);

}  // namespace boundary
