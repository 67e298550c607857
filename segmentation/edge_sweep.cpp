#include "edge_sweep.h"

#include <algorithm>
#include <cstring>

#include "costs.h"
#include "data_terms.h"
#include "window.h"

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

std::size_t lane_row_slots(int radius, int height) {
  return std::size_t(std::min<std::int64_t>(2 * std::int64_t(radius) + 1, height));
}

void make_lane_tally(lane_tally& lanes, int classes, int radius, std::size_t lane_rows, std::size_t disc_rows) {
  lanes.one_hot.assign(std::size_t(classes) + 1, class_lanes{});
  for (int k = 0; k < classes; ++k) lanes.one_hot[k][k] = 1;
  lanes.row_lanes.resize(lane_rows);
  const std::size_t groups = std::size_t(radius) + 1;
  lanes.group_half.reserve(groups);
  lanes.group_of_half.assign(groups, -1);
  lanes.grouped_rows.reserve(disc_rows);
  lanes.group_end.reserve(groups);
  lanes.column_sum.resize(groups * (block_pixels + 2 * std::size_t(radius) + 1));
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
  const std::vector<disc_row>& rows;
  std::int64_t offset_count;
  int radius;
  double weight;
  const std::int32_t* column_of;  // indexed from -radius
  std::size_t stride;

  // The data terms of the `count` pixels from position `first` on.
  void block_data_terms(std::size_t first, std::size_t count) const {
    block_values(image, first, pixels, count, buffers.value.data());
    data_term_table(buffers.value.data(), image.spectrum(), centres.data(), classes, count, stride,
                    buffers.table.data());
  }
};

sweep_frame frame_of(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                     CImg<float>& labels, edge_buffers& buffers) {
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
                     buffers.table_stride};
}

// How often each pixel of the current row occurs in its own disc: through the
// disc rows that reflect onto the row itself.
struct own_occurrences {
  const disc_rows& disc;
  const std::vector<int>& own_rows;
  int own_radius;
  int width;

  std::int64_t at(int x) const {
    if (x >= own_radius && x + own_radius < width) return std::int64_t(own_rows.size());
    std::int64_t count = 0;
    for (const int r : own_rows) count += own_column_count(x, disc.rows[r].half_width, width);
    return count;
  }
};

// Points each disc row at the image row it reads for row y (rows of `slots`
// rows from `rows_start`, `row_bytes` apart) and finds those that read row y.
own_occurrences locate_source_rows(edge_buffers& buffers, int y, int height, int width, const void* rows_start,
                                   std::size_t row_bytes, std::size_t slots) {
  buffers.own_rows.clear();
  int own_radius = 0;
  const std::vector<disc_row>& rows = buffers.disc.rows;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::int64_t source_y = mirror_index(std::int64_t(y) + rows[r].dy, height);
    buffers.row_source[r] = static_cast<const char*>(rows_start) + std::size_t(source_y) % slots * row_bytes;
    if (source_y == y) {
      buffers.own_rows.push_back(int(r));
      own_radius = std::max(own_radius, rows[r].half_width);
    }
  }
  return own_occurrences{buffers.disc, buffers.own_rows, own_radius, width};
}

struct pixel_choice {
  float best = largest_cost;
  class_index winner = 0;
  bool won = false;
};

// The scan over the classes of one pixel, as the plain iteration makes it.
// `tally(k)` is the count of k in the disc with the pixel still counted with
// its label from before the visit, `before`; `own_count()` how often the pixel
// occurs in its disc.
template <class Tally, class Own>
pixel_choice choose_class(int classes, class_index before, const double* data_term, std::size_t stride,
                          double weight, std::int64_t offset_count, const Tally& tally, const Own& own_count) {
  pixel_choice choice;
  choice.winner = before;
  for (int k = 0; k < classes; ++k) {
    std::int64_t differing = offset_count - tally(k);
    // Once an earlier class has won the pixel, it differs from this one.
    if (choice.won && k == before) differing += own_count();
    const double cost = data_term[std::size_t(k) * stride] + weight * double(differing);
    if (cost < choice.best) {
      choice.best = static_cast<float>(cost);
      choice.winner = k;
      choice.won = true;
    }
  }
  return choice;
}

// The same scan when class 0 wins first, with every cost known beforehand.
pixel_choice scan_from_first_winner(const double* cost, int classes) {
  double best = static_cast<float>(cost[0]);
  class_index winner = 0;
  for (int k = 1; k < classes; ++k)
    if (cost[k] < best) {
      best = static_cast<float>(cost[k]);
      winner = k;
    }
  pixel_choice choice;
  choice.best = static_cast<float>(best);
  choice.winner = winner;
  choice.won = true;
  return choice;
}

// Stores a pixel's choice and its share of the energy; true when the pixel
// changed class, so that the tally must follow.
bool settle(const pixel_choice& choice, class_index before, float& label, float& energy) {
  if (!choice.won) {
    energy += cost_ceiling;
    return false;
  }
  label = static_cast<float>(choice.winner);
  energy += choice.best;
  return choice.winner != before;
}

// ---- The tally in lanes. Before each block, the disc rows of equal half
// width (other than the row's own) are summed column by column, so that a step
// swaps one column per half width rather than per disc row: the cost per pixel
// hardly grows with the window.

struct lane_row {
  class_lanes* own_lanes;  // the current row's lanes, which follow its labels
  own_occurrences own;
  std::size_t groups;
  class_lanes every_offset;  // the offset count in every lane
};

const class_lanes* lanes_of(const edge_buffers& buffers, std::size_t r) {
  return static_cast<const class_lanes*>(buffers.row_source[r]);
}

// Rows of slice z enter the ring before their first use, with the labels they
// have then: up to row y + radius.
void enter_rows(const sweep_frame& f, int z, int y, int& entered) {
  const std::size_t slots = lane_row_slots(f.radius, f.height);
  const class_lanes* one_hot = f.buffers.lanes.one_hot.data();
  for (; entered < f.height && entered <= y + f.radius; ++entered) {
    class_lanes* lanes = f.buffers.lanes.row_lanes.data() + std::size_t(entered) % slots * f.width;
    const float* label = f.labels.data() + (std::size_t(z) * f.height + entered) * f.width;
    for (int x = 0; x < f.width; ++x) lanes[x] = one_hot[class_of_label(label[x], f.classes)];
  }
}

// Groups the disc rows that do not read the current row by half width, in
// order of first appearance.
std::size_t group_by_half_width(const sweep_frame& f, const class_lanes* own_lanes) {
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
      if (lanes_of(f.buffers, r) != own_lanes && f.rows[r].half_width == half_width) lanes.grouped_rows.push_back(int(r));
    lanes.group_end.push_back(lanes.grouped_rows.size());
    lanes.group_of_half[half_width] = -1;
  }
  return lanes.group_half.size();
}

lane_row start_lane_row(const sweep_frame& f, int z, int y, int& entered) {
  enter_rows(f, z, y, entered);
  const std::size_t slots = lane_row_slots(f.radius, f.height);
  class_lanes* ring = f.buffers.lanes.row_lanes.data();
  class_lanes* own_lanes = ring + std::size_t(y) % slots * f.width;
  const own_occurrences own =
      locate_source_rows(f.buffers, y, f.height, f.width, ring, f.width * sizeof(class_lanes), slots);
  class_lanes every_offset{};
  for (int k = 0; k < lane_count; ++k) every_offset[k] = std::uint16_t(f.offset_count);
  return lane_row{own_lanes, own, group_by_half_width(f, own_lanes), every_offset};
}

// The tally of the row's first pixel.
class_lanes first_tally_in_lanes(const sweep_frame& f) {
  class_lanes tally{};
  for (std::size_t r = 0; r < f.rows.size(); ++r)
    for (int dx = -f.rows[r].half_width; dx <= f.rows[r].half_width; ++dx) tally += lanes_of(f.buffers, r)[f.column_of[dx]];
  return tally;
}

// Each group's sums over the columns block_x - radius .. block_x + count +
// radius, and where in them a step finds its leaving and entering columns.
void sum_group_columns(const sweep_frame& f, std::size_t groups, int block_x, std::size_t count) {
  lane_tally& lanes = f.buffers.lanes;
  const std::size_t column_length = block_pixels + 2 * std::size_t(f.radius) + 1;
  const std::int64_t first = std::int64_t(block_x) - f.radius;
  const std::size_t length = count + 2 * std::size_t(f.radius) + 1;
  const bool inside = first >= 0 && first + std::int64_t(length) <= f.width;
  std::size_t member = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    class_lanes* sum = lanes.column_sum.data() + g * column_length;
    for (bool first_member = true; member < lanes.group_end[g]; ++member, first_member = false) {
      const class_lanes* row = lanes_of(f.buffers, lanes.grouped_rows[member]);
      if (inside) {
        const class_lanes* from = row + first;
        if (first_member)
          std::copy(from, from + length, sum);
        else
          for (std::size_t j = 0; j < length; ++j) sum[j] += from[j];
      } else {
        for (std::size_t j = 0; j < length; ++j) {
          const class_lanes& column = row[f.column_of[first + std::int64_t(j)]];
          if (first_member)
            sum[j] = column;
          else
            sum[j] += column;
        }
      }
    }
    lanes.leaving_column[g] = sum + f.radius - lanes.group_half[g];
    lanes.entering_column[g] = sum + f.radius + 1 + lanes.group_half[g];
  }
}

// The choice at pixel x, block pixel i, from the tally in lanes.
inline pixel_choice choose_in_lanes(const sweep_frame& f, const lane_row& row, const class_lanes& tally,
                                    class_index before, std::size_t i, int x) {
  const double* data_term = f.buffers.table.data() + i;
  const class_lanes differing_lanes = row.every_offset - tally;
  std::uint16_t differing[lane_count];
  std::memcpy(differing, &differing_lanes, sizeof differing);
  double cost[lane_count];
  cost[0] = data_term[0] + f.weight * double(differing[0]);
  for (int k = 1; k < f.classes; ++k) cost[k] = data_term[k * f.stride] + f.weight * double(differing[k]);
  if (cost[0] < largest_cost) {
    // Class 0 wins first, and from then on the pixel differs from every later
    // class, its former class included.
    if (before > 0 && before < f.classes)
      cost[before] = data_term[before * f.stride] + f.weight * double(std::int64_t(differing[before]) + row.own.at(x));
    return scan_from_first_winner(cost, f.classes);
  }
  return choose_class(
      f.classes, before, data_term, f.stride, f.weight, f.offset_count,
      [&](int k) { return f.offset_count - differing[k]; }, [&] { return row.own.at(x); });
}

void move_lanes(class_lanes& lanes, const class_lanes& to, const class_lanes& from, std::int64_t times) {
  for (int k = 0; k < lane_count; ++k) lanes[k] = std::uint16_t(lanes[k] + times * (to[k] - from[k]));
}

// From pixel x, block pixel i, to pixel x + 1.
inline void slide_lanes(const sweep_frame& f, const lane_row& row, std::size_t i, int x, class_lanes& tally) {
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

float edge_sweep_in_lanes(const sweep_frame& f) {
  const class_lanes* one_hot = f.buffers.lanes.one_hot.data();
  float energy = 0;
  for (int z = 0; z < f.depth; ++z) {
    int entered = 0;  // rows 0 .. entered - 1 of the slice have entered the ring
    for (int y = 0; y < f.height; ++y) {
      const std::size_t row_start = (std::size_t(z) * f.height + y) * f.width;
      float* label = f.labels.data() + row_start;
      const lane_row row = start_lane_row(f, z, y, entered);
      class_lanes tally = first_tally_in_lanes(f);
      for (int block_x = 0; block_x < f.width; block_x += int(f.stride)) {
        const std::size_t count = std::min<std::size_t>(f.stride, std::size_t(f.width - block_x));
        f.block_data_terms(row_start + block_x, count);
        sum_group_columns(f, row.groups, block_x, count);
        class_index before_of[block_pixels];
        for (std::size_t i = 0; i < count; ++i) before_of[i] = class_of_label(label[block_x + i], f.classes);
        for (std::size_t i = 0; i < count; ++i) {
          const int x = block_x + int(i);
          const class_index before = before_of[i];
          const pixel_choice choice = choose_in_lanes(f, row, tally, before, i, x);
          if (settle(choice, before, label[x], energy)) {
            move_lanes(tally, one_hot[choice.winner], one_hot[before], row.own.at(x));
            row.own_lanes[x] = one_hot[choice.winner];
          }
          if (x + 1 < f.width) slide_lanes(f, row, i, x, tally);
        }
      }
    }
  }
  return energy;
}

// ---- The tally in memory: every disc row slides on its own over a copy of
// the labels as class indices.

template <class Change>
void for_each_offset(const sweep_frame& f, int x, Change&& change) {
  for (std::size_t r = 0; r < f.rows.size(); ++r) {
    const auto* source = static_cast<const class_index*>(f.buffers.row_source[r]);
    for (int dx = -f.rows[r].half_width; dx <= f.rows[r].half_width; ++dx) change(source[f.column_of[x + dx]]);
  }
}

// From pixel x to pixel x + 1.
inline void slide_in_memory(const sweep_frame& f, int x, std::int64_t* tally) {
  const bool inside = x >= f.radius && x + 1 + f.radius < f.width;
  for (std::size_t r = 0; r < f.rows.size(); ++r) {
    const auto* source = static_cast<const class_index*>(f.buffers.row_source[r]);
    const int half_width = f.rows[r].half_width;
    const class_index leaving = source[inside ? x - half_width : f.column_of[x - half_width]];
    const class_index entering = source[inside ? x + 1 + half_width : f.column_of[x + 1 + half_width]];
    if (leaving != entering) {
      --tally[leaving];
      ++tally[entering];
    }
  }
}

float edge_sweep_in_memory(const sweep_frame& f) {
  std::int64_t* tally = f.buffers.memory.tally.data();
  class_index* class_of = f.buffers.memory.class_of.data();
  for (std::size_t i = 0; i < f.pixels; ++i) class_of[i] = class_of_label(f.labels[i], f.classes);
  float energy = 0;
  for (int z = 0; z < f.depth; ++z)
    for (int y = 0; y < f.height; ++y) {
      const std::size_t row_start = (std::size_t(z) * f.height + y) * f.width;
      class_index* own = class_of + row_start;
      float* label = f.labels.data() + row_start;
      const own_occurrences occurrences =
          locate_source_rows(f.buffers, y, f.height, f.width, class_of + std::size_t(z) * f.height * f.width,
                             f.width * sizeof(class_index), std::size_t(f.height));
      for_each_offset(f, 0, [&](class_index k) { ++tally[k]; });
      for (int block_x = 0; block_x < f.width; block_x += int(f.stride)) {
        const std::size_t count = std::min<std::size_t>(f.stride, std::size_t(f.width - block_x));
        f.block_data_terms(row_start + block_x, count);
        for (std::size_t i = 0; i < count; ++i) {
          const int x = block_x + int(i);
          const class_index before = own[x];
          const pixel_choice choice = choose_class(
              f.classes, before, f.buffers.table.data() + i, f.stride, f.weight, f.offset_count,
              [&](int k) { return tally[k]; }, [&] { return occurrences.at(x); });
          if (settle(choice, before, label[x], energy)) {
            const std::int64_t times = occurrences.at(x);
            tally[before] -= times;
            tally[choice.winner] += times;
            own[x] = choice.winner;
          }
          if (x + 1 < f.width) slide_in_memory(f, x, tally);
        }
      }
      // Back to zero counters for the next row.
      for_each_offset(f, f.width - 1, [&](class_index k) { --tally[k]; });
    }
  return energy;
}

}  // namespace

edge_buffers make_edge_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                               const CImg<float>& labels) {
  edge_buffers buffers;
  const int classes = parameters.class_count;
  buffers.value.resize(std::size_t(std::max(image.spectrum(), 1)) * block_pixels);
  buffers.table_stride = pixels_per_table(classes, largest_data_term_table);
  buffers.table.resize(std::size_t(classes) * buffers.table_stride);
  buffers.disc = make_disc_rows(parameters.window);
  const int radius = buffers.disc.radius;
  const std::size_t width = labels.width(), rows = buffers.disc.rows.size();
  buffers.column_of = mirror_table(-radius, std::int64_t(width) + radius + 1, labels.width());
  buffers.row_source.resize(rows);
  buffers.own_rows.reserve(rows);
  const std::size_t lane_rows = lane_row_slots(radius, labels.height()) * width;
  buffers.in_lanes = classes <= lane_count && buffers.disc.offset_count <= largest_lane_count &&
                     radius <= largest_lane_radius && lane_rows <= largest_lane_rows;
  if (buffers.in_lanes) {
    make_lane_tally(buffers.lanes, classes, radius, lane_rows, rows);
  } else {
    buffers.memory.class_of.resize(labels.size());
    buffers.memory.tally.assign(std::size_t(classes) + 1, 0);
  }
  return buffers;
}

float edge_sweep(const CImg<float>& image, const segmentation_parameters& parameters, const CImg<float>& centres,
                 CImg<float>& labels, edge_buffers& buffers) {
  const sweep_frame frame = frame_of(image, parameters, centres, labels, buffers);
  return buffers.in_lanes ? edge_sweep_in_lanes(frame) : edge_sweep_in_memory(frame);
}

}  // namespace sorvik
