#include "edge_sweep.h"

#include <algorithm>
#include <cstring>

#include "core/costs.h"
#include "core/sweep.h"
#include "data_terms.h"
#include "core/window.h"

namespace sorvik {
namespace {

// The tally in lanes needs K <= 8 and counts below 2^16. It also keeps the
// lanes of every image row within reach of the current one, and sums of a
// block's columns: discs wider than this radius, or rows so long that those
// would take much memory, count in memory instead.
constexpr std::int64_t largest_lane_count = 65535;
constexpr int largest_lane_radius = 32;
constexpr std::size_t largest_lane_rows = std::size_t(1) << 21;
// Largest K x block table of data terms (in doubles) before blocks shrink.
constexpr std::size_t largest_data_term_table = 16384;

void make_lane_tally(lane_tally& lanes, int classes, int radius, std::size_t slots, std::size_t width,
                     std::size_t disc_row_count) {
  lanes.one_hot.assign(std::size_t(classes) + 1, core::class_lanes{});
  for (int k = 0; k < classes; ++k) lanes.one_hot[k][k] = 1;
  lanes.row_lanes.resize(slots * width);
  lanes.slot_written.assign(slots, core::inside_span{0, 0});
  const std::size_t groups = std::size_t(radius) + 1;
  lanes.group_half.reserve(groups);
  lanes.group_of_half.assign(groups, -1);
  lanes.grouped_rows.reserve(disc_row_count);
  lanes.group_end.reserve(groups);
  lanes.column_sum.resize(groups * (core::block_pixels + 2 * std::size_t(radius) + 1));
  lanes.leaving_column.resize(groups);
  lanes.entering_column.resize(groups);
}

// What every step of one sweep reads.
struct sweep_frame {
  const CImg<float>& image;
  const CImg<float>& centres;
  CImg<float>& labels;
  edge_buffers& buffers;
  int width, height, depth, classes;
  std::size_t pixels;
  const std::vector<core::disc_row>& rows;
  std::int64_t offset_count;
  int radius;
  double weight;
  const std::int32_t* column_of;  // indexed from -radius
  std::size_t stride;
  core::class_lanes* ring;  // in lanes: the lanes of the rows within reach, `slots` rows
  std::size_t slots;
  core::inside_span* slot_written;  // per slot, see lane_tally
  core::class_index* class_of;      // in memory: the labels as class indices
  core::energy_sink energy;         // each pixel's term, or the running sum
  core::pixel_mask mask;
  const core::disc_mask& inside;

  bool outside(std::size_t position) const { return mask && !mask.inside[position]; }
  // What `count` pixels from `position` on, all outside, add: nothing.
  void skip(std::size_t position, std::size_t count) const {
    if (energy.terms) std::fill(energy.terms + position, energy.terms + position + count, 0.0f);
  }
  // Per pixel of the span of row y of slice z, from the span's first column
  // on, the offsets of its disc that may differ from it: those inside. Null
  // without a mask, where every offset may.
  const std::int32_t* row_offsets(int z, int y) const {
    return mask ? inside.row_counts(std::size_t(z) * height + std::size_t(y)) : nullptr;
  }

  // The span of `count` pixels from column x of row y in slice z that holds
  // every pixel inside among them, from column x.
  core::inside_span span_of(int z, int y, int x, std::size_t count) const {
    return inside.span_in_row(std::size_t(z) * height + std::size_t(y), std::size_t(x), count);
  }

  // The data terms of the pixels of `span` of those from position `first` on.
  void block_data_terms(std::size_t first, const core::inside_span& span) const {
    block_values(image, first + span.begin, pixels, span.end - span.begin, buffers.value.data());
    data_term_table(buffers.value.data(), image.spectrum(), centres.data(), classes, span.end - span.begin, stride,
                    buffers.table.data() + span.begin);
  }
};

// A part's view of a sweep: its own buffers, the lanes of `ring_keeper`, and
// the class indices the first part keeps for all.
sweep_frame frame_of(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                     CImg<float>& labels, edge_buffers& buffers, edge_buffers& ring_keeper, edge_buffers& first,
                     const core::energy_sink& energy) {
  return sweep_frame{image,
                     centres,
                     labels,
                     buffers,
                     labels.width(),
                     labels.height(),
                     labels.depth(),
                     parameters.class_count,
                     labels.size(),
                     buffers.disc.rows,
                     buffers.disc.offset_count,
                     buffers.disc.radius,
                     parameters.edge_weight,
                     buffers.column_of.data() + buffers.disc.radius,
                     buffers.table_stride,
                     ring_keeper.lanes.row_lanes.data(),
                     ring_keeper.ring_slots,
                     ring_keeper.lanes.slot_written.data(),
                     first.memory.class_of.data(),
                     energy,
                     first.inside.mask,
                     first.inside};
}

// How often each pixel of the current row occurs in its own disc: through the
// disc rows that reflect onto the row itself.
struct own_occurrences {
  const core::disc_rows& disc;
  const std::vector<int>& own_rows;
  int own_radius;
  int width;

  std::int64_t at(int x) const {
    if (x >= own_radius && x + own_radius < width) return std::int64_t(own_rows.size());
    std::int64_t count = 0;
    for (const int r : own_rows) count += core::own_column_count(x, disc.rows[r].half_width, width);
    return count;
  }
};

// Points each disc row at the image row it reads for row y (rows of `slots`
// rows from `rows_start`, `row_bytes` apart) and finds those that read row y.
own_occurrences locate_source_rows(edge_buffers& buffers, int y, int height, int width, const void* rows_start,
                                   std::size_t row_bytes, std::size_t slots) {
  buffers.own_rows.clear();
  int own_radius = 0;
  const std::vector<core::disc_row>& rows = buffers.disc.rows;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::int64_t source_y = core::mirror_index(std::int64_t(y) + rows[r].dy, height);
    buffers.row_source[r] = static_cast<const char*>(rows_start) + std::size_t(source_y) % slots * row_bytes;
    if (source_y == y) {
      buffers.own_rows.push_back(int(r));
      own_radius = std::max(own_radius, rows[r].half_width);
    }
  }
  return own_occurrences{buffers.disc, buffers.own_rows, own_radius, width};
}

// Stores the choice of the pixel at `position` and its energy term; true
// when the pixel changed class, so that the tally must follow.
bool settle(const sweep_frame& f, const core::class_choice& choice, core::class_index before, std::size_t position) {
  if (choice.winner < 0) {
    f.energy.add(position, core::cost_ceiling);
    return false;
  }
  f.labels[position] = static_cast<float>(choice.winner);
  f.energy.add(position, choice.best);
  return choice.winner != before;
}

// Rows of one slice swept side by side: row y + 1 labels a block only once
// row y has passed the block's last column by more than the disc's radius
// (a wavefront lead of radius + 1 columns), so that it reads row y's new labels
// there, and row y, which reads row y + 1 no farther left than radius columns
// behind itself, still finds the old ones. Reflection reads real rows too,
// never farther away than the offset that reached them, so the same rule
// covers it.
std::size_t wavefront_lead(int radius) { return std::size_t(radius) + 1; }

// What a row sweep needs of the other rows before a block, and tells them after.
struct row_turn {
  core::row_wavefront* wave;  // none when the rows are swept in order
  const core::run_progress* progress;
  std::size_t y;

  void before(std::size_t block_end) const {
    if (wave) wave->wait_for_row_above(*progress, y, block_end);
  }
  void after(std::size_t block_end) const {
    if (wave) wave->publish(*progress, y, block_end);
  }
  // Inside a block: every pixel before column `end` is settled. Told every
  // early_turn columns, so that the row below may start its next block a
  // little after this one passes the block's end by the lead, not only
  // once this one ends its next block.
  static constexpr std::size_t early_turn = 16;
  void settled_before(std::size_t end) const {
    if (wave && end % early_turn == 0) wave->publish_early(y, end);
  }
};

// ---- The tally in lanes. Before each block, the disc rows of equal half
// width (other than the row's own) are summed column by column, so that a step
// swaps one column per half width rather than per disc row: the cost per pixel
// hardly grows with the window.

struct lane_row {
  core::class_lanes* own_lanes;  // the current row's lanes, which follow its labels
  own_occurrences own;
  std::size_t groups;
  core::class_lanes every_offset;  // the offset count in every lane
};

const core::class_lanes* lanes_of(const edge_buffers& buffers, std::size_t r) {
  return static_cast<const core::class_lanes*>(buffers.row_source[r]);
}

// Rows of slice z enter the ring before their first use, with the labels they
// have then: rows 0 .. radius with row 0, and row y + radius with row y.
void enter_rows(const sweep_frame& f, int z, int y) {
  const core::class_lanes* one_hot = f.buffers.lanes.one_hot.data();
  for (int row = y == 0 ? 0 : y + f.radius; row < f.height && row <= y + f.radius; ++row) {
    const std::size_t slot = std::size_t(row) % f.slots;
    core::class_lanes* lanes = f.ring + slot * f.width;
    const float* label = f.labels.data() + (std::size_t(z) * f.height + row) * f.width;
    // Pixels outside the mask, labelled no class, count in no lane: of the
    // slot's lanes, only those its last row wrote outside this row's span
    // are cleared.
    const core::inside_span span = f.span_of(z, row, 0, std::size_t(f.width));
    core::inside_span& written = f.slot_written[slot];
    const auto clear = [&](std::size_t from, std::size_t to) {
      if (from < to) std::fill(lanes + from, lanes + to, core::class_lanes{});
    };
    clear(written.begin, std::min(written.end, span.begin));  // an empty span is {0, 0}
    clear(std::max(written.begin, span.end), written.end);
    for (std::size_t x = span.begin; x < span.end; ++x) lanes[x] = one_hot[core::class_of_label(label[x], f.classes)];
    written = span;
  }
}

// Groups the disc rows that do not read the current row by half width, in
// order of first appearance.
std::size_t group_by_half_width(const sweep_frame& f, const core::class_lanes* own_lanes) {
  lane_tally& lanes = f.buffers.lanes;
  lanes.group_half.clear();
  lanes.grouped_rows.clear();
  lanes.group_end.clear();
  for (std::size_t r = 0; r < f.rows.size(); ++r) {
    if (lanes_of(f.buffers, r) == own_lanes) continue;
    int& group = lanes.group_of_half[f.rows[r].half_width];
    if (group < 0) {
      group = int(lanes.group_half.size());
      lanes.group_half.push_back(f.rows[r].half_width);
    }
  }
  for (const int half_width : lanes.group_half) {
    for (std::size_t r = 0; r < f.rows.size(); ++r)
      if (lanes_of(f.buffers, r) != own_lanes && f.rows[r].half_width == half_width)
        lanes.grouped_rows.push_back(int(r));
    lanes.group_end.push_back(lanes.grouped_rows.size());
    lanes.group_of_half[half_width] = -1;
  }
  return lanes.group_half.size();
}

lane_row start_lane_row(const sweep_frame& f, int z, int y) {
  enter_rows(f, z, y);
  core::class_lanes* own_lanes = f.ring + std::size_t(y) % f.slots * f.width;
  const own_occurrences own =
      locate_source_rows(f.buffers, y, f.height, f.width, f.ring, f.width * sizeof(core::class_lanes), f.slots);
  core::class_lanes every_offset{};
  for (int k = 0; k < core::lane_count; ++k) every_offset[k] = std::uint16_t(f.offset_count);
  return lane_row{own_lanes, own, group_by_half_width(f, own_lanes), every_offset};
}

// The tally of the row's pixel x, from the lanes as they are.
core::class_lanes tally_in_lanes_at(const sweep_frame& f, int x) {
  core::class_lanes tally{};
  for (std::size_t r = 0; r < f.rows.size(); ++r)
    for (int dx = -f.rows[r].half_width; dx <= f.rows[r].half_width; ++dx)
      tally += lanes_of(f.buffers, r)[f.column_of[x + dx]];
  return tally;
}

// Each group's sums over the columns block_x - radius .. block_x + count +
// radius, and where in them a step finds its leaving and entering columns;
// only those that steps from block pixels `from` .. `to` - 1 read are formed.
void sum_group_columns(const sweep_frame& f, std::size_t groups, int block_x, std::size_t from, std::size_t to) {
  lane_tally& lanes = f.buffers.lanes;
  const std::size_t column_length = core::block_pixels + 2 * std::size_t(f.radius) + 1;
  const std::int64_t first = std::int64_t(block_x) + std::int64_t(from) - f.radius;
  const std::size_t length = to - from + 2 * std::size_t(f.radius) + 1;
  const bool inside = first >= 0 && first + std::int64_t(length) <= f.width;
  std::size_t member = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    core::class_lanes* const sums = lanes.column_sum.data() + g * column_length;
    core::class_lanes* sum = sums + from;
    for (bool first_member = true; member < lanes.group_end[g]; ++member, first_member = false) {
      const core::class_lanes* row = lanes_of(f.buffers, lanes.grouped_rows[member]);
      if (inside) {
        const core::class_lanes* from = row + first;
        if (first_member)
          std::copy(from, from + length, sum);
        else
          for (std::size_t j = 0; j < length; ++j) sum[j] += from[j];
      } else {
        for (std::size_t j = 0; j < length; ++j) {
          const core::class_lanes& column = row[f.column_of[first + std::int64_t(j)]];
          if (first_member)
            sum[j] = column;
          else
            sum[j] += column;
        }
      }
    }
    lanes.leaving_column[g] = sums + f.radius - lanes.group_half[g];
    lanes.entering_column[g] = sums + f.radius + 1 + lanes.group_half[g];
  }
}

// The choice at pixel x, block pixel i, from the tally in lanes; `outside`
// of the disc's offsets land outside the mask, where no neighbour differs.
inline core::class_choice choose_in_lanes(const sweep_frame& f, const lane_row& row, const core::class_lanes& tally,
                                          core::class_index before, std::size_t i, int x, std::int64_t outside) {
  const core::class_lanes differing_lanes = row.every_offset - tally;
  std::uint16_t differing[core::lane_count];
  std::memcpy(differing, &differing_lanes, sizeof differing);
  double cost[core::lane_count];
  return core::choose_class(
      f.buffers.table.data() + i, f.stride, f.classes, before, f.weight,
      [&](int k) { return double(std::int64_t(differing[k]) - outside); },
      [&] { return double(std::int64_t(differing[before]) - outside + row.own.at(x)); }, cost);
}

void move_lanes(core::class_lanes& lanes, const core::class_lanes& to, const core::class_lanes& from,
                std::int64_t times) {
  for (int k = 0; k < core::lane_count; ++k) lanes[k] = std::uint16_t(lanes[k] + times * (to[k] - from[k]));
}

// From pixel x, block pixel i, to pixel x + 1.
inline void slide_lanes(const sweep_frame& f, const lane_row& row, std::size_t i, int x, core::class_lanes& tally) {
  const lane_tally& lanes = f.buffers.lanes;
  for (std::size_t g = 0; g < row.groups; ++g) {
    tally += lanes.entering_column[g][i];
    tally -= lanes.leaving_column[g][i];
  }
  for (const int r : f.buffers.own_rows) {
    const int half_width = f.rows[r].half_width;
    tally += row.own_lanes[f.column_of[x + 1 + half_width]];
    tally -= row.own_lanes[f.column_of[x - half_width]];
  }
}

// Columns `from` .. `to` - 1 of a row, all outside the mask: nothing to
// settle, and one turn in a wavefront.
void pass_columns(const sweep_frame& f, std::size_t row_start, std::size_t from, std::size_t to, const row_turn& turn) {
  if (from >= to) return;
  f.skip(row_start + from, to - from);
  turn.before(to);
  turn.after(to);
}

void sweep_row_in_lanes(const sweep_frame& f, int z, int y, const row_turn& turn) {
  const core::class_lanes* one_hot = f.buffers.lanes.one_hot.data();
  const std::size_t row_start = (std::size_t(z) * f.height + y) * f.width;
  const lane_row row = start_lane_row(f, z, y);
  // Past a run of pixels outside at least this long, the tally is formed
  // again rather than slid over the run.
  const std::size_t rejoin = std::size_t(f.offset_count) / (2 * (row.groups + f.buffers.own_rows.size())) + 1;
  core::class_lanes tally{};
  bool tally_stale = true;  // formed at the first pixel inside
  // The blocks before the first pixel inside, and those after the last,
  // pass in one turn each.
  const core::inside_span inside = f.span_of(z, y, 0, std::size_t(f.width));
  const std::size_t first_block = inside.begin / f.stride * f.stride;
  const std::size_t end_block = std::min((inside.end + f.stride - 1) / f.stride * f.stride, std::size_t(f.width));
  const std::int32_t* offsets = f.row_offsets(z, y);
  pass_columns(f, row_start, 0, first_block, turn);
  for (int block_x = int(first_block); block_x < int(end_block); block_x += int(f.stride)) {
    const std::size_t count = std::min<std::size_t>(f.stride, std::size_t(f.width - block_x));
    turn.before(block_x + count);
    const core::inside_span span = f.span_of(z, y, block_x, count);
    if (span.begin == span.end) {
      f.skip(row_start + block_x, count);
      tally_stale = true;
      turn.after(block_x + count);
      continue;
    }
    f.block_data_terms(row_start + block_x, span);
    // Steps slide the tally only from the first pixel inside on, and over
    // the block's outside runs that are too short to form it again.
    sum_group_columns(f, row.groups, block_x, tally_stale || span.begin >= rejoin ? span.begin : 0,
                      count - span.end >= rejoin ? span.end : count);
    core::class_index before_of[core::block_pixels];
    for (std::size_t i = span.begin; i < span.end; ++i)
      before_of[i] = core::class_of_label(f.labels[row_start + block_x + i], f.classes);
    for (std::size_t i = 0; i < count; ++i) {
      const int x = block_x + int(i);
      const core::class_index before = before_of[i];
      if (f.outside(row_start + x)) {
        const std::size_t run = core::outside_run(f.mask, row_start + x, count - i);
        f.skip(row_start + x, run);
        tally_stale = tally_stale || run >= rejoin;
        for (std::size_t j = i; !tally_stale && j < i + run; ++j)
          if (block_x + int(j) + 1 < f.width) slide_lanes(f, row, j, block_x + int(j), tally);
        i += run - 1;
        continue;
      }
      if (tally_stale) tally = tally_in_lanes_at(f, x);
      tally_stale = false;
      const core::class_choice choice =
          choose_in_lanes(f, row, tally, before, i, x, offsets ? f.offset_count - offsets[x - inside.begin] : 0);
      if (settle(f, choice, before, row_start + x)) {
        move_lanes(tally, one_hot[choice.winner], one_hot[before], row.own.at(x));
        row.own_lanes[x] = one_hot[choice.winner];
      }
      if (x + 1 < f.width) slide_lanes(f, row, i, x, tally);
      turn.settled_before(std::size_t(x) + 1);
    }
    turn.after(block_x + count);
  }
  pass_columns(f, row_start, end_block, std::size_t(f.width), turn);
}

// ---- The tally in memory: every disc row slides on its own over a copy of
// the labels as class indices.

template <class Change>
void for_each_offset(const sweep_frame& f, int x, Change&& change) {
  for (std::size_t r = 0; r < f.rows.size(); ++r) {
    const auto* source = static_cast<const core::class_index*>(f.buffers.row_source[r]);
    for (int dx = -f.rows[r].half_width; dx <= f.rows[r].half_width; ++dx) change(source[f.column_of[x + dx]]);
  }
}

// From pixel x to pixel x + 1.
inline void slide_in_memory(const sweep_frame& f, int x, std::int64_t* tally) {
  const bool inside = x >= f.radius && x + 1 + f.radius < f.width;
  for (std::size_t r = 0; r < f.rows.size(); ++r) {
    const auto* source = static_cast<const core::class_index*>(f.buffers.row_source[r]);
    const int half_width = f.rows[r].half_width;
    const core::class_index leaving = source[inside ? x - half_width : f.column_of[x - half_width]];
    const core::class_index entering = source[inside ? x + 1 + half_width : f.column_of[x + 1 + half_width]];
    if (leaving != entering) {
      --tally[leaving];
      ++tally[entering];
    }
  }
}

void sweep_row_in_memory(const sweep_frame& f, int z, int y, const row_turn& turn) {
  std::int64_t* tally = f.buffers.memory.tally.data();
  const std::size_t row_start = (std::size_t(z) * f.height + y) * f.width;
  core::class_index* own = f.class_of + row_start;
  const core::inside_span row_inside = f.span_of(z, y, 0, std::size_t(f.width));
  const std::int32_t* row_offsets = f.row_offsets(z, y);
  const own_occurrences occurrences =
      locate_source_rows(f.buffers, y, f.height, f.width, f.class_of + std::size_t(z) * f.height * f.width,
                         f.width * sizeof(core::class_index), std::size_t(f.height));
  // Past a run of pixels outside at least this long, the tally is formed
  // again rather than slid over the run.
  const std::size_t rejoin = std::size_t(f.offset_count) / (2 * f.rows.size()) + 1;
  bool tally_stale = true;  // all counters 0; formed at the first pixel inside
  const auto drop_tally = [&] {
    if (!tally_stale) std::fill(tally, tally + f.classes + 1, 0);
    tally_stale = true;
  };
  for (int block_x = 0; block_x < f.width; block_x += int(f.stride)) {
    const std::size_t count = std::min<std::size_t>(f.stride, std::size_t(f.width - block_x));
    turn.before(block_x + count);
    const core::inside_span span = f.span_of(z, y, block_x, count);
    if (span.begin == span.end) {
      f.skip(row_start + block_x, count);
      drop_tally();
      turn.after(block_x + count);
      continue;
    }
    f.block_data_terms(row_start + block_x, span);
    for (std::size_t i = 0; i < count; ++i) {
      const int x = block_x + int(i);
      const core::class_index before = own[x];
      if (f.outside(row_start + x)) {
        const std::size_t run = core::outside_run(f.mask, row_start + x, count - i);
        f.skip(row_start + x, run);
        if (run >= rejoin) drop_tally();
        for (std::size_t j = i; !tally_stale && j < i + run; ++j)
          if (block_x + int(j) + 1 < f.width) slide_in_memory(f, block_x + int(j), tally);
        i += run - 1;
        continue;
      }
      if (tally_stale) for_each_offset(f, x, [&](core::class_index k) { ++tally[k]; });
      tally_stale = false;
      const std::int64_t offsets = row_offsets ? row_offsets[std::size_t(x) - row_inside.begin] : f.offset_count;
      const core::class_choice choice = core::choose_class(
          f.buffers.table.data() + i, f.stride, f.classes, before, f.weight,
          [&](int k) { return double(offsets - tally[k]); },
          [&] { return double(offsets - tally[before] + occurrences.at(x)); }, f.buffers.memory.cost.data());
      if (settle(f, choice, before, row_start + x)) {
        const std::int64_t times = occurrences.at(x);
        tally[before] -= times;
        tally[choice.winner] += times;
        own[x] = choice.winner;
      }
      if (x + 1 < f.width) slide_in_memory(f, x, tally);
    }
    // Back to zero counters for the next row, before the row below may
    // change what they counted. So this sweep tells its progress at block
    // ends only, never inside a block as the lanes do.
    if (block_x + count == std::size_t(f.width) && !tally_stale)
      for_each_offset(f, f.width - 1, [&](core::class_index k) { --tally[k]; });
    turn.after(block_x + count);
  }
}

// A row with no pixel inside: its lanes enter the ring all the same, and it
// takes one turn in a wavefront. The row below then starts once the row
// above has ended, which costs two threads nothing: the one that would
// start it is still sweeping the row above.
void pass_row_outside(const sweep_frame& f, int z, int y, const row_turn& turn) {
  if (f.buffers.in_lanes) enter_rows(f, z, y);
  pass_columns(f, (std::size_t(z) * f.height + y) * f.width, 0, std::size_t(f.width), turn);
}

void sweep_row(const sweep_frame& f, int z, int y, const row_turn& turn) {
  const core::inside_span row = f.span_of(z, y, 0, std::size_t(f.width));
  if (row.begin == row.end) return pass_row_outside(f, z, y, turn);
  (f.buffers.in_lanes ? sweep_row_in_lanes : sweep_row_in_memory)(f, z, y, turn);
}

// Sweeps the rows of slices first_slice .. end_slice - 1 in raster order.
void sweep_rows(const sweep_frame& f, int first_slice, int end_slice, const core::run_progress& progress) {
  for (int z = first_slice; z < end_slice; ++z)
    for (int y = 0; y < f.height; ++y) {
      if (progress.aborted()) return;
      sweep_row(f, z, y, row_turn{nullptr, &progress, std::size_t(y)});
    }
}

// Parts of an edge-phase sweep: slices of a volume, or rows of one slice as
// a wavefront where the rows are long enough for their parts to overlap.
constexpr std::size_t wavefront_block = 64;

core::sweep_layout plan_edge_parts(const CImg<float>& labels, int radius, const core::call_threads& threads) {
  const std::size_t lag = wavefront_block + wavefront_lead(radius);  // columns between neighbouring rows
  return core::plan_sweep_parts(threads, threads.count(), labels.width(), labels.height(), labels.depth(), lag);
}

edge_buffers make_part_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                               const CImg<float>& labels, const core::sweep_layout& layout, bool first_part) {
  edge_buffers buffers;
  const int classes = parameters.class_count;
  buffers.value.resize(std::size_t(std::max(image.spectrum(), 1)) * core::block_pixels);
  buffers.table_stride = core::pixels_per_table(classes, largest_data_term_table);
  if (layout.wavefront) buffers.table_stride = std::min(buffers.table_stride, wavefront_block);
  buffers.table.resize(std::size_t(classes) * buffers.table_stride);
  buffers.disc = core::make_disc_rows(parameters.window);
  const int radius = buffers.disc.radius;
  const std::size_t width = labels.width(), rows = buffers.disc.rows.size();
  buffers.column_of = core::mirror_table(-radius, std::int64_t(width) + radius + 1, labels.width());
  buffers.row_source.resize(rows);
  buffers.own_rows.reserve(rows);
  // A wavefront of n rows keeps n - 1 more rows within reach.
  const std::size_t reach = 2 * std::size_t(radius) + std::size_t(layout.wavefront ? layout.parts : 1);
  buffers.ring_slots = std::min<std::size_t>(reach, std::size_t(labels.height()));
  const std::size_t lane_rows = buffers.ring_slots * width;
  buffers.in_lanes = classes <= core::lane_count && buffers.disc.offset_count <= largest_lane_count &&
                     radius <= largest_lane_radius && lane_rows <= largest_lane_rows;
  const bool owns_rows = first_part || !layout.wavefront;  // a wavefront's rows are the first part's
  if (buffers.in_lanes) {
    make_lane_tally(buffers.lanes, classes, radius, owns_rows ? buffers.ring_slots : 0, width, rows);
  } else {
    if (first_part) buffers.memory.class_of.resize(labels.size());
    buffers.memory.tally.assign(std::size_t(classes) + 1, 0);
    buffers.memory.cost.resize(std::size_t(classes));
  }
  return buffers;
}

// What each part of an edge-phase sweep does (core::sweep_in_parts). One
// part sums the energy as it goes; several leave each pixel's term in
// `terms`. Part 0 adds the terms and centre sums of swept slices, in order,
// between its own slices.
struct edge_parts {
  const CImg<float>& image;
  const segmentation_parameters& parameters;
  const CImg<float>& centres;
  CImg<float>& labels;
  std::vector<edge_buffers>& parts;
  float* terms;
  core::running_class_sums* centre_sums;
  const std::vector<core::inside_span>* summed_runs;
  float& energy;
  std::vector<const float*> channel = centre_sums ? core::channel_starts(image) : std::vector<const float*>{};

  // Part `part`'s frame: a wavefront's parts share the first part's lanes;
  // a slice's lanes are its own part's.
  sweep_frame frame(std::size_t part, bool own_lanes, const core::energy_sink& sink) {
    return frame_of(image, parameters, centres, labels, parts[part], own_lanes ? parts[part] : parts.front(),
                    parts.front(), sink);
  }
  void add_centre_sums(std::size_t first, std::size_t count) const {
    if (!centre_sums) return;
    if (!summed_runs) return core::add_class_sums(*centre_sums, labels.data(), channel, first, count);
    const std::size_t end = first + count;
    auto run = std::upper_bound(summed_runs->begin(), summed_runs->end(), first,
                                [](std::size_t position, const core::inside_span& run) { return position < run.end; });
    for (; run != summed_runs->end() && run->begin < end; ++run) {
      const std::size_t from = std::max(run->begin, first), to = std::min(run->end, end);
      core::add_class_sums(*centre_sums, labels.data(), channel, from, to - from);
    }
  }

  void whole(const core::run_progress& progress) {
    sweep_rows(frame(0, true, {terms, &energy}), 0, labels.depth(), progress);
  }
  void row(int part, std::size_t y, core::row_wavefront& wave, const core::run_progress& progress) {
    sweep_row(frame(std::size_t(part), false, {terms}), 0, int(y), row_turn{&wave, &progress, y});
  }
  // Every slice gives the same labels and terms whoever sweeps it.
  void slice(int part, std::size_t z, const core::run_progress& progress) {
    sweep_rows(frame(std::size_t(part), true, {terms}), int(z), int(z) + 1, progress);
  }
  void swept(std::size_t z) {
    const std::size_t slice_pixels = std::size_t(labels.width()) * std::size_t(labels.height());
    if (terms) energy = core::sum_in_raster_order(terms + z * slice_pixels, slice_pixels, energy);
    add_centre_sums(z * slice_pixels, slice_pixels);
  }
};

}  // namespace

std::vector<edge_buffers> make_edge_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                                            const CImg<float>& labels, core::call_threads& threads,
                                            const core::pixel_mask& mask) {
  const core::disc_rows disc = core::make_disc_rows(parameters.window);
  const core::sweep_layout layout = plan_edge_parts(labels, disc.radius, threads);
  std::vector<edge_buffers> parts;
  for (int part = 0; part < layout.parts; ++part)
    parts.push_back(make_part_buffers(image, parameters, labels, layout, part == 0));
  for (edge_buffers& buffers : parts) buffers.layout = layout;
  parts.front().inside = core::count_disc_inside(mask, disc, labels.width(), labels.height(), labels.depth(), threads);
  return parts;
}

float edge_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, std::vector<edge_buffers>& parts, core::call_threads& threads, float* terms,
                 core::running_class_sums* centre_sums, const std::vector<core::inside_span>* summed_runs,
                 float energy_before) {
  edge_buffers& first = parts.front();
  if (!first.in_lanes) {
    core::class_index* class_of = first.memory.class_of.data();
    for (std::size_t i = 0; i < labels.size(); ++i)
      class_of[i] = core::class_of_label(labels[i], parameters.class_count);
  }
  float energy = energy_before;
  edge_parts work{image, parameters, centres, labels, parts, terms, centre_sums, summed_runs, energy};
  const core::sweep_layout layout = first.layout;
  const core::sweep_extent extent{std::size_t(labels.width()), std::size_t(labels.height()),
                                  std::size_t(labels.depth()), wavefront_lead(first.disc.radius)};
  core::sweep_in_parts(threads, layout, extent, work);
  // Slices have added their terms and centre sums as they went.
  if (layout.parts > 1 && !layout.wavefront) return energy;
  work.add_centre_sums(0, labels.size());
  return terms ? core::sum_in_raster_order(terms, labels.size(), energy_before) : energy;
}

}  // namespace sorvik
