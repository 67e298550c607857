#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/refusal.h"
#include "sorvik/parameters.h"

namespace {

CImg<float> settings(std::initializer_list<float> values) {
  CImg<float> image(static_cast<unsigned>(values.size()), 1);
  unsigned i = 0;
  for (float v : values) image(i++) = v;
  return image;
}

std::string refusal_of(const CImg<float>& parameter_image) {
  try {
    sorvik::read_parameters(parameter_image);
  } catch (const core::refusal& refusal) {
    return refusal.mnemonic();
  }
  return "";
}

TEST(SorvikSettings, read_in_order_with_counts_truncated_toward_zero) {
  const auto p = sorvik::read_parameters(settings({4.9f, 2.5f, 0.125f, 10.5f, -1.7f, 2.99f, 99.0f}));
  EXPECT_EQ(p.window_size, 4);
  EXPECT_EQ(p.edge_weight, 2.5f);
  EXPECT_EQ(p.tolerance, 0.125f);
  EXPECT_EQ(p.max_iterations, 10);
  EXPECT_EQ(p.last_plain_iteration, -1);
  EXPECT_EQ(p.class_count, 2);
  EXPECT_EQ(sorvik::read_parameters(settings({3, 0, 0, -0.5f, 0, 1})).max_iterations, 0);
}

TEST(SorvikSettings, window_bounds_derive_from_the_diameter) {
  struct expected {
    float w;
    int lo, hi;
  };
  for (const expected e :
       {expected{5, -2, 3}, expected{4, -2, 2}, expected{1, 0, 1}, expected{0, 0, 0}, expected{-3, 1, -1}}) {
    const auto p = sorvik::read_parameters(settings({e.w, 0, 0, 1, 0, 1}));
    EXPECT_EQ(p.window.lo, e.lo) << "w = " << e.w;
    EXPECT_EQ(p.window.hi, e.hi) << "w = " << e.w;
  }
}

TEST(SorvikSettings, refuses_what_it_cannot_compute) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(refusal_of(settings({5, 1, 0, 10, 2})), "tooFewParameters");
  EXPECT_EQ(refusal_of(CImg<float>()), "tooFewParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, 0, 10, 2, 0})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, 0, 10, 2, 0.99f})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, 0, 10, 2, 16777218.0f})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, 0, nan, 2, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, 0, 10, inf, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, 0, 2147483648.0f, 2, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, 0, 10, -2147483904.0f, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({46341, 1, 0, 10, 2, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({-46341, 1, 0, 10, 2, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, nan, 0, 10, 2, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, -inf, 0, 10, 2, 3})), "badParameters");
  EXPECT_EQ(refusal_of(settings({5, 1, nan, 10, 2, 3})), "badParameters");
}

TEST(SorvikSettings, accepts_the_edges_of_every_range) {
  EXPECT_EQ(refusal_of(settings({46340, 1, 0, 10, 2, 16777216.0f})), "");
  EXPECT_EQ(refusal_of(settings({-46340, -1, -5, -2147483648.0f, 2147483520.0f, 1})), "");
  EXPECT_EQ(refusal_of(settings({5, 1, std::numeric_limits<float>::infinity(), 10, 2, 3})), "");
}

}  // namespace
