// The exact sum of floats against sums whose exact value is known: long
// double sums of values whose bits all fit its significand, and cases built
// to cancel, to tie and to overflow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "core/exact_sum.h"

namespace {

static_assert(std::numeric_limits<long double>::digits >= 64, "long double holds the sums below exactly");

const float inf = std::numeric_limits<float>::infinity();
const float nan = std::numeric_limits<float>::quiet_NaN();
const float largest = std::numeric_limits<float>::max();
const float tiniest = std::numeric_limits<float>::denorm_min();

core::exact_sum sum_of(const std::vector<float>& values) {
  core::exact_sum sum;
  core::add(sum, values.data(), values.size());
  return sum;
}

core::exact_sum sum_one_by_one(const std::vector<float>& values) {
  core::exact_sum sum;
  for (const float value : values) core::add(sum, value);
  return sum;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Values of either sign from 2^-10 to 2^10 with random significands: n of
// them, n < 2^14, sum exactly in 64 bits (from 2^-33 to below 2^24).
std::vector<float> values_in_narrow_range(std::mt19937& random, std::size_t n) {
  std::uniform_int_distribution<int> exponent(-10, 9), significand(1 << 23, (1 << 24) - 1), sign(0, 1);
  std::vector<float> values(n);
  for (float& value : values)
    value = std::ldexp(float(significand(random)), exponent(random) - 23) * (sign(random) ? -1.0f : 1.0f);
  return values;
}

TEST(ExactSum, rounds_once_what_long_double_sums_exactly_in_any_order_and_split) {
  std::mt19937 random(7);
  for (const std::size_t n : {1u, 3u, 511u, 512u, 513u, 4099u, 16000u}) {
    std::vector<float> values = values_in_narrow_range(random, n);
    long double exact = 0;
    for (const float value : values) exact += value;
    const core::exact_sum sum = sum_of(values);
    EXPECT_TRUE(same_bits(core::to_float(sum), float(exact))) << n;
    EXPECT_TRUE(same_bits(core::to_double(sum), double(exact))) << n;
    EXPECT_EQ(core::to_words(sum_one_by_one(values)), core::to_words(sum));
    // Shuffled, and split in three parts merged in another order.
    std::shuffle(values.begin(), values.end(), random);
    const std::size_t a = n / 3, b = 2 * n / 3;
    core::exact_sum first = sum_of({values.begin(), values.begin() + a});
    const core::exact_sum second = sum_of({values.begin() + a, values.begin() + b});
    const core::exact_sum third = sum_of({values.begin() + b, values.end()});
    core::merge(first, third);
    core::merge(first, second);
    EXPECT_EQ(core::to_words(first), core::to_words(sum)) << n;
  }
}

TEST(ExactSum, cancellation_ties_to_even_and_subnormals) {
  const float half_step = std::ldexp(1.0f, -24);  // half the spacing of floats above 1
  struct sum_case {
    std::vector<float> values;
    float as_float;
    double as_double;
  };
  const std::vector<sum_case> cases = {
      {{}, 0.0f, 0.0},
      {{1e30f, 1.0f, -1e30f}, 1.0f, 1.0},
      {{largest, largest, tiniest, -largest, -largest}, tiniest, double(tiniest)},
      {{largest, largest}, inf, 2.0 * largest},
      {{-largest, -largest}, -inf, -2.0 * largest},
      // Ties: to the even neighbour, unless anything lies beyond the half.
      {{1.0f, half_step}, 1.0f, 1.0 + half_step},
      {{1.0f + 2 * half_step, half_step}, 1.0f + 4 * half_step, 1.0 + 3.0 * half_step},
      {{1.0f, half_step, std::ldexp(1.0f, -100)}, 1.0f + 2 * half_step, 1.0 + half_step},
      {{-1.0f, -half_step}, -1.0f, -1.0 - half_step},
      {{1.0f, std::ldexp(1.0f, -53)}, 1.0f, 1.0},
      {{1.0f, std::ldexp(1.0f, -53), std::ldexp(1.0f, -120)}, 1.0f, 1.0 + std::ldexp(1.0, -52)},
      // Subnormals add exactly, into the normal range too; an exact 0 is +0.
      {{tiniest, tiniest, tiniest}, 3 * tiniest, 3.0 * tiniest},
      {{std::ldexp(1.0f, -127), std::ldexp(1.0f, -127)}, std::ldexp(1.0f, -126), std::ldexp(1.0, -126)},
      {{-tiniest, tiniest}, 0.0f, 0.0},
      {{-0.0f, -0.0f}, 0.0f, 0.0},
  };
  for (const sum_case& c : cases) {
    const core::exact_sum sum = sum_of(c.values);
    EXPECT_TRUE(same_bits(core::to_float(sum), c.as_float)) << core::to_float(sum) << " " << c.as_float;
    EXPECT_TRUE(same_bits(core::to_double(sum), c.as_double)) << core::to_double(sum) << " " << c.as_double;
  }
}

TEST(ExactSum, infinities_and_nan_are_counted_apart) {
  EXPECT_EQ(core::to_float(sum_of({1.0f, inf, largest})), inf);
  EXPECT_EQ(core::to_double(sum_of({-inf, 5.0f})), -double(inf));
  EXPECT_TRUE(std::isnan(core::to_float(sum_of({inf, 1.0f, -inf}))));
  EXPECT_TRUE(std::isnan(core::to_double(sum_of({2.0f, nan}))));
  EXPECT_TRUE(std::isnan(core::to_double(sum_of(std::vector<float>(600, -nan)))));
}

TEST(ExactSum, many_equal_terms_and_settled_carries) {
  // 2^26 terms of 0.1f: a float chain stalls at 2^21, the exact sum does not.
  const std::size_t n = std::size_t(1) << 26;
  const std::vector<float> tenths(1 << 20, 0.1f);
  core::exact_sum sum;
  for (std::size_t done = 0; done < n; done += tenths.size()) core::add(sum, tenths.data(), tenths.size());
  const double exact = double(n) * double(0.1f);  // 24 significant bits times a power of two
  EXPECT_TRUE(same_bits(core::to_double(sum), exact));
  EXPECT_TRUE(same_bits(core::to_float(sum), float(exact)));
  // Settling changes the bins' form, never the value; negated terms cancel.
  core::exact_sum settled = sum;
  core::settle_carries(settled);
  EXPECT_EQ(core::to_words(settled), core::to_words(sum));
  const std::vector<float> negated(1 << 20, -0.1f);
  for (std::size_t done = 0; done < n; done += negated.size()) core::add(settled, negated.data(), negated.size());
  EXPECT_TRUE(same_bits(core::to_double(settled), 0.0));
}

TEST(ExactSum, words_carry_a_sum_between_processes) {
  std::mt19937 random(11);
  std::vector<float> values = values_in_narrow_range(random, 3000);
  values.push_back(largest);
  values.push_back(inf);
  const core::exact_sum sum = sum_of(values);
  const std::vector<std::int64_t> words = core::to_words(sum);
  const std::optional<core::exact_sum> read = core::exact_sum_from_words(words);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(core::to_words(*read), words);
  EXPECT_EQ(core::to_float(*read), core::to_float(sum));
  core::exact_sum doubled = *read;
  core::merge(doubled, sum);
  EXPECT_EQ(doubled.positive_infinities, 2);
  // Anything but settled bins and counts is refused.
  std::vector<std::int64_t> broken = words;
  broken[5] = 2;
  EXPECT_FALSE(core::exact_sum_from_words(broken).has_value());
  broken = words;
  broken.back() = -1;
  EXPECT_FALSE(core::exact_sum_from_words(broken).has_value());
  EXPECT_FALSE(core::exact_sum_from_words({words.begin(), words.end() - 1}).has_value());
}

}  // namespace
