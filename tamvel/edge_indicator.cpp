#include "edge_indicator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <vector>

#include "core/kept_buffers.h"
#include "core/initial_centres.h"
#include "core/call_threads.h"
#include "core/vectors.h"

namespace tamvel {
namespace {

// Channel 0 at (x, y, z) with x and y clamped into the image: a neighbour
// beyond the border takes the border pixel's value, also on an axis of
// length 1.
double clamped(const CImg<float>& image, std::ptrdiff_t x, std::ptrdiff_t y, std::size_t z) {
  const std::size_t width = image.width(), height = image.height();
  const std::size_t cx = x < 0 ? 0 : std::min(std::size_t(x), width - 1);
  const std::size_t cy = y < 0 ? 0 : std::min(std::size_t(y), height - 1);
  return double(image.data()[cx + width * (cy + height * z)]);
}

// Weights of the 3 x 3 mask pair whose response to an edge does not depend on
// its orientation: an impulse on a diagonal neighbour and one on an axis
// neighbour yield the same magnitude, since a * sqrt(2) == b.
const double diagonal_weight = (2.0 - std::sqrt(2.0)) / 4.0;
const double axis_weight = (std::sqrt(2.0) - 1.0) / 2.0;

// 1 / (1 + |g|), or 0 where that is not finite. The value lies in [0, 1] or
// is NaN, never infinite, so it is finite exactly when its float is not NaN:
// a test the compiler can make on several pixels at once.
VECTOR_INLINE float indicator_of(double gx, double gy) {
  const float value = static_cast<float>(1.0 / (1.0 + std::sqrt(gx * gx + gy * gy)));
  return value == value ? value : 0.0f;
}

// The indicator of a pixel from its eight neighbours (u above, d below, l
// left, r right, and the corners between): the gradient of the 3 x 3 mask
// pair. Every way of forming the indicator of a slice goes through here.
VECTOR_INLINE float indicator_of_neighbours(double ul, double u, double ur, double l, double r, double dl, double d,
                                            double dr) {
  const double a = diagonal_weight, b = axis_weight;
  return indicator_of(a * (ur + dr - ul - dl) + b * (r - l), a * (dl + dr - ul - ur) + b * (d - u));
}

// A slice of a volume is weighted on its own, with central differences: the
// z derivative is left out.
VECTOR_INLINE float indicator_of_axes(double u, double l, double r, double d) {
  return indicator_of((r - l) / 2.0, (d - u) / 2.0);
}

// The indicator at (x, y, z), any pixel: neighbours beyond the border read
// the border value, and with a mask those outside it the pixel's own.
float indicator_at(const CImg<float>& primary, std::ptrdiff_t x, std::ptrdiff_t y, std::size_t z,
                   const core::pixel_mask& mask = {}) {
  const std::size_t width = primary.width(), height = primary.height();
  const double own = clamped(primary, x, y, z);
  const auto at = [&](std::ptrdiff_t nx, std::ptrdiff_t ny, std::size_t nz) {
    const std::size_t cx = nx < 0 ? 0 : std::min(std::size_t(nx), width - 1);
    const std::size_t cy = ny < 0 ? 0 : std::min(std::size_t(ny), height - 1);
    return mask.covers(cx + width * (cy + height * nz)) ? clamped(primary, nx, ny, nz) : own;
  };
  const double u = at(x, y - 1, z), l = at(x - 1, y, z), r = at(x + 1, y, z), d = at(x, y + 1, z);
  if (primary.depth() > 1) return indicator_of_axes(u, l, r, d);
  return indicator_of_neighbours(at(x - 1, y - 1, z), u, at(x + 1, y - 1, z), l, r, at(x - 1, y + 1, z), d,
                                 at(x + 1, y + 1, z));
}

// Columns 1 .. count of a row whose neighbour rows `up` and `down` lie
// inside the image: the same operations as indicator_at, without the
// clamping, so that the compiler can take several pixels at once.
struct interior_of_row {
  static VECTOR_INLINE void run(const float* up, const float* row, const float* down, std::size_t count, float* out) {
    for (std::size_t x = 1; x <= count; ++x)
      out[x] = indicator_of_neighbours(up[x - 1], up[x], up[x + 1], row[x - 1], row[x + 1], down[x - 1], down[x],
                                       down[x + 1]);
  }
};

// The same for a slice of a volume, with central differences.
struct interior_of_slice_row {
  static VECTOR_INLINE void run(const float* up, const float* row, const float* down, std::size_t count, float* out) {
    for (std::size_t x = 1; x <= count; ++x) out[x] = indicator_of_axes(up[x], row[x - 1], row[x + 1], down[x]);
  }
};

// `value` where its pixel is inside, else `own`, chosen bit by bit: a
// choice the compiler then makes on several pixels at once (a conditional
// expression here would stay a branch).
VECTOR_INLINE double inside_or(unsigned char inside, float value, float own) {
  std::int32_t value_bits = 0, own_bits = 0;
  std::memcpy(&value_bits, &value, sizeof value_bits);
  std::memcpy(&own_bits, &own, sizeof own_bits);
  const std::int32_t keep = -std::int32_t(inside != 0);  // all ones or 0
  const std::int32_t chosen = (value_bits & keep) | (own_bits & ~keep);
  float result = 0;
  std::memcpy(&result, &chosen, sizeof result);
  return double(result);
}

// The same two with a mask (`slice` for a slice of a volume): a neighbour
// outside reads as the pixel itself, as indicator_at reads it, and a pixel
// outside gets 0. `up_in`, `row_in` and `down_in` are the three rows' mask
// bytes.
template <bool slice>
struct masked_interior {
  static VECTOR_INLINE void run(const float* up, const float* row, const float* down, const unsigned char* up_in,
                                const unsigned char* row_in, const unsigned char* down_in, std::size_t count,
                                float* out) {
    for (std::size_t x = 1; x <= count; ++x) {
      const float own = row[x];
      const auto at = [&](const float* values, const unsigned char* inside, std::size_t i) {
        return inside_or(inside[i], values[i], own);
      };
      float value;
      if constexpr (slice)
        value =
            indicator_of_axes(at(up, up_in, x), at(row, row_in, x - 1), at(row, row_in, x + 1), at(down, down_in, x));
      else
        value = indicator_of_neighbours(at(up, up_in, x - 1), at(up, up_in, x), at(up, up_in, x + 1),
                                        at(row, row_in, x - 1), at(row, row_in, x + 1), at(down, down_in, x - 1),
                                        at(down, down_in, x), at(down, down_in, x + 1));
      out[x] = row_in[x] != 0 ? value : 0.0f;
    }
  }
};

// Maps values[0 .. count) onto (v - low) / span.
struct rescale_values {
  static VECTOR_INLINE void run(float* values, std::size_t count, double low, double span) {
    for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>((double(values[i]) - low) / span);
  }
};

// Pixels worth a thread of their own, in whole rows for the indicator.
constexpr std::size_t indicator_share = 16384;

// Columns begin .. end - 1 of image row `image_row` (row y of slice z is row
// z * H + y), without a mask: each reads the primary image only.
void indicator_columns(const CImg<float>& primary, float* out, std::size_t image_row, std::size_t begin,
                       std::size_t end) {
  const std::size_t width = primary.width(), height = primary.height();
  const std::size_t z = image_row / height, y = image_row % height;
  if (y > 0 && y + 1 < height && width > 2) {
    // Columns 1 .. width - 2 read no clamped neighbour.
    const std::size_t low = std::max<std::size_t>(begin, 1), high = std::min(end, width - 1);
    const float* row = primary.data() + width * image_row + low - 1;
    if (low < high) {
      if (primary.depth() > 1)
        core::on_widest_vectors<interior_of_slice_row>(row - width, row, row + width, high - low, out + low - 1);
      else
        core::on_widest_vectors<interior_of_row>(row - width, row, row + width, high - low, out + low - 1);
    }
    if (begin == 0) out[0] = indicator_at(primary, 0, std::ptrdiff_t(y), z);
    if (end == width) out[width - 1] = indicator_at(primary, std::ptrdiff_t(width - 1), std::ptrdiff_t(y), z);
  } else {
    for (std::size_t x = begin; x < end; ++x) out[x] = indicator_at(primary, std::ptrdiff_t(x), std::ptrdiff_t(y), z);
  }
}

// The mask's runs row by row: row r's runs, as columns, are
// columns[first[r]] .. columns[first[r + 1] - 1].
struct row_runs {
  std::vector<core::inside_span> columns;
  std::vector<std::size_t> first;

  const core::inside_span* begin(std::size_t row) const { return columns.data() + first[row]; }
  const core::inside_span* end(std::size_t row) const { return columns.data() + first[row + 1]; }
};

row_runs runs_by_row(const std::vector<core::inside_span>& runs, std::size_t width, std::size_t rows) {
  row_runs by_row;
  by_row.columns.reserve(runs.size());
  by_row.first.assign(rows + 1, 0);
  for (const core::inside_span& run : runs) {
    const std::size_t row = run.begin / width, start = row * width;
    by_row.columns.push_back({run.begin - start, run.end - start});
    ++by_row.first[row + 1];
  }
  for (std::size_t row = 0; row < rows; ++row) by_row.first[row + 1] += by_row.first[row];
  return by_row;
}

// The columns that both sorted lists of disjoint spans hold, into `both`.
void intersect(const core::inside_span* a, const core::inside_span* a_end, const core::inside_span* b,
               const core::inside_span* b_end, std::vector<core::inside_span>& both) {
  both.clear();
  while (a != a_end && b != b_end) {
    const std::size_t begin = std::max(a->begin, b->begin), end = std::min(a->end, b->end);
    if (begin < end) both.push_back({begin, end});
    (a->end < b->end ? a : b)++;
  }
}

// One row with a mask and what the rows of a thread share: the row's
// runs, and its interior, the columns whose 3 x 3 neighbours (clamped into
// the image) are all inside.
struct masked_row {
  const CImg<float>& primary;
  const core::pixel_mask& mask;
  std::size_t image_row, y, z;
  const core::inside_span *runs, *runs_end;
  std::vector<core::inside_span> two_rows, interior;

  std::size_t offset() const { return std::size_t(primary.width()) * image_row; }

  // With the mask at pixel x of the row, as indicator_at forms it, or 0
  // outside; for x in begin .. end - 1.
  void one_by_one(float* out, std::size_t begin, std::size_t end) const {
    for (std::size_t x = begin; x < end; ++x)
      out[x] = mask.covers(offset() + x) ? indicator_at(primary, std::ptrdiff_t(x), std::ptrdiff_t(y), z, mask) : 0.0f;
  }

  // The span from the first pixel inside to the last by the masked kernel,
  // 0 elsewhere: the way for a row whose mask is ragged.
  void by_kernel(float* out) const {
    const std::size_t width = primary.width(), height = primary.height();
    const std::size_t begin = runs->begin, end = (runs_end - 1)->end;
    std::fill(out, out + begin, 0.0f);
    std::fill(out + end, out + width, 0.0f);
    if (!(y > 0 && y + 1 < height && width > 2)) return one_by_one(out, begin, end);
    // Columns 1 .. width - 2 read no clamped neighbour.
    const std::size_t low = std::max<std::size_t>(begin, 1), high = std::min(end, width - 1);
    if (low < high) {
      const std::size_t at = offset() + low - 1;
      const float* row = primary.data() + at;
      const unsigned char* row_in = mask.inside + at;
      if (primary.depth() > 1)
        core::on_widest_vectors<masked_interior<true>>(row - width, row, row + width, row_in - width, row_in,
                                                       row_in + width, high - low, out + low - 1);
      else
        core::on_widest_vectors<masked_interior<false>>(row - width, row, row + width, row_in - width, row_in,
                                                        row_in + width, high - low, out + low - 1);
    }
    one_by_one(out, begin, std::min(end, low));
    one_by_one(out, std::max(begin, high), end);
  }

  // Each run without the mask, 0 between, and again with the mask the
  // pixels outside the interior: the way for a row of a few long runs.
  void by_runs(float* out) const {
    std::size_t done = 0;
    for (const core::inside_span* run = runs; run != runs_end; ++run) {
      std::fill(out + done, out + run->begin, 0.0f);
      indicator_columns(primary, out, image_row, run->begin, run->end);
      done = run->end;
    }
    std::fill(out + done, out + primary.width(), 0.0f);
    const core::inside_span* inner = interior.data();
    for (const core::inside_span* run = runs; run != runs_end; ++run) {
      std::size_t at = run->begin;
      for (; inner != interior.data() + interior.size() && inner->end <= run->end; ++inner) {
        one_by_one(out, at, inner->begin);
        at = inner->end;
      }
      one_by_one(out, at, run->end);
    }
  }
};

// One row with a mask: 0 outside; inside, the value without a mask, formed
// again, with a neighbour outside read as the pixel itself, where a
// neighbour (clamped into the image) is outside: by runs where few pixels
// inside have a neighbour outside, else by the masked kernel.
void masked_indicator_row(masked_row& row, float* out, const row_runs& runs) {
  const std::size_t width = row.primary.width(), height = row.primary.height();
  row.runs = runs.begin(row.image_row);
  row.runs_end = runs.end(row.image_row);
  if (row.runs == row.runs_end) return std::fill(out, out + width, 0.0f);
  const std::size_t up = row.y > 0 ? row.image_row - 1 : row.image_row;
  const std::size_t down = row.y + 1 < height ? row.image_row + 1 : row.image_row;
  intersect(row.runs, row.runs_end, runs.begin(up), runs.end(up), row.two_rows);
  intersect(row.two_rows.data(), row.two_rows.data() + row.two_rows.size(), runs.begin(down), runs.end(down),
            row.interior);
  // Each span all three rows hold, less its end columns that are not the
  // image's border.
  std::size_t inside = 0, interior = 0;
  for (const core::inside_span* run = row.runs; run != row.runs_end; ++run) inside += run->end - run->begin;
  for (core::inside_span& span : row.interior) {
    span.begin += span.begin > 0 && span.begin < span.end;
    span.end -= span.end < width && span.begin < span.end;
    interior += span.end - span.begin;
  }
  // A pixel formed again one by one costs about what 32 cost in the kernels.
  const std::size_t span = (row.runs_end - 1)->end - row.runs->begin;
  if ((inside - interior) * 32 <= span)
    row.by_runs(out);
  else
    row.by_kernel(out);
}

// Rows first_row .. end_row - 1 of the indicator, counted over all slices;
// with a mask, `runs` holds each row's runs.
void indicator_rows(const CImg<float>& primary, CImg<float>& indicator, std::size_t first_row, std::size_t end_row,
                    const core::pixel_mask& mask, const row_runs& runs) {
  const std::size_t width = primary.width(), height = primary.height();
  masked_row row{primary, mask, 0, 0, 0, nullptr, nullptr, {}, {}};
  for (std::size_t image_row = first_row; image_row < end_row; ++image_row) {
    float* out = indicator.data() + width * image_row;
    if (!mask) {
      indicator_columns(primary, out, image_row, 0, width);
      continue;
    }
    row.image_row = image_row;
    row.y = image_row % height;
    row.z = image_row / height;
    masked_indicator_row(row, out, runs);
  }
}

// Maps the values inside the mask, or all without one, onto
// (v - lowest) / span; with a mask, run by run, so that those outside stay 0.
void rescale(CImg<float>& indicator, double lowest, double span, core::call_threads& threads,
             const core::pixel_mask& mask) {
  const std::size_t count = indicator.size();
  if (!mask) {
    const int parts = core::useful_parts(threads, count, indicator_share);
    threads.run(parts, [&](int part, int part_count, core::run_progress&) {
      const core::share mine = core::share_of(count, part, part_count);
      core::on_widest_vectors<rescale_values>(indicator.data() + mine.begin, mine.end - mine.begin, lowest, span);
    });
    return;
  }
  const std::vector<core::inside_span> listed =
      mask.runs ? std::vector<core::inside_span>() : core::list_runs(mask, count, indicator.width());
  const std::vector<core::inside_span>& runs = mask.runs ? *mask.runs : listed;
  const std::size_t total = core::run_pixels(runs);
  const int parts = core::useful_parts(threads, total, indicator_share);
  threads.run(parts, [&](int part, int part_count, core::run_progress&) {
    core::for_runs_of_part(runs, total, part, part_count, [&](std::size_t begin, std::size_t end) {
      core::on_widest_vectors<rescale_values>(indicator.data() + begin, end - begin, lowest, span);
    });
  });
}

// normalize_edge_indicator on an indicator that is 0 outside the mask.
void normalize_inside(CImg<float>& indicator, core::call_threads& threads, const core::pixel_mask& mask) {
  if (indicator.is_empty()) return;
  float lowest = 0, highest = 0;
  // The smallest and largest finite value inside the mask (or of all values
  // without one).
  if (!core::finite_range(indicator.data(), indicator.size(), lowest, highest, threads, mask) || lowest == highest) {
    indicator.fill(0.0f);
    return;
  }
  if (lowest == 0.0f && highest == 1.0f) return;
  rescale(indicator, lowest, double(highest) - double(lowest), threads, mask);
}

}  // namespace

CImg<float> compute_edge_indicator(const CImg<float>& primary, core::call_threads& threads,
                                   const core::pixel_mask& mask) {
  CImg<float> indicator;
  if (primary.is_empty()) return indicator;
  const std::size_t width = primary.width(), rows = std::size_t(primary.height()) * primary.depth();
  indicator = core::reused_image(primary.width(), primary.height(), primary.depth(), 1);
  // The mask's runs, listed here where the caller has not, once for the
  // rows and the rescaling.
  const std::vector<core::inside_span> listed =
      mask && !mask.runs ? core::list_runs(mask, width * rows, width) : std::vector<core::inside_span>();
  const core::pixel_mask inside{mask.inside, mask.runs || !mask ? mask.runs : &listed};
  const row_runs runs = mask ? runs_by_row(*inside.runs, width, rows) : row_runs();
  const int parts = core::useful_parts(threads, rows, std::max<std::size_t>(1, indicator_share / width));
  threads.run(parts, [&](int part, int part_count, core::run_progress&) {
    const core::share mine = core::share_of(rows, part, part_count);
    indicator_rows(primary, indicator, mine.begin, mine.end, inside, runs);
  });
  normalize_inside(indicator, threads, inside);
  return indicator;
}

void normalize_edge_indicator(CImg<float>& indicator, core::call_threads& threads, const core::pixel_mask& mask) {
  if (mask)
    for (std::size_t i = 0; i < indicator.size(); ++i)
      if (!mask.inside[i]) indicator[i] = 0.0f;
  normalize_inside(indicator, threads, mask);
}

}  // namespace tamvel
