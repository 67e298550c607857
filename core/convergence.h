// The convergence test shared by both commands, and which energies a run
// needs for it.
#pragma once

namespace core {

// The energy before iteration 0: the float nearest 1e13 (9999999827968), so
// that a test right after the first sweep compares with a huge previous energy.
constexpr float initial_energy = 1e13f;

// True when the squared change of the energy falls below tolerance times the
// previous energy: tolerance * previous > (energy - previous)^2, strictly, from
// the stored single-precision values. With previous = 0 it never holds.
inline bool has_converged(float energy, float previous_energy, float tolerance) {
  const double change = double(energy) - double(previous_energy);
  return double(tolerance) * double(previous_energy) > change * change;
}

// False where no energies pass the test, so that none need be formed: with a
// tolerance of 0 its left side is 0, or NaN, and never above a square.
inline bool energies_can_converge(float tolerance) { return tolerance != 0; }

// Whether iteration `iteration` forms its energy: only the energies from
// iteration T (last_plain_iteration) on reach a convergence test, and none
// where the tolerance lets none pass it; a watched run forms them all.
inline bool energy_wanted(int iteration, int last_plain_iteration, float tolerance, bool watched = false) {
  return watched || (iteration >= last_plain_iteration && energies_can_converge(tolerance));
}

// Whether iteration `iteration` meets the convergence test: the plain
// iterations 0 .. T are never tested, the later ones all are.
inline bool iteration_tested(int iteration, int last_plain_iteration) { return iteration > last_plain_iteration; }

// Whether a run stops after iteration `iteration`: when it is tested and
// has_converged holds against the energy of the iteration before.
inline bool iteration_converged(int iteration, int last_plain_iteration, float energy, float previous_energy,
                                float tolerance) {
  return iteration_tested(iteration, last_plain_iteration) && has_converged(energy, previous_energy, tolerance);
}

}  // namespace core
