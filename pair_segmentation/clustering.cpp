#include "clustering.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

#include "narrow_band.h"
#include "segmentation/convergence.h"
#include "segmentation/value_range.h"
#include "segmentation/window.h"

// These kernels give bit for bit the labels, centres and energies of the plain
// iteration kept in tests/reference/: each pixel's data terms, penalties and
// costs and each centre sum come from the same float and double operations
// in the same order, or, for centre sums shown to be exact, from operations
// whose order cannot change a bit. What changes is the work around them:
// pixels whose costs do not depend on each other are taken side by side, the
// band is listed once, the disc is walked by rows without reflecting inside
// the image, one walk sums the penalties of several classes, a window's
// penalties are kept until a label in it changes, and exact centre sums
// follow the relabelled pixels instead of being formed anew.

namespace tamvel {
namespace {

// The loops that take many pixels side by side also get an AVX2 build, picked
// when the library loads on a processor that has it. Both builds perform the
// same IEEE operations in the same order (AVX2 brings no fused multiply-add),
// so they give the same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define PIXEL_LOOPS __attribute__((target_clones("avx2", "default")))
#else
#define PIXEL_LOOPS
#endif

// Centres of one image: K values per channel, spaced evenly inside the
// channel's finite range, or 0 for a channel without any finite value.
void place_centres(const CImg<float>& image, int channels, int class_count, CImg<float>& centres) {
  const std::size_t channel_size = std::size_t(image.width()) * image.height() * image.depth();
  for (int c = 0; c < channels; ++c) {
    float lowest = 0, highest = 0;
    if (!sorvik::finite_range(image.data(0, 0, 0, c), channel_size, lowest, highest)) continue;
    for (int k = 0; k < class_count; ++k)
      centres(c, k) = sorvik::spaced_centre(lowest, highest, class_count, k + 1);
  }
}

// The class a stored label names, or -1 for a value that names none (it then
// differs from every class).
int class_of(float label, int class_count) {
  if (!(label >= 0.0f && label < float(class_count))) return -1;
  const int k = static_cast<int>(label);
  return float(k) == label ? k : -1;
}

// ------------------------------------------------------------------ the disc

// The disc offsets of one row, dx_first .. dx_last at row offset dy.
struct disc_row {
  int dy;
  int dx_first;
  int dx_last;
};

// The disc walked in the order the penalty sums it (dy outer, dx inner,
// ascending), with the reflected columns and rows a window reaching beyond
// the image reads.
struct disc_walk {
  std::vector<disc_row> rows;
  std::int64_t width = 0, height = 0;
  int dx_min = 0, dx_max = 0, dy_min = 0, dy_max = 0;
  std::vector<std::size_t> column_of;  // column of x + dx at x + dx - dx_min
  std::vector<std::size_t> row_of;     // row of y + dy at y + dy - dy_min

  // Whether the window around (x, y) lies inside the image: then nothing is
  // reflected and the pixel occurs once in it.
  bool inside(unsigned x, unsigned y) const {
    return std::int64_t(x) + dx_min >= 0 && std::int64_t(x) + dx_max < width && std::int64_t(y) + dy_min >= 0 &&
           std::int64_t(y) + dy_max < height;
  }

  // Calls visit(p) for the buffer position p of every window position around
  // the pixel at `position` = (x, y) of its slice, in summation order.
  template <class Visit>
  void walk(std::size_t position, unsigned x, unsigned y, Visit&& visit) const {
    if (inside(x, y)) {
      for (const disc_row& row : rows) {
        const std::size_t centre = position + std::ptrdiff_t(row.dy) * width;
        for (int dx = row.dx_first; dx <= row.dx_last; ++dx) visit(centre + std::ptrdiff_t(dx));
      }
      return;
    }
    const std::size_t slice = position - x - std::size_t(y) * std::size_t(width);
    const std::size_t* column = column_of.data() + (std::int64_t(x) - dx_min);
    for (const disc_row& row : rows) {
      const std::size_t source = slice + row_of[std::size_t(std::int64_t(y) + row.dy - dy_min)] * std::size_t(width);
      for (int dx = row.dx_first; dx <= row.dx_last; ++dx) visit(source + column[dx]);
    }
  }
};

disc_walk make_disc_walk(const sorvik::disc_window& window, unsigned width, unsigned height) {
  disc_walk disc;
  disc.width = width;
  disc.height = height;
  for (int dy = window.lo; dy < window.hi; ++dy) {
    if (!window.contains(0, dy)) continue;
    // The disc is symmetric and convex: each row is one run -a .. a.
    const double room = double(window.diameter_squared) / 4.0 - double(dy) * dy;
    int a = int(std::min(std::sqrt(std::max(room, 0.0)), double(window.hi)));
    while (a > 0 && !window.contains(a, dy)) --a;
    while (window.contains(a + 1, dy)) ++a;
    const disc_row row{dy, std::max(-a, window.lo), std::min(a, window.hi - 1)};
    disc.rows.push_back(row);
    disc.dx_min = std::min(disc.dx_min, row.dx_first);
    disc.dx_max = std::max(disc.dx_max, row.dx_last);
    disc.dy_min = std::min(disc.dy_min, dy);
    disc.dy_max = std::max(disc.dy_max, dy);
  }
  for (std::int64_t v = disc.dx_min; v < std::int64_t(width) + disc.dx_max; ++v)
    disc.column_of.push_back(std::size_t(sorvik::mirror_index(v, width)));
  for (std::int64_t v = disc.dy_min; v < std::int64_t(height) + disc.dy_max; ++v)
    disc.row_of.push_back(std::size_t(sorvik::mirror_index(v, height)));
  return disc;
}

// ------------------------------------------------------------------ data terms

struct sweep_inputs {
  const float* primary;
  const float* secondary;
  const float* edge_indicator;
  std::size_t pixel_count;  // per channel
  int channels;
  int class_count;
  double alpha;
  double lambda;
  const float* primary_centres;    // S values per class
  const float* secondary_centres;  // S values per class
};

sweep_inputs inputs_of(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                       const centre_pair& centres, const pair_segmentation_parameters& parameters) {
  return sweep_inputs{primary.data(),
                      secondary.data(),
                      edge_indicator.data(),
                      std::size_t(primary.width()) * primary.height() * primary.depth(),
                      primary.spectrum(),
                      parameters.class_count,
                      parameters.secondary_weight,
                      parameters.edge_weight,
                      centres.primary.data(),
                      centres.secondary.data()};
}

// Pixels whose data terms are formed together: as many as keep a table of K
// of them small, at most a vector-friendly 256.
std::size_t chunk_pixels(int class_count) {
  return std::clamp<std::size_t>(4096 / std::size_t(class_count), 1, 256);
}

// alpha * d_J + d_I of `count` pixels, class by class into
// table[k * count + i]; each distance a float sum in ascending channel
// order. Channel c of pixel i is primary[c * channel_stride + i], likewise
// secondary. The terms do not depend on the labels.
PIXEL_LOOPS void data_costs(const sweep_inputs& in, const float* primary, const float* secondary,
                            std::size_t channel_stride, std::size_t count, double* table) {
  float primary_distance[256], secondary_distance[256];
  for (int k = 0; k < in.class_count; ++k) {
    for (std::size_t i = 0; i < count; ++i) primary_distance[i] = secondary_distance[i] = 0.0f;
    for (int c = 0; c < in.channels; ++c) {
      const float* primary_value = primary + std::size_t(c) * channel_stride;
      const float* secondary_value = secondary + std::size_t(c) * channel_stride;
      const float primary_centre = in.primary_centres[std::size_t(k) * in.channels + c];
      const float secondary_centre = in.secondary_centres[std::size_t(k) * in.channels + c];
      for (std::size_t i = 0; i < count; ++i) {
        const float primary_difference = primary_value[i] - primary_centre;
        const float secondary_difference = secondary_value[i] - secondary_centre;
        primary_distance[i] += primary_difference * primary_difference;
        secondary_distance[i] += secondary_difference * secondary_difference;
      }
    }
    double* row = table + std::size_t(k) * count;
    for (std::size_t i = 0; i < count; ++i) row[i] = in.alpha * secondary_distance[i] + primary_distance[i];
  }
}

// ------------------------------------------------------------------ the plain sweep

// The sweep without edge penalty over `count` consecutive pixels from
// `position` on. The costs do not depend on the labels, so pixels are
// compared side by side; best and winner are kept in double lanes like the
// costs, best always a float value. The energy, a float sum in raster order,
// goes on in *energy, when asked for.
PIXEL_LOOPS void plain_sweep(const sweep_inputs& in, std::size_t position, std::size_t count, float* labels,
                             float* energy) {
  constexpr std::size_t chunk = 256;
  const double no_edge_term = in.lambda * 0.0;
  float primary_distance[chunk], secondary_distance[chunk];
  double best[chunk], winner[chunk];
  for (std::size_t start = 0; start < count; start += chunk) {
    const std::size_t n = std::min(chunk, count - start);
    for (std::size_t i = 0; i < n; ++i) {
      best[i] = std::numeric_limits<double>::infinity();
      winner[i] = -1.0;
    }
    for (int k = 0; k < in.class_count; ++k) {
      for (std::size_t i = 0; i < n; ++i) primary_distance[i] = secondary_distance[i] = 0.0f;
      for (int c = 0; c < in.channels; ++c) {
        const float* primary = in.primary + std::size_t(c) * in.pixel_count + position + start;
        const float* secondary = in.secondary + std::size_t(c) * in.pixel_count + position + start;
        const float primary_centre = in.primary_centres[std::size_t(k) * in.channels + c];
        const float secondary_centre = in.secondary_centres[std::size_t(k) * in.channels + c];
        for (std::size_t i = 0; i < n; ++i) {
          const float primary_difference = primary[i] - primary_centre;
          const float secondary_difference = secondary[i] - secondary_centre;
          primary_distance[i] += primary_difference * primary_difference;
          secondary_distance[i] += secondary_difference * secondary_difference;
        }
      }
      const double label = k;
      for (std::size_t i = 0; i < n; ++i) {
        const double cost = (in.alpha * secondary_distance[i] + primary_distance[i]) + no_edge_term;
        const double rounded = static_cast<float>(cost);
        winner[i] = cost < best[i] ? label : winner[i];
        // Rounding is monotonic: the float of a cost below best is at most
        // best, that of one not below it at least best, and NaN stays out.
        best[i] = rounded < best[i] ? rounded : best[i];
      }
    }
    float* label = labels + position + start;
    for (std::size_t i = 0; i < n; ++i) {
      const float won = static_cast<float>(winner[i]);
      label[i] = winner[i] >= 0 ? won : label[i];
    }
    if (energy)
      for (std::size_t i = 0; i < n; ++i) *energy += winner[i] >= 0 ? static_cast<float>(best[i]) : cost_ceiling;
  }
}

// ------------------------------------------------------------------ penalties

// Two classes' penalties side by side in the lanes of one vector register.
#if defined(__GNUC__)
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
  if (with_own) sum_penalties<lane_pairs, true>(disc, position, x, y, labels, edge, first, penalty, own_penalty);
  else sum_penalties<lane_pairs, false>(disc, position, x, y, labels, edge, first, penalty, own_penalty);
}

// Every class's penalty at one pixel into penalty[0 .. K-1], and into
// penalty[K] its own class's after another class has won, when its label is a
// class after the first: only such a class can see an earlier class win.
void class_penalties(const disc_walk& disc, std::size_t position, unsigned x, unsigned y, const float* labels,
                     const float* edge, int class_count, double* penalty) {
  const bool with_own = class_of(labels[position], class_count) > 0;
  for (int first = 0; first < class_count; first += classes_per_walk) {
    const int classes = std::min(classes_per_walk, class_count - first);
    const bool own_here = with_own && first == 0;
    double lanes[classes_per_walk];
    double& own = penalty[class_count];
    if (classes <= 2) sum_penalties<1>(disc, position, x, y, labels, edge, first, own_here, lanes, own);
    else if (classes <= 4) sum_penalties<2>(disc, position, x, y, labels, edge, first, own_here, lanes, own);
    else sum_penalties<4>(disc, position, x, y, labels, edge, first, own_here, lanes, own);
    std::copy(lanes, lanes + classes, penalty + first);
  }
}

// ------------------------------------------------------------------ the penalised sweep

// What is known of a pixel's window. After the first sweeps of the band few
// labels still change, and a window's penalties change only with its labels:
// a window that one class fills is priced from the sum of E over it, stored,
// and the penalties of a window found mixed on two visits running are stored
// whole, until a label in the window changes; the change marks every window
// that holds the changed pixel unknown again. Waiting for the second visit
// keeps a speckled band, whose windows are nearly all mixed at first and
// soon change, from storing K + 1 values for nearly every band pixel.
enum window_knowledge : unsigned char { window_unknown, window_one_class, window_mixed, window_mixed_kept };

constexpr std::uint32_t no_place = std::numeric_limits<std::uint32_t>::max();

// A pixel the sweep relabelled, and the class it had.
struct label_change {
  std::size_t position;
  int from;
};

struct sweep_state {
  disc_walk disc;
  std::vector<double> table;              // data terms of a chunk of pixels
  std::vector<double> penalties;          // K + 1, as class_penalties leaves them
  std::vector<double> costs;              // K
  // The band pixels' values, channel c of band pixel b at c * value_stride +
  // b: copied in band order, so that a sweep reads them in one stream, or,
  // for a band of every pixel, the images themselves.
  std::vector<float> band_values;         // S channels of I, then S of J
  const float* primary_values = nullptr;
  const float* secondary_values = nullptr;
  std::size_t value_stride = 0;
  bool remembers = false;                 // whether the following fields are kept
  std::vector<unsigned char> knowledge;   // per image pixel
  std::vector<double> window_sums;        // per band pixel, for a window one class fills
  std::vector<std::uint32_t> kept_at;     // per band pixel: its entry in `kept`, or no_place
  std::vector<double> kept;               // entries of K + 1 penalties
  std::vector<label_change> changes;      // the pixels the last sweep relabelled
};

sweep_state make_sweep_state(const CImg<float>& primary, const pair_segmentation_parameters& parameters) {
  sweep_state state;
  state.disc = make_disc_walk(parameters.window, primary.width(), primary.height());
  state.table.resize(chunk_pixels(parameters.class_count) * std::size_t(parameters.class_count));
  state.penalties.resize(std::size_t(parameters.class_count) + 1);
  state.costs.resize(std::size_t(parameters.class_count));
  return state;
}

// Makes `band` the band of the following sweeps. Only a run sweeps one band
// more than once: a single sweep has no use for what is known of windows.
void start_band(sweep_state& state, const std::vector<band_run>& band, const sweep_inputs& in, bool remember) {
  const std::size_t band_pixels = pixels_in(band);
  state.remembers = remember;
  if (remember) {
    state.knowledge.assign(in.pixel_count, window_unknown);
    state.window_sums.resize(band_pixels);
    state.kept_at.assign(band_pixels, no_place);
    state.kept.clear();
  }
  if (band_pixels == in.pixel_count) {
    state.band_values.clear();
    state.primary_values = in.primary;
    state.secondary_values = in.secondary;
    state.value_stride = in.pixel_count;
    return;
  }
  state.band_values.resize(2 * std::size_t(in.channels) * band_pixels);
  float* value = state.band_values.data();
  for (const float* image : {in.primary, in.secondary})
    for (int c = 0; c < in.channels; ++c)
      for (const band_run& run : band)
        value = std::copy_n(image + std::size_t(c) * in.pixel_count + run.position, run.length, value);
  state.primary_values = state.band_values.data();
  state.secondary_values = state.primary_values + std::size_t(in.channels) * band_pixels;
  state.value_stride = band_pixels;
}

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
    bool one_class = class_of(labels[position], in.class_count) >= 0 && state.disc.inside(x, y);
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
// stood, own_penalty that of the pixel's own class once another has won.
//
// The loop keeps best as a float and takes a class when its cost is below
// best: best after class k is the least float of the costs so far (rounding
// is monotonic, NaN never below), and the own class sees another class won
// exactly when an earlier cost was below infinity. So the costs are formed
// first and only the running minimum is a chain.
template <class Penalty>
int choose_class(const double* data, std::size_t stride, int class_count, int own_class, double lambda,
                 Penalty penalty, double own_penalty, double* cost, float& best) {
  bool won_before_own = false;
  for (int k = 0; k < class_count; ++k) {
    cost[k] = data[std::size_t(k) * stride] + lambda * penalty(k);
    if (k < own_class) won_before_own |= cost[k] < std::numeric_limits<double>::infinity();
  }
  if (won_before_own) cost[own_class] = data[std::size_t(own_class) * stride] + lambda * own_penalty;
  float least = std::numeric_limits<float>::infinity();
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
float penalised_sweep(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>& band, float* labels) {
  const std::size_t class_count = std::size_t(in.class_count);
  const std::size_t chunk = chunk_pixels(in.class_count);
  float energy = 0;
  std::size_t band_index = 0;
  state.changes.clear();
  // Chunks of band pixels, across runs.
  std::size_t run = 0, offset = 0;
  std::size_t position[256];
  unsigned column[256], row[256];
  while (run < band.size()) {
    std::size_t n = 0;
    for (; n < chunk && run < band.size(); ++n) {
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
      const int own_class = class_of(own_label, in.class_count);
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

bool is_penalised(const pair_segmentation_parameters& parameters, int iteration) {
  return iteration > parameters.last_plain_iteration && !parameters.window.empty();
}

float sweep_band(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>& band, float* labels,
                 const pair_segmentation_parameters& parameters, int iteration, bool energy_wanted) {
  if (is_penalised(parameters, iteration)) return penalised_sweep(in, state, band, labels);
  float energy = 0;
  for (const band_run& run : band)
    plain_sweep(in, run.position, run.length, labels, energy_wanted ? &energy : nullptr);
  return energy;
}

// ------------------------------------------------------------------ centres

// Per pixel, whether every used channel of both images is finite: only such
// pixels enter the centres. The images never change, so a run asks once.
std::vector<unsigned char> counted_pixels(const CImg<float>& primary, const CImg<float>& secondary) {
  const std::size_t pixels = std::size_t(primary.width()) * primary.height() * primary.depth();
  std::vector<unsigned char> counted(pixels, 1);
  for (int c = 0; c < primary.spectrum(); ++c) {
    const float* primary_value = primary.data() + std::size_t(c) * pixels;
    const float* secondary_value = secondary.data() + std::size_t(c) * pixels;
    for (std::size_t i = 0; i < pixels; ++i)
      counted[i] &= std::isfinite(primary_value[i]) && std::isfinite(secondary_value[i]);
  }
  return counted;
}

// The class a counted pixel's label names, truncated as a cast does; -1 for
// a pixel left out.
std::int64_t counted_class(float label, bool counted, int class_count) {
  return counted && label > -1.0f && label < float(class_count) ? std::int64_t(label) : -1;
}

// Per class and channel the sums of the counted pixels' values in I and in
// J, and per class their count: what the centres are the quotients of.
struct class_sums {
  std::vector<double> primary, secondary;  // S per class
  std::vector<std::uint64_t> counts;
};

// Each (class, channel) sum takes its pixels in raster order, in double, so
// that it rounds as the plain iteration's does. A run of one class keeps its
// sums, and in channel 0 its count, in registers.
void sum_classes(const CImg<float>& primary, const CImg<float>& secondary, const float* labels,
                 const std::vector<unsigned char>& counted, int class_count, class_sums& sums) {
  const int channels = primary.spectrum();
  const std::size_t pixels = counted.size();
  sums.counts.assign(class_count, 0);
  sums.primary.assign(std::size_t(class_count) * channels, 0.0);
  sums.secondary.assign(std::size_t(class_count) * channels, 0.0);
  for (int c = 0; c < channels; ++c) {
    const float* primary_value = primary.data() + std::size_t(c) * pixels;
    const float* secondary_value = secondary.data() + std::size_t(c) * pixels;
    std::int64_t current = -1;
    double primary_sum = 0, secondary_sum = 0;
    std::uint64_t count = 0;
    const auto store = [&] {
      if (current < 0) return;
      sums.primary[std::size_t(current) * channels + c] = primary_sum;
      sums.secondary[std::size_t(current) * channels + c] = secondary_sum;
      if (c == 0) sums.counts[current] += count;
    };
    for (std::size_t i = 0; i < pixels; ++i) {
      const std::int64_t k = counted_class(labels[i], counted[i], class_count);
      if (k != current) {
        store();
        current = k;
        if (k < 0) continue;
        primary_sum = sums.primary[std::size_t(k) * channels + c];
        secondary_sum = sums.secondary[std::size_t(k) * channels + c];
        count = 0;
      } else if (k < 0) {
        continue;
      }
      primary_sum += primary_value[i];
      secondary_sum += secondary_value[i];
      ++count;
    }
    store();
  }
}

void set_centres(const class_sums& sums, centre_pair& centres) {
  const int channels = centres.primary.width();
  for (int k = 0; k < centres.primary.height(); ++k) {
    const double divisor = double(sums.counts[k]) + empty_class_guard;
    for (int c = 0; c < channels; ++c) {
      centres.primary(c, k) = static_cast<float>(sums.primary[std::size_t(k) * channels + c] / divisor);
      centres.secondary(c, k) = static_cast<float>(sums.secondary[std::size_t(k) * channels + c] / divisor);
    }
  }
}

// Whether every sum of counted values, in any order and with any of them
// taken out again, is exact in double: when all are whole multiples of one
// power of two small enough that no sum of them outgrows the 53-bit
// significand. Whole-numbered images, as most sensors give, pass. Then the
// sums need not be formed anew in raster order: moving a relabelled pixel's
// values from one class to the other gives the same bits.
bool sums_are_exact(const CImg<float>& primary, const CImg<float>& secondary,
                    const std::vector<unsigned char>& counted) {
  const std::size_t pixels = counted.size();
  std::size_t count = 0;
  for (std::size_t i = 0; i < pixels; ++i) count += counted[i];
  float largest = 0;
  for (const float* image : {primary.data(), secondary.data()})
    for (int c = 0; c < primary.spectrum(); ++c) {
      const float* value = image + std::size_t(c) * pixels;
      for (std::size_t i = 0; i < pixels; ++i) largest = std::max(largest, counted[i] ? std::fabs(value[i]) : 0.0f);
    }
  if (count == 0 || largest == 0) return true;
  int largest_exponent = 0, count_exponent = 0;
  std::frexp(largest, &largest_exponent);                               // largest < 2^largest_exponent
  while ((std::size_t(1) << count_exponent) < count) ++count_exponent;  // count <= 2^count_exponent
  // Every value a whole number of steps, and no sum of them beyond 2^53 steps.
  const double steps_per_unit = std::ldexp(1.0, 53 - largest_exponent - count_exponent);
  for (const float* image : {primary.data(), secondary.data()})
    for (int c = 0; c < primary.spectrum(); ++c) {
      const float* value = image + std::size_t(c) * pixels;
      for (std::size_t i = 0; i < pixels; ++i) {
        const double steps = counted[i] ? double(value[i]) * steps_per_unit : 0.0;  // at most 2^53 in magnitude
        if (steps != double(std::int64_t(steps))) return false;
      }
    }
  return true;
}

// Moves the pixels the last sweep relabelled between the class sums.
void move_relabelled(const CImg<float>& primary, const CImg<float>& secondary, const float* labels,
                     const std::vector<unsigned char>& counted, const std::vector<label_change>& changes,
                     class_sums& sums) {
  const int channels = primary.spectrum();
  const std::size_t pixels = counted.size();
  for (const label_change& change : changes) {
    if (!counted[change.position]) continue;
    const std::size_t from = std::size_t(change.from), to = std::size_t(labels[change.position]);
    --sums.counts[from];
    ++sums.counts[to];
    for (int c = 0; c < channels; ++c) {
      const std::size_t at = std::size_t(c) * pixels + change.position;
      sums.primary[from * channels + c] -= primary.data()[at];
      sums.primary[to * channels + c] += primary.data()[at];
      sums.secondary[from * channels + c] -= secondary.data()[at];
      sums.secondary[to * channels + c] += secondary.data()[at];
    }
  }
}

}  // namespace

std::vector<band_run> list_band(const CImg<float>& band) {
  std::vector<band_run> runs;
  std::size_t position = 0;
  for (unsigned z = 0; z < unsigned(band.depth()); ++z)
    for (unsigned y = 0; y < unsigned(band.height()); ++y)
      for (unsigned x = 0; x < unsigned(band.width()); ++x, ++position) {
        if (!in_band(band, x, y, z)) continue;
        if (x > 0 && !runs.empty() && runs.back().position + runs.back().length == position)
          ++runs.back().length;
        else
          runs.push_back(band_run{position, x, y, 1});
      }
  return runs;
}

std::size_t pixels_in(const std::vector<band_run>& band) {
  std::size_t count = 0;
  for (const band_run& run : band) count += run.length;
  return count;
}

centre_pair init_centres(const CImg<float>& primary, const CImg<float>& secondary, int class_count) {
  const int channels = primary.spectrum();
  centre_pair centres{CImg<float>(channels, class_count, 1, 1, 0.0f), CImg<float>(channels, class_count, 1, 1, 0.0f)};
  place_centres(primary, channels, class_count, centres.primary);
  place_centres(secondary, channels, class_count, centres.secondary);
  return centres;
}

float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const CImg<float>& band, CImg<float>& labels, const centre_pair& centres,
                  const pair_segmentation_parameters& parameters, int iteration) {
  return label_sweep(primary, secondary, edge_indicator, list_band(band), labels, centres, parameters, iteration);
}

float label_sweep(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& edge_indicator,
                  const std::vector<band_run>& band, CImg<float>& labels, const centre_pair& centres,
                  const pair_segmentation_parameters& parameters, int iteration) {
  sweep_state state = make_sweep_state(primary, parameters);
  const sweep_inputs in = inputs_of(primary, secondary, edge_indicator, centres, parameters);
  start_band(state, band, in, false);
  return sweep_band(in, state, band, labels.data(), parameters, iteration, true);
}

void update_centres(const CImg<float>& primary, const CImg<float>& secondary, const CImg<float>& labels,
                    centre_pair& centres) {
  class_sums sums;
  sum_classes(primary, secondary, labels.data(), counted_pixels(primary, secondary), centres.primary.height(), sums);
  set_centres(sums, centres);
}

CImg<float> run_clustering(const CImg<float>& primary, const CImg<float>& secondary,
                           const pair_segmentation_parameters& parameters, const CImg<float>& edge_indicator) {
  const unsigned width = primary.width(), height = primary.height(), depth = primary.depth();
  CImg<float> labels(width, height, depth, 1, 0.0f);
  centre_pair centres = init_centres(primary, secondary, parameters.class_count);
  const std::vector<unsigned char> counted = counted_pixels(primary, secondary);
  sweep_state state = make_sweep_state(primary, parameters);
  const std::size_t pixel_count = counted.size();
  const int last_plain = parameters.last_plain_iteration;
  const auto use_band = [&](const CImg<float>& band_image) {
    std::vector<band_run> band = list_band(band_image);
    start_band(state, band, inputs_of(primary, secondary, edge_indicator, centres, parameters), true);
    return band;
  };
  // Until the rebuild the band holds every pixel; with T < 0 it always does.
  std::vector<band_run> band;
  if (last_plain < 0 && parameters.max_iterations > 0) band = use_band(initial_band(width, height, depth));
  class_sums sums;
  const bool exact_sums = sums_are_exact(primary, secondary, counted);
  bool sums_follow_moves = false;  // once summed in full, whether moves keep the sums exact
  float energy = sorvik::initial_energy;
  for (int iteration = 0; iteration < parameters.max_iterations; ++iteration) {
    const float previous_energy = energy;
    const sweep_inputs in = inputs_of(primary, secondary, edge_indicator, centres, parameters);
    // Only the energies from iteration T on reach a convergence test.
    const bool energy_wanted = iteration >= last_plain;
    if (iteration <= last_plain) {
      energy = 0;
      plain_sweep(in, 0, pixel_count, labels.data(), energy_wanted ? &energy : nullptr);
    } else {
      energy = sweep_band(in, state, band, labels.data(), parameters, iteration, energy_wanted);
    }
    if (iteration == last_plain) band = use_band(rebuild_band(labels, parameters.band_sigma));
    if (sums_follow_moves && is_penalised(parameters, iteration)) {
      move_relabelled(primary, secondary, labels.data(), counted, state.changes, sums);
    } else {
      sum_classes(primary, secondary, labels.data(), counted, parameters.class_count, sums);
      sums_follow_moves = exact_sums;
    }
    set_centres(sums, centres);
    if (iteration > last_plain && sorvik::has_converged(energy, previous_energy, parameters.tolerance)) break;
  }
  return labels;
}

}  // namespace tamvel
