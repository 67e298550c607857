// An exact sum of floats that does not depend on the order of its terms.
//
// Every finite float is m * 2^e with a whole m, |m| < 2^24, and e from -149
// (the subnormals) to 104; its m is added to the bin of its e, a whole number
// in 64 bits. Whole numbers add exactly and in any order, so two sums of the
// same terms hold the same value however the terms were taken, split or
// merged. Infinities and NaN are counted apart. Only when the sum is read is
// it rounded, once, to the nearest float or double, ties to even.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace core {

struct exact_sum {
  // Bin i holds a multiple of 2^(i - 149). The bins past the floats' own are
  // reached only by carries, so that no count of terms outgrows the top bin.
  static constexpr int float_bins = 254;
  static constexpr int carry_bins = 64;
  static constexpr int bin_count = float_bins + carry_bins;
  // Terms a bin takes before its carries are settled: each adds less than
  // 2^24, and a bin and the carry it receives stay below 2^62 together.
  static constexpr std::int64_t unsettled_limit = std::int64_t(1) << 37;

  std::array<std::int64_t, bin_count> bins{};
  std::int64_t unsettled = 0;  // terms added to the bins since their carries were settled
  std::int64_t positive_infinities = 0, negative_infinities = 0, nans = 0;
};

// Moves every bin's value above its lowest bit into the next bin: afterwards
// each bin but the top one holds 0 or 1, and the value is unchanged. Two
// sums of the same value have the same settled bins.
void settle_carries(exact_sum& sum);

// Adds the float with these bits.
inline void add_bits(exact_sum& sum, std::uint32_t bits) {
  const std::uint32_t exponent = (bits >> 23) & 0xFF;
  if (exponent == 0xFF) {
    if (bits & 0x7FFFFF)
      ++sum.nans;
    else if (bits >> 31)
      ++sum.negative_infinities;
    else
      ++sum.positive_infinities;
    return;
  }
  if (sum.unsettled == exact_sum::unsettled_limit) settle_carries(sum);
  ++sum.unsettled;
  // A subnormal has exponent field 0 and the scale of field 1, without the
  // implicit leading bit.
  const std::int64_t magnitude = std::int64_t((bits & 0x7FFFFF) | (exponent ? 0x800000u : 0u));
  const std::int64_t negative = -std::int64_t(bits >> 31);  // all ones for a negative float
  sum.bins[exponent - (exponent != 0)] += (magnitude ^ negative) - negative;
}

inline void add(exact_sum& sum, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  add_bits(sum, bits);
}

// Adds values[0] .. values[count - 1]: the same sum as adding them one by
// one, at a fraction of the cost for long runs.
void add(exact_sum& sum, const float* values, std::size_t count);

// Adds every term of `other` to `sum`.
void merge(exact_sum& sum, const exact_sum& other);

// The exact sum rounded once to the nearest float or double, ties to even: an
// infinity where it rounds beyond the largest finite value, NaN where a term
// is NaN or infinities of both signs were added, and +0 for an exact 0.
float to_float(const exact_sum& sum);
double to_double(const exact_sum& sum);

// The sum as whole numbers that another process reads back with
// exact_sum_from_words: the settled bins and the counts, in a fixed layout.
std::vector<std::int64_t> to_words(const exact_sum& sum);

// The sum that to_words gave, or nothing where `words` are not such a sum.
std::optional<exact_sum> exact_sum_from_words(const std::vector<std::int64_t>& words);

}  // namespace core
