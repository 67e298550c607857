// The sweeps of Tamvel's band, and what the edge-phase sweeps remember
// between sweeps of one run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "clustering.h"
#include "core/call_threads.h"
#include "core/sweep.h"
#include "disc_walk.h"
#include "data_terms.h"
#include "sweep_inputs.h"

namespace tamvel {

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
// Kept penalties reserved for at the start of a band, at most (128 MiB).
constexpr std::size_t kept_reserve_limit = std::size_t(1) << 24;

// A pixel the sweep relabelled, and the class it had.
struct label_change {
  std::size_t position;
  int from;
};

// A band pixel whose penalties a part found worth keeping.
struct kept_later {
  std::size_t band_index, position;
};

// One part's working memory for an edge-phase sweep: its block of data terms,
// the penalties and costs of its pixel, the pixels it relabelled and, when
// parts share a sweep, the penalties it found worth keeping, which join
// `kept` once the parts have ended, so that the list never grows while
// another part reads it.
struct sweep_part {
  std::vector<double> table;      // data terms of a block of pixels
  std::vector<double> penalties;  // K + 1, as class_penalties leaves them
  std::vector<double> costs;      // K
  std::vector<label_change> changes;
  std::vector<kept_later> newly_kept;
  std::vector<double> newly_kept_values;  // K + 1 per entry of newly_kept
};

struct sweep_state {
  disc_walk disc;
  core::call_threads* threads = nullptr;      // the call's
  unsigned width = 0, height = 0, depth = 0;  // the image's
  core::sweep_layout layout;                  // of the band's edge-phase sweeps
  std::vector<sweep_part> parts;              // one per part of layout
  // The band pixels' values, channel c of band pixel b at c * value_stride +
  // b: copied in band order, so that a sweep reads them in one stream, or,
  // for a band of every pixel, the images themselves.
  CImg<float> band_values;  // S channels of I, then S of J
  const float* primary_values = nullptr;
  const float* secondary_values = nullptr;
  std::size_t value_stride = 0;
  std::vector<std::size_t> run_start;      // per run its first band pixel, then the band's pixel count
  std::vector<std::size_t> row_first_run;  // per image row (z * H + y) its first run, then the run count
  std::vector<float> terms;                // per band pixel its energy term, when parts share a sweep
  bool remembers = false;                  // whether the following fields are kept
  CImg<unsigned char> knowledge;           // per image pixel, in the image's extents
  CImg<double> window_sums;                // per band pixel, for a window one class fills
  std::vector<std::uint32_t> kept_at;      // per band pixel: its entry in `kept`, or no_place
  std::vector<double> kept;                // entries of K + 1 penalties
  std::vector<label_change> changes;       // the pixels the last sweep relabelled, in raster order
};

// What the sweeps of a run or of one sweep need, for up to `threads` threads.
sweep_state make_sweep_state(const CImg<float>& primary, const pair_segmentation_parameters& parameters,
                             core::call_threads& threads);

// What the sweeps of a band will be: plain only, which need no more than
// the band's runs; edge-phase ones; or edge-phase ones that remember what
// they learn of windows, which only a run sweeping one band more than once
// has a use for.
enum class band_sweeps { plain, edge, edge_remembering };

// Makes `band` the band of the following sweeps.
void start_band(sweep_state& state, const std::vector<band_run>& band, const sweep_inputs& in, band_sweeps sweeps);

// Whether iteration `iteration` sweeps with the edge penalty.
bool is_edge_phase(const pair_segmentation_parameters& parameters, int iteration);

// One sweep of the band made by start_band, with or without the edge penalty
// as the iteration asks; the energy of the visited pixels, or 0 when the
// energy is not wanted (a sweep on one thread may give it anyway). An
// edge-phase sweep lists the pixels it relabelled in state.changes.
float sweep_band(const sweep_inputs& in, sweep_state& state, const std::vector<band_run>& band, float* labels,
                 const pair_segmentation_parameters& parameters, int iteration, bool energy_wanted);

// A plain sweep of every pixel, as sweep_band makes one of a band that holds
// them all.
float sweep_image(const sweep_inputs& in, sweep_state& state, float* labels, bool energy_wanted);

}  // namespace tamvel
