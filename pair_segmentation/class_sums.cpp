#include "class_sums.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "segmentation/centre_sums.h"

namespace tamvel {

std::vector<unsigned char> counted_pixels(const CImg<float>& primary, const CImg<float>& secondary) {
  const std::size_t pixels = std::size_t(primary.width()) * primary.height() * primary.depth();
  std::vector<unsigned char> counted(pixels, 1);
  for (int c = 0; c < primary.spectrum(); ++c) {
    const float* primary_value = primary.data() + std::size_t(c) * pixels;
    const float* secondary_value = secondary.data() + std::size_t(c) * pixels;
    for (std::size_t i = 0; i < pixels; ++i)
      counted[i] &= std::isfinite(primary_value[i]) && std::isfinite(secondary_value[i]);
  }
  return counted;
}

void sum_classes(const CImg<float>& primary, const CImg<float>& secondary, const float* labels, int class_count,
                 class_sums& sums) {
  const int channels = primary.spectrum();
  const std::size_t pixels = std::size_t(primary.width()) * primary.height() * primary.depth();
  std::vector<const float*> channel;
  for (const CImg<float>* image : {&primary, &secondary})
    for (int c = 0; c < channels; ++c) channel.push_back(image->data() + std::size_t(c) * pixels);
  sums.channels = channels;
  sorvik::sum_by_class(labels, pixels, channel, class_count, sums.values, sums.counts);
}

void set_centres(class_sums& sums, centre_pair& centres) {
  const int channels = centres.primary.width();
  for (int k = 0; k < centres.primary.height(); ++k) {
    const double divisor = double(sums.counts[k]) + empty_class_guard;
    for (int c = 0; c < channels; ++c) {
      centres.primary(c, k) = static_cast<float>(sums.primary(k, c) / divisor);
      centres.secondary(c, k) = static_cast<float>(sums.secondary(k, c) / divisor);
    }
  }
}

bool sums_are_exact(const CImg<float>& primary, const CImg<float>& secondary,
                    const std::vector<unsigned char>& counted) {
  const std::size_t pixels = counted.size();
  std::size_t count = 0;
  for (std::size_t i = 0; i < pixels; ++i) count += counted[i];
  float largest = 0;
  for (const float* image : {primary.data(), secondary.data()})
    for (int c = 0; c < primary.spectrum(); ++c) {
      const float* value = image + std::size_t(c) * pixels;
      for (std::size_t i = 0; i < pixels; ++i) largest = std::max(largest, counted[i] ? std::fabs(value[i]) : 0.0f);
    }
  if (count == 0 || largest == 0) return true;
  int largest_exponent = 0, count_exponent = 0;
  std::frexp(largest, &largest_exponent);                               // largest < 2^largest_exponent
  while ((std::size_t(1) << count_exponent) < count) ++count_exponent;  // count <= 2^count_exponent
  // Every value a whole number of steps, and no sum of them beyond 2^53 steps.
  const double steps_per_unit = std::ldexp(1.0, 53 - largest_exponent - count_exponent);
  for (const float* image : {primary.data(), secondary.data()})
    for (int c = 0; c < primary.spectrum(); ++c) {
      const float* value = image + std::size_t(c) * pixels;
      for (std::size_t i = 0; i < pixels; ++i) {
        const double steps = counted[i] ? double(value[i]) * steps_per_unit : 0.0;  // at most 2^53 in magnitude
        if (steps != double(std::int64_t(steps))) return false;
      }
    }
  return true;
}

void move_relabelled(const CImg<float>& primary, const CImg<float>& secondary, const float* labels,
                     const std::vector<unsigned char>& counted, const std::vector<label_change>& changes,
                     class_sums& sums) {
  const int channels = primary.spectrum();
  const std::size_t pixels = counted.size();
  const std::size_t class_count = sums.counts.size();
  for (const label_change& change : changes) {
    const std::size_t from = std::size_t(change.from), to = std::size_t(labels[change.position]);
    if (!counted[change.position] || from >= class_count) continue;
    --sums.counts[from];
    ++sums.counts[to];
    for (int c = 0; c < channels; ++c) {
      const std::size_t at = std::size_t(c) * pixels + change.position;
      sums.primary(from, c) -= primary.data()[at];
      sums.primary(to, c) += primary.data()[at];
      sums.secondary(from, c) -= secondary.data()[at];
      sums.secondary(to, c) += secondary.data()[at];
    }
  }
}

}  // namespace tamvel
