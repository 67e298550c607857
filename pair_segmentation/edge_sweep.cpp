#include "edge_sweep.h"

#include <algorithm>
#include <initializer_list>

#include "penalties.h"
#include "segmentation/phases.h"

namespace tamvel {
namespace {

// Marks unknown the window of every pixel that holds the pixel at
// `position` = (x, y) of its slice: the pixels within the disc's reach of
// it. Reflection adds none, since a reflected position lies no farther from
// the pixel whose window it belongs to than the offset that reached it.
void forget_windows_holding(const disc_walk& disc, std::size_t position, unsigned x, unsigned y,
                            unsigned char* knowledge) {
  const std::size_t width = std::size_t(disc.width);
  unsigned char* slice = knowledge + (position - x - std::size_t(y) * width);
  const std::int64_t x_first = std::max<std::int64_t>(0, std::int64_t(x) - disc.dx_max);
  const std::int64_t x_last = std::min<std::int64_t>(disc.width - 1, std::int64_t(x) - disc.dx_min);
  const std::int64_t y_first = std::max<std::int64_t>(0, std::int64_t(y) - disc.dy_max);
  const std::int64_t y_last = std::min<std::int64_t>(disc.height - 1, std::int64_t(y) - disc.dy_min);
  for (std::int64_t row = y_first; row <= y_last; ++row)
    std::fill(slice + row * width + x_first, slice + row * width + x_last + 1, window_unknown);
}

// A pixel's penalties: K + 1 values as class_penalties leaves them or, for a
// window that one class fills, the sum of E over the window, which every
// other class pays.
struct pixel_penalties {
  const double* values;
  double window_sum;
};

// The penalties of the pixel `band_index` of the band at `position` = (x, y),
// as class_penalties sums them.
pixel_penalties penalties_at(const sweep_inputs& in, sweep_state& state, std::size_t band_index,
                             std::size_t position, unsigned x, unsigned y, const float* labels) {
  const float* edge = in.edge_indicator;
  const std::size_t entry_size = std::size_t(in.class_count) + 1;
  if (!state.remembers) {
    class_penalties(state.disc, position, x, y, labels, edge, in.class_count, state.penalties.data());
    return {state.penalties.data(), 0.0};
  }
  unsigned char& known = state.knowledge[position];
  if (known == window_unknown) {
    // One class filling a window that lies inside the image leaves only the
    // pixel itself to differ from its own class.
    bool one_class = class_of_label(labels[position], in.class_count) < in.class_count && state.disc.inside(x, y);
    if (one_class) state.disc.walk(position, x, y, [&](std::size_t p) { one_class &= labels[p] == labels[position]; });
    if (one_class) {
      double sum = 0.0;
      state.disc.walk(position, x, y, [&](std::size_t p) { sum += edge[p]; });
      state.window_sums[band_index] = sum;
      known = window_one_class;
    } else {
      known = window_mixed;
      class_penalties(state.disc, position, x, y, labels, edge, in.class_count, state.penalties.data());
      return {state.penalties.data(), 0.0};
    }
  }
  if (known == window_one_class) return {nullptr, state.window_sums[band_index]};
  std::uint32_t& place = state.kept_at[band_index];
  if (known == window_mixed_kept) return {state.kept.data() + place * entry_size, 0.0};
  // Mixed on two visits running: keep its penalties from now on.
  if (place == no_place && state.kept.size() / entry_size < no_place) {
    place = std::uint32_t(state.kept.size() / entry_size);
    state.kept.resize(state.kept.size() + entry_size);
  }
  double* penalty = place == no_place ? state.penalties.data() : state.kept.data() + place * entry_size;
  class_penalties(state.disc, position, x, y, labels, edge, in.class_count, penalty);
  if (place != no_place) known = window_mixed_kept;
  return {penalty, 0.0};
}

// The class the plain iteration's class loop gives a pixel, or -1 when no
// class wins it, and in `best` the cost it keeps. data[k * stride] is the
// data term of class k; penalty(k) its penalty with the pixel's label as it
// stood, own_penalty that of the pixel's own class (K for a label that is no
// class) once another has won.
//
// The loop keeps best as a float and takes a class when its cost is below
// best: best after class k is the least float of the costs so far (rounding
// is monotonic, NaN never below), and the own class sees another class won
// exactly when an earlier cost was below the largest float, where best
// starts. So the costs are formed first and only the running minimum is a
// chain.
template <class Penalty>
int choose_class(const double* data, std::size_t stride, int class_count, int own_class, double lambda,
                 Penalty penalty, double own_penalty, double* cost, float& best) {
  bool won_before_own = false;
  for (int k = 0; k < class_count; ++k) {
    cost[k] = data[std::size_t(k) * stride] + lambda * penalty(k);
    if (k < own_class) won_before_own |= cost[k] < double(largest_cost);
  }
  if (won_before_own && own_class < class_count) cost[own_class] = data[std::size_t(own_class) * stride] + lambda * own_penalty;
  float least = largest_cost;
  int winner = -1;
  for (int k = 0; k < class_count; ++k) {
    winner = cost[k] < double(least) ? k : winner;
    const float rounded = static_cast<float>(cost[k]);
    least = rounded < least ? rounded : least;
  }
  best = least;
  return winner;
}

// The sweep with edge penalty, pixel after pixel in raster order, each label
// written before the next pixel looks at its window. The pixel's own
// position(s) in the window carry its label as it stood before the visit
// while no class has won yet, and the last winning class once one has: only
// for its own class, after an earlier class has won, does the penalty then
// differ from the one summed with the labels as they stood.
float edge_phase_sweep(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>& band, float* labels) {
  const std::size_t class_count = std::size_t(in.class_count);
  const std::size_t block = table_block_pixels(in.class_count);
  float energy = 0;
  std::size_t band_index = 0;
  state.changes.clear();
  // Blocks of band pixels, across runs.
  std::size_t run = 0, offset = 0;
  std::size_t position[block_pixels];
  unsigned column[block_pixels], row[block_pixels];
  while (run < band.size()) {
    std::size_t n = 0;
    for (; n < block && run < band.size(); ++n) {
      position[n] = band[run].position + offset;
      column[n] = band[run].x + unsigned(offset);
      row[n] = band[run].y;
      if (++offset == band[run].length) {
        ++run;
        offset = 0;
      }
    }
    data_costs(in, state.primary_values + band_index, state.secondary_values + band_index, state.value_stride, n,
               state.table.data());

    for (std::size_t i = 0; i < n; ++i, ++band_index) {
      const std::size_t p = position[i];
      const float own_label = labels[p];
      const int own_class = class_of_label(own_label, in.class_count);
      const pixel_penalties penalty = penalties_at(in, state, band_index, p, column[i], row[i], labels);
      const double* data = state.table.data() + i;
      float best = 0;
      int winner;
      if (penalty.values) {
        winner = choose_class(
            data, n, in.class_count, own_class, in.lambda, [&](int k) { return penalty.values[k]; },
            penalty.values[class_count], state.costs.data(), best);
      } else {
        // Every other class differs everywhere; the own class nowhere, or,
        // once another class has won, at the pixel itself.
        const double window_sum = penalty.window_sum;
        winner = choose_class(
            data, n, in.class_count, own_class, in.lambda, [&](int k) { return k == own_class ? 0.0 : window_sum; },
            0.0 + double(in.edge_indicator[p]), state.costs.data(), best);
      }
      if (winner >= 0) {
        const float label = static_cast<float>(winner);
        labels[p] = label;
        if (!(label == own_label) && state.remembers) {
          forget_windows_holding(state.disc, p, column[i], row[i], state.knowledge.data());
          state.changes.push_back(label_change{p, own_class});
        }
      }
      energy += winner >= 0 ? best : cost_ceiling;
    }
  }
  return energy;
}

}  // namespace

sweep_state make_sweep_state(const CImg<float>& primary, const pair_segmentation_parameters& parameters) {
  sweep_state state;
  state.disc = make_disc_walk(parameters.window, primary.width(), primary.height());
  state.table.resize(table_block_pixels(parameters.class_count) * std::size_t(parameters.class_count));
  state.penalties.resize(std::size_t(parameters.class_count) + 1);
  state.costs.resize(std::size_t(parameters.class_count));
  return state;
}

void start_band(sweep_state& state, const std::vector<band_run>& band, const sweep_inputs& in, bool remember) {
  const std::size_t band_pixels = pixels_in(band);
  state.remembers = remember;
  if (remember) {
    state.knowledge.assign(in.pixel_count, window_unknown);
    state.window_sums.assign(band_pixels);  // written before it is read
    state.kept_at.assign(band_pixels, no_place);
    state.kept.clear();
    // Room for the kept penalties of most bands, taken up front so that the
    // list never moves; memory the list does not reach is never touched.
    const std::size_t entry_size = std::size_t(in.class_count) + 1;
    state.kept.reserve(std::min(band_pixels, kept_reserve_limit / entry_size) * entry_size);
  }
  if (band_pixels == in.pixel_count) {
    state.band_values.assign();
    state.primary_values = in.primary;
    state.secondary_values = in.secondary;
    state.value_stride = in.pixel_count;
    return;
  }
  state.band_values.assign(2 * std::size_t(in.channels) * band_pixels);  // filled below
  float* value = state.band_values.data();
  for (const float* image : {in.primary, in.secondary})
    for (int c = 0; c < in.channels; ++c)
      for (const band_run& run : band)
        value = std::copy_n(image + std::size_t(c) * in.pixel_count + run.position, run.length, value);
  state.primary_values = state.band_values.data();
  state.secondary_values = state.primary_values + std::size_t(in.channels) * band_pixels;
  state.value_stride = band_pixels;
}

bool is_edge_phase(const pair_segmentation_parameters& parameters, int iteration) {
  return sorvik::is_edge_phase(parameters.last_plain_iteration, parameters.window, iteration);
}

float sweep_band(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>& band, float* labels,
                 const pair_segmentation_parameters& parameters, int iteration, bool energy_wanted) {
  if (is_edge_phase(parameters, iteration)) return edge_phase_sweep(in, state, band, labels);
  float energy = 0;
  for (const band_run& run : band)
    plain_sweep(in, run.position, run.length, labels, energy_wanted ? &energy : nullptr);
  return energy;
}

}  // namespace tamvel
