// The settings input of both plug-ins: a struct of named settings gives the
// vector's labels, and settings that cannot be meant are refused by name.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "plugin_call.h"

namespace {

using standin::array_ptr;
using test_support::call;
using test_support::labels_of;
using test_support::row_vector;
using fields = std::vector<std::pair<std::string, array_ptr>>;

array_ptr number(double value) { return row_vector({value}); }

// A 6 x 8 grey scene of three bands with a little noise, by columns.
array_ptr noisy_bands() {
  std::vector<double> values;
  for (int column = 0; column < 8; ++column)
    for (int row = 0; row < 6; ++row) values.push_back(40.0 * (column / 3) + ((row * 7 + column * 3) % 5) * 6);
  return standin::make_doubles({6, 8}, values);
}

// The identifier and the message of the error a call raises ("" if none).
std::pair<std::string, std::string> error_of(const standin::plugin& plugin, const std::vector<const mxArray*>& inputs) {
  try {
    plugin.call(inputs);
  } catch (const standin::host_error& error) {
    return {error.identifier, error.what()};
  }
  return {};
}

bool says(const std::pair<std::string, std::string>& error, const std::string& words) {
  return error.second.find(words) != std::string::npos;
}

TEST(NamedSettings, sorvik_struct_gives_the_labels_of_the_vector_with_its_defaults) {
  const array_ptr image = noisy_bands();
  const CImg<float> expected =
      labels_of(call(test_support::sorvik_plugin(), {image.get(), row_vector({3, 40, 1e-4, 30, 4, 3}).get()}).get());
  fields given;
  given.emplace_back("class_count", standin::make_filled(mxINT32_CLASS, {1, 1}, std::vector<std::int32_t>{3}));
  given.emplace_back("edge_weight", number(40));
  given.emplace_back("window_size", number(3));
  const array_ptr settings = standin::make_struct(std::move(given));
  EXPECT_TRUE(labels_of(call(test_support::sorvik_plugin(), {image.get(), settings.get()}).get()) == expected);
}

TEST(NamedSettings, tamvel_struct_gives_the_labels_of_the_vector_in_its_own_order) {
  const array_ptr primary = noisy_bands();
  const array_ptr secondary = noisy_bands();
  const std::vector<double> vector = {0.5, 0, 300, 3, 12, 1.5, 2, 3};
  const CImg<float> expected =
      labels_of(call(test_support::tamvel_plugin(), {primary.get(), secondary.get(), row_vector(vector).get()}).get());
  const char* const names[] = {"secondary_weight", "tolerance",  "edge_weight",          "window_size",
                               "max_iterations",   "band_sigma", "last_plain_iteration", "class_count"};
  fields given;
  for (int i = 7; i >= 0; --i) given.emplace_back(names[i], number(vector[std::size_t(i)]));
  const array_ptr settings = standin::make_struct(std::move(given));
  EXPECT_TRUE(labels_of(call(test_support::tamvel_plugin(), {primary.get(), secondary.get(), settings.get()}).get()) ==
              expected);
  // Tamvel's defaults: secondary weight 1, tolerance 1e-4, 30 iterations, band sigma 2, T = 4.
  const CImg<float> with_defaults =
      labels_of(call(test_support::tamvel_plugin(),
                     {primary.get(), secondary.get(), row_vector({1, 1e-4, 300, 3, 30, 2, 4, 3}).get()})
                    .get());
  fields few;
  few.emplace_back("window_size", number(3));
  few.emplace_back("edge_weight", number(300));
  few.emplace_back("class_count", number(3));
  const array_ptr short_settings = standin::make_struct(std::move(few));
  EXPECT_TRUE(
      labels_of(call(test_support::tamvel_plugin(), {primary.get(), secondary.get(), short_settings.get()}).get()) ==
      with_defaults);
}

TEST(NamedSettings, unknown_missing_and_unreadable_fields_are_refused_by_name) {
  const array_ptr image = noisy_bands();
  const auto& sorvik = test_support::sorvik_plugin();
  const auto struct_of = [](std::vector<std::pair<std::string, double>> values) {
    fields given;
    for (const auto& value : values) given.emplace_back(value.first, number(value.second));
    return standin::make_struct(std::move(given));
  };
  const auto unknown = error_of(
      sorvik,
      {image.get(), struct_of({{"class_count", 2}, {"window_size", 3}, {"edge_weight", 1}, {"windowsize", 3}}).get()});
  EXPECT_EQ(unknown.first, "Sorvik:badParameters");
  EXPECT_TRUE(says(unknown, "unknown field \"windowsize\"")) << unknown.second;
  const auto missing = error_of(sorvik, {image.get(), struct_of({{"window_size", 3}, {"edge_weight", 1}}).get()});
  EXPECT_EQ(missing.first, "Sorvik:badParameters");
  EXPECT_TRUE(says(missing, "no field class_count")) << missing.second;

  fields wide;
  wide.emplace_back("class_count", row_vector({2, 3}));
  wide.emplace_back("window_size", number(3));
  wide.emplace_back("edge_weight", number(1));
  const auto not_one = error_of(sorvik, {image.get(), standin::make_struct(std::move(wide)).get()});
  EXPECT_EQ(not_one.first, "Sorvik:badParameters");
  EXPECT_TRUE(says(not_one, "field class_count")) << not_one.second;
  fields text;
  text.emplace_back("class_count", standin::make_char("3"));
  text.emplace_back("window_size", number(3));
  text.emplace_back("edge_weight", number(1));
  EXPECT_EQ(error_of(sorvik, {image.get(), standin::make_struct(std::move(text)).get()}).first, "Sorvik:badParameters");
  // A struct without fields, as a host may pass struct(): every setting without a default is missing.
  EXPECT_EQ(error_of(sorvik, {image.get(), standin::make_array(mxSTRUCT_CLASS, {1, 1}).get()}).first,
            "Sorvik:badParameters");
  // A value that passes the struct but not the setting's own range check.
  const auto half =
      error_of(sorvik, {image.get(), struct_of({{"class_count", 0.5}, {"window_size", 3}, {"edge_weight", 1}}).get()});
  EXPECT_EQ(half.first, "Sorvik:badParameters");
  EXPECT_TRUE(says(half, "the class count is 0.5, which truncates to 0")) << half.second;
  EXPECT_EQ(standin::live_created_arrays(), 0u);
}

TEST(SettingsInput, an_image_in_the_settings_place_is_refused_as_a_likely_swap) {
  const array_ptr image = noisy_bands();
  const array_ptr settings = row_vector({3, 40, 1e-4, 30, 4, 3});
  const auto swapped = error_of(test_support::sorvik_plugin(), {settings.get(), image.get()});
  EXPECT_EQ(swapped.first, "Sorvik:badParameters");
  EXPECT_TRUE(says(swapped, "double array of size 6 x 8")) << swapped.second;
  EXPECT_TRUE(says(swapped, "swapped")) << swapped.second;
  const array_ptr eight = row_vector({1, 0, 300, 3, 12, 1.5, 2, 3});
  EXPECT_EQ(error_of(test_support::tamvel_plugin(), {image.get(), eight.get(), image.get()}).first,
            "Tamvel:badParameters");
  // A matrix of settings and a vector along the third dimension: the first is refused, the second read.
  const array_ptr matrix = test_support::matrix_by_rows(2, 3, {3, 40, 1e-4, 30, 4, 3});
  EXPECT_EQ(error_of(test_support::sorvik_plugin(), {image.get(), matrix.get()}).first, "Sorvik:badParameters");
  const array_ptr along_depth = standin::make_doubles({1, 1, 6}, {3, 40, 1e-4, 30, 4, 3});
  EXPECT_TRUE(labels_of(call(test_support::sorvik_plugin(), {image.get(), along_depth.get()}).get()) ==
              labels_of(call(test_support::sorvik_plugin(), {image.get(), settings.get()}).get()));
}

TEST(SettingsInput, sorvik_refuses_an_image_with_a_channel_but_no_pixel_after_the_settings) {
  const array_ptr settings = row_vector({3, 40, 1e-4, 30, 4, 3});
  for (const std::vector<std::size_t>& dimensions :
       std::vector<std::vector<std::size_t>>{{0, 0}, {0, 5}, {4, 0}, {4, 5, 0, 2}}) {
    const array_ptr empty = standin::make_array(mxDOUBLE_CLASS, dimensions);
    EXPECT_EQ(error_of(test_support::sorvik_plugin(), {empty.get(), settings.get()}).first, "Sorvik:emptyImage")
        << dimensions.size() << " dimensions";
  }
  const array_ptr empty = standin::make_array(mxDOUBLE_CLASS, {0, 5});
  EXPECT_EQ(error_of(test_support::sorvik_plugin(), {empty.get(), row_vector({3, 1, 0, 5, 1}).get()}).first,
            "Sorvik:tooFewParameters");
}

TEST(ManyChannelsWarning, a_3d_input_of_more_than_four_channels_warns_without_changing_the_labels) {
  std::vector<double> values(4 * 5 * 6);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = double((i * 37) % 11);
  const array_ptr six = standin::make_doubles({4, 5, 6}, values);
  const array_ptr settings = row_vector({3, 2, 0, 6, 1, 2});
  const auto& sorvik = test_support::sorvik_plugin();
  const CImg<float> warned = labels_of(call(sorvik, {six.get(), settings.get()}).get());
  const auto warnings = standin::last_call_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].first, "Sorvik:manyChannels");
  EXPECT_NE(warnings[0].second.find("4 x 5 x 6"), std::string::npos) << warnings[0].second;

  const array_ptr volume = standin::make_char("volume");
  const array_ptr no = standin::make_filled(mxLOGICAL_CLASS, {1, 1}, std::vector<std::uint8_t>{0});
  EXPECT_TRUE(labels_of(call(sorvik, {six.get(), settings.get(), volume.get(), no.get()}).get()) == warned);
  EXPECT_TRUE(standin::last_call_warnings().empty());
  const array_ptr four = standin::make_doubles({4, 5, 4}, std::vector<double>(values.begin(), values.begin() + 80));
  call(sorvik, {four.get(), settings.get()});
  EXPECT_TRUE(standin::last_call_warnings().empty());
  const array_ptr tamvel_settings = row_vector({1, 0, 3, 3, 6, 2, 1, 2});
  call(test_support::tamvel_plugin(), {six.get(), six.get(), tamvel_settings.get()});
  ASSERT_EQ(standin::last_call_warnings().size(), 1u);
  EXPECT_EQ(standin::last_call_warnings()[0].first, "Tamvel:manyChannels");
}

}  // namespace
