// What the label sweeps of both commands are built on: how a sweep is shared
// among the call's threads, the rows of one slice swept as a wavefront, the
// rule that gives a pixel its class, and where the energy terms go.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "call_threads.h"
#include "costs.h"
#include "vectors.h"

namespace core {

// The least pixels worth a part of a plain-phase sweep, in either command:
// a pixel's choice there costs about as much as a part's start.
constexpr std::size_t plain_share = 8192;

// How an edge-phase sweep is shared: `parts` parts taking slices, or rows of
// one slice as a wavefront.
struct sweep_layout {
  int parts = 1;
  bool wavefront = false;
};

// The parts of an edge-phase sweep of a width x height x depth image for up
// to `threads` threads: slices of a volume, each swept on its own (the
// window stays in its slice); or rows of one slice as a wavefront, where the
// rows are long enough for parts `lag` columns apart to overlap.
inline sweep_layout plan_sweep_parts(int threads, std::size_t width, std::size_t height, std::size_t depth,
                                     std::size_t lag) {
  if (threads <= 1) return {1, false};
  if (depth > 1) return {useful_parts(threads, depth, 1), false};
  const int parts = int(std::min<std::size_t>(std::size_t(useful_parts(threads, width, 2 * lag)), height));
  return {std::max(parts, 1), parts > 1};
}

// Items 0 .. count - 1 handed out `turn` at a time, in order, to whichever
// part asks next, so that a part slowed down by a busy machine leaves more to
// the others. What an item gives must not depend on the part that takes it.
class turn_queue {
 public:
  explicit turn_queue(std::size_t count, std::size_t turn = 1) : count_(count), turn_(turn) {}

  // The items of the next turn, or false once every item is taken.
  bool take(share& items) {
    const std::size_t first = next_.fetch_add(turn_, std::memory_order_relaxed);
    if (first >= count_) return false;
    items = share{first, std::min(count_, first + turn_)};
    return true;
  }

 private:
  std::atomic<std::size_t> next_{0};
  std::size_t count_, turn_;
};

// Rows of one slice swept side by side, row y by part y mod parts, each
// part's rows in order. Row y sweeps the columns below `end` only once row
// y - 1 has swept every column below end + lead (or its whole row). The
// lead, in columns, is each command's wavefront_lead: what makes each row
// read the other's labels as the raster order would have left them, which
// depends on how the command's sweep reads a window. Progress is published
// with release order and read with acquire order.
class row_wavefront {
 public:
  // For `rows` rows of `width` columns; 0 rows where the sweep is no wavefront.
  row_wavefront(std::size_t rows, std::size_t width, std::size_t lead) : finished_(rows), width_(width), lead_(lead) {}

  void wait_for_row_above(const run_progress& progress, std::size_t y, std::size_t end) const {
    if (y > 0) progress.wait_until(finished_[y - 1], std::min(width_, end + lead_));
  }
  void publish(const run_progress& progress, std::size_t y, std::size_t end) { progress.publish(finished_[y], end); }

 private:
  std::vector<std::atomic<std::size_t>> finished_;  // per row, the columns swept so far
  std::size_t width_, lead_;
};

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

}  // namespace core
