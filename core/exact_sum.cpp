#include "exact_sum.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace core {
namespace {

// Runs shorter than this go term by term: the lanes below cost a pass over
// their bins to clear and to fold.
constexpr std::size_t shortest_laned_run = 512;
// Terms of a run share four sets of bins, term i adding to set i mod 4, so
// that equal exponents in a row do not wait on each other's bin.
constexpr int run_lanes = 4;

// The settled value as a two's complement number of 384 bits, bit j worth
// 2^(j - 149): the bins below the top one give a bit each, the top one a
// signed number from bit 317 on.
constexpr int wide_words = 6;
using wide_number = std::array<std::uint64_t, wide_words>;

wide_number wide_value(const exact_sum& settled) {
  wide_number value{};
  constexpr int top = exact_sum::bin_count - 1;
  for (int i = 0; i < top; ++i) value[i / 64] |= std::uint64_t(settled.bins[i]) << (i % 64);
  const std::int64_t high = settled.bins[top];
  static_assert(top / 64 == wide_words - 2 && top % 64 != 0, "the top bin spans the last two words");
  value[wide_words - 2] |= std::uint64_t(high) << (top % 64);
  value[wide_words - 1] = std::uint64_t(high >> (64 - top % 64));  // arithmetic: the sign reaches bit 383
  return value;
}

bool wide_bit(const wide_number& value, int j) { return (value[j / 64] >> (j % 64)) & 1; }

// Whether any bit below bit `end` is set.
bool any_wide_bit_below(const wide_number& value, int end) {
  for (int w = 0; w < end / 64; ++w)
    if (value[w]) return true;
  return end % 64 != 0 && (value[end / 64] & ((std::uint64_t(1) << (end % 64)) - 1)) != 0;
}

// Bits first .. first + 63 (those past the top read as 0).
std::uint64_t wide_bits_from(const wide_number& value, int first) {
  const int w = first / 64, shift = first % 64;
  std::uint64_t bits = value[w] >> shift;
  if (shift != 0 && w + 1 < wide_words) bits |= value[w + 1] << (64 - shift);
  return bits;
}

// The exact sum of the finite terms rounded to `precision` significant bits,
// ties to even, as a double (exact for precision 24 and 53; a float result is
// then converted exactly, or overflows to infinity as rounding would).
double rounded_finite_sum(const exact_sum& sum, int precision) {
  exact_sum settled = sum;
  settle_carries(settled);
  wide_number value = wide_value(settled);
  const bool negative = value[wide_words - 1] >> 63;
  if (negative) {
    std::uint64_t carry = 1;
    for (std::uint64_t& word : value) {
      word = ~word + carry;
      carry = carry && word == 0;
    }
  }
  int highest = wide_words * 64 - 1;
  while (highest >= 0 && !wide_bit(value, highest)) --highest;
  if (highest < 0) return 0.0;
  int first = std::max(0, highest - (precision - 1));
  std::uint64_t significand = wide_bits_from(value, first) & ((std::uint64_t(1) << (highest - first + 1)) - 1);
  if (first > 0 && wide_bit(value, first - 1) && ((significand & 1) || any_wide_bit_below(value, first - 1)))
    ++significand;  // may reach 2^precision, still exact in a double
  const double magnitude = std::ldexp(double(significand), first - 149);
  return negative ? -magnitude : magnitude;
}

// What the infinities and NaN make of the sum, if anything.
std::optional<double> special_sum(const exact_sum& sum) {
  if (sum.nans > 0 || (sum.positive_infinities > 0 && sum.negative_infinities > 0))
    return std::numeric_limits<double>::quiet_NaN();
  if (sum.positive_infinities > 0) return std::numeric_limits<double>::infinity();
  if (sum.negative_infinities > 0) return -std::numeric_limits<double>::infinity();
  return std::nullopt;
}

// Adds a run that keeps within the unsettled limit, through the lanes. An
// infinity or NaN lands in a last bin of its own, which is dropped; the run
// is then read again for them, which is rare, so that the loop over the
// terms does not branch.
void add_run_in_lanes(exact_sum& sum, const float* values, std::size_t count) {
  constexpr int special_bin = exact_sum::float_bins;
  std::int64_t lanes[run_lanes][exact_sum::float_bins + 1] = {};
  std::size_t specials = 0;
  const auto add_term = [&](std::int64_t* lane, std::uint32_t bits) {
    const std::uint32_t exponent = (bits >> 23) & 0xFF;
    const std::int64_t magnitude = std::int64_t((bits & 0x7FFFFF) | (exponent ? 0x800000u : 0u));
    const std::int64_t negative = -std::int64_t(bits >> 31);
    lane[exponent - (exponent != 0)] += (magnitude ^ negative) - negative;
    specials += exponent == 0xFF;
  };
  std::size_t i = 0;
  for (; i + run_lanes <= count; i += run_lanes) {
    std::uint32_t bits[run_lanes];
    std::memcpy(bits, values + i, sizeof bits);
    for (int j = 0; j < run_lanes; ++j) add_term(lanes[j], bits[j]);
  }
  for (; i < count; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, values + i, sizeof bits);
    add_term(lanes[0], bits);
  }
  // Each lane's bin took at most `count` terms and the bins at most the
  // unsettled limit less `count`: the folded bins stay within it.
  static_assert(run_lanes == 4, "four lanes folded");
  for (int b = 0; b < special_bin; ++b) sum.bins[b] += (lanes[0][b] + lanes[1][b]) + (lanes[2][b] + lanes[3][b]);
  sum.unsettled += std::int64_t(count);
  if (specials == 0) return;
  for (i = 0; i < count; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, values + i, sizeof bits);
    if (((bits >> 23) & 0xFF) == 0xFF) add_bits(sum, bits);  // counted apart, touching no bin
  }
}

}  // namespace

void settle_carries(exact_sum& sum) {
  for (int i = 0; i + 1 < exact_sum::bin_count; ++i) {
    const std::int64_t value = sum.bins[i];
    sum.bins[i + 1] += value >> 1;  // arithmetic: rounds toward -infinity
    sum.bins[i] = value & 1;        // so that value = 2 * (value >> 1) + (value & 1)
  }
  sum.unsettled = 0;
}

void add(exact_sum& sum, const float* values, std::size_t count) {
  while (count >= shortest_laned_run) {
    if (sum.unsettled > exact_sum::unsettled_limit - std::int64_t(shortest_laned_run)) settle_carries(sum);
    const std::size_t run = std::min<std::size_t>(count, std::size_t(exact_sum::unsettled_limit - sum.unsettled));
    add_run_in_lanes(sum, values, run);
    values += run;
    count -= run;
  }
  for (std::size_t i = 0; i < count; ++i) add(sum, values[i]);
}

void merge(exact_sum& sum, const exact_sum& other) {
  exact_sum settled = other;
  settle_carries(settled);
  settle_carries(sum);
  // Bins of 0 or 1 below the top: two of them add up to at most 2.
  for (int b = 0; b < exact_sum::bin_count; ++b) sum.bins[b] += settled.bins[b];
  sum.unsettled = 1;
  sum.positive_infinities += other.positive_infinities;
  sum.negative_infinities += other.negative_infinities;
  sum.nans += other.nans;
}

float to_float(const exact_sum& sum) {
  if (const std::optional<double> special = special_sum(sum)) return float(*special);
  return static_cast<float>(rounded_finite_sum(sum, 24));
}

double to_double(const exact_sum& sum) {
  if (const std::optional<double> special = special_sum(sum)) return *special;
  return rounded_finite_sum(sum, 53);
}

// The layout: the bin count, the settled bins, then the counts of +inf, -inf
// and NaN.
std::vector<std::int64_t> to_words(const exact_sum& sum) {
  exact_sum settled = sum;
  settle_carries(settled);
  std::vector<std::int64_t> words;
  words.reserve(exact_sum::bin_count + 4);
  words.push_back(exact_sum::bin_count);
  words.insert(words.end(), settled.bins.begin(), settled.bins.end());
  words.push_back(settled.positive_infinities);
  words.push_back(settled.negative_infinities);
  words.push_back(settled.nans);
  return words;
}

std::optional<exact_sum> exact_sum_from_words(const std::vector<std::int64_t>& words) {
  if (words.size() != std::size_t(exact_sum::bin_count) + 4 || words[0] != exact_sum::bin_count) return std::nullopt;
  exact_sum sum;
  std::copy(words.begin() + 1, words.begin() + 1 + exact_sum::bin_count, sum.bins.begin());
  // Settled bins only: 0 or 1 below the top, and the top within the range
  // carries can reach (a quarter of the int64 range, with room to spare).
  for (int b = 0; b + 1 < exact_sum::bin_count; ++b)
    if (sum.bins[b] != 0 && sum.bins[b] != 1) return std::nullopt;
  const std::int64_t top = sum.bins[exact_sum::bin_count - 1];
  if (top > (std::int64_t(1) << 61) || top < -(std::int64_t(1) << 61)) return std::nullopt;
  sum.positive_infinities = words[exact_sum::bin_count + 1];
  sum.negative_infinities = words[exact_sum::bin_count + 2];
  sum.nans = words[exact_sum::bin_count + 3];
  if (sum.positive_infinities < 0 || sum.negative_infinities < 0 || sum.nans < 0) return std::nullopt;
  return sum;
}

}  // namespace core
