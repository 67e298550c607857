#include "class_sums.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace tamvel {
namespace {

// The class a counted pixel's label names, truncated as a cast does; -1 for
// a pixel left out.
std::int64_t counted_class(float label, bool counted, int class_count) {
  return counted && label > -1.0f && label < float(class_count) ? std::int64_t(label) : -1;
}

}  // namespace

// Per pixel, whether every used channel of both images is finite: only such
// pixels enter the centres. The images never change, so a run asks once.
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

// Each (class, channel) sum takes its pixels in raster order, in double, so
// that it rounds as the plain iteration's does. A run of one class keeps its
// sums, and in channel 0 its count, in registers.
void sum_classes(const CImg<float>& primary, const CImg<float>& secondary, const float* labels,
                 const std::vector<unsigned char>& counted, int class_count, class_sums& sums) {
  const int channels = primary.spectrum();
  const std::size_t pixels = counted.size();
  sums.counts.assign(class_count, 0);
  sums.primary.assign(std::size_t(class_count) * channels, 0.0);
  sums.secondary.assign(std::size_t(class_count) * channels, 0.0);
  for (int c = 0; c < channels; ++c) {
    const float* primary_value = primary.data() + std::size_t(c) * pixels;
    const float* secondary_value = secondary.data() + std::size_t(c) * pixels;
    std::int64_t current = -1;
    double primary_sum = 0, secondary_sum = 0;
    std::uint64_t count = 0;
    const auto store = [&] {
      if (current < 0) return;
      sums.primary[std::size_t(current) * channels + c] = primary_sum;
      sums.secondary[std::size_t(current) * channels + c] = secondary_sum;
      if (c == 0) sums.counts[current] += count;
    };
    for (std::size_t i = 0; i < pixels; ++i) {
      const std::int64_t k = counted_class(labels[i], counted[i], class_count);
      if (k != current) {
        store();
        current = k;
        if (k < 0) continue;
        primary_sum = sums.primary[std::size_t(k) * channels + c];
        secondary_sum = sums.secondary[std::size_t(k) * channels + c];
        count = 0;
      } else if (k < 0) {
        continue;
      }
      primary_sum += primary_value[i];
      secondary_sum += secondary_value[i];
      ++count;
    }
    store();
  }
}

void set_centres(const class_sums& sums, centre_pair& centres) {
  const int channels = centres.primary.width();
  for (int k = 0; k < centres.primary.height(); ++k) {
    const double divisor = double(sums.counts[k]) + empty_class_guard;
    for (int c = 0; c < channels; ++c) {
      centres.primary(c, k) = static_cast<float>(sums.primary[std::size_t(k) * channels + c] / divisor);
      centres.secondary(c, k) = static_cast<float>(sums.secondary[std::size_t(k) * channels + c] / divisor);
    }
  }
}

// Whether every sum of counted values, in any order and with any of them
// taken out again, is exact in double: when all are whole multiples of one
// power of two small enough that no sum of them outgrows the 53-bit
// significand. Whole-numbered images, as most sensors give, pass. Then the
// sums need not be formed anew in raster order: moving a relabelled pixel's
// values from one class to the other gives the same bits.
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

// Moves the pixels the last sweep relabelled between the class sums.
void move_relabelled(const CImg<float>& primary, const CImg<float>& secondary, const float* labels,
                     const std::vector<unsigned char>& counted, const std::vector<label_change>& changes,
                     class_sums& sums) {
  const int channels = primary.spectrum();
  const std::size_t pixels = counted.size();
  for (const label_change& change : changes) {
    if (!counted[change.position]) continue;
    const std::size_t from = std::size_t(change.from), to = std::size_t(labels[change.position]);
    --sums.counts[from];
    ++sums.counts[to];
    for (int c = 0; c < channels; ++c) {
      const std::size_t at = std::size_t(c) * pixels + change.position;
      sums.primary[from * channels + c] -= primary.data()[at];
      sums.primary[to * channels + c] += primary.data()[at];
      sums.secondary[from * channels + c] -= secondary.data()[at];
      sums.secondary[to * channels + c] += secondary.data()[at];
    }
  }
}

}  // namespace tamvel
