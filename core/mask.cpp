#include "mask.h"

#include <algorithm>

#include "window.h"

namespace core {

void mark_outside(const pixel_mask& mask, CImg<float>& labels, call_threads& threads) {
  if (!mask) return;
  const std::size_t pixels = labels.size();
  threads.run(useful_parts(threads.count(), pixels, 1 << 18), [&](int part, int part_count, run_progress&) {
    const share mine = share_of(pixels, part, part_count);
    for (std::size_t i = mine.begin; i < mine.end; ++i)
      if (!mask.inside[i]) labels[i] = outside_label;
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

std::size_t outside_run(const pixel_mask& mask, std::size_t first, std::size_t count) {
  if (!mask) return 0;
  const unsigned char* from = mask.inside + first;
  std::size_t run = 0;
  while (run < count && !from[run]) ++run;
  return run;
}

namespace {

// The counts of one image row: for each disc row, a running count of the
// inside pixels over the reflected columns -radius .. width + radius, from
// which each pixel takes its run of 2 * half width + 1 columns.
void count_row(const pixel_mask& mask, const disc_rows& disc, const std::vector<std::int32_t>& column_of, int width,
               int height, int z, int y, std::vector<std::int32_t>& running, std::int32_t* counts) {
  std::fill(counts, counts + width, 0);
  const int radius = disc.radius;
  for (const disc_row& row : disc.rows) {
    const std::int64_t source_y = mirror_index(std::int64_t(y) + row.dy, height);
    const unsigned char* source = mask.inside + (std::size_t(z) * height + std::size_t(source_y)) * width;
    running[0] = 0;
    for (std::size_t j = 0; j + 1 < running.size(); ++j) running[j + 1] = running[j] + (source[column_of[j]] != 0);
    for (int x = 0; x < width; ++x)
      counts[x] +=
          running[std::size_t(x + radius + row.half_width + 1)] - running[std::size_t(x + radius - row.half_width)];
  }
}

}  // namespace

disc_mask count_disc_inside(const pixel_mask& mask, const disc_rows& disc, int width, int height, int depth,
                            call_threads& threads) {
  disc_mask counted{mask, {}};
  if (!mask) return counted;
  const std::size_t rows = std::size_t(height) * depth, pixels = rows * std::size_t(width);
  counted.offsets_inside.resize(pixels);
  const std::vector<std::int32_t> column_of = mirror_table(-disc.radius, std::int64_t(width) + disc.radius, width);
  threads.run(useful_parts(threads.count(), pixels, 1 << 16), [&](int part, int part_count, run_progress&) {
    std::vector<std::int32_t> running(column_of.size() + 1);
    const share mine = share_of(rows, part, part_count);
    for (std::size_t r = mine.begin; r < mine.end; ++r) {
      const int z = int(r / std::size_t(height)), y = int(r % std::size_t(height));
      count_row(mask, disc, column_of, width, height, z, y, running, counted.offsets_inside.data() + r * width);
    }
  });
  return counted;
}

}  // namespace core
