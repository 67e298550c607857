#include "centre_sums.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "exact_sum.h"
#include "labels.h"
#include "pixel_blocks.h"
#include "call_threads.h"
#include "vector_lanes.h"

#if WIDE_VECTORS
#include <immintrin.h>
#endif

// A pixel goes to the slot of its class, or to one more slot, `dropped` = K,
// whose sums are never read. Blocks of pixels are summed with the slots of
// the whole block found first, so that the loops run on vectors.

namespace core {
namespace {
// The slot of each pixel of a block: its class (the label truncated, as the
// plain iteration converts it), or `dropped`. Selects rather than branches, so
// that the loops run on vectors.
void class_slots(const float* __restrict label, const float* const* value, int channels, std::size_t count,
                 int class_count, class_index* __restrict slot) {
  const class_index dropped = class_count;
  const float past_last = float(class_count);
  for (std::size_t i = 0; i < count; ++i) {
    const float kept = (label[i] > -1.0f && label[i] < past_last) ? label[i] : past_last;
    slot[i] = class_index(kept);
  }
  for (int c = 0; c < channels; ++c) {
    const float* channel = value[c];
    std::size_t i = 0;
#if VECTOR_TYPES
    // Four at a time by hand: the compiler leaves this loop scalar when it
    // merges the loops of two channels.
    static_assert(sizeof(class_index) == sizeof(std::int32_t), "a slot to a lane of four_int32s");
    for (; i + 4 <= count; i += 4) {
      four_floats v;
      four_int32s s;
      std::memcpy(&v, channel + i, sizeof v);
      std::memcpy(&s, slot + i, sizeof s);
      s = (v - v == 0.0f) ? s : dropped;  // v - v is NaN for inf and NaN
      std::memcpy(slot + i, &s, sizeof s);
    }
#endif
    for (; i < count; ++i)
      if (!(channel[i] - channel[i] == 0.0f)) slot[i] = dropped;
  }
}

// Adds channels first_channel .. first_channel + Channels - 1 of a block to
// `sums` (class after class, `channels` to a class), keeping the sums of a run
// of pixels of one class in registers.
template <int Channels>
void add_runs(const class_index* slot, std::size_t count, const float* const* value, int first_channel, int channels,
              double* sums) {
  const auto sum_of = [&](class_index k, int c) -> double& {
    return sums[std::size_t(k) * channels + first_channel + c];
  };
  class_index current = slot[0];
  double sum[Channels];
  for (int c = 0; c < Channels; ++c) sum[c] = sum_of(current, c);
  for (std::size_t i = 0; i < count; ++i) {
    if (slot[i] != current) {
      for (int c = 0; c < Channels; ++c) sum_of(current, c) = sum[c];
      current = slot[i];
      for (int c = 0; c < Channels; ++c) sum[c] = sum_of(current, c);
    }
    for (int c = 0; c < Channels; ++c) sum[c] += value[first_channel + c][i];
  }
  for (int c = 0; c < Channels; ++c) sum_of(current, c) = sum[c];
}

// Any K: runs of one class.
void add_block_by_runs(const class_index* slot, std::size_t count, const float* const* value, int channels,
                       double* sums, std::uint64_t* counts) {
  class_index current = slot[0];
  std::uint64_t run = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (slot[i] != current) {
      counts[current] += run;
      current = slot[i];
      run = 0;
    }
    ++run;
  }
  counts[current] += run;
  for (int c = 0; c < channels; c += 4) {
    switch (std::min(channels - c, 4)) {
      case 4:
        add_runs<4>(slot, count, value, c, channels, sums);
        break;
      case 3:
        add_runs<3>(slot, count, value, c, channels, sums);
        break;
      case 2:
        add_runs<2>(slot, count, value, c, channels, sums);
        break;
      default:
        add_runs<1>(slot, count, value, c, channels, sums);
        break;
    }
  }
}

#if VECTOR_TYPES
// Up to eight classes: every pixel adds to the sums of all classes at once,
// four classes to a vector, its value to its own class and +0 to the others.
// Adding +0 changes no sum (one that starts at +0 never becomes -0), so each
// sum still takes exactly its own pixels in raster order, and no branch
// mispredicts where the class changes.
constexpr int classes_in_lanes = 8;
static_assert(sizeof(running_class_sums::lane_counts) == classes_in_lanes * sizeof(std::int64_t));

// `sums` holds classes_in_lanes doubles per channel, `counts` as many counts.
// At least one channel. With Chains > 1, pixel i adds to chain i mod Chains
// and the chains are added up at the end of the block: the sums then take
// their pixels out of raster order, which only sums that cannot round allow.
template <int Channels, int Halves, int Chains>
VECTOR_INLINE void add_in_lanes(const class_index* slot, std::size_t count, const float* const* value,
                                int first_channel, bool with_counts, double* sums, std::int64_t* counts) {
  const four_integers lane_class[2] = {{0, 1, 2, 3}, {4, 5, 6, 7}};
  four_doubles sum[Chains][Channels][Halves] = {};
  four_integers counted[Halves];
  for (int h = 0; h < Halves; ++h) {
    std::memcpy(&counted[h], counts + 4 * h, sizeof(four_integers));
    for (int c = 0; c < Channels; ++c)
      std::memcpy(&sum[0][c][h], sums + (first_channel + c) * classes_in_lanes + 4 * h, sizeof(four_doubles));
  }
  const auto add_pixel = [&](std::size_t i, four_doubles(&chain)[Channels][Halves]) {
    const std::int64_t k = slot[i];
    const four_integers pixel_class = {k, k, k, k};
    four_integers member[Halves];
    for (int h = 0; h < Halves; ++h) member[h] = pixel_class == lane_class[h];
    for (int c = 0; c < Channels; ++c) {
      const double x = value[first_channel + c][i];
      const four_doubles v = {x, x, x, x};
      for (int h = 0; h < Halves; ++h) chain[c][h] += member[h] ? v : four_doubles{};
    }
    if (with_counts)
      for (int h = 0; h < Halves; ++h) counted[h] -= member[h];  // a member's mask is -1
  };
  std::size_t i = 0;
  for (; i + Chains <= count; i += Chains)
    for (int j = 0; j < Chains; ++j) add_pixel(i + j, sum[j]);
  for (; i < count; ++i) add_pixel(i, sum[0]);
  for (int j = 1; j < Chains; ++j)
    for (int c = 0; c < Channels; ++c)
      for (int h = 0; h < Halves; ++h) sum[0][c][h] += sum[j][c][h];
  for (int h = 0; h < Halves; ++h) {
    std::memcpy(counts + 4 * h, &counted[h], sizeof(four_integers));
    for (int c = 0; c < Channels; ++c)
      std::memcpy(sums + (first_channel + c) * classes_in_lanes + 4 * h, &sum[0][c][h], sizeof(four_doubles));
  }
}

// As many chains as keep every sum in a register.
template <int Channels, int Halves>
VECTOR_INLINE void add_in_lanes(const class_index* slot, std::size_t count, const float* const* value,
                                int first_channel, bool with_counts, bool any_order, double* sums,
                                std::int64_t* counts) {
  constexpr int chains = Channels * Halves <= 2 ? 4 : Channels * Halves <= 4 ? 2 : 1;
  if (any_order && chains > 1)
    add_in_lanes<Channels, Halves, chains>(slot, count, value, first_channel, with_counts, sums, counts);
  else
    add_in_lanes<Channels, Halves, 1>(slot, count, value, first_channel, with_counts, sums, counts);
}

template <int Halves>
VECTOR_INLINE void add_block_in_lanes_of(const class_index* slot, std::size_t count, const float* const* value,
                                         int channels, bool any_order, double* sums, std::int64_t* counts) {
  for (int c = 0; c < channels; c += 4) {
    const bool with_counts = c == 0;
    switch (std::min(channels - c, 4)) {
      case 4:
        add_in_lanes<4, Halves>(slot, count, value, c, with_counts, any_order, sums, counts);
        break;
      case 3:
        add_in_lanes<3, Halves>(slot, count, value, c, with_counts, any_order, sums, counts);
        break;
      case 2:
        add_in_lanes<2, Halves>(slot, count, value, c, with_counts, any_order, sums, counts);
        break;
      default:
        add_in_lanes<1, Halves>(slot, count, value, c, with_counts, any_order, sums, counts);
        break;
    }
  }
}

// The slot `dropped` = K may fall in a lane; that lane is never read. At least
// one channel.
struct block_in_lanes {
  static VECTOR_INLINE void run(const class_index* slot, std::size_t count, const float* const* value, int channels,
                                int classes, bool any_order, double* sums, std::int64_t* counts) {
    if (classes < 4)
      add_block_in_lanes_of<1>(slot, count, value, channels, any_order, sums, counts);
    else
      add_block_in_lanes_of<2>(slot, count, value, channels, any_order, sums, counts);
  }
};

void add_block_in_lanes(const class_index* slot, std::size_t count, const float* const* value, int channels,
                        int classes, bool any_order, double* sums, std::int64_t* counts) {
  on_widest_vectors<block_in_lanes>(slot, count, value, channels, classes, any_order, sums, counts);
}

#if WIDE_VECTORS
// One channel and up to Classes classes, the pixels in any order: four pixels
// to a vector, and each class's pixels picked by comparing the truncated
// labels with the class, which leaves out the labels class_slots drops (at or
// below -1, from K on, NaN) and forms no slots at all. Classes from K to
// Classes - 1 are summed and never read.
template <int Classes>
struct one_channel_by_masks {
  WIDE_VECTOR_TARGET static VECTOR_INLINE void run(const float* label, const float* value, std::size_t pixels,
                                                   int class_count, double* sums, std::uint64_t* counts) {
    four_doubles sum[Classes] = {};
    four_integers counted[Classes] = {};
    std::size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
      four_doubles truncated;
      truncate_labels(label + i, truncated);
      four_floats read;
      std::memcpy(&read, value + i, sizeof read);
      four_doubles v;
      widen(read, v);
      const four_integers finite = (four_integers)(v - v == 0.0);
      for (int k = 0; k < Classes; ++k) {
        const four_integers member = (four_integers)(truncated == double(k)) & finite;
        sum[k] += member ? v : four_doubles{};
        counted[k] -= member;  // a member's mask is -1
      }
    }
    for (int k = 0; k < class_count; ++k) {
      sums[k] += sum[k][0] + sum[k][1] + sum[k][2] + sum[k][3];
      counts[k] += std::uint64_t(counted[k][0] + counted[k][1] + counted[k][2] + counted[k][3]);
    }
    for (; i < pixels; ++i)
      if (label[i] > -1.0f && label[i] < float(class_count) && std::isfinite(value[i])) {
        sums[class_index(label[i])] += value[i];
        ++counts[class_index(label[i])];
      }
  }

  // Four labels truncated toward zero, in double, as class_slots truncates
  // them: labels at or below -1, from Classes on, and NaN then equal no
  // class. The one instruction here that the vector extension cannot name;
  // a clamp and a conversion through integers instead cost a third of the
  // kernel.
  WIDE_VECTOR_TARGET static VECTOR_INLINE void truncate_labels(const float* label, four_doubles& truncated) {
    truncated =
        four_doubles(_mm256_round_pd(_mm256_cvtps_pd(_mm_loadu_ps(label)), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
  }
};

// Whether one_channel_by_masks takes these sums: only where the wide build
// runs, since in the baseline's narrower registers the sums in lanes are the
// faster.
bool by_masks(bool any_order, int channels, int class_count) {
  return any_order && channels == 1 && class_count <= 8 && wide_vectors_available();
}
#else
bool by_masks(bool, int, int) { return false; }
#endif
#endif

// The sums over all pixels, in raster order unless `any_order`.
void sum_in_order(const float* labels, std::size_t pixels, const std::vector<const float*>& channel, int class_count,
                  bool any_order, std::vector<double>& sums, std::vector<std::uint64_t>& counts) {
  running_class_sums running = start_class_sums(class_count, int(channel.size()), any_order);
  add_class_sums(running, labels, channel, 0, pixels);
  finish_class_sums(running, sums, counts);
}

bool counts_pixel(const std::vector<const float*>& channel, const unsigned char* counted, std::size_t i) {
  if (counted) return counted[i] != 0;
  for (const float* values : channel)
    if (!std::isfinite(values[i])) return false;
  return true;
}

}  // namespace

running_class_sums start_class_sums(int class_count, int channels, bool any_order) {
  running_class_sums running;
  running.class_count = class_count;
  running.channels = channels;
  running.any_order = any_order;
  // Double sums and whole counts: float ones stop counting at 2^24 and drift.
  // One more slot takes the pixels left out.
  running.sums.assign(std::size_t(class_count + 1) * channels, 0.0);
  running.counts.assign(std::size_t(class_count) + 1, 0);
#if VECTOR_TYPES
  running.in_lanes = class_count <= classes_in_lanes && channels > 0 && !by_masks(any_order, channels, class_count);
  if (running.in_lanes) running.lane_sums.assign(std::size_t(channels) * classes_in_lanes, 0.0);
#endif
  return running;
}

running_class_sums start_class_sums(int class_count, int channels, bool any_order, const std::vector<double>& sums,
                                    const std::vector<std::uint64_t>& counts) {
  running_class_sums running = start_class_sums(class_count, channels, any_order);
  for (int k = 0; k < class_count && std::size_t(k) < counts.size(); ++k) {
    running.counts[std::size_t(k)] = counts[std::size_t(k)];
#if VECTOR_TYPES
    if (running.in_lanes) running.lane_counts[k] = std::int64_t(counts[std::size_t(k)]);
#endif
    for (int c = 0; c < channels; ++c) {
      const std::size_t at = std::size_t(k) * std::size_t(channels) + std::size_t(c);
      if (at >= sums.size()) continue;
      running.sums[at] = sums[at];
#if VECTOR_TYPES
      if (running.in_lanes) running.lane_sums[std::size_t(c) * classes_in_lanes + std::size_t(k)] = sums[at];
#endif
    }
  }
  return running;
}

void add_class_sums(running_class_sums& running, const float* labels, const std::vector<const float*>& channel,
                    std::size_t first_pixel, std::size_t pixels) {
  const int channels = running.channels, class_count = running.class_count;
  labels += first_pixel;
#if WIDE_VECTORS
  // First, and without the pointers below: a masked run adds many short runs.
  if (by_masks(running.any_order, channels, class_count)) {
    const float* value_at = channel[0] + first_pixel;
    if (class_count <= 4)
      run_on_wide_vectors<one_channel_by_masks<4>>(labels, value_at, pixels, class_count, running.sums.data(),
                                                   running.counts.data());
    else
      run_on_wide_vectors<one_channel_by_masks<8>>(labels, value_at, pixels, class_count, running.sums.data(),
                                                   running.counts.data());
    return;
  }
#endif
  std::vector<const float*>& value = running.block_values;
  value.resize(std::size_t(channels));
  const auto values_from = [&](std::size_t first) {
    for (int c = 0; c < channels; ++c) value[c] = channel[c] + first_pixel + first;
    return value.data();
  };
  class_index slot[block_pixels];
#if VECTOR_TYPES
  if (running.in_lanes) {
    for (std::size_t first = 0; first < pixels; first += block_pixels) {
      const std::size_t count = std::min(block_pixels, pixels - first);
      class_slots(labels + first, values_from(first), channels, count, class_count, slot);
      add_block_in_lanes(slot, count, value.data(), channels, class_count, running.any_order, running.lane_sums.data(),
                         running.lane_counts);
    }
    return;
  }
#endif
  for (std::size_t first = 0; first < pixels; first += block_pixels) {
    const std::size_t count = std::min(block_pixels, pixels - first);
    class_slots(labels + first, values_from(first), channels, count, class_count, slot);
    add_block_by_runs(slot, count, value.data(), channels, running.sums.data(), running.counts.data());
  }
}

void finish_class_sums(const running_class_sums& running, std::vector<double>& sums,
                       std::vector<std::uint64_t>& counts) {
  const int channels = running.channels, class_count = running.class_count;
  sums = running.sums;
  counts = running.counts;
#if VECTOR_TYPES
  if (running.in_lanes)
    for (int k = 0; k < class_count; ++k) {
      counts[k] = std::uint64_t(running.lane_counts[k]);
      for (int c = 0; c < channels; ++c)
        sums[std::size_t(k) * channels + c] = running.lane_sums[std::size_t(c) * classes_in_lanes + k];
    }
#endif
  sums.resize(std::size_t(class_count) * channels);
  counts.resize(std::size_t(class_count));
}

void sum_by_class(const float* labels, std::size_t pixels, const std::vector<const float*>& channel, int class_count,
                  std::vector<double>& sums, std::vector<std::uint64_t>& counts, call_threads& threads, int parts,
                  bool any_order) {
  if (parts <= 1) return sum_in_order(labels, pixels, channel, class_count, any_order, sums, counts);
  const std::size_t blocks = (pixels + block_pixels - 1) / block_pixels;
  std::vector<std::vector<double>> part_sums(parts);
  std::vector<std::vector<std::uint64_t>> part_counts(parts);
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    const share blocks_of_part = share_of(blocks, part, part_count);
    const std::size_t first = blocks_of_part.begin * block_pixels;
    const std::size_t end = std::min(pixels, blocks_of_part.end * block_pixels);
    std::vector<const float*> from(channel);
    for (const float*& values : from) values += first;
    sum_in_order(labels + first, end > first ? end - first : 0, from, class_count, true, part_sums[part],
                 part_counts[part]);
  });
  sums.assign(std::size_t(class_count) * channel.size(), 0.0);
  counts.assign(std::size_t(class_count), 0);
  for (int part = 0; part < parts; ++part) {
    if (part_sums[part].empty() && part_counts[part].empty()) continue;  // a part that did not run
    for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += part_sums[part][i];
    for (std::size_t k = 0; k < counts.size(); ++k) counts[k] += part_counts[part][k];
  }
}

namespace {

// The exact sums of pixels first .. end - 1, class after class, `channels`
// to a class, and the counts.
void add_exact_class_sums(const float* labels, const std::vector<const float*>& channel, std::size_t begin,
                          std::size_t end, int class_count, std::vector<exact_sum>& sums,
                          std::vector<std::uint64_t>& counts) {
  const int channels = int(channel.size());
  std::vector<const float*> value(channel.size());
  class_index slot[block_pixels];
  for (std::size_t first = begin; first < end; first += block_pixels) {
    const std::size_t count = std::min(block_pixels, end - first);
    for (int c = 0; c < channels; ++c) value[c] = channel[c] + first;
    class_slots(labels + first, value.data(), channels, count, class_count, slot);
    for (std::size_t i = 0; i < count; ++i) {
      if (slot[i] == class_count) continue;
      ++counts[slot[i]];
      exact_sum* of_class = &sums[std::size_t(slot[i]) * channels];
      for (int c = 0; c < channels; ++c) add(of_class[c], value[c][i]);
    }
  }
}

}  // namespace

void exact_class_sums(const float* labels, std::size_t pixels, const std::vector<const float*>& channel,
                      int class_count, std::vector<exact_sum>& sums, std::vector<std::uint64_t>& counts,
                      call_threads& threads, int parts) {
  const std::size_t sum_count = std::size_t(class_count) * channel.size();
  std::vector<std::vector<exact_sum>> part_sums(std::size_t(std::max(parts, 1)));
  std::vector<std::vector<std::uint64_t>> part_counts(part_sums.size());
  threads.run(int(part_sums.size()), [&](int part, int part_count, run_progress&) {
    const share mine = share_of(pixels, part, part_count);
    part_sums[part].assign(sum_count, exact_sum{});
    part_counts[part].assign(std::size_t(class_count), 0);
    add_exact_class_sums(labels, channel, mine.begin, mine.end, class_count, part_sums[part], part_counts[part]);
  });
  // Any order of the parts gives the same sums; a part that did not run has none.
  sums.assign(sum_count, exact_sum{});
  counts.assign(std::size_t(class_count), 0);
  for (std::size_t part = 0; part < part_sums.size(); ++part) {
    for (std::size_t i = 0; i < part_sums[part].size(); ++i) merge(sums[i], part_sums[part][i]);
    for (std::size_t k = 0; k < part_counts[part].size(); ++k) counts[k] += part_counts[part][k];
  }
}

void exact_sum_by_class(const float* labels, std::size_t pixels, const std::vector<const float*>& channel,
                        int class_count, std::vector<double>& sums, std::vector<std::uint64_t>& counts,
                        call_threads& threads, int parts) {
  std::vector<exact_sum> whole;
  exact_class_sums(labels, pixels, channel, class_count, whole, counts, threads, parts);
  sums.resize(whole.size());
  for (std::size_t i = 0; i < whole.size(); ++i) sums[i] = to_double(whole[i]);
}

namespace {

// The exponent of the least significant bit set in a float's bits (given
// as an integer), for a finite non-zero value; none otherwise. Integer
// operations and one conversion, with masks for selects, so that a loop of
// them runs on vectors.
VECTOR_INLINE std::int32_t finest_exponent_of(std::int32_t bits) {
  const std::int32_t field = (bits >> 23) & 0xff, subnormal = field == 0;
  const std::int32_t significand = (bits & 0x7fffff) | ((1 - subnormal) << 23);
  const float lowest_bit = float(significand & -significand);  // a power of two, exactly
  std::int32_t lowest_bits = 0;
  std::memcpy(&lowest_bits, &lowest_bit, sizeof lowest_bits);
  const std::int32_t exponent = field + subnormal - 150 + (lowest_bits >> 23) - 127;
  const std::int32_t none = -std::int32_t((field == 0xff) | (significand == 0));  // all ones or 0
  return (exponent & ~none) | (sum_survey{}.finest_exponent & none);
}

VECTOR_INLINE std::int32_t bits_of(float value) {
  std::int32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// One channel, every finite pixel counted: the common case, on the values'
// bits (the magnitudes of finite floats order as their bits do), so that
// the loop can run on vectors.
struct one_channel_survey {
  static VECTOR_INLINE sum_survey run(const float* values, std::size_t begin, std::size_t end) {
    constexpr std::int32_t infinity_bits = 0x7f800000;
    std::uint64_t count = 0;
    std::int32_t largest = 0, finest = sum_survey{}.finest_exponent;
    for (std::size_t i = begin; i < end; ++i) {
      const std::int32_t bits = bits_of(values[i]), magnitude = bits & 0x7fffffff;
      const std::int32_t finite = magnitude < infinity_bits;
      count += std::uint64_t(finite);
      largest = std::max(largest, magnitude & -finite);
      finest = std::min(finest, finest_exponent_of(bits));
    }
    float largest_value = 0;
    std::memcpy(&largest_value, &largest, sizeof largest_value);
    return sum_survey{count, largest_value, finest};
  }
};

// What `part` found, added to what `whole` holds.
VECTOR_INLINE void add_survey(sum_survey& whole, const sum_survey& part) {
  whole.count += part.count;
  whole.largest = std::max(whole.largest, part.largest);
  whole.finest_exponent = std::min(whole.finest_exponent, part.finest_exponent);
}

// One channel over listed pieces of pixels, `count` of them, in one call.
struct one_channel_survey_of_pieces {
  static VECTOR_INLINE sum_survey run(const float* values, const inside_span* piece, std::size_t count) {
    sum_survey whole;
    for (std::size_t i = 0; i < count; ++i)
      add_survey(whole, one_channel_survey::run(values, piece[i].begin, piece[i].end));
    return whole;
  }
};

// One channel of the pixels `counted` names, as the loop below surveys
// them: the largest magnitude leaves NaN out, as std::max does, and takes an
// infinity. The count is the caller's. Selects rather than branches, so that
// the loop runs on vectors.
struct counted_channel_survey {
  static VECTOR_INLINE sum_survey run(const float* values, const unsigned char* counted, std::size_t begin,
                                      std::size_t end) {
    constexpr std::int32_t infinity_bits = 0x7f800000, none = sum_survey{}.finest_exponent;
    std::int32_t largest = 0, finest = none;
    for (std::size_t i = begin; i < end; ++i) {
      const std::int32_t bits = bits_of(values[i]), magnitude = bits & 0x7fffffff;
      const std::int32_t taken = -std::int32_t(counted[i] != 0);  // all ones or 0
      largest = std::max(largest, magnitude & taken & -std::int32_t(magnitude <= infinity_bits));
      finest = std::min(finest, (finest_exponent_of(bits) & taken) | (none & ~taken));
    }
    float largest_value = 0;
    std::memcpy(&largest_value, &largest, sizeof largest_value);
    return sum_survey{0, largest_value, finest};
  }
};

sum_survey survey(const std::vector<const float*>& channel, const unsigned char* counted, std::size_t begin,
                  std::size_t end) {
  if (!counted && channel.size() == 1) return on_widest_vectors<one_channel_survey>(channel[0], begin, end);
  if (counted) {
    std::vector<sum_survey> found(channel.size() + 1, sum_survey{});
    for (std::size_t c = 0; c < channel.size(); ++c)
      found[c] = on_widest_vectors<counted_channel_survey>(channel[c], counted, begin, end);
    for (std::size_t i = begin; i < end; ++i) found.back().count += counted[i] != 0;
    return merge_surveys(found);
  }
  sum_survey found;
  for (std::size_t i = begin; i < end; ++i) {
    if (!counts_pixel(channel, counted, i)) continue;
    ++found.count;
    for (const float* values : channel) {
      found.largest = std::max(found.largest, std::fabs(values[i]));
      found.finest_exponent = std::min(found.finest_exponent, finest_exponent_of(bits_of(values[i])));
    }
  }
  return found;
}

// Pixels a thread takes at least: the pass costs a few cycles a value.
constexpr std::size_t survey_share = 1 << 15;

}  // namespace

sum_survey survey_sums(const std::vector<const float*>& channel, std::size_t pixels, const unsigned char* counted,
                       call_threads& threads) {
  const int parts = useful_parts(threads, pixels, survey_share);
  std::vector<sum_survey> surveys(std::size_t(parts), sum_survey{});
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    const share mine = share_of(pixels, part, part_count);
    surveys[std::size_t(part)] = survey(channel, counted, mine.begin, mine.end);
  });
  return merge_surveys(surveys);
}

sum_survey merge_surveys(const std::vector<sum_survey>& parts) {
  sum_survey whole;
  for (const sum_survey& part : parts) add_survey(whole, part);
  return whole;
}

bool sums_exact_in_any_order(const sum_survey& whole) {
  if (whole.count == 0 || whole.largest == 0) return true;
  // With `count` values below 2^largest_exponent in magnitude, every sum of
  // them is below 2^(largest_exponent + count_exponent): exact in double
  // when each is a whole number of steps of 2^(that - 53).
  int largest_exponent = 0, count_exponent = 0;
  std::frexp(whole.largest, &largest_exponent);
  while (count_exponent < 64 && (std::uint64_t(1) << count_exponent) < whole.count) ++count_exponent;
  return whole.finest_exponent >= largest_exponent + count_exponent - 53;
}

bool sums_are_exact(const std::vector<const float*>& channel, std::size_t pixels, const unsigned char* counted,
                    call_threads& threads) {
  return sums_exact_in_any_order(survey_sums(channel, pixels, counted, threads));
}

class_sum_plan plan_class_sums(const std::vector<const float*>& channel, std::size_t pixels, int class_count,
                               call_threads& threads, bool exact_sums) {
  const int parts = useful_sum_parts(threads, pixels, class_count, int(channel.size()));
  if (sums_are_exact(channel, pixels, nullptr, threads)) return class_sum_plan{parts, true, false};
  return exact_sums ? class_sum_plan{parts, false, true} : class_sum_plan{};
}

void class_sums(const float* labels, std::size_t pixels, const std::vector<const float*>& channel, int class_count,
                std::vector<double>& sums, std::vector<std::uint64_t>& counts, call_threads& threads,
                const class_sum_plan& plan) {
  if (plan.exact)
    exact_sum_by_class(labels, pixels, channel, class_count, sums, counts, threads, plan.parts);
  else
    sum_by_class(labels, pixels, channel, class_count, sums, counts, threads, plan.parts, plan.any_order);
}

class_sum_plan plan_class_sums(const std::vector<const float*>& channel, const std::vector<inside_span>& runs,
                               int class_count, call_threads& threads, bool exact_sums) {
  const std::size_t total = run_pixels(runs);
  const int parts = useful_sum_parts(threads, total, class_count, int(channel.size()));
  const int survey_parts = useful_parts(threads, total, survey_share);
  std::vector<sum_survey> surveys(std::size_t(survey_parts), sum_survey{});
  threads.run(survey_parts, [&](int part, int part_count, run_progress&) {
    std::vector<inside_span> pieces;
    for_runs_of_part(runs, total, part, part_count, [&](std::size_t begin, std::size_t end) {
      pieces.push_back({begin, end});
    });
    if (channel.size() == 1) {
      surveys[std::size_t(part)] =
          on_widest_vectors<one_channel_survey_of_pieces>(channel[0], pieces.data(), pieces.size());
      return;
    }
    for (const inside_span& piece : pieces)
      add_survey(surveys[std::size_t(part)], survey(channel, nullptr, piece.begin, piece.end));
  });
  if (sums_exact_in_any_order(merge_surveys(surveys))) return class_sum_plan{parts, true, false};
  return exact_sums ? class_sum_plan{parts, false, true} : class_sum_plan{};
}

void class_sums_in_runs(const float* labels, const std::vector<inside_span>& runs,
                        const std::vector<const float*>& channel, int class_count, std::vector<double>& sums,
                        std::vector<std::uint64_t>& counts, call_threads& threads, const class_sum_plan& plan) {
  const std::size_t total = run_pixels(runs);
  // Several parts only where the sums come out the same in any order.
  const int parts =
      plan.any_order ? std::min(plan.parts, useful_sum_parts(threads, total, class_count, int(channel.size()))) : 1;
  std::vector<running_class_sums> running(static_cast<std::size_t>(parts));
  threads.run(parts, [&](int part, int part_count, run_progress&) {
    running_class_sums& mine = running[std::size_t(part)];
    mine = start_class_sums(class_count, int(channel.size()), plan.any_order);
    for_runs_of_part(runs, total, part, part_count, [&](std::size_t begin, std::size_t end) {
      add_class_sums(mine, labels, channel, begin, end - begin);
    });
  });
  finish_class_sums(running.front(), sums, counts);
  std::vector<double> part_sums;
  std::vector<std::uint64_t> part_counts;
  for (std::size_t part = 1; part < running.size(); ++part) {
    if (running[part].class_count == 0) continue;  // a part that did not run
    finish_class_sums(running[part], part_sums, part_counts);
    for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += part_sums[i];
    for (std::size_t k = 0; k < counts.size(); ++k) counts[k] += part_counts[k];
  }
}

int useful_sum_parts(const call_threads& threads, std::size_t pixels, int class_count, int channels) {
  // Each part adds K x C sums of its own: worth it only where the pixels
  // far outnumber them.
  const std::size_t own_sums = std::size_t(class_count + 1) * std::size_t(channels + 1);
  return useful_parts(threads, pixels, std::max<std::size_t>(1 << 15, 16 * own_sums));
}

}  // namespace core
