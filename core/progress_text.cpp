#include "progress_text.h"

#include <cstdarg>
#include <cstdio>

namespace core {
namespace {

std::string formatted(const char* format, ...) {
  char line[400];
  va_list values;
  va_start(values, format);
  std::vsnprintf(line, sizeof line, format, values);
  va_end(values);
  return line;
}

}  // namespace

std::string iteration_line(const char* command, const iteration_report& report) {
  const char* phase = report.edge_phase ? "edge" : "plain";
  const auto changed = static_cast<unsigned long long>(report.changed);
  if (report.iteration == 0)
    return formatted("%s: iteration %d, %s phase: energy %.9g, %llu pixels changed, %.2f s\n", command,
                     report.iteration + 1, phase, double(report.energy), changed, report.seconds);
  return formatted("%s: iteration %d, %s phase: energy %.9g (change %.3g), %llu pixels changed, %.2f s\n", command,
                   report.iteration + 1, phase, double(report.energy),
                   double(report.energy) - double(report.previous_energy), changed, report.seconds);
}

// Why the run ended: the test passed, or the iteration limit came first, and
// then what the test last compared (or why it never ran).
std::string closing_line(const char* command, const iteration_report& report) {
  if (!report.last) return {};
  const int count = report.iteration + 1;
  if (report.converged)
    return formatted(
        "%s: converged after %d iterations: the squared change of the energy fell below tolerance x the previous "
        "energy.\n",
        command, count);
  if (report.tolerance == 0)
    return formatted(
        "%s: stopped after %d iterations, the limit: tolerance 0 runs every iteration, with no "
        "convergence test.\n",
        command, count);
  if (!report.tested)
    return formatted(
        "%s: stopped after %d iterations, the limit, before any convergence test: the test applies "
        "from the iteration after the last plain one.\n",
        command, count);
  const double change = double(report.energy) - double(report.previous_energy);
  const double bound = double(report.tolerance) * double(report.previous_energy);
  return formatted(
      "%s: stopped after %d iterations, the limit, without converging: the last change of the energy squared, "
      "%.3g, was not below tolerance x the previous energy, %.3g x %.9g = %.3g.\n",
      command, count, change * change, double(report.tolerance), double(report.previous_energy), bound);
}

}  // namespace core
