#include "run_warnings.h"

#include <cstdio>
#include <string>

#include "convergence.h"

namespace core {
namespace {

// Classes named in the message at most; the rest are counted.
constexpr std::size_t classes_named = 8;

// "classes 0 and 3", "class 2", "classes 0, 1, 2 and 5 more".
std::string empty_classes(const std::vector<std::uint64_t>& counts, std::size_t& empty) {
  std::vector<std::size_t> named;
  empty = 0;
  for (std::size_t k = 0; k < counts.size(); ++k)
    if (counts[k] == 0 && ++empty <= classes_named) named.push_back(k);
  std::string text = empty == 1 ? "class " : "classes ";
  for (std::size_t i = 0; i < named.size(); ++i) {
    if (i > 0) text += i + 1 == named.size() && empty == named.size() ? " and " : ", ";
    text += std::to_string(named[i]);
  }
  if (empty > named.size()) text += " and " + std::to_string(empty - named.size()) + " more";
  return text;
}

run_warning empty_class_warning(const std::vector<std::uint64_t>& counts) {
  std::size_t empty = 0;
  const std::string classes = empty_classes(counts, empty);
  char text[600];
  std::snprintf(text, sizeof text,
                "%s of %zu ended with no pixel: %s where no pixel was nearest, or lost every pixel. Give starting "
                "centres from the data's own distribution (the settings suggestion has some) so that every class "
                "starts with pixels.",
                classes.c_str(), counts.size(), empty == 1 ? "its centre started" : "their centres started");
  return run_warning{"emptyClass", text};
}

run_warning not_converged_warning(const run_ending& ending) {
  const double change = double(ending.energy) - double(ending.previous_energy);
  const double bound = double(ending.tolerance) * double(ending.previous_energy);
  char text[600];
  std::snprintf(text, sizeof text,
                "stopped at the iteration limit, after %d iterations, without converging: the last change of the "
                "energy squared, %.3g, was not below tolerance x the previous energy, %.3g x %.9g = %.3g. The "
                "labels may be in the middle of a change; allow more iterations, or see the progress lines.",
                ending.iterations, change * change, double(ending.tolerance), double(ending.previous_energy), bound);
  return run_warning{"notConverged", text};
}

}  // namespace

std::vector<run_warning> run_warnings(const run_ending& ending) {
  std::vector<run_warning> warnings;
  if (ending.iterations == 0) return warnings;
  for (const std::uint64_t count : ending.counts)
    if (count == 0) {
      warnings.push_back(empty_class_warning(ending.counts));
      break;
    }
  // The test of iteration 0 (T < 0) compares with the stand-in before it,
  // not with an energy of the run.
  const bool last_tested =
      iteration_tested(ending.iterations - 1, ending.last_plain_iteration) && ending.iterations > 1;
  // An energy that no longer changes fails the test only from 0 (an empty
  // band, or every pixel on its centre): the run is settled, not stopped.
  const bool settled = ending.energy == ending.previous_energy;
  if (ending.tolerance > 0 && !ending.converged && last_tested && !settled)
    warnings.push_back(not_converged_warning(ending));
  return warnings;
}

}  // namespace core
