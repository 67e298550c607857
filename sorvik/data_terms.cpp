#include "data_terms.h"

#include <cstring>

#include "core/costs.h"
#include "core/sweep.h"
#include "core/vector_lanes.h"

// Every data term is summed over ascending channels exactly as the plain
// iteration sums it, starting from the first square rather than from 0:
// 0 + d is d for every square, since no square is -0.

namespace sorvik {
namespace {

VECTOR_INLINE void squared_distances(const double* value, int channels, const float* centre, std::size_t count,
                                     double* distance) {
  if (channels == 0) {
    for (std::size_t i = 0; i < count; ++i) distance[i] = 0.0;
    return;
  }
  const double first_centre = centre[0];
  for (std::size_t i = 0; i < count; ++i) {
    const double difference = value[i] - first_centre;
    distance[i] = difference * difference;
  }
  for (int c = 1; c < channels; ++c) {
    const double* channel = value + c * core::block_pixels;
    const double centre_value = centre[c];
    for (std::size_t i = 0; i < count; ++i) {
      const double difference = channel[i] - centre_value;
      distance[i] += difference * difference;
    }
  }
}

// plain_choice for any number of channels, one class after the other over
// the block.
void plain_choice_by_pixel(const double* value, int channels, const float* centres, int classes, std::size_t count,
                           double* distance, double* best, float* label, float* added) {
  int winner[core::block_pixels];
  for (std::size_t i = 0; i < count; ++i) {
    best[i] = core::largest_cost;
    winner[i] = -1;
  }
  for (int k = 0; k < classes; ++k) {
    squared_distances(value, channels, centres + std::size_t(k) * channels, count, distance);
    for (std::size_t i = 0; i < count; ++i)
      core::keep_lower_cost(distance[i], double(static_cast<float>(distance[i])), k, best[i], winner[i]);
  }
  for (std::size_t i = 0; i < count; ++i) {
    label[i] = winner[i] >= 0 ? static_cast<float>(winner[i]) : label[i];
    added[i] = winner[i] >= 0 ? static_cast<float>(best[i]) : core::cost_ceiling;
  }
}

#if VECTOR_TYPES
// The same choice with the values of `Channels` channels of eight pixels held
// in registers across all classes, and the winning cost rounded to float and
// back in every lane (the compiler vectorises neither that rounding nor the two
// selects by itself). `centres` are in double here. These read and write
// `label` and `added` up to the next multiple of eight past `count`; the caller
// gives room for that and ignores those pixels.
template <int Channels>
struct plain_choice_in_lanes {
  static VECTOR_INLINE void run(const double* value, const double* centres, int classes, std::size_t count,
                                float* label, float* added) {
    constexpr int groups = 2;  // of four pixels: two chains of comparisons overlap
    for (std::size_t i = 0; i < count; i += 4 * groups) {
      core::four_doubles channel[groups][Channels > 0 ? Channels : 1];
      core::four_doubles lowest[groups], chosen[groups];
      for (int g = 0; g < groups; ++g) {
        for (int c = 0; c < Channels; ++c) core::load(value + c * core::block_pixels + i + 4 * g, channel[g][c]);
        lowest[g] = core::four_doubles{} + core::largest_cost;
        chosen[g] = core::four_doubles{} - 1.0;
      }
      core::four_doubles this_class = {};
      for (int k = 0; k < classes; ++k) {
        const double* centre = centres + std::size_t(k) * Channels;
        for (int g = 0; g < groups; ++g) {
          core::four_doubles distance = {};
          for (int c = 0; c < Channels; ++c) {
            const core::four_doubles difference = channel[g][c] - centre[c];
            const core::four_doubles square = difference * difference;
            distance = c == 0 ? square : distance + square;
          }
          core::four_doubles stored;
          core::widen(__builtin_convertvector(distance, core::four_floats), stored);
          core::keep_lower_cost(distance, stored, this_class, lowest[g], chosen[g]);
        }
        this_class += 1.0;
      }
      for (int g = 0; g < groups; ++g) store_choice(chosen[g], lowest[g], label + i + 4 * g, added + i + 4 * g);
    }
  }

  // Four pixels' labels, where a class won them, and their added costs.
  static VECTOR_INLINE void store_choice(const core::four_doubles& chosen, const core::four_doubles& lowest,
                                         float* label, float* added) {
    const core::four_floats class_label = __builtin_convertvector(chosen, core::four_floats);
    const core::four_int32s won = (core::four_int32s)(class_label >= 0.0f);
    core::four_floats kept;
    std::memcpy(&kept, label, sizeof kept);
    const core::four_floats new_label = won ? class_label : kept;
    const core::four_floats cost =
        won ? __builtin_convertvector(lowest, core::four_floats) : core::four_floats{} + core::cost_ceiling;
    std::memcpy(label, &new_label, sizeof new_label);
    std::memcpy(added, &cost, sizeof cost);
  }
};
#endif

}  // namespace

void block_values(const CImg<float>& image, std::size_t first, std::size_t channel_size, std::size_t count,
                  double* value) {
  for (int c = 0; c < image.spectrum(); ++c) {
    const float* channel = image.data() + c * channel_size + first;
    double* out = value + c * core::block_pixels;
    for (std::size_t i = 0; i < count; ++i) out[i] = channel[i];
  }
}

namespace {
struct data_term_rows {
  static VECTOR_INLINE void run(const double* value, int channels, const float* centres, int classes, std::size_t count,
                                std::size_t stride, double* table) {
    for (int k = 0; k < classes; ++k)
      squared_distances(value, channels, centres + std::size_t(k) * channels, count, table + std::size_t(k) * stride);
  }
};
}  // namespace

void data_term_table(const double* value, int channels, const float* centres, int classes, std::size_t count,
                     std::size_t stride, double* table) {
  core::on_widest_vectors<data_term_rows>(value, channels, centres, classes, count, stride, table);
}

void plain_choice(const double* value, int channels, const float* centres, const double* centre_values, int classes,
                  std::size_t count, double* distance, double* best, float* label, float* added) {
#if VECTOR_TYPES
  const auto in_lanes = [&](auto kernel) {
    core::on_widest_vectors<decltype(kernel)>(value, centre_values, classes, count, label, added);
  };
  switch (channels) {
    case 0:
      return in_lanes(plain_choice_in_lanes<0>{});
    case 1:
      return in_lanes(plain_choice_in_lanes<1>{});
    case 2:
      return in_lanes(plain_choice_in_lanes<2>{});
    case 3:
      return in_lanes(plain_choice_in_lanes<3>{});
    case 4:
      return in_lanes(plain_choice_in_lanes<4>{});
    default:
      break;
  }
#else
  (void)centre_values;
#endif
  plain_choice_by_pixel(value, channels, centres, classes, count, distance, best, label, added);
}

}  // namespace sorvik
