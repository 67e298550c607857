#include "mask.h"

#include <algorithm>

#include "window.h"

namespace core {

void mark_outside(const pixel_mask& mask, CImg<float>& labels, call_threads& threads) {
  if (!mask) return;
  const std::size_t pixels = labels.size();
  threads.run(useful_parts(threads, pixels, 1 << 18), [&](int part, int part_count, run_progress&) {
    const share mine = share_of(pixels, part, part_count);
    float* label = labels.data();
    // Every label written, so that the loop runs on vectors.
    for (std::size_t i = mine.begin; i < mine.end; ++i) label[i] = mask.inside[i] ? label[i] : outside_label;
  });
}

bool any_inside(const pixel_mask& mask, std::size_t first, std::size_t count) {
  if (!mask) return count > 0;
  const unsigned char* from = mask.inside + first;
  return std::any_of(from, from + count, [](unsigned char inside) { return inside != 0; });
}

inside_span span_inside(const pixel_mask& mask, std::size_t first, std::size_t count) {
  if (!mask) return {0, count};
  const unsigned char* from = mask.inside + first;
  std::size_t begin = 0, end = count;
  while (begin < end && !from[begin]) ++begin;
  while (end > begin && !from[end - 1]) --end;
  return {begin, end};
}

std::vector<inside_span> inside_runs(const pixel_mask& mask, std::size_t pixels, std::size_t width) {
  std::vector<inside_span> runs;
  for (std::size_t row = 0; width > 0 && row < pixels; row += width) {
    const inside_span span = span_inside(mask, row, width);
    if (span.begin == span.end) continue;
    if (!runs.empty() && runs.back().end == row + span.begin)
      runs.back().end = row + span.end;
    else
      runs.push_back({row + span.begin, row + span.end});
  }
  return runs;
}

std::size_t run_pixels(const std::vector<inside_span>& runs) {
  std::size_t total = 0;
  for (const inside_span& run : runs) total += run.end - run.begin;
  return total;
}

std::size_t outside_run(const pixel_mask& mask, std::size_t first, std::size_t count) {
  if (!mask) return 0;
  const unsigned char* from = mask.inside + first;
  std::size_t run = 0;
  while (run < count && !from[run]) ++run;
  return run;
}

namespace {

// The counts of one image row's span (no sweep reads a count outside it):
// for each disc row, a running count of the inside pixels over the reflected
// columns span.begin - radius .. span.end + radius, from which each pixel
// takes its run of 2 * half width + 1 columns. running[j + 1] - running[j]
// is column j - radius.
void count_row(const pixel_mask& mask, const disc_rows& disc, const std::vector<std::int32_t>& column_of, int width,
               int height, int z, int y, inside_span span, std::vector<std::int32_t>& running, std::int32_t* counts) {
  std::fill(counts + span.begin, counts + span.end, 0);
  const std::size_t radius = std::size_t(disc.radius);
  for (const disc_row& row : disc.rows) {
    const std::int64_t source_y = mirror_index(std::int64_t(y) + row.dy, height);
    const unsigned char* source = mask.inside + (std::size_t(z) * height + std::size_t(source_y)) * width;
    running[span.begin] = 0;
    for (std::size_t j = span.begin; j < span.end + 2 * radius; ++j)
      running[j + 1] = running[j] + (source[column_of[j]] != 0);
    const std::size_t half = std::size_t(row.half_width);
    for (std::size_t x = span.begin; x < span.end; ++x)
      counts[x] += running[x + radius + half + 1] - running[x + radius - half];
  }
}

}  // namespace

disc_mask count_disc_inside(const pixel_mask& mask, const disc_rows& disc, int width, int height, int depth,
                            call_threads& threads) {
  disc_mask counted{mask, {}, {}};
  if (!mask) return counted;
  const std::size_t rows = std::size_t(height) * depth, pixels = rows * std::size_t(width);
  counted.offsets_inside.reset(new std::int32_t[pixels]);
  counted.row_span.resize(rows);
  const std::vector<std::int32_t> column_of = mirror_table(-disc.radius, std::int64_t(width) + disc.radius, width);
  threads.run(useful_parts(threads, pixels, 1 << 16), [&](int part, int part_count, run_progress&) {
    std::vector<std::int32_t> running(column_of.size() + 1);
    const share mine = share_of(rows, part, part_count);
    for (std::size_t r = mine.begin; r < mine.end; ++r) {
      const int z = int(r / std::size_t(height)), y = int(r % std::size_t(height));
      const inside_span span = span_inside(mask, r * width, std::size_t(width));
      counted.row_span[r] = span;
      count_row(mask, disc, column_of, width, height, z, y, span, running, counted.offsets_inside.get() + r * width);
    }
  });
  return counted;
}

}  // namespace core
