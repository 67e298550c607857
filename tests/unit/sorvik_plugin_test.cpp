#include <gtest/gtest.h>

#include <cstdint>

#include "plugin_call.h"

namespace {

using test_support::call;
using test_support::labels_of;
using test_support::refusal_identifier;
using test_support::row_vector;
using test_support::sorvik_plugin;

// A 4 x 6 scene: dark on the left, bright on the right, one bright pixel
// at row 2, column 2 (one-based).
std::vector<double> scene_by_columns() {
  std::vector<double> values;
  for (int column = 0; column < 6; ++column)
    for (int row = 0; row < 4; ++row) values.push_back(column < 3 ? 10 : 120);
  values[1 + 4 * 1] = 120;
  return values;
}

const std::vector<double> plain_settings = {0, 0, 0, 10, 100, 2};

TEST(SorvikPlugin, labels_come_back_rows_by_columns_in_place) {
  const auto image = standin::make_doubles({4, 6}, scene_by_columns());
  const auto result = call(sorvik_plugin(), {image.get(), row_vector(plain_settings).get()});
  ASSERT_TRUE(result);
  EXPECT_EQ(standin::dimensions_of(result.get()), (std::vector<std::size_t>{4, 6, 1, 1}));
  const CImg<float> labels = labels_of(result.get());
  EXPECT_EQ(labels(0, 0), 0.0f);
  EXPECT_EQ(labels(1, 1), 1.0f);  // row 2, column 2
  EXPECT_EQ(labels(5, 3), 1.0f);
  EXPECT_EQ(labels.sum(), 13.0f);
}

TEST(SorvikPlugin, every_accepted_class_gives_the_same_labels) {
  const std::vector<double> values = scene_by_columns();
  const auto settings = row_vector(plain_settings);
  const CImg<float> expected =
      labels_of(call(sorvik_plugin(), {standin::make_doubles({4, 6}, values).get(), settings.get()}).get());
  std::vector<standin::array_ptr> images;
  images.push_back(standin::make_filled(mxSINGLE_CLASS, {4, 6}, std::vector<float>(values.begin(), values.end())));
  images.push_back(
      standin::make_filled(mxUINT8_CLASS, {4, 6}, std::vector<std::uint8_t>(values.begin(), values.end())));
  images.push_back(standin::make_filled(mxINT8_CLASS, {4, 6}, std::vector<std::int8_t>(values.begin(), values.end())));
  images.push_back(
      standin::make_filled(mxINT16_CLASS, {4, 6}, std::vector<std::int16_t>(values.begin(), values.end())));
  images.push_back(
      standin::make_filled(mxUINT16_CLASS, {4, 6}, std::vector<std::uint16_t>(values.begin(), values.end())));
  images.push_back(
      standin::make_filled(mxINT32_CLASS, {4, 6}, std::vector<std::int32_t>(values.begin(), values.end())));
  images.push_back(
      standin::make_filled(mxUINT32_CLASS, {4, 6}, std::vector<std::uint32_t>(values.begin(), values.end())));
  images.push_back(
      standin::make_filled(mxINT64_CLASS, {4, 6}, std::vector<std::int64_t>(values.begin(), values.end())));
  images.push_back(
      standin::make_filled(mxUINT64_CLASS, {4, 6}, std::vector<std::uint64_t>(values.begin(), values.end())));
  std::vector<std::uint8_t> bright;
  for (double v : values) bright.push_back(v > 60);
  images.push_back(standin::make_filled(mxLOGICAL_CLASS, {4, 6}, bright));
  for (const auto& image : images) {
    const auto result = call(sorvik_plugin(), {image.get(), settings.get()});
    ASSERT_TRUE(result);
    EXPECT_TRUE(labels_of(result.get()) == expected) << "class " << mxGetClassID(image.get());
  }
}

TEST(SorvikPlugin, settings_of_any_class_and_orientation_agree) {
  const auto image = standin::make_doubles({4, 6}, scene_by_columns());
  const std::vector<double> settings = {3, 50, 0, 10, 1, 2};
  const CImg<float> expected = labels_of(call(sorvik_plugin(), {image.get(), row_vector(settings).get()}).get());
  const auto column = standin::make_doubles({6, 1}, settings);
  const auto single =
      standin::make_filled(mxSINGLE_CLASS, {1, 6}, std::vector<float>(settings.begin(), settings.end()));
  const auto int32 =
      standin::make_filled(mxINT32_CLASS, {1, 6}, std::vector<std::int32_t>(settings.begin(), settings.end()));
  for (const mxArray* p : {column.get(), single.get(), int32.get()})
    EXPECT_TRUE(labels_of(call(sorvik_plugin(), {image.get(), p}).get()) == expected);
}

TEST(SorvikPlugin, volumes_and_channels_map_to_the_output_shape) {
  const auto colour = standin::make_doubles({4, 5, 3}, std::vector<double>(60, 1.0));
  const auto volume = standin::make_doubles({4, 5, 6, 2}, std::vector<double>(240, 1.0));
  const auto settings = row_vector({3, 1, 0, 2, 0, 2});
  EXPECT_EQ(standin::dimensions_of(call(sorvik_plugin(), {colour.get(), settings.get()}).get()),
            (std::vector<std::size_t>{4, 5, 1, 1}));
  EXPECT_EQ(standin::dimensions_of(call(sorvik_plugin(), {volume.get(), settings.get()}).get()),
            (std::vector<std::size_t>{4, 5, 6, 1}));
  // No channels: nothing to measure, every pixel stays in class 0.
  const auto no_channels = standin::make_array(mxDOUBLE_CLASS, {4, 5, 0});
  const auto labels = call(sorvik_plugin(), {no_channels.get(), settings.get()});
  EXPECT_EQ(standin::dimensions_of(labels.get()), (std::vector<std::size_t>{4, 5, 1, 1}));
}

TEST(SorvikPlugin, refusals_carry_identifiers_and_release_everything) {
  const auto image = standin::make_doubles({4, 6}, scene_by_columns());
  const auto settings = row_vector(plain_settings);
  const auto& plugin = sorvik_plugin();
  EXPECT_EQ(refusal_identifier(plugin, {image.get()}), "Sorvik:notEnoughInputs");
  EXPECT_EQ(refusal_identifier(plugin, {image.get(), settings.get(), settings.get()}), "Sorvik:badOption");
  EXPECT_EQ(refusal_identifier(plugin, {image.get(), settings.get()}, 3), "Sorvik:tooManyOutputs");
  EXPECT_EQ(refusal_identifier(plugin, {image.get(), row_vector({3, 1, 0, 10, 0}).get()}), "Sorvik:tooFewParameters");
  EXPECT_EQ(refusal_identifier(plugin, {image.get(), row_vector({3, 1, 0, 10, 0, 0}).get()}), "Sorvik:badParameters");
  EXPECT_EQ(refusal_identifier(plugin, {standin::make_array(mxCHAR_CLASS, {1, 3}).get(), settings.get()}),
            "Sorvik:unsupportedClass");
  EXPECT_EQ(refusal_identifier(plugin, {image.get(), standin::make_array(mxCELL_CLASS, {1, 6}).get()}),
            "Sorvik:unsupportedClass");
  EXPECT_EQ(
      refusal_identifier(plugin, {standin::make_array(mxDOUBLE_CLASS, {4, 6}, false, true).get(), settings.get()}),
      "Sorvik:sparseInput");
  EXPECT_EQ(refusal_identifier(plugin, {standin::make_array(mxDOUBLE_CLASS, {2, 2, 2, 2, 2}).get(), settings.get()}),
            "Sorvik:tooManyDimensions");
  EXPECT_EQ(refusal_identifier(
                plugin, {standin::make_array_without_data(mxDOUBLE_CLASS, {1u << 31, 1u << 31}).get(), settings.get()}),
            "Sorvik:tooLarge");
  // A 0 x 5 image still reports one channel, which has no value range.
  EXPECT_EQ(refusal_identifier(plugin, {standin::make_array(mxDOUBLE_CLASS, {0, 5}).get(), settings.get()}),
            "Sorvik:emptyImage");
  EXPECT_EQ(standin::live_created_arrays(), 0u);
  EXPECT_TRUE(call(plugin, {image.get(), settings.get()}));
}

TEST(SorvikPlugin, a_mask_labels_the_pixels_outside_minus_one_and_is_checked) {
  const auto image = standin::make_doubles({4, 6}, scene_by_columns());
  const auto settings = row_vector({3, 5, 0, 10, 1, 2});
  const auto mask_option = standin::make_char("Mask");
  // Logical, column-major: row 1 and column 6 (one-based) outside.
  std::vector<unsigned char> inside(24, 1);
  for (int column = 0; column < 6; ++column) inside[4 * column] = 0;
  for (int row = 0; row < 4; ++row) inside[4 * 5 + row] = 0;
  const auto mask = standin::make_filled(mxLOGICAL_CLASS, {4, 6}, inside);
  const CImg<float> labels =
      labels_of(call(sorvik_plugin(), {image.get(), settings.get(), mask_option.get(), mask.get()}).get());
  ASSERT_EQ(labels.size(), 24u);
  cimg_forXY(labels, x, y) EXPECT_EQ(labels(x, y) == -1.0f, y == 0 || x == 5) << x << ", " << y;
  // Every pixel inside, numeric and non-zero, is no mask.
  const auto every = standin::make_doubles({4, 6}, std::vector<double>(24, 0.5));
  const CImg<float> unmasked = labels_of(call(sorvik_plugin(), {image.get(), settings.get()}).get());
  EXPECT_EQ(labels_of(call(sorvik_plugin(), {image.get(), settings.get(), mask_option.get(), every.get()}).get()),
            unmasked);
  const auto refusal = [&](const mxArray* given) {
    return refusal_identifier(sorvik_plugin(), {image.get(), settings.get(), mask_option.get(), given});
  };
  EXPECT_EQ(refusal(standin::make_array(mxLOGICAL_CLASS, {6, 4}).get()), "Sorvik:geometryMismatch");
  EXPECT_EQ(refusal(standin::make_array(mxDOUBLE_CLASS, {4, 6, 2}).get()), "Sorvik:geometryMismatch");
  EXPECT_EQ(refusal(standin::make_array(mxDOUBLE_CLASS, {4, 6}).get()), "Sorvik:emptyMask");
  EXPECT_EQ(refusal(standin::make_array(mxCELL_CLASS, {4, 6}).get()), "Sorvik:unsupportedClass");
  EXPECT_EQ(refusal(standin::make_array(mxDOUBLE_CLASS, {4, 6}, true).get()), "Sorvik:unsupportedClass");
  EXPECT_EQ(refusal(standin::make_char("all").get()), "Sorvik:unsupportedClass");
  EXPECT_EQ(standin::live_created_arrays(), 0u);
}

TEST(SorvikPlugin, result_is_stored_when_no_output_is_requested) {
  const auto image = standin::make_doubles({4, 6}, scene_by_columns());
  const auto outputs = sorvik_plugin().call({image.get(), row_vector(plain_settings).get()}, 0);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_TRUE(outputs[0]);
}

}  // namespace
