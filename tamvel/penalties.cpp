#include "penalties.h"

#include <algorithm>
#include <cstdint>

#include "core/vectors.h"
#include "core/labels.h"
#include "sweep_inputs.h"

namespace tamvel {
namespace {

// Two classes' penalties side by side in the lanes of one vector register.
#if VECTOR_TYPES
typedef double penalty_lanes __attribute__((vector_size(2 * sizeof(double))));
typedef std::int64_t lane_flags __attribute__((vector_size(2 * sizeof(double))));

// sum += value in the lanes whose class differs from the label; adding +0
// elsewhere leaves a sum exactly as it was.
inline void add_where_label_differs(penalty_lanes& sum, const penalty_lanes& classes, const penalty_lanes& label,
                                    const penalty_lanes& value) {
  sum += (penalty_lanes)((lane_flags)value & ~(classes == label));
}
inline penalty_lanes spread(double value) { return penalty_lanes{value, value}; }
#else
struct penalty_lanes {
  double lane[2];
  double operator[](int k) const { return lane[k]; }
};
inline void add_where_label_differs(penalty_lanes& sum, const penalty_lanes& classes, const penalty_lanes& label,
                                    const penalty_lanes& value) {
  for (int k = 0; k < 2; ++k) sum.lane[k] += classes.lane[k] == label.lane[k] ? 0.0 : value.lane[k];
}
inline penalty_lanes spread(double value) { return penalty_lanes{{value, value}}; }
#endif

// Classes one walk over the window sums side by side, at most.
constexpr int classes_per_walk = 8;

// Penalties of the 2 * lane_pairs classes from `first` on at the pixel at
// `position` = (x, y): E summed in window order over the positions whose
// label differs from the class. With `with_own`, also the penalty of the
// pixel's own class once another class has won it: its own positions then
// differ too.
template <int lane_pairs, bool with_own>
void sum_penalties(const disc_walk& disc, std::size_t position, unsigned x, unsigned y, const float* labels,
                   const float* edge, int first, double* penalty, double& own_penalty) {
  penalty_lanes classes[lane_pairs], sum[lane_pairs];
  for (int g = 0; g < lane_pairs; ++g) {
    const double base = first + 2 * g;
    classes[g] = penalty_lanes{base, base + 1};
    sum[g] = spread(0.0);
  }
  const float own_label = labels[position];
  double own = 0.0;
  disc.walk(position, x, y, [&](std::size_t p) {
    const float label = labels[p];
    const double value = edge[p];
    const penalty_lanes label_lanes = spread(label), value_lanes = spread(value);
    for (int g = 0; g < lane_pairs; ++g) add_where_label_differs(sum[g], classes[g], label_lanes, value_lanes);
    if (with_own) own += (label != own_label || p == position) ? value : 0.0;
  });
  for (int g = 0; g < lane_pairs; ++g) {
    penalty[2 * g] = sum[g][0];
    penalty[2 * g + 1] = sum[g][1];
  }
  if (with_own) own_penalty = own;
}

template <int lane_pairs>
void sum_penalties(const disc_walk& disc, std::size_t position, unsigned x, unsigned y, const float* labels,
                   const float* edge, int first, bool with_own, double* penalty, double& own_penalty) {
  if (with_own)
    sum_penalties<lane_pairs, true>(disc, position, x, y, labels, edge, first, penalty, own_penalty);
  else
    sum_penalties<lane_pairs, false>(disc, position, x, y, labels, edge, first, penalty, own_penalty);
}

}  // namespace

void class_penalties(const disc_walk& disc, std::size_t position, unsigned x, unsigned y, const float* labels,
                     const float* edge, int class_count, double* penalty) {
  const core::class_index own = core::class_of_label(labels[position], class_count);
  const bool with_own = own > 0 && own < class_count;
  for (int first = 0; first < class_count; first += classes_per_walk) {
    const int classes = std::min(classes_per_walk, class_count - first);
    const bool own_here = with_own && first == 0;
    double lanes[classes_per_walk];
    double& own = penalty[class_count];
    if (classes <= 2)
      sum_penalties<1>(disc, position, x, y, labels, edge, first, own_here, lanes, own);
    else if (classes <= 4)
      sum_penalties<2>(disc, position, x, y, labels, edge, first, own_here, lanes, own);
    else
      sum_penalties<4>(disc, position, x, y, labels, edge, first, own_here, lanes, own);
    std::copy(lanes, lanes + classes, penalty + first);
  }
}

}  // namespace tamvel
