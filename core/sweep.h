// What the label sweeps of both commands are built on: the rule that gives a
// pixel its class, where the energy terms go, and the plain-phase sweep
// shared among the call's threads (the edge phase's sharing is in
// sweep_parts.h).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "call_threads.h"
#include "costs.h"
#include "sweep_parts.h"
#include "vectors.h"

namespace core {

// The class a pixel takes, or -1 where no class wins it, and the cost it
// keeps, a float.
struct class_choice {
  int winner = -1;
  float best = largest_cost;
};

// The scan over the classes of one pixel: the lowest cost wins, ties going to
// the lower class, and once an earlier class has won, the pixel's own class
// pays for the pixel's own places in its window too. data[k * stride] is the
// data term of class k, penalty(k) its penalty with the pixel counted with
// its label from before the visit, own_penalty() that of the pixel's own
// class `own_class` (K for a label that is no class) once another has won;
// `cost` has room for K costs.
//
// The scan keeps the best cost as a float and takes a class when its cost is
// below it: after class k that is the least float of the costs so far
// (rounding is monotonic, NaN never below), and the own class sees another
// class won exactly when an earlier cost was below the largest float, where
// the best cost starts. So the costs are formed first and only the running
// least is a chain.
template <class Penalty, class OwnPenalty>
class_choice choose_class(const double* data, std::size_t stride, int class_count, int own_class, double weight,
                          const Penalty& penalty, const OwnPenalty& own_penalty, double* cost) {
  bool won_before_own = false;
  for (int k = 0; k < class_count; ++k) {
    cost[k] = data[std::size_t(k) * stride] + weight * penalty(k);
    if (k < own_class) won_before_own |= cost[k] < double(largest_cost);
  }
  if (won_before_own && own_class < class_count)
    cost[own_class] = data[std::size_t(own_class) * stride] + weight * own_penalty();
  // The least so far is kept in double, where it is compared, and rounded
  // only when a class improves on it: a branch the processor predicts well
  // keeps the conversions off the chain from class to class (2% of a sweep).
  class_choice choice;
  double best = largest_cost;
  for (int k = 0; k < class_count; ++k)
    if (cost[k] < best) {
      best = static_cast<float>(cost[k]);
      choice.winner = k;
    }
  choice.best = static_cast<float>(best);
  return choice;
}

// In the plain phase no neighbour differs, so a class's cost is its data
// term plus the edge weight times 0: the data term itself, unless the weight
// is no finite number; then every cost is NaN and no class wins any pixel.
inline bool plain_costs_are_data_terms(double edge_weight) { return edge_weight * 0.0 == 0.0; }

// The plain phase's choice for pixels decided side by side, class after
// class, by choose_class's rule: class k takes the pixel where its cost is
// below the lowest so far, `best`, which starts at largest_cost and keeps the
// winning cost rounded to float (`cost_as_float`); `winner` starts at -1.
// Rounding is monotonic, so a cost below best rounds to at most best, and
// NaN never wins. Plain numbers, or lanes of the vector types, side by side.
template <class Cost, class Class>
VECTOR_INLINE void keep_lower_cost(const Cost& cost, const Cost& cost_as_float, const Class& k, Cost& best,
                                   Class& winner) {
  const auto better = cost < best;
  best = better ? cost_as_float : best;
  winner = better ? k : winner;
}

// Where a sweep's energy terms go: each to its pixel's slot in `terms`, for
// a sum in raster order once the parts have ended, or else, in a sweep in
// raster order on one part, onto the running float sum `running`, where
// that is given.
struct energy_sink {
  float* terms = nullptr;
  float* running = nullptr;

  void add(std::size_t index, float term) const {
    if (terms)
      terms[index] = term;
    else if (running)
      *running += term;
  }
  void add(std::size_t first, const float* term, std::size_t count) const {
    if (terms)
      std::copy(term, term + count, terms + first);
    else if (running)
      for (std::size_t i = 0; i < count; ++i) *running += term[i];
  }
  // The terms of `count` pixels from `first` on that no class won.
  void add_unwon(std::size_t first, std::size_t count) const {
    if (terms)
      std::fill(terms + first, terms + first + count, cost_ceiling);
    else if (running)
      for (std::size_t i = 0; i < count; ++i) *running += cost_ceiling;
  }
};

// A plain-phase sweep of `pixels` pixels, of an image or of a band, shared
// among the call's threads: its pixels do not depend on each other, so
// plain_parts(threads, pixels) parts take turns of them from a queue, and
// stretch(part, begin, end, sink) decides pixels begin .. end - 1. Every
// pixel's energy term goes to `given_terms` where given; otherwise, where
// the energy is wanted, one part sums it as it goes and several leave the
// terms in `room` for a sum in raster order afterwards. Returns the energy
// (0 where it is neither wanted nor given terms), continued from
// `energy_before` where it is formed here.
template <class Stretch>
float plain_sweep(call_threads& threads, std::size_t pixels, double edge_weight, float* given_terms, float* room,
                  bool energy_wanted, Stretch&& stretch, float energy_before = 0.0f) {
  const int parts = plain_parts(threads, pixels);
  float energy = energy_before;
  float* terms = given_terms ? given_terms : parts > 1 && energy_wanted ? room : nullptr;
  const energy_sink sink{terms, !terms && energy_wanted ? &energy : nullptr};
  if (!plain_costs_are_data_terms(edge_weight)) {
    sink.add_unwon(0, pixels);
  } else {
    turn_queue turns(pixels, threads.worth_a_thread(plain_turn));
    threads.run(parts, [&](int part, int, run_progress& progress) {
      for (share taken; !progress.aborted() && turns.take(taken);) stretch(part, taken.begin, taken.end, sink);
    });
  }
  return terms ? sum_in_raster_order(terms, pixels, energy_before) : energy;
}

}  // namespace core
