#include "mask.h"

#include <algorithm>
#include <cstring>

#include "window.h"

namespace core {

void mark_outside(const pixel_mask& mask, CImg<float>& labels, call_threads& threads) {
  if (!mask) return;
  const std::size_t pixels = labels.size();
  threads.run(useful_parts(threads, pixels, 1 << 17), [&](int part, int part_count, run_progress&) {
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

namespace {

// Whether the 32 bytes from `from` on are all 0: the step of the scans below
// over long stretches.
constexpr std::size_t zero_block = 32;
inline bool block_is_zero(const unsigned char* from) {
  std::uint64_t words[zero_block / 8];
  std::memcpy(words, from, sizeof words);
  return (words[0] | words[1] | words[2] | words[3]) == 0;
}

}  // namespace

std::size_t zeros_ahead(const unsigned char* from, std::size_t count) {
  std::size_t zeros = 0;
  while (zeros + zero_block <= count && block_is_zero(from + zeros)) zeros += zero_block;
  for (std::uint64_t word = 0; zeros + sizeof word <= count; zeros += sizeof word) {
    std::memcpy(&word, from + zeros, sizeof word);
    if (word != 0) break;
  }
  while (zeros < count && !from[zeros]) ++zeros;
  return zeros;
}

namespace {

// How many of the `count` bytes before `end` are 0 after the last that is not.
std::size_t zeros_behind(const unsigned char* end, std::size_t count) {
  std::size_t zeros = 0;
  while (zeros + zero_block <= count && block_is_zero(end - zeros - zero_block)) zeros += zero_block;
  for (std::uint64_t word = 0; zeros + sizeof word <= count; zeros += sizeof word) {
    std::memcpy(&word, end - zeros - sizeof word, sizeof word);
    if (word != 0) break;
  }
  while (zeros < count && !end[-1 - std::ptrdiff_t(zeros)]) ++zeros;
  return zeros;
}

}  // namespace

inside_span span_inside(const pixel_mask& mask, std::size_t first, std::size_t count) {
  if (!mask) return {0, count};
  const unsigned char* from = mask.inside + first;
  const std::size_t begin = zeros_ahead(from, count);
  return {begin, count - zeros_behind(from + count, count - begin)};
}

std::vector<inside_span> inside_runs(const pixel_mask& mask, std::size_t pixels, std::size_t width,
                                     call_threads& threads) {
  std::vector<inside_span> runs;
  if (width == 0) return runs;
  const std::size_t rows = pixels / width;
  std::vector<inside_span> row_span(rows);
  threads.run(useful_parts(threads, pixels, 1 << 16), [&](int part, int part_count, run_progress&) {
    const share mine = share_of(rows, part, part_count);
    for (std::size_t r = mine.begin; r < mine.end; ++r) row_span[r] = span_inside(mask, r * width, width);
  });
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t row = r * width;
    const inside_span span = row_span[r];
    if (span.begin == span.end) continue;
    if (!runs.empty() && runs.back().end == row + span.begin)
      runs.back().end = row + span.end;
    else
      runs.push_back({row + span.begin, row + span.end});
  }
  return runs;
}

std::vector<inside_span> list_runs(const pixel_mask& mask, std::size_t pixels, std::size_t width) {
  std::vector<inside_span> runs;
  if (!mask || width == 0) return runs;
  for (std::size_t row = 0; row < pixels; row += width) {
    const unsigned char* from = mask.inside + row;
    for (std::size_t x = zeros_ahead(from, width); x < width; x += zeros_ahead(from + x, width - x)) {
      const void* outside = std::memchr(from + x, 0, width - x);
      const std::size_t end = outside ? std::size_t(static_cast<const unsigned char*>(outside) - from) : width;
      runs.push_back({row + x, row + end});
      x = end;
    }
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
  return zeros_ahead(mask.inside + first, count);
}

namespace {

// The running counts of inside pixels along image rows (z * height + y),
// over the reflected columns -radius .. width + radius - 1: running[j + 1] -
// running[j] is column j - radius. A part keeps those of the rows its next
// rows read again, one slot per row of the disc's reach.
class running_rows {
 public:
  running_rows(const std::vector<std::int32_t>& column_of, std::size_t slots)
      : column_of_(column_of), counts_(slots * (column_of.size() + 1)), held_(slots, -1) {}

  const std::int32_t* of(const pixel_mask& mask, std::size_t width, std::size_t image_row) {
    const std::size_t slot = image_row % held_.size();
    std::int32_t* running = counts_.data() + slot * (column_of_.size() + 1);
    if (held_[slot] != std::int64_t(image_row)) {
      const unsigned char* source = mask.inside + image_row * width;
      running[0] = 0;
      for (std::size_t j = 0; j < column_of_.size(); ++j) running[j + 1] = running[j] + (source[column_of_[j]] != 0);
      held_[slot] = std::int64_t(image_row);
    }
    return running;
  }

 private:
  const std::vector<std::int32_t>& column_of_;
  std::vector<std::int32_t> counts_;
  std::vector<std::int64_t> held_;
};

// The counts of one image row's span (no sweep reads a count outside it):
// for each disc row, the run of 2 * half width + 1 columns about each pixel
// in the row it reads, of which rows without a pixel inside add nothing.
// `counts` holds the span's, from its first column on.
void count_row(const pixel_mask& mask, const disc_rows& disc, const std::vector<inside_span>& row_span,
               std::size_t width, int height, std::size_t z, int y, running_rows& rows, std::int32_t* counts) {
  const inside_span span = row_span[z * std::size_t(height) + std::size_t(y)];
  std::fill(counts, counts + (span.end - span.begin), 0);
  const std::size_t radius = std::size_t(disc.radius);
  for (const disc_row& row : disc.rows) {
    const std::size_t source_row =
        z * std::size_t(height) + std::size_t(mirror_index(std::int64_t(y) + row.dy, height));
    if (span.begin == span.end || row_span[source_row].begin == row_span[source_row].end) continue;
    const std::int32_t* running = rows.of(mask, width, source_row) + radius;
    const std::size_t half = std::size_t(row.half_width);
    for (std::size_t x = span.begin; x < span.end; ++x)
      counts[x - span.begin] += running[x + half + 1] - running[x - half];
  }
}

}  // namespace

disc_mask count_disc_inside(const pixel_mask& mask, const disc_rows& disc, int width, int height, int depth,
                            call_threads& threads) {
  disc_mask counted{mask, {}, {}, {}};
  if (!mask) return counted;
  const std::size_t rows = std::size_t(height) * depth, pixels = rows * std::size_t(width);
  counted.row_span.resize(rows);
  const int parts = useful_parts(threads, pixels, 1 << 16);
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    const share mine = share_of(rows, part, part_count);
    for (std::size_t r = mine.begin; r < mine.end; ++r) counted.row_span[r] = span_inside(mask, r * width, width);
  });
  counted.row_first.resize(rows);
  std::size_t spanned = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    counted.row_first[r] = spanned;
    spanned += counted.row_span[r].end - counted.row_span[r].begin;
  }
  counted.offsets_inside.reset(new std::int32_t[spanned]);
  const std::vector<std::int32_t> column_of = mirror_table(-disc.radius, std::int64_t(width) + disc.radius, width);
  const std::size_t reach = std::size_t(disc.dy_max - disc.dy_min) + 1;
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    running_rows source_rows(column_of, reach);
    const share mine = share_of(rows, part, part_count);
    for (std::size_t r = mine.begin; r < mine.end; ++r)
      count_row(mask, disc, counted.row_span, std::size_t(width), height, r / std::size_t(height),
                int(r % std::size_t(height)), source_rows, counted.offsets_inside.get() + counted.row_first[r]);
  });
  return counted;
}

}  // namespace core
