#include "edge_sweep.h"

#include <algorithm>
#include <initializer_list>

#include "core/kept_buffers.h"
#include "penalties.h"
#include "core/phases.h"
#include "core/call_threads.h"
#include "core/labels.h"
#include "core/sweep.h"

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
// as class_penalties sums them. A part that shares the sweep with others
// does not grow `kept` (`alone` false): it keeps new entries in its own list.
pixel_penalties penalties_at(const sweep_inputs& in, sweep_state& state, sweep_part& part, bool alone,
                             std::size_t band_index, std::size_t position, unsigned x, unsigned y,
                             const float* labels) {
  const float* edge = in.edge_indicator;
  const std::size_t entry_size = std::size_t(in.class_count) + 1;
  if (!state.remembers) {
    class_penalties(state.disc, position, x, y, labels, edge, in.class_count, part.penalties.data());
    return {part.penalties.data(), 0.0};
  }
  unsigned char& known = state.knowledge[position];
  if (known == window_unknown) {
    // One class filling a window that lies inside the image leaves only the
    // pixel itself to differ from its own class.
    bool one_class = core::class_of_label(labels[position], in.class_count) < in.class_count && state.disc.inside(x, y);
    if (one_class) state.disc.walk(position, x, y, [&](std::size_t p) { one_class &= labels[p] == labels[position]; });
    if (one_class) {
      double sum = 0.0;
      state.disc.walk(position, x, y, [&](std::size_t p) { sum += edge[p]; });
      state.window_sums[band_index] = sum;
      known = window_one_class;
    } else {
      known = window_mixed;
      class_penalties(state.disc, position, x, y, labels, edge, in.class_count, part.penalties.data());
      return {part.penalties.data(), 0.0};
    }
  }
  if (known == window_one_class) return {nullptr, state.window_sums[band_index]};
  std::uint32_t& place = state.kept_at[band_index];
  if (known == window_mixed_kept) return {state.kept.data() + place * entry_size, 0.0};
  // Mixed on two visits running: keep its penalties from now on.
  if (place == no_place && !alone) {
    class_penalties(state.disc, position, x, y, labels, edge, in.class_count, part.penalties.data());
    part.newly_kept.push_back(kept_later{band_index, position});
    part.newly_kept_values.insert(part.newly_kept_values.end(), part.penalties.begin(), part.penalties.end());
    return {part.penalties.data(), 0.0};
  }
  if (place == no_place && state.kept.size() / entry_size < no_place) {
    place = std::uint32_t(state.kept.size() / entry_size);
    state.kept.resize(state.kept.size() + entry_size);
  }
  double* penalty = place == no_place ? part.penalties.data() : state.kept.data() + place * entry_size;
  class_penalties(state.disc, position, x, y, labels, edge, in.class_count, penalty);
  if (place != no_place) known = window_mixed_kept;
  return {penalty, 0.0};
}

// Where a sweep has got to in the band: `offset` pixels into run `run`, at
// band pixel `band_index`.
struct band_cursor {
  std::size_t run, offset, band_index;
};

// A column no band pixel reaches.
constexpr unsigned no_column_end = std::numeric_limits<unsigned>::max();

// What every part of one edge-phase sweep reads. `alone` when one part takes
// the whole sweep; otherwise each band pixel's energy term goes to `terms`.
struct edge_frame {
  const sweep_inputs& in;
  sweep_state& state;
  const std::vector<band_run>& band;
  float* labels;
  bool alone;
  core::energy_sink energy;            // by band pixel
  const core::run_progress& progress;  // looked at between blocks
};

// The sweep with edge penalty, pixel after pixel in raster order, each label
// written before the next pixel looks at its window, from `at` on to the end
// of run `run_end - 1` or the first pixel in column `column_end` or beyond.
// The pixel's own position(s) in the window carry its label as it stood
// before the visit while no class has won yet, and the last winning class
// once one has: only for its own class, after an earlier class has won, does
// the penalty then differ from the one summed with the labels as they stood.
void sweep_span(const edge_frame& f, sweep_part& part, band_cursor& at, std::size_t run_end, unsigned column_end) {
  const sweep_inputs& in = f.in;
  sweep_state& state = f.state;
  const std::size_t class_count = std::size_t(in.class_count);
  const std::size_t block = table_block_pixels(in.class_count);
  std::size_t position[core::block_pixels];
  unsigned column[core::block_pixels], row[core::block_pixels];
  while (at.run < run_end) {
    std::size_t n = 0;
    for (; n < block && at.run < run_end; ++n) {
      const band_run& run = f.band[at.run];
      const unsigned x = run.x + unsigned(at.offset);
      if (x >= column_end) break;
      position[n] = run.position + at.offset;
      column[n] = x;
      row[n] = run.y;
      if (++at.offset == run.length) {
        ++at.run;
        at.offset = 0;
      }
    }
    if (n == 0 || f.progress.aborted()) return;
    data_costs(in, state.primary_values + at.band_index, state.secondary_values + at.band_index, state.value_stride, n,
               part.table.data());

    for (std::size_t i = 0; i < n; ++i, ++at.band_index) {
      const std::size_t p = position[i];
      const float own_label = f.labels[p];
      const int own_class = core::class_of_label(own_label, in.class_count);
      const pixel_penalties penalty =
          penalties_at(in, state, part, f.alone, at.band_index, p, column[i], row[i], f.labels);
      const double* data = part.table.data() + i;
      core::class_choice choice;
      if (penalty.values) {
        choice = core::choose_class(
            data, n, in.class_count, own_class, in.lambda, [&](int k) { return penalty.values[k]; },
            [&] { return penalty.values[class_count]; }, part.costs.data());
      } else {
        // Every other class differs everywhere; the own class nowhere, or,
        // once another class has won, at the pixel itself.
        const double window_sum = penalty.window_sum;
        choice = core::choose_class(
            data, n, in.class_count, own_class, in.lambda, [&](int k) { return k == own_class ? 0.0 : window_sum; },
            [&] { return 0.0 + double(in.edge_indicator[p]); }, part.costs.data());
      }
      if (choice.winner >= 0) {
        const float label = static_cast<float>(choice.winner);
        f.labels[p] = label;
        if (!(label == own_label) && state.remembers) {
          forget_windows_holding(state.disc, p, column[i], row[i], state.knowledge.data());
          part.changes.push_back(label_change{p, own_class});
        }
      }
      f.energy.add(at.band_index, choice.winner >= 0 ? choice.best : core::cost_ceiling);
    }
  }
}

// The rows of one slice swept side by side, row y by part y mod n. A
// pixel's window, reflection included (a reflected position lies no farther
// away than the offset that reached it), reaches R = window_reach rows and
// columns from it, and so does forget_windows_holding. Row y sweeps the band
// pixels of a chunk of columns a .. b - 1 only once row y - 1 has swept
// every column below b + 2R + 1, so that
// - the labels row y reads in row y - 1 (columns below b + R) are new, and
//   those row y - 1 reads in row y (from b + R + 1 on) still old;
// - the window knowledge the two rows write meanwhile, row y's in columns
//   a - R .. b - 1 + R and row y - 1's from b + R + 1 on, never meets, nor
//   does either touch the pixel the other reads its own knowledge at;
// - what a row wrote about the pixels of a later row is there, through the
//   acquire of each wait, before that row visits them, since it visits
//   column c only after the row above has swept past c + 2R + 1.
// Rows farther apart lie farther apart still. Progress is published per
// chunk, with release order. A chunk is an eighth of a row, between 32 and
// 256 columns, so that a few rows overlap in any image wide enough; fewer
// than 32 where `threads` takes less work to be worth a thread, so that rows
// overlap even in a test's tiny images.
std::size_t wavefront_columns(const core::call_threads& threads, const disc_walk& disc) {
  return std::clamp<std::size_t>(std::size_t(disc.width) / 8, std::max<std::size_t>(threads.worth_a_thread(32), 1),
                                 256);
}

int window_reach(const disc_walk& disc) { return std::max({disc.dx_max, disc.dy_max, -disc.dx_min, -disc.dy_min, 0}); }

// How far ahead the row above must be: 2R + 1 columns.
std::size_t wavefront_lead(const disc_walk& disc) { return 2 * std::size_t(window_reach(disc)) + 1; }

void sweep_row_in_wave(const edge_frame& f, sweep_part& part, std::size_t y, core::row_wavefront& wave,
                       std::size_t chunk) {
  const sweep_state& state = f.state;
  const std::size_t width = std::size_t(state.disc.width);
  const std::size_t first_run = state.row_first_run[y];
  band_cursor at{first_run, 0, state.run_start[first_run]};
  for (std::size_t a = 0; a < width; a += chunk) {
    const std::size_t b = std::min(width, a + chunk);
    wave.wait_for_row_above(f.progress, y, b);
    sweep_span(f, part, at, state.row_first_run[y + 1], unsigned(b));
    wave.publish(f.progress, y, b);
  }
}

// After a shared sweep: the parts' relabelled pixels in raster order, and
// the penalties they found worth keeping, in `kept` now.
void gather_parts(sweep_state& state, const sweep_inputs& in) {
  state.changes.clear();
  // Each row of a wavefront, and each slice of a volume, is one part's, whose
  // changes come in raster order: piece by piece, the part that holds the
  // piece's changes hands them on.
  const std::size_t row = std::size_t(state.disc.width);
  const std::size_t piece = state.layout.wavefront ? row : row * std::size_t(state.disc.height);
  std::vector<std::size_t> next(state.parts.size(), 0);
  for (std::size_t piece_end = piece; piece_end <= in.pixel_count; piece_end += piece)
    for (std::size_t p = 0; p < state.parts.size(); ++p) {
      const std::vector<label_change>& changes = state.parts[p].changes;
      for (; next[p] < changes.size() && changes[next[p]].position < piece_end; ++next[p])
        state.changes.push_back(changes[next[p]]);
    }
  const std::size_t entry_size = std::size_t(in.class_count) + 1;
  for (sweep_part& part : state.parts) {
    for (std::size_t e = 0; e < part.newly_kept.size() && state.kept.size() / entry_size < no_place; ++e) {
      const kept_later& entry = part.newly_kept[e];
      state.kept_at[entry.band_index] = std::uint32_t(state.kept.size() / entry_size);
      const double* values = part.newly_kept_values.data() + e * entry_size;
      state.kept.insert(state.kept.end(), values, values + entry_size);
      // Unless a label in its window changed after the visit.
      unsigned char& known = state.knowledge[entry.position];
      if (known == window_mixed) known = window_mixed_kept;
    }
    part.newly_kept.clear();
    part.newly_kept_values.clear();
  }
}

// What each part of an edge-phase sweep does (core::sweep_in_parts): one
// part sweeps the band alone; several leave each band pixel's energy term in
// state.terms.
struct edge_parts {
  const sweep_inputs& in;
  sweep_state& state;
  const std::vector<band_run>& band;
  float* labels;
  float& energy;

  void whole(const core::run_progress& progress) {
    const edge_frame f{in, state, band, labels, true, {nullptr, &energy}, progress};
    band_cursor at{0, 0, 0};
    sweep_span(f, state.parts.front(), at, band.size(), no_column_end);
  }
  void row(int part, std::size_t y, core::row_wavefront& wave, const core::run_progress& progress) {
    const edge_frame f{in, state, band, labels, false, {state.terms.data()}, progress};
    sweep_row_in_wave(f, state.parts[std::size_t(part)], y, wave, wavefront_columns(*state.threads, state.disc));
  }
  // Slices of a volume are independent given the centres: the window stays
  // in its slice.
  void slice(int part, std::size_t z, const core::run_progress& progress) {
    const edge_frame f{in, state, band, labels, false, {state.terms.data()}, progress};
    const std::size_t height = std::size_t(state.disc.height);
    const std::size_t first_run = state.row_first_run[z * height];
    band_cursor at{first_run, 0, state.run_start[first_run]};
    sweep_span(f, state.parts[std::size_t(part)], at, state.row_first_run[(z + 1) * height], no_column_end);
  }
  void swept(std::size_t) const {}
};

float edge_phase_sweep(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>& band, float* labels,
                       bool energy_wanted) {
  for (sweep_part& part : state.parts) part.changes.clear();
  float energy = 0;
  edge_parts work{in, state, band, labels, energy};
  const std::size_t width = std::size_t(state.disc.width), height = std::size_t(state.disc.height);
  const core::sweep_extent extent{width, height, in.pixel_count / (width * height), wavefront_lead(state.disc)};
  core::sweep_in_parts(*state.threads, state.layout, extent, work);
  if (state.layout.parts == 1) {
    state.changes.swap(state.parts.front().changes);
    return energy;
  }
  gather_parts(state, in);
  return energy_wanted ? core::sum_in_raster_order(state.terms.data(), state.run_start.back()) : 0.0f;
}

// The pieces of consecutive image pixels that band pixels begin .. end - 1
// make: piece(position, count, band index of the first).
template <class Piece>
void for_each_piece(const std::vector<band_run>& band, const std::vector<std::size_t>& run_start, std::size_t begin,
                    std::size_t end, Piece&& piece) {
  std::size_t run = std::size_t(std::upper_bound(run_start.begin(), run_start.end(), begin) - run_start.begin()) - 1;
  for (std::size_t b = begin; b < end; ++run) {
    const std::size_t offset = b - run_start[run];
    const std::size_t count = std::min(std::size_t(band[run].length) - offset, end - b);
    piece(band[run].position + offset, count, b);
    b += count;
  }
}

// The least band pixels worth a part of an edge-phase sweep.
constexpr std::size_t edge_share = 4096;

// A plain sweep of `pixels` band pixels, the listed band's or, without
// `band`, every pixel of the image (core::plain_sweep).
float plain_sweep(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>* band, std::size_t pixels,
                  float* labels, bool energy_wanted) {
  if (energy_wanted && core::plain_parts(*state.threads, pixels) > 1 && state.terms.size() < pixels)
    state.terms.resize(pixels);
  const auto sweep_stretch = [&](int, std::size_t begin, std::size_t end, const core::energy_sink& sink) {
    if (!band) return plain_span(in, begin, end - begin, labels, sink, begin);
    for_each_piece(*band, state.run_start, begin, end, [&](std::size_t position, std::size_t count, std::size_t b) {
      plain_span(in, position, count, labels, sink, b);
    });
  };
  return core::plain_sweep(*state.threads, pixels, in.lambda, nullptr, state.terms.data(), energy_wanted,
                           sweep_stretch);
}

sweep_part make_sweep_part(int class_count) {
  sweep_part part;
  part.table.resize(table_block_pixels(class_count) * std::size_t(class_count));
  part.penalties.resize(std::size_t(class_count) + 1);
  part.costs.resize(std::size_t(class_count));
  return part;
}

// Parts of the band's edge-phase sweeps: slices of a volume, or rows of one
// slice as a wavefront where the rows are long enough for their parts to
// overlap.
core::sweep_layout plan_edge_parts(const sweep_state& state, std::size_t band_pixels, std::size_t pixel_count) {
  const core::call_threads& threads = *state.threads;
  const std::size_t width = std::size_t(state.disc.width), height = std::size_t(state.disc.height);
  const std::size_t depth = pixel_count / (width * height);
  // A row waits for the row above at every chunk, band pixels in it or not:
  // a band of a few percent of the image would pay for waits with little
  // work between them. The band the rebuild leaves along the boundaries of
  // a noisy image, a tenth or more of it, is worth sharing.
  if (depth == 1 && band_pixels < threads.worth_a_thread(pixel_count / 16)) return {1, false};
  const std::size_t lag = wavefront_columns(threads, state.disc) + wavefront_lead(state.disc);
  return core::plan_sweep_parts(threads, core::useful_parts(threads, band_pixels, edge_share), width, height, depth,
                                lag);
}

}  // namespace

sweep_state make_sweep_state(const CImg<float>& primary, const pair_segmentation_parameters& parameters,
                             core::call_threads& threads) {
  sweep_state state;
  state.disc = make_disc_walk(parameters.window, primary.width(), primary.height());
  state.threads = &threads;
  state.width = primary.width(), state.height = primary.height(), state.depth = primary.depth();
  state.parts.push_back(make_sweep_part(parameters.class_count));
  return state;
}

void start_band(sweep_state& state, const std::vector<band_run>& band, const sweep_inputs& in, band_sweeps sweeps) {
  state.run_start.resize(band.size() + 1);
  std::size_t band_pixels = 0;
  for (std::size_t run = 0; run < band.size(); ++run) {
    state.run_start[run] = band_pixels;
    band_pixels += band[run].length;
  }
  state.run_start[band.size()] = band_pixels;
  state.remembers = false;
  if (sweeps == band_sweeps::plain) return;
  state.layout = plan_edge_parts(state, band_pixels, in.pixel_count);
  while (state.parts.size() < std::size_t(state.layout.parts)) state.parts.push_back(make_sweep_part(in.class_count));
  if (state.layout.parts > 1) {
    // Where each image row's runs begin: runs never cross a row.
    const std::size_t width = std::size_t(state.disc.width);
    const std::size_t rows = in.pixel_count / width;
    state.row_first_run.assign(rows + 1, band.size());
    for (std::size_t run = band.size(); run-- > 0;) state.row_first_run[band[run].position / width] = run;
    for (std::size_t row = rows; row-- > 0;)
      state.row_first_run[row] = std::min(state.row_first_run[row], state.row_first_run[row + 1]);
    if (state.terms.size() < band_pixels) state.terms.resize(band_pixels);
  }
  state.remembers = sweeps == band_sweeps::edge_remembering;
  if (state.remembers) {
    if (state.knowledge.is_empty())
      state.knowledge = core::reused_image<unsigned char>(state.width, state.height, state.depth, 1);
    state.knowledge.fill(window_unknown);
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
  return core::is_edge_phase(parameters.last_plain_iteration, parameters.window, iteration);
}

float sweep_band(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>& band, float* labels,
                 const pair_segmentation_parameters& parameters, int iteration, bool energy_wanted) {
  if (is_edge_phase(parameters, iteration)) return edge_phase_sweep(in, state, band, labels, energy_wanted);
  return plain_sweep(in, state, &band, state.run_start.back(), labels, energy_wanted);
}

float sweep_image(const sweep_inputs& in, sweep_state& state, float* labels, bool energy_wanted) {
  return plain_sweep(in, state, nullptr, in.pixel_count, labels, energy_wanted);
}

}  // namespace tamvel
