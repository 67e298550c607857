// Inputs that fuzzing found mishandled, kept so that they stay handled.
#include <gtest/gtest.h>

#include <vector>

#include "plugin_call.h"

namespace {

using dimensions = std::vector<std::size_t>;

TEST(FuzzFindings, sorvik_keeps_the_shape_of_an_image_without_pixels_or_channels) {
  // With no channels nothing refuses such an image, and there is no pixel to
  // label. The result came back 0 x 0 x 0 x 0, since the container drops
  // every extent of an image without pixels.
  const auto settings = test_support::row_vector({3, 6, 3, 3, 1, 2});  // edge phase from iteration 2
  const struct {
    dimensions image, labels;
  } cases[] = {
      {{0, 0, 0}, {0, 0, 1, 1}},
      {{0, 5, 0}, {0, 5, 1, 1}},
      {{2, 0, 2, 0}, {2, 0, 2, 1}},
      {{3, 4, 0, 0}, {3, 4, 0, 1}},
  };
  for (const auto& c : cases) {
    const auto image = standin::make_array(mxUINT8_CLASS, c.image);
    const auto result = test_support::call(test_support::sorvik_plugin(), {image.get(), settings.get()});
    ASSERT_TRUE(result);
    EXPECT_EQ(standin::dimensions_of(result.get()), c.labels);
  }
}

}  // namespace
