// The edge-phase label sweep (included by clustering.cpp).
//
// At each pixel a tally holds, per class, how many offsets of the pixel's disc
// carry that class at this moment; the number of differing neighbours of class
// k is the number of offsets minus the tally of k. Stepping to the next pixel
// of a row swaps, in each disc row, the column leaving on the left for the one
// entering on the right, reflected like the window. Only the current image row
// changes while it is swept: when the current pixel changes its label, the
// tally follows at once for every offset that reflects onto the pixel itself.
// The sweep stays sequential in raster order; only the bookkeeping differs
// from the plain iteration, never a cost.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "boundary/image.h"
#include "clustering.h"
#include "data_terms.h"
#include "disc_rows.h"
#include "parameters.h"
#include "vector_lanes.h"
#include "window.h"

namespace sorvik {

// The tally in lanes (one vector for all classes) needs K <= 8 and counts
// below 2^16. It also keeps the lanes of every image row within reach of the
// current one, and sums of a block's columns: discs wider than this radius,
// or rows so long that those would take much memory, count in memory instead.
constexpr std::int64_t largest_lane_count = 65535;
constexpr int largest_lane_radius = 32;
constexpr std::size_t largest_lane_rows = std::size_t(1) << 21;
// Largest K x block table of data terms (in doubles) before blocks shrink.
constexpr std::size_t largest_data_term_table = 16384;

// A stored label as the sweep counts it: its class index, or K for a value
// that is no class index (it differs from every class).
inline class_index index_of_label(float label, int class_count) {
  if (!(label >= 0.0f && label < float(class_count))) return class_count;
  const auto k = static_cast<class_index>(label);
  return float(k) == label ? k : class_count;
}

struct edge_buffers {
  std::vector<double> value;  // a block's values, see data_terms.h
  std::vector<double> table;  // the block's data terms, K rows of table_stride
  std::size_t table_stride = block_pixels;
  disc_rows disc;
  bool in_lanes = false;
  std::vector<std::int32_t> column_of;   // reflected column of x, for x from -radius to width + radius
  std::vector<const void*> row_source;   // per disc row, the image row it reads for the current row
  std::vector<int> own_rows;             // disc rows reading the current row itself
  // In lanes: one-hot lanes per class index (none for K), the lanes of the
  // rows within reach, kept as a ring, and the disc rows other than the own
  // ones grouped by half width, with the group's columns summed per block.
  std::vector<class_lanes> one_hot;
  std::vector<class_lanes> row_lanes;
  std::vector<int> group_half, group_of_half, grouped_rows;
  std::vector<std::size_t> group_end;
  std::vector<class_lanes> column_sum;
  std::vector<const class_lanes*> leaving_column, entering_column;
  // In memory: the labels as class indices, and one counter per class index.
  std::vector<class_index> class_of;
  std::vector<std::int64_t> tally;
};

inline std::size_t lane_row_slots(int radius, int height) {
  return std::size_t(std::min<std::int64_t>(2 * std::int64_t(radius) + 1, height));
}

inline edge_buffers make_edge_buffers(const CImg<float>& image, const segmentation_parameters& parameters,
                                      const CImg<float>& labels) {
  edge_buffers buffers;
  const int classes = parameters.class_count;
  buffers.value.resize(std::size_t(std::max(image.spectrum(), 1)) * block_pixels);
  buffers.table_stride = std::clamp<std::size_t>(largest_data_term_table / std::size_t(classes), 1, block_pixels);
  buffers.table.resize(std::size_t(classes) * buffers.table_stride);
  buffers.disc = make_disc_rows(parameters.window);
  const int radius = buffers.disc.radius;
  const std::size_t width = labels.width(), rows = buffers.disc.rows.size();
  buffers.column_of.resize(width + 2 * std::size_t(radius) + 1);
  for (std::size_t j = 0; j < buffers.column_of.size(); ++j)
    buffers.column_of[j] = std::int32_t(mirror_index(std::int64_t(j) - radius, labels.width()));
  buffers.row_source.resize(rows);
  buffers.own_rows.reserve(rows);
  const std::size_t lane_rows = lane_row_slots(radius, labels.height()) * width;
  buffers.in_lanes = classes <= lane_count && buffers.disc.offset_count <= largest_lane_count &&
                     radius <= largest_lane_radius && lane_rows <= largest_lane_rows;
  if (buffers.in_lanes) {
    buffers.one_hot.assign(std::size_t(classes) + 1, class_lanes{});
    for (int k = 0; k < classes; ++k) buffers.one_hot[k][k] = 1;
    buffers.row_lanes.resize(lane_rows);
    const std::size_t groups = std::size_t(radius) + 1;
    buffers.group_half.reserve(groups);
    buffers.group_of_half.assign(groups, -1);
    buffers.grouped_rows.reserve(rows);
    buffers.group_end.reserve(groups);
    buffers.column_sum.resize(groups * (block_pixels + 2 * std::size_t(radius) + 1));
    buffers.leaving_column.resize(groups);
    buffers.entering_column.resize(groups);
  } else {
    buffers.class_of.resize(labels.size());
    buffers.tally.assign(std::size_t(classes) + 1, 0);
  }
  return buffers;
}

// The disc rows for one image row: which image row each reads (rows of `slots`
// rows from `rows_start`, `row_bytes` apart), and which read the row itself.
struct row_of_disc {
  const disc_rows& disc;
  const std::vector<int>& own_rows;
  int own_radius;
  int width;

  // How often pixel x of the row occurs in its own disc.
  std::int64_t own_count(int x) const {
    if (x >= own_radius && x + own_radius < width) return std::int64_t(own_rows.size());
    std::int64_t count = 0;
    for (const int r : own_rows) count += own_column_count(x, disc.rows[r].half_width, width);
    return count;
  }
};

inline row_of_disc find_sources(edge_buffers& buffers, int y, int height, int width, const void* rows_start,
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
  return row_of_disc{buffers.disc, buffers.own_rows, own_radius, width};
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
inline pixel_choice scan_from_first_winner(const double* cost, int classes) {
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

inline void move_lanes(class_lanes& lanes, const class_lanes& to, const class_lanes& from, std::int64_t times) {
  for (int k = 0; k < lane_count; ++k) lanes[k] = std::uint16_t(lanes[k] + times * (to[k] - from[k]));
}

// The tally in lanes. Before each block, the disc rows of equal half width
// (other than the row's own) are summed column by column, so that a step swaps
// one column per half width rather than per disc row: the cost per pixel
// hardly grows with the window.
inline float edge_sweep_in_lanes(const CImg<float>& image, const segmentation_parameters& parameters,
                                 const CImg<float>& centres, CImg<float>& labels, edge_buffers& buffers) {
  const int width = labels.width(), height = labels.height(), depth = labels.depth();
  const int classes = parameters.class_count;
  const std::size_t pixels = labels.size();
  const std::vector<disc_row>& disc_rows = buffers.disc.rows;
  const std::int64_t offset_count = buffers.disc.offset_count;
  const int radius = buffers.disc.radius;
  const double weight = parameters.edge_weight;
  const std::int32_t* column_of = buffers.column_of.data() + radius;
  const std::size_t stride = buffers.table_stride;
  const std::size_t column_length = block_pixels + 2 * std::size_t(radius) + 1;
  const std::size_t slots = lane_row_slots(radius, height);
  const class_lanes* one_hot = buffers.one_hot.data();
  class_lanes* ring = buffers.row_lanes.data();
  const auto lanes_of = [&](std::size_t r) { return static_cast<const class_lanes*>(buffers.row_source[r]); };
  class_lanes every_offset{};
  for (int k = 0; k < lane_count; ++k) every_offset[k] = std::uint16_t(offset_count);

  float energy = 0;
  for (int z = 0; z < depth; ++z) {
    int entered = 0;  // rows 0 .. entered - 1 of the slice have entered the ring
    for (int y = 0; y < height; ++y) {
      const std::size_t row_start = (std::size_t(z) * height + y) * width;
      // A row enters before its first use, with the labels it has then; the
      // current row's lanes follow its labels as they change.
      for (; entered < height && entered <= y + radius; ++entered) {
        class_lanes* lanes = ring + std::size_t(entered) % slots * width;
        const float* label = labels.data() + (std::size_t(z) * height + entered) * width;
        for (int x = 0; x < width; ++x) lanes[x] = one_hot[index_of_label(label[x], classes)];
      }
      class_lanes* own_lanes = ring + std::size_t(y) % slots * width;
      const row_of_disc row = find_sources(buffers, y, height, width, ring, width * sizeof(class_lanes), slots);

      buffers.group_half.clear();
      buffers.grouped_rows.clear();
      buffers.group_end.clear();
      for (std::size_t r = 0; r < disc_rows.size(); ++r) {
        if (lanes_of(r) == own_lanes) continue;
        int& group = buffers.group_of_half[disc_rows[r].half_width];
        if (group < 0) {
          group = int(buffers.group_half.size());
          buffers.group_half.push_back(disc_rows[r].half_width);
        }
      }
      for (const int half_width : buffers.group_half) {
        for (std::size_t r = 0; r < disc_rows.size(); ++r)
          if (lanes_of(r) != own_lanes && disc_rows[r].half_width == half_width) buffers.grouped_rows.push_back(int(r));
        buffers.group_end.push_back(buffers.grouped_rows.size());
        buffers.group_of_half[half_width] = -1;
      }
      const std::size_t groups = buffers.group_half.size();

      class_lanes tally{};
      for (std::size_t r = 0; r < disc_rows.size(); ++r)
        for (int dx = -disc_rows[r].half_width; dx <= disc_rows[r].half_width; ++dx)
          tally += lanes_of(r)[column_of[dx]];

      for (int block_x = 0; block_x < width; block_x += int(stride)) {
        const std::size_t count = std::min<std::size_t>(stride, std::size_t(width - block_x));
        block_values(image, row_start + block_x, pixels, count, buffers.value.data());
        data_term_table(buffers.value.data(), image.spectrum(), centres.data(), classes, count, stride,
                        buffers.table.data());
        // Each group's sums over columns block_x - radius .. block_x + count + radius.
        const std::int64_t first = std::int64_t(block_x) - radius;
        const std::size_t length = count + 2 * std::size_t(radius) + 1;
        const bool inside = first >= 0 && first + std::int64_t(length) <= width;
        std::size_t member = 0;
        for (std::size_t g = 0; g < groups; ++g) {
          class_lanes* sum = buffers.column_sum.data() + g * column_length;
          for (bool first_member = true; member < buffers.group_end[g]; ++member, first_member = false) {
            const class_lanes* lanes = lanes_of(buffers.grouped_rows[member]);
            if (inside) {
              const class_lanes* from = lanes + first;
              if (first_member)
                std::copy(from, from + length, sum);
              else
                for (std::size_t j = 0; j < length; ++j) sum[j] += from[j];
            } else {
              for (std::size_t j = 0; j < length; ++j) {
                const class_lanes& column = lanes[column_of[first + std::int64_t(j)]];
                if (first_member)
                  sum[j] = column;
                else
                  sum[j] += column;
              }
            }
          }
          buffers.leaving_column[g] = sum + radius - buffers.group_half[g];
          buffers.entering_column[g] = sum + radius + 1 + buffers.group_half[g];
        }

        class_index before_of[block_pixels];
        for (std::size_t i = 0; i < count; ++i) before_of[i] = index_of_label(labels[row_start + block_x + i], classes);
        for (std::size_t i = 0; i < count; ++i) {
          const int x = block_x + int(i);
          const class_index before = before_of[i];
          const double* data_term = buffers.table.data() + i;
          const class_lanes differing_lanes = every_offset - tally;
          std::uint16_t differing[lane_count];
          std::memcpy(differing, &differing_lanes, sizeof differing);
          double cost[lane_count];
          cost[0] = data_term[0] + weight * double(differing[0]);
          for (int k = 1; k < classes; ++k) cost[k] = data_term[k * stride] + weight * double(differing[k]);
          pixel_choice choice;
          if (cost[0] < largest_cost) {
            // Class 0 wins first, and from then on the pixel differs from every
            // later class, its former class included.
            if (before > 0 && before < classes)
              cost[before] = data_term[before * stride] +
                             weight * double(std::int64_t(differing[before]) + row.own_count(x));
            choice = scan_from_first_winner(cost, classes);
          } else {
            choice = choose_class(
                classes, before, data_term, stride, weight, offset_count,
                [&](int k) { return offset_count - differing[k]; }, [&] { return row.own_count(x); });
          }
          if (choice.won) {
            labels[row_start + x] = static_cast<float>(choice.winner);
            if (choice.winner != before) {
              move_lanes(tally, one_hot[choice.winner], one_hot[before], row.own_count(x));
              own_lanes[x] = one_hot[choice.winner];
            }
            energy += choice.best;
          } else {
            energy += cost_ceiling;
          }
          if (x + 1 == width) break;
          for (std::size_t g = 0; g < groups; ++g) {
            tally += buffers.entering_column[g][i];
            tally -= buffers.leaving_column[g][i];
          }
          for (const int r : buffers.own_rows) {
            const int half_width = disc_rows[r].half_width;
            tally += own_lanes[column_of[x + 1 + half_width]];
            tally -= own_lanes[column_of[x - half_width]];
          }
        }
      }
    }
  }
  return energy;
}

// The tally in memory, one counter per class, for any K and any disc: every
// disc row slides on its own over a copy of the labels as class indices.
inline float edge_sweep_in_memory(const CImg<float>& image, const segmentation_parameters& parameters,
                                  const CImg<float>& centres, CImg<float>& labels, edge_buffers& buffers) {
  const int width = labels.width(), height = labels.height(), depth = labels.depth();
  const int classes = parameters.class_count;
  const std::size_t pixels = labels.size();
  const std::vector<disc_row>& disc_rows = buffers.disc.rows;
  const std::int64_t offset_count = buffers.disc.offset_count;
  const int radius = buffers.disc.radius;
  const double weight = parameters.edge_weight;
  const std::int32_t* column_of = buffers.column_of.data() + radius;
  const std::size_t stride = buffers.table_stride;
  std::int64_t* tally = buffers.tally.data();
  class_index* class_of = buffers.class_of.data();
  const auto source = [&](std::size_t r) { return static_cast<const class_index*>(buffers.row_source[r]); };
  for (std::size_t i = 0; i < pixels; ++i) class_of[i] = index_of_label(labels[i], classes);

  float energy = 0;
  for (int z = 0; z < depth; ++z)
    for (int y = 0; y < height; ++y) {
      const std::size_t row_start = (std::size_t(z) * height + y) * width;
      class_index* own = class_of + row_start;
      const row_of_disc row = find_sources(buffers, y, height, width, class_of + std::size_t(z) * height * width,
                                           width * sizeof(class_index), std::size_t(height));
      for (std::size_t r = 0; r < disc_rows.size(); ++r)
        for (int dx = -disc_rows[r].half_width; dx <= disc_rows[r].half_width; ++dx) ++tally[source(r)[column_of[dx]]];

      for (int block_x = 0; block_x < width; block_x += int(stride)) {
        const std::size_t count = std::min<std::size_t>(stride, std::size_t(width - block_x));
        block_values(image, row_start + block_x, pixels, count, buffers.value.data());
        data_term_table(buffers.value.data(), image.spectrum(), centres.data(), classes, count, stride,
                        buffers.table.data());
        for (std::size_t i = 0; i < count; ++i) {
          const int x = block_x + int(i);
          const class_index before = own[x];
          const pixel_choice choice = choose_class(
              classes, before, buffers.table.data() + i, stride, weight, offset_count,
              [&](int k) { return tally[k]; }, [&] { return row.own_count(x); });
          if (choice.won) {
            labels[row_start + x] = static_cast<float>(choice.winner);
            if (choice.winner != before) {
              const std::int64_t times = row.own_count(x);
              tally[before] -= times;
              tally[choice.winner] += times;
              own[x] = choice.winner;
            }
            energy += choice.best;
          } else {
            energy += cost_ceiling;
          }
          if (x + 1 == width) break;
          const bool inside = x >= radius && x + 1 + radius < width;
          for (std::size_t r = 0; r < disc_rows.size(); ++r) {
            const int half_width = disc_rows[r].half_width;
            const class_index leaving = source(r)[inside ? x - half_width : column_of[x - half_width]];
            const class_index entering = source(r)[inside ? x + 1 + half_width : column_of[x + 1 + half_width]];
            if (leaving != entering) {
              --tally[leaving];
              ++tally[entering];
            }
          }
        }
      }
      // Back to zero counters for the next row.
      for (std::size_t r = 0; r < disc_rows.size(); ++r)
        for (int dx = -disc_rows[r].half_width; dx <= disc_rows[r].half_width; ++dx)
          --tally[source(r)[column_of[width - 1 + dx]]];
    }
  return energy;
}

inline float edge_sweep(const CImg<float>& image, const segmentation_parameters& parameters,
                        const CImg<float>& centres, CImg<float>& labels, edge_buffers& buffers) {
  return buffers.in_lanes ? edge_sweep_in_lanes(image, parameters, centres, labels, buffers)
                          : edge_sweep_in_memory(image, parameters, centres, labels, buffers);
}

}  // namespace sorvik
