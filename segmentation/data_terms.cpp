#include "data_terms.h"

#include "core/costs.h"
#include "core/vector_clones.h"
#include "core/vector_lanes.h"

// Every data term is summed over ascending channels exactly as the plain
// iteration sums it, starting from the first square rather than from 0:
// 0 + d is d for every square, since no square is -0.

namespace sorvik {
namespace {

void squared_distances(const double* value, int channels, const float* centre, std::size_t count,
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
void plain_choice_by_pixel(const double* value, int channels, const float* centres, int classes,
                                  std::size_t count, double* distance, double* best, float* label, float* added) {
  for (std::size_t i = 0; i < count; ++i) {
    best[i] = core::largest_cost;
    added[i] = core::cost_ceiling;
  }
  for (int k = 0; k < classes; ++k) {
    squared_distances(value, channels, centres + std::size_t(k) * channels, count, distance);
    for (std::size_t i = 0; i < count; ++i)
      if (distance[i] < best[i]) {
        best[i] = static_cast<float>(distance[i]);
        label[i] = static_cast<float>(k);
        added[i] = static_cast<float>(best[i]);
      }
  }
}

#if defined(__GNUC__) && defined(__x86_64__)
// The same choice with the values of `Channels` channels of eight pixels held
// in registers across all classes, and the winning cost rounded to float and
// back in every lane (the compiler vectorises neither that rounding nor the two
// selects by itself). `centres` are in double here. These read and write
// `label` and `added` up to the next multiple of eight past `count`; the caller
// gives room for that and ignores those pixels.
template <int Channels>
__attribute__((target("avx2"))) void plain_choice_avx2(const double* value, const double* centres, int classes,
                                                       std::size_t count, float* label, float* added) {
  constexpr int groups = 2;  // of four pixels: two chains of comparisons overlap
  const __m128 ceiling = _mm_set1_ps(core::cost_ceiling);
  for (std::size_t i = 0; i < count; i += 4 * groups) {
    __m256d channel[groups][Channels > 0 ? Channels : 1];
    __m256d lowest[groups], chosen[groups];
    for (int g = 0; g < groups; ++g) {
      for (int c = 0; c < Channels; ++c) channel[g][c] = _mm256_loadu_pd(value + c * core::block_pixels + i + 4 * g);
      lowest[g] = _mm256_set1_pd(core::largest_cost);
      chosen[g] = _mm256_set1_pd(-1.0);
    }
    __m256d this_class = _mm256_setzero_pd();
    for (int k = 0; k < classes; ++k) {
      const double* centre = centres + std::size_t(k) * Channels;
      for (int g = 0; g < groups; ++g) {
        __m256d distance = _mm256_setzero_pd();
        for (int c = 0; c < Channels; ++c) {
          const __m256d difference = _mm256_sub_pd(channel[g][c], _mm256_broadcast_sd(centre + c));
          const __m256d square = _mm256_mul_pd(difference, difference);
          distance = c == 0 ? square : _mm256_add_pd(distance, square);
        }
        const __m256d better = _mm256_cmp_pd(distance, lowest[g], _CMP_LT_OQ);
        const __m256d stored = _mm256_cvtps_pd(_mm256_cvtpd_ps(distance));
        lowest[g] = _mm256_blendv_pd(lowest[g], stored, better);
        chosen[g] = _mm256_blendv_pd(chosen[g], this_class, better);
      }
      this_class = _mm256_add_pd(this_class, _mm256_set1_pd(1.0));
    }
    for (int g = 0; g < groups; ++g) {
      const std::size_t at = i + 4 * g;
      const __m128 class_label = _mm256_cvtpd_ps(chosen[g]);
      const __m128 won = _mm_cmpge_ps(class_label, _mm_setzero_ps());
      _mm_storeu_ps(label + at, _mm_blendv_ps(_mm_loadu_ps(label + at), class_label, won));
      _mm_storeu_ps(added + at, _mm_blendv_ps(ceiling, _mm256_cvtpd_ps(lowest[g]), won));
    }
  }
}

__m128d select_lanes(__m128d mask, __m128d if_set, __m128d if_clear) {
  return _mm_or_pd(_mm_and_pd(mask, if_set), _mm_andnot_pd(mask, if_clear));
}

// The same with the baseline's two doubles to a register.
template <int Channels>
void plain_choice_sse2(const double* value, const double* centres, int classes, std::size_t count, float* label,
                       float* added) {
  constexpr int groups = 4;  // of two pixels
  for (std::size_t i = 0; i < count; i += 2 * groups) {
    __m128d lowest[groups], chosen[groups];
    for (int g = 0; g < groups; ++g) {
      lowest[g] = _mm_set1_pd(core::largest_cost);
      chosen[g] = _mm_set1_pd(-1.0);
    }
    __m128d this_class = _mm_setzero_pd();
    for (int k = 0; k < classes; ++k) {
      const double* centre = centres + std::size_t(k) * Channels;
      for (int g = 0; g < groups; ++g) {
        __m128d distance = _mm_setzero_pd();
        for (int c = 0; c < Channels; ++c) {
          const __m128d difference =
              _mm_sub_pd(_mm_loadu_pd(value + c * core::block_pixels + i + 2 * g), _mm_set1_pd(centre[c]));
          const __m128d square = _mm_mul_pd(difference, difference);
          distance = c == 0 ? square : _mm_add_pd(distance, square);
        }
        const __m128d better = _mm_cmplt_pd(distance, lowest[g]);
        const __m128d stored = _mm_cvtps_pd(_mm_cvtpd_ps(distance));
        lowest[g] = select_lanes(better, stored, lowest[g]);
        chosen[g] = select_lanes(better, this_class, chosen[g]);
      }
      this_class = _mm_add_pd(this_class, _mm_set1_pd(1.0));
    }
    for (int g = 0; g < groups; ++g) {
      double chosen_class[2], cost[2];
      _mm_storeu_pd(chosen_class, chosen[g]);
      _mm_storeu_pd(cost, lowest[g]);
      for (int lane = 0; lane < 2; ++lane) {
        const std::size_t at = i + 2 * g + lane;
        if (chosen_class[lane] >= 0) label[at] = static_cast<float>(chosen_class[lane]);
        added[at] = chosen_class[lane] >= 0 ? static_cast<float>(cost[lane]) : core::cost_ceiling;
      }
    }
  }
}

template <int Channels>
void plain_choice_in_vectors(const double* value, const double* centres, int classes, std::size_t count, float* label,
                             float* added) {
#if defined(WIDER_VECTORS)
  if (__builtin_cpu_supports("avx2")) return plain_choice_avx2<Channels>(value, centres, classes, count, label, added);
#endif
  plain_choice_sse2<Channels>(value, centres, classes, count, label, added);
}
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

VECTOR_CLONES void data_term_table(const double* value, int channels, const float* centres,
                                                 int classes, std::size_t count, std::size_t stride, double* table) {
  for (int k = 0; k < classes; ++k)
    squared_distances(value, channels, centres + std::size_t(k) * channels, count, table + std::size_t(k) * stride);
}

void plain_choice(const double* value, int channels, const float* centres, const double* centre_values,
                         int classes, std::size_t count, double* distance, double* best, float* label,
                         float* added) {
#if defined(__GNUC__) && defined(__x86_64__)
  switch (channels) {
    case 0: return plain_choice_in_vectors<0>(value, centre_values, classes, count, label, added);
    case 1: return plain_choice_in_vectors<1>(value, centre_values, classes, count, label, added);
    case 2: return plain_choice_in_vectors<2>(value, centre_values, classes, count, label, added);
    case 3: return plain_choice_in_vectors<3>(value, centre_values, classes, count, label, added);
    case 4: return plain_choice_in_vectors<4>(value, centre_values, classes, count, label, added);
    default: break;
  }
#endif
  plain_choice_by_pixel(value, channels, centres, classes, count, distance, best, label, added);
}

}  // namespace sorvik
