// Values so far apart that a squared distance passes the largest float
// (about 3.4e38, differences above about 1.8e19). The best cost of a pixel is
// stored as a float: a cost that rounded to infinity there let every later
// class whose cost was still a number in double win the pixel, so a pixel
// went to the farthest class. Such a cost now wins nothing, and a pixel that
// no class wins keeps its label.
#include <gtest/gtest.h>

#include <vector>

#include "plugin_call.h"

namespace {

// A 1 x 2 image {0, 9e19} with K = 3: the centres are 2.25e19, 4.5e19 and
// 6.75e19, and every squared distance exceeds the largest float. Pixel 0 went
// to class 2, the farthest; now both pixels keep label 0.
const std::vector<double> far_apart = {0, 9e19};
const std::vector<double> kept_labels = {0, 0};

std::vector<double> labels_of(const mxArray* result) {
  const double* values = mxGetPr(result);
  return std::vector<double>(values, values + standin::element_count(result));
}

TEST(HugeValues, sorvik_gives_no_pixel_to_a_class_whose_cost_passes_the_largest_float) {
  const auto image = test_support::row_vector(far_apart);
  const auto plain_once = test_support::row_vector({0, 0, 0, 1, 1, 3});
  const auto result = test_support::call(test_support::sorvik_plugin(), {image.get(), plain_once.get()});
  ASSERT_TRUE(result);
  EXPECT_EQ(labels_of(result.get()), kept_labels);
}

// Tamvel's squared distances are floats (they overflow to infinity and
// lose), but a huge secondary weight makes costs that are numbers in double
// only: secondary {0, 9} with K = 3 has centres 2.25, 4.5 and 6.75, and with
// weight 1e38 pixel 0 went to class 2, the farthest.
TEST(HugeValues, tamvel_gives_no_pixel_to_a_class_whose_cost_passes_the_largest_float) {
  const auto primary = test_support::row_vector({0, 0});
  const auto secondary = test_support::row_vector({0, 9});
  const auto plain_once = test_support::row_vector({1e38, 0, 0, 0, 1, 1, 5, 3});
  const auto result =
      test_support::call(test_support::tamvel_plugin(), {primary.get(), secondary.get(), plain_once.get()});
  ASSERT_TRUE(result);
  EXPECT_EQ(labels_of(result.get()), kept_labels);
}

}  // namespace
