#include "recursive_gaussian.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/call_threads.h"
#include "core/vectors.h"

#if VECTOR_TYPES && defined(__SSE2__)
#include <emmintrin.h>
#elif VECTOR_TYPES && defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace tamvel {
namespace {

// Lines filtered side by side, one vector lane each. Along y and z
// neighbouring lines lie next to each other in memory; rows are interleaved
// first. A group of fewer lines fills its other lanes with its first line
// again and drops their outputs.
constexpr std::size_t lines_together = 8;

// One value of each line of a group, as doubles, in vectors of two where
// the compiler has vector types (every processor we build for holds two
// doubles in a register). Every operation on them is the same IEEE operation
// on each lane, in the same order, so a lane gives the bits one line
// filtered alone gives.
#if VECTOR_TYPES
typedef double double_pair __attribute__((vector_size(16)));
typedef float float_pair __attribute__((vector_size(8)));
// The same in memory of any alignment. Stored through these, not memcpy, a
// value is known not to change the loop's other variables.
typedef double stored_double_pair __attribute__((vector_size(16), aligned(alignof(double))));
typedef float stored_float_pair __attribute__((vector_size(8), aligned(alignof(float))));
struct line_lanes {
  double_pair part[lines_together / 2];
};
VECTOR_INLINE double lane(const line_lanes& x, std::size_t j) { return x.part[j / 2][j % 2]; }
VECTOR_INLINE void set_lane(line_lanes& x, std::size_t j, double value) { x.part[j / 2][j % 2] = value; }
VECTOR_INLINE void store(const line_lanes& x, double* to) {
  for (std::size_t i = 0; i < lines_together / 2; ++i) *reinterpret_cast<stored_double_pair*>(to + 2 * i) = x.part[i];
}
#else
struct line_lanes {
  double part[lines_together];
};
inline double lane(const line_lanes& x, std::size_t j) { return x.part[j]; }
inline void set_lane(line_lanes& x, std::size_t j, double value) { x.part[j] = value; }
inline void store(const line_lanes& x, double* to) { std::copy_n(x.part, lines_together, to); }
#endif
constexpr std::size_t lane_parts = sizeof(line_lanes::part) / sizeof(line_lanes::part[0]);

VECTOR_INLINE line_lanes operator*(double a, const line_lanes& x) {
  line_lanes r;
  for (std::size_t i = 0; i < lane_parts; ++i) r.part[i] = a * x.part[i];
  return r;
}
VECTOR_INLINE line_lanes operator+(const line_lanes& x, const line_lanes& y) {
  line_lanes r;
  for (std::size_t i = 0; i < lane_parts; ++i) r.part[i] = x.part[i] + y.part[i];
  return r;
}
VECTOR_INLINE line_lanes operator-(const line_lanes& x, const line_lanes& y) {
  line_lanes r;
  for (std::size_t i = 0; i < lane_parts; ++i) r.part[i] = x.part[i] - y.part[i];
  return r;
}

// lines_together floats as doubles.
VECTOR_INLINE line_lanes widened(const float* value) {
  line_lanes r;
#if VECTOR_TYPES
  for (std::size_t i = 0; i < lane_parts; ++i) {
    // GCC widens a pair of floats one at a time unless told the instruction.
#if defined(__SSE2__)
    r.part[i] = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(value + 2 * i))));
#elif defined(__aarch64__)
    r.part[i] = double_pair(vcvt_f64_f32(vld1_f32(value + 2 * i)));
#else
    float_pair pair;
    std::memcpy(&pair, value + 2 * i, sizeof pair);
    r.part[i] = __builtin_convertvector(pair, double_pair);
#endif
  }
#else
  for (std::size_t i = 0; i < lane_parts; ++i) r.part[i] = value[i];
#endif
  return r;
}

// Each lane rounded to a float.
VECTOR_INLINE void narrow(const line_lanes& x, float* value) {
#if VECTOR_TYPES
  for (std::size_t i = 0; i < lane_parts; ++i) {
    *reinterpret_cast<stored_float_pair*>(value + 2 * i) = __builtin_convertvector(x.part[i], float_pair);
  }
#else
  for (std::size_t i = 0; i < lane_parts; ++i) value[i] = static_cast<float>(x.part[i]);
#endif
}

// `value` of lane j of the group's first `count` lanes, with `at` the first
// lane's place.
VECTOR_INLINE line_lanes lines_at(const float* at, std::size_t count) {
  if (count == lines_together) return widened(at);
  float value[lines_together];
  for (std::size_t j = 0; j < lines_together; ++j) value[j] = at[j < count ? j : 0];
  return widened(value);
}

// causal[m] + anticausal rounded to floats, lane by lane.
VECTOR_INLINE void rounded_sum(const double* causal, const line_lanes& anticausal, float* value) {
  line_lanes sum;
  std::memcpy(&sum, causal, sizeof sum);
  narrow(sum + anticausal, value);
}

// Lanes a step of a pass sets anew, one bit each: `restart` where a run
// begins, its state then that of a line's first value; `clear` where the
// lane has just left its run, its state then 0 until the next begins, so
// that the values in between, whose outputs are dropped, cannot wear it
// down to subnormal numbers.
struct lane_changes {
  unsigned restart = 0, clear = 0;
};

// Lines that run whole, changing no lane.
constexpr auto whole_lines = [](std::size_t) { return lane_changes{}; };

// The lanes of `changes`: state (x, y) becomes (x, coefficient x) where
// they restart, 0 where they clear.
VECTOR_INLINE void change_lanes(const lane_changes& changes, const line_lanes& x, double coefficient, line_lanes& x1,
                                line_lanes& x2, line_lanes& y1, line_lanes& y2) {
  for (std::size_t j = 0; j < lines_together; ++j) {
    if (!((changes.restart | changes.clear) >> j & 1u)) continue;
    const double value = changes.restart >> j & 1u ? lane(x, j) : 0.0,
                 y = changes.restart >> j & 1u ? coefficient * value : 0.0;
    set_lane(x1, j, value);
    set_lane(x2, j, value);
    set_lane(y1, j, y);
    set_lane(y2, j, y);
  }
}

// The causal pass over lines of `length` values: read(m) gives value m of
// each, and the outputs go to y[m * lines_together + j]. starts(m), called
// once for each m in order, after read(m), gives the lanes that change at
// value m.
template <class Read, class Starts>
void causal_pass(std::size_t length, const gaussian_coefficients& g, Read&& read, Starts&& starts, double* y) {
  const gaussian_coefficients c = g;
  line_lanes xp = read(0), yp = c.coefp * xp, yb = yp;
  for (std::size_t m = 0; m < length; ++m) {
    const line_lanes xc = read(m);
    const lane_changes changes = starts(m);
    if (changes.restart | changes.clear) change_lanes(changes, xc, c.coefp, xp, xp, yp, yb);
    const line_lanes yc = c.a0 * xc + c.a1 * xp - c.b1 * yp - c.b2 * yb;
    store(yc, y + m * lines_together);
    xp = xc;
    yb = yp;
    yp = yc;
  }
}

// The anti-causal pass over the same lines, from value length - 1 back:
// read(n) gives value n of each, and take(n, output) is called for it.
// ends(n), called once for each n in that order, gives the lanes that
// change at value n: a lane restarts where its run ends, as at a line's last
// value, so that a line shorter than the others may be read past its end.
template <class Read, class Ends, class Take>
void anticausal_pass(std::size_t length, const gaussian_coefficients& g, Read&& read, Ends&& ends, Take&& take) {
  const gaussian_coefficients c = g;
  line_lanes xn = read(length - 1), xa = xn, yn = c.coefn * xn, ya = yn;
  for (std::size_t n = length; n-- > 0;) {
    const line_lanes xc = read(n);
    const lane_changes changes = ends(n);
    if (changes.restart | changes.clear) change_lanes(changes, xc, c.coefn, xn, xa, yn, ya);
    const line_lanes yc = c.a2 * xn + c.a3 * xa - c.b1 * yn - c.b2 * ya;
    xa = xn;
    xn = xc;
    ya = yn;
    yn = yc;
    take(n, yc);
  }
}

// Filters `count` (at most lines_together) lines of `length` values each,
// lying side by side: value m of line j at source[m * step + j], written at
// the same place in target. `buffer` holds length * lines_together doubles.
// Each line goes through exactly the library's operations, in its order.
// ends(n) is as for anticausal_pass.
template <class Ends>
void filter_lines(const float* source, float* target, std::size_t count, std::size_t length, std::ptrdiff_t step,
                  const gaussian_coefficients& g, double* buffer, Ends&& ends) {
  const auto read = [&](std::size_t n) { return lines_at(source + std::ptrdiff_t(n) * step, count); };
  causal_pass(length, g, read, whole_lines, buffer);
  anticausal_pass(length, g, read, ends, [&](std::size_t n, const line_lanes& yc) {
    float* at = target + std::ptrdiff_t(n) * step;
    if (count == lines_together) return rounded_sum(buffer + n * lines_together, yc, at);
    float value[lines_together];
    rounded_sum(buffer + n * lines_together, yc, value);
    for (std::size_t j = 0; j < count; ++j) at[j] = value[j];
  });
}

// Filters `lines` lines lying side by side, `step` apart along the axis.
void filter_many(const float* source, float* target, std::size_t lines, std::size_t length, std::ptrdiff_t step,
                 const gaussian_coefficients& g, std::vector<double>& buffer) {
  for (std::size_t line = 0; line < lines; line += lines_together)
    filter_lines(source + line, target + line, std::min(lines_together, lines - line), length, step, g, buffer.data(),
                 whole_lines);
}

// Filters `rows` rows of `width` values along x. Rows lie one after the
// other, so each group of rows is first interleaved, value m of row j at
// m * lines_together + j, filtered there like columns, and put back.
void filter_rows(const float* source, float* target, std::size_t rows, std::size_t width,
                 const gaussian_coefficients& g, std::vector<double>& buffer) {
  std::vector<float> interleaved(width * lines_together);
  for (std::size_t row = 0; row < rows; row += lines_together) {
    const std::size_t count = std::min(lines_together, rows - row);
    const float* in = source + row * width;
    float* out = target + row * width;
    for (std::size_t j = 0; j < count; ++j)
      for (std::size_t m = 0; m < width; ++m) interleaved[m * lines_together + j] = in[j * width + m];
    filter_lines(interleaved.data(), interleaved.data(), count, width, lines_together, g, buffer.data(), whole_lines);
    for (std::size_t j = 0; j < count; ++j)
      for (std::size_t m = 0; m < width; ++m) out[j * width + m] = interleaved[m * lines_together + j];
  }
}

// Values worth a thread of their own.
constexpr std::size_t smoothing_share = 16384;

// The groups of lines_together neighbouring lines along y or z: along y a
// slice's columns, along z the volume's, lie side by side, the last group
// of a block maybe fewer.
struct line_groups {
  std::size_t lines, per_block, blocks, block_size;
  std::ptrdiff_t step;  // between a line's values

  line_groups(std::size_t width, std::size_t height, std::size_t depth, char axis)
      : lines(axis == 'y' ? width : width * height),
        per_block((lines + lines_together - 1) / lines_together),
        blocks(axis == 'y' ? depth : 1),
        block_size(axis == 'y' ? width * height : width * height * depth),
        step(std::ptrdiff_t(axis == 'y' ? width : width * height)) {}

  std::size_t count() const { return blocks * per_block; }
  // Where the group's first line starts, and how many lines it has.
  std::size_t first_of(std::size_t group) const {
    return group / per_block * block_size + group % per_block * lines_together;
  }
  std::size_t lines_of(std::size_t group) const {
    return std::min(lines_together, lines - group % per_block * lines_together);
  }
  // The group of a pixel, and the value of its line it is.
  std::size_t group_of(std::size_t pixel) const {
    return pixel / block_size * per_block + pixel % block_size % lines / lines_together;
  }
  std::size_t value_of(std::size_t pixel) const { return pixel % block_size / lines; }
};

// Shares `groups` groups of up to lines_together lines of `length` values
// among up to `threads` parts, each with a buffer of its own:
// filter(first_group, end_group, buffer).
template <class Filter>
void share_line_groups(core::call_threads& threads, std::size_t groups, std::size_t length, Filter&& filter) {
  const int parts =
      core::useful_parts(threads, groups, std::max<std::size_t>(1, smoothing_share / (length * lines_together)));
  threads.run(parts, [&](int part, int part_count, core::run_progress&) {
    const core::share mine = core::share_of(groups, part, part_count);
    if (mine.begin == mine.end) return;
    std::vector<double> buffer(length * lines_together);
    filter(mine.begin, mine.end, buffer);
  });
}

// Filters up to lines_together runs along x, each as a line of its own:
// their values are gathered side by side from their first values on, a
// shorter run's last value repeated past its end, filtered there, the
// anti-causal pass starting on each run's own last value, and put back.
void filter_run_group(const float* source, float* target, const line_run* run, std::size_t count,
                      const gaussian_coefficients& g, std::vector<float>& gathered, std::vector<double>& causal) {
  std::size_t length = 0;
  for (std::size_t j = 0; j < count; ++j) length = std::max(length, run[j].length);
  gathered.resize(length * lines_together);
  causal.resize(length * lines_together);
  // A lane without a run filters the first run again.
  std::size_t last[lines_together], lane[lines_together];
  float* into = gathered.data();
  for (std::size_t j = 0; j < lines_together; ++j) {
    const line_run& mine = run[j < count ? j : 0];
    const float* value = source + mine.first;
    last[j] = mine.length - 1;
    lane[j] = j;
    for (std::size_t m = 0; m <= last[j]; ++m) into[m * lines_together + j] = value[m];
    for (std::size_t m = last[j] + 1; m < length; ++m) into[m * lines_together + j] = value[last[j]];
  }
  // The lanes by where their runs end, the latest first.
  std::sort(lane, lane + lines_together, [&](std::size_t a, std::size_t b) { return last[a] > last[b]; });
  std::size_t next = 0;
  const auto ends = [&](std::size_t n) {
    unsigned ending = 0;
    for (; next < lines_together && last[lane[next]] == n; ++next) ending |= 1u << lane[next];
    return lane_changes{ending, 0};
  };
  filter_lines(into, into, lines_together, length, lines_together, g, causal.data(), ends);
  // A run of one value is left as it is.
  for (std::size_t j = 0; j < count; ++j) {
    float* value = target + run[j].first;
    if (run[j].length == 1)
      *value = source[run[j].first];
    else
      for (std::size_t m = 0; m < run[j].length; ++m) value[m] = into[m * lines_together + j];
  }
}

// The lanes of a group inside the mask at one value, a bit each (bit j for
// line j); the lanes that change between two such values: restarting where
// now inside, cleared where now outside.
lane_changes changed_lanes(unsigned now, unsigned before) { return {now & ~before, before & ~now}; }

// Filters, in place, the runs inside the mask of `count` (at most
// lines_together) lines lying side by side: value m of line j at
// values[m * step + j], inside where bit j of inside[m] is set. Values
// first .. end - 1 are read, from the first any of the lines has inside to
// the last: each lane starts anew at each of its runs' first and last
// values, as smooth_runs smooths runs, and only values inside are written.
// The values outside that are read are first set to 0, whatever they held
// (a reused buffer may hold subnormal numbers, which would slow the passes).
// `lanes` is room for the lanes at each value.
void filter_inside_lines(float* values, const unsigned char* inside, std::size_t count, core::inside_span range,
                         std::ptrdiff_t step, const gaussian_coefficients& g, std::vector<double>& causal,
                         std::vector<unsigned char>& lanes) {
  if (range.begin >= range.end) return;
  const std::size_t length = range.end - range.begin;
  float* from = values + std::ptrdiff_t(range.begin) * step;
  const unsigned all_inside = (1u << lines_together) - 1, all_read = (1u << count) - 1;
  // in[m] for value m of those read; outside before the first and after the
  // last.
  lanes.resize(length + 2);
  lanes[0] = lanes[length + 1] = 0;
  std::copy(inside + range.begin, inside + range.end, lanes.begin() + 1);
  const unsigned char* in = lanes.data() + 1;
  causal.resize(length * lines_together);
  const auto read = [&](std::size_t m) { return lines_at(from + std::ptrdiff_t(m) * step, count); };
  const auto read_first = [&](std::size_t m) {
    float* at = from + std::ptrdiff_t(m) * step;
    if (in[m] != all_read)
      for (std::size_t j = 0; j < count; ++j)
        if (!(in[m] >> j & 1u)) at[j] = 0.0f;
    return lines_at(at, count);
  };
  const auto starts = [&](std::size_t m) { return changed_lanes(in[m], in[std::ptrdiff_t(m) - 1]); };
  const auto ends = [&](std::size_t n) { return changed_lanes(in[n], in[n + 1]); };
  causal_pass(length, g, read_first, starts, causal.data());
  anticausal_pass(length, g, read, ends, [&](std::size_t n, const line_lanes& yc) {
    float* at = from + std::ptrdiff_t(n) * step;
    if (in[n] == all_inside) return rounded_sum(causal.data() + n * lines_together, yc, at);
    float value[lines_together];
    rounded_sum(causal.data() + n * lines_together, yc, value);
    for (std::size_t j = 0; j < count; ++j)
      if (in[n] >> j & 1u) at[j] = value[j];
  });
}

}  // namespace

gaussian_coefficients gaussian_coefficients_of(float sigma) {
  // The library forms sigma and every coefficient in double from these
  // literals, some of them floats.
  const double nsigma = sigma, nnsigma = nsigma < 0.1f ? 0.1f : nsigma;
  const double alpha = 1.695f / nnsigma, ema = std::exp(-alpha), ema2 = std::exp(-2 * alpha);
  gaussian_coefficients g;
  g.b1 = -2 * ema;
  g.b2 = ema2;
  const double k = (1 - ema) * (1 - ema) / (1 + 2 * alpha * ema - ema2);
  g.a0 = k;
  g.a1 = k * (alpha - 1) * ema;
  g.a2 = k * (alpha + 1) * ema;
  g.a3 = -k * ema2;
  g.coefp = (g.a0 + g.a1) / (1 + g.b1 + g.b2);
  g.coefn = (g.a2 + g.a3) / (1 + g.b1 + g.b2);
  return g;
}

void smooth_along(const CImg<float>& source, CImg<float>& target, float sigma, char axis, core::call_threads& threads) {
  const std::size_t width = source.width(), height = source.height(), depth = source.depth();
  const std::size_t length = axis == 'x' ? width : axis == 'y' ? height : depth;
  if (length <= 1 || source.is_empty() || double(sigma) < 0.1f) {
    if (&target != &source) std::copy_n(source.data(), source.size(), target.data());
    return;
  }
  const gaussian_coefficients g = gaussian_coefficients_of(sigma);
  const std::size_t volume = width * height * depth;
  for (std::size_t c = 0; c < std::size_t(source.spectrum()); ++c) {
    const float* in = source.data() + c * volume;
    float* out = target.data() + c * volume;
    if (axis == 'x') {
      const std::size_t rows = height * depth;
      share_line_groups(threads, (rows + lines_together - 1) / lines_together, width,
                        [&](std::size_t first, std::size_t end, std::vector<double>& buffer) {
                          const std::size_t row = first * lines_together;
                          const std::size_t count = std::min(rows, end * lines_together) - row;
                          filter_rows(in + row * width, out + row * width, count, width, g, buffer);
                        });
      continue;
    }
    const line_groups groups(width, height, depth, axis);
    share_line_groups(threads, groups.count(), length,
                      [&](std::size_t first, std::size_t end, std::vector<double>& buffer) {
                        for (std::size_t group = first; group < end; ++group) {
                          const std::size_t at = groups.first_of(group);
                          filter_many(in + at, out + at, groups.lines_of(group), length, groups.step, g, buffer);
                        }
                      });
  }
}

void smooth_runs(const float* source, float* target, const std::vector<line_run>& runs, float sigma,
                 core::call_threads& threads) {
  if (double(sigma) < 0.1f) {
    if (source != target)
      for (const line_run& run : runs) std::copy_n(source + run.first, run.length, target + run.first);
    return;
  }
  const gaussian_coefficients g = gaussian_coefficients_of(sigma);
  const std::size_t groups = (runs.size() + lines_together - 1) / lines_together;
  std::size_t values = 0;
  for (const line_run& run : runs) values += run.length;
  const std::size_t per_group = std::max<std::size_t>(1, values / std::max<std::size_t>(1, groups));
  const int parts = core::useful_parts(threads, groups, std::max<std::size_t>(1, smoothing_share / per_group));
  threads.run(parts, [&](int part, int part_count, core::run_progress&) {
    const core::share mine = core::share_of(groups, part, part_count);
    std::vector<float> gathered;
    std::vector<double> causal;
    for (std::size_t group = mine.begin; group < mine.end; ++group) {
      const std::size_t first = group * lines_together;
      filter_run_group(source, target, runs.data() + first, std::min(lines_together, runs.size() - first), g, gathered,
                       causal);
    }
  });
}

void smooth_inside_along(CImg<float>& image, const std::vector<line_run>& rows, float sigma, char axis,
                         core::call_threads& threads) {
  const std::size_t width = image.width(), height = image.height(), depth = image.depth();
  const std::size_t length = axis == 'y' ? height : depth;
  if (length <= 1 || image.is_empty() || double(sigma) < 0.1f) return;
  const gaussian_coefficients g = gaussian_coefficients_of(sigma);
  const line_groups groups(width, height, depth, axis);
  // Per group, from the rows' runs (a run lies at one value of the groups it
  // crosses), its lines inside at each value, a bit a line: bits from `low`
  // on where a run begins within the group, all where it covers the group,
  // up to `high` where it ends within it.
  std::vector<unsigned char> inside(groups.count() * length, 0);
  const auto bits = [](std::size_t low, std::size_t high) { return (1u << high) - (1u << low); };
  for (const line_run& row : rows) {
    const std::size_t value = groups.value_of(row.first), row_end = row.first + row.length;
    const std::size_t group = groups.group_of(row.first);
    std::size_t line = groups.first_of(group) + value * std::size_t(groups.step);  // the group's first line
    unsigned char* at = inside.data() + group * length + value;
    if (row.first > line) {
      *at |= bits(row.first - line, std::min(row_end - line, lines_together));
      line += lines_together;
      at += length;
    }
    for (; line + lines_together <= row_end; line += lines_together, at += length) *at = bits(0, lines_together);
    if (line < row_end) *at |= bits(0, row_end - line);
  }
  share_line_groups(threads, groups.count(), length,
                    [&](std::size_t first, std::size_t end, std::vector<double>& causal) {
                      std::vector<unsigned char> lanes;
                      for (std::size_t group = first; group < end; ++group) {
                        // The values from the first any of its lines has inside to the last.
                        const core::inside_span range = core::span_inside({inside.data()}, group * length, length);
                        filter_inside_lines(image.data() + groups.first_of(group), inside.data() + group * length,
                                            groups.lines_of(group), range, groups.step, g, causal, lanes);
                      }
                    });
}

}  // namespace tamvel
