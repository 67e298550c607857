#include "recursive_gaussian.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/call_threads.h"

namespace tamvel {
namespace {

// Lines filtered side by side, one vector lane each. Along y and z
// neighbouring lines lie next to each other in memory; rows are interleaved
// first.
constexpr std::size_t lines_together = 8;

// The causal pass over `count` lines of `length` values: value m of line j
// is read(m, j), and its output goes to y[m * count + j].
template <std::size_t count, class Read>
void causal_pass(std::size_t length, const gaussian_coefficients& g, Read&& read, double* y) {
  float xp[count];
  double yp[count], yb[count];
  for (std::size_t j = 0; j < count; ++j) {
    xp[j] = read(0, j);
    yb[j] = yp[j] = g.coefp * xp[j];
  }
  for (std::size_t m = 0; m < length; ++m) {
    for (std::size_t j = 0; j < count; ++j) {
      const float xc = read(m, j);
      const double yc = g.a0 * xc + g.a1 * xp[j] - g.b1 * yp[j] - g.b2 * yb[j];
      y[m * count + j] = yc;
      xp[j] = xc;
      yb[j] = yp[j];
      yp[j] = yc;
    }
  }
}

// The anti-causal pass over the same lines, from value length - 1 back:
// value n of line j is read(n, j), and take(n, j, output) is called for it.
// ends(n), called once for each n in that order, has bit j set where line j
// ends at value n: the pass starts again there as at a line's end, so that a
// line shorter than the others may be read past its end.
template <std::size_t count, class Read, class Ends, class Take>
void anticausal_pass(std::size_t length, const gaussian_coefficients& g, Read&& read, Ends&& ends, Take&& take) {
  float xn[count], xa[count];
  double yn[count], ya[count];
  for (std::size_t j = 0; j < count; ++j) {
    xn[j] = xa[j] = read(length - 1, j);
    yn[j] = ya[j] = g.coefn * xn[j];
  }
  for (std::size_t n = length; n-- > 0;) {
    if (const unsigned ending = ends(n))
      for (std::size_t j = 0; j < count; ++j)
        if (ending >> j & 1u) {
          xn[j] = xa[j] = read(n, j);
          yn[j] = ya[j] = g.coefn * xn[j];
        }
    for (std::size_t j = 0; j < count; ++j) {
      const float xc = read(n, j);
      const double yc = g.a2 * xn[j] + g.a3 * xa[j] - g.b1 * yn[j] - g.b2 * ya[j];
      xa[j] = xn[j];
      xn[j] = xc;
      ya[j] = yn[j];
      yn[j] = yc;
      take(n, j, yc);
    }
  }
}

// Filters `count` (at most lines_together) lines of `length` values each,
// lying side by side: value m of line j at source[m * step + j], written at
// the same place in target. `buffer` holds length * lines_together doubles.
// Each line goes through exactly the library's operations, in its order.
template <std::size_t count>
void filter_lines(const float* source, float* target, std::size_t length, std::ptrdiff_t step,
                  const gaussian_coefficients& g, double* buffer) {
  const auto read = [&](std::size_t n, std::size_t j) { return source[std::ptrdiff_t(n) * step + std::ptrdiff_t(j)]; };
  causal_pass<count>(length, g, read, buffer);
  anticausal_pass<count>(
      length, g, read, [](std::size_t) { return 0u; },
      [&](std::size_t n, std::size_t j, double yc) {
        target[std::ptrdiff_t(n) * step + std::ptrdiff_t(j)] = static_cast<float>(buffer[n * count + j] + yc);
      });
}

// Filters `lines` lines lying side by side, `step` apart along the axis.
void filter_many(const float* source, float* target, std::size_t lines, std::size_t length, std::ptrdiff_t step,
                 const gaussian_coefficients& g, std::vector<double>& buffer) {
  std::size_t line = 0;
  for (; line + lines_together <= lines; line += lines_together)
    filter_lines<lines_together>(source + line, target + line, length, step, g, buffer.data());
  for (; line < lines; ++line) filter_lines<1>(source + line, target + line, length, step, g, buffer.data());
}

// Filters `rows` rows of `width` values along x. Rows lie one after the
// other, so each group of rows is first interleaved, value m of row j at
// m * lines_together + j, filtered there like columns, and put back.
void filter_rows(const float* source, float* target, std::size_t rows, std::size_t width,
                 const gaussian_coefficients& g, std::vector<double>& buffer) {
  std::vector<float> interleaved(width * lines_together);
  std::size_t row = 0;
  for (; row + lines_together <= rows; row += lines_together) {
    const float* in = source + row * width;
    float* out = target + row * width;
    for (std::size_t j = 0; j < lines_together; ++j)
      for (std::size_t m = 0; m < width; ++m) interleaved[m * lines_together + j] = in[j * width + m];
    filter_lines<lines_together>(interleaved.data(), interleaved.data(), width, lines_together, g, buffer.data());
    for (std::size_t j = 0; j < lines_together; ++j)
      for (std::size_t m = 0; m < width; ++m) out[j * width + m] = interleaved[m * lines_together + j];
  }
  for (; row < rows; ++row) filter_lines<1>(source + row * width, target + row * width, width, 1, g, buffer.data());
}

// Values worth a thread of their own.
constexpr std::size_t smoothing_share = 16384;

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

// Filters up to lines_together runs, each as a line of its own, side by
// side from their first values on, read and written in place: past its last
// value a shorter run reads that value again, and the anti-causal pass
// starts on each run's own last value.
void filter_run_group(const float* source, float* target, const line_run* run, std::size_t count, std::ptrdiff_t step,
                      const gaussian_coefficients& g, std::vector<double>& causal) {
  std::size_t length = 0;
  for (std::size_t j = 0; j < count; ++j) length = std::max(length, run[j].length);
  // Per lane, where its run starts and its last value; a lane without a
  // run reads the first run's, and no lane takes an output it has not.
  std::ptrdiff_t first[lines_together];
  std::size_t last[lines_together], taken[lines_together], lane[lines_together];
  for (std::size_t j = 0; j < lines_together; ++j) {
    const line_run& mine = run[j < count ? j : 0];
    first[j] = std::ptrdiff_t(mine.first);
    last[j] = mine.length - 1;
    lane[j] = j;
    // A run of one value is left as it is.
    taken[j] = j < count && mine.length > 1 ? mine.length : 0;
    if (j < count && mine.length == 1) target[mine.first] = source[mine.first];
  }
  const auto read = [&](std::size_t m, std::size_t j) {
    return source[first[j] + std::ptrdiff_t(std::min(m, last[j])) * step];
  };
  causal.resize(length * lines_together);
  causal_pass<lines_together>(length, g, read, causal.data());
  // The lanes by where their runs end, the latest first.
  std::sort(lane, lane + lines_together, [&](std::size_t a, std::size_t b) { return last[a] > last[b]; });
  std::size_t next = 0;
  const auto ends = [&](std::size_t n) {
    unsigned ending = 0;
    for (; next < lines_together && last[lane[next]] == n; ++next) ending |= 1u << lane[next];
    return ending;
  };
  anticausal_pass<lines_together>(length, g, read, ends, [&](std::size_t n, std::size_t j, double yc) {
    if (n < taken[j])
      target[first[j] + std::ptrdiff_t(n) * step] = static_cast<float>(causal[n * lines_together + j] + yc);
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
  const std::size_t slice = width * height, volume = slice * depth;
  // Along y a slice's columns, along z the volume's, lie side by side: groups
  // of lines_together of them, the last ones maybe fewer.
  const std::size_t lines = axis == 'y' ? width : slice;
  const std::size_t groups_per_block = (lines + lines_together - 1) / lines_together;
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
    const std::size_t blocks = axis == 'y' ? depth : 1, block_size = axis == 'y' ? slice : volume;
    share_line_groups(threads, blocks * groups_per_block, length,
                      [&](std::size_t first, std::size_t end, std::vector<double>& buffer) {
                        for (std::size_t group = first; group < end; ++group) {
                          const std::size_t line = group % groups_per_block * lines_together;
                          const std::size_t at = group / groups_per_block * block_size + line;
                          filter_many(in + at, out + at, std::min(lines_together, lines - line), length,
                                      std::ptrdiff_t(axis == 'y' ? width : slice), g, buffer);
                        }
                      });
  }
}

void smooth_runs(const float* source, float* target, const std::vector<line_run>& runs, std::ptrdiff_t step,
                 float sigma, core::call_threads& threads) {
  if (double(sigma) < 0.1f) {
    if (source != target)
      for (const line_run& run : runs)
        for (std::size_t m = 0; m < run.length; ++m)
          target[run.first + m * std::size_t(step)] = source[run.first + m * std::size_t(step)];
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
    std::vector<double> causal;
    for (std::size_t group = mine.begin; group < mine.end; ++group) {
      const std::size_t first = group * lines_together;
      filter_run_group(source, target, runs.data() + first, std::min(lines_together, runs.size() - first), step, g,
                       causal);
    }
  });
}

}  // namespace tamvel
