// The lines of a run's progress, as every host prints them ("progress", true
// in Octave, progress=True in Python): one after each iteration and, after
// the last, one that says why the run ended.
#pragma once

#include <string>

#include "run_report.h"

namespace core {

// The line of one iteration of a run of `command` (the name the host gives
// it), ending in a newline.
std::string iteration_line(const char* command, const iteration_report& report);

// After the last iteration (report.last), the line that says why the run
// ended, ending in a newline; empty before.
std::string closing_line(const char* command, const iteration_report& report);

}  // namespace core
