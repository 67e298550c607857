// The Tamvel plug-in as a host sees it: loaded from its shared library and
// called through mexFunction with host arrays.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin_call.h"

namespace {

using standin::array_ptr;
using test_support::call;
using test_support::labels_of;
using test_support::matrix_by_rows;
using test_support::row_vector;

// secondary weight, tolerance, edge weight, window, iterations, band scale,
// last plain iteration, classes: plain clustering into two classes.
const std::vector<double> two_plain_classes = {1, 0, 0, 0, 5, 0, 10, 2};

std::string refusal(const std::vector<const mxArray*>& inputs, int output_count = 1) {
  return test_support::refusal_identifier(test_support::tamvel_plugin(), inputs, output_count);
}

array_ptr tamvel(const std::vector<const mxArray*>& inputs) { return call(test_support::tamvel_plugin(), inputs); }

array_ptr zeros(const std::vector<std::size_t>& dimensions) { return standin::make_array(mxDOUBLE_CLASS, dimensions); }

std::vector<float> label_values(const array_ptr& result) {
  const CImg<float> labels = labels_of(result.get());
  return std::vector<float>(labels.begin(), labels.end());
}

// Two rows, three columns: a dark and a bright region split along a diagonal.
const std::vector<double> diagonal_split = {0, 0, 10, 0, 10, 10};
const std::vector<float> diagonal_labels = {0, 0, 1, 0, 1, 1};  // x fastest, row by row

TEST(TamvelPlugin, host_rows_and_columns_become_label_rows_and_columns) {
  const array_ptr primary = matrix_by_rows(2, 3, diagonal_split);
  const array_ptr secondary = zeros({2, 3});
  const array_ptr parameters = row_vector(two_plain_classes);
  const array_ptr result = tamvel({primary.get(), secondary.get(), parameters.get()});
  ASSERT_TRUE(result);
  EXPECT_EQ(standin::dimensions_of(result.get()), (std::vector<std::size_t>{2, 3, 1, 1}));
  EXPECT_EQ(mxGetClassID(result.get()), mxDOUBLE_CLASS);
  EXPECT_EQ(label_values(result), diagonal_labels);
}

TEST(TamvelPlugin, secondary_weight_brings_in_the_secondary_image) {
  // A flat primary image leaves every class at the same primary cost.
  const array_ptr primary = matrix_by_rows(2, 3, std::vector<double>(6, 5));
  const array_ptr secondary = matrix_by_rows(2, 3, diagonal_split);
  const array_ptr weighted = row_vector(two_plain_classes);
  std::vector<double> unweighted_values = two_plain_classes;
  unweighted_values[0] = 0;
  const array_ptr unweighted = row_vector(unweighted_values);

  const array_ptr with_secondary = tamvel({primary.get(), secondary.get(), weighted.get()});
  ASSERT_TRUE(with_secondary);
  EXPECT_EQ(label_values(with_secondary), diagonal_labels);
  const array_ptr without_secondary = tamvel({primary.get(), secondary.get(), unweighted.get()});
  ASSERT_TRUE(without_secondary);
  EXPECT_EQ(label_values(without_secondary), std::vector<float>(6, 0));
}

TEST(TamvelPlugin, parameter_vectors_of_either_orientation_and_any_class_agree) {
  const std::vector<double> values = {0.5, 0, 1, 3, 6, 2, 2, 2};
  const array_ptr primary = matrix_by_rows(3, 4, {0, 1, 9, 10, 2, 0, 8, 9, 1, 2, 10, 8});
  const array_ptr secondary = matrix_by_rows(3, 4, {5, 5, 20, 20, 5, 5, 20, 20, 5, 5, 20, 20});
  const array_ptr row = row_vector(values);
  const array_ptr column = standin::make_doubles({8, 1}, values);
  const array_ptr single = standin::make_filled<float>(mxSINGLE_CLASS, {1, 8}, {0.5f, 0, 1, 3, 6, 2, 2, 2});
  const array_ptr whole = standin::make_filled<std::int32_t>(mxINT32_CLASS, {1, 8}, {1, 0, 1, 3, 6, 2, 2, 2});
  std::vector<double> whole_values = values;
  whole_values[0] = 1;
  const array_ptr whole_as_double = row_vector(whole_values);

  const array_ptr expected = tamvel({primary.get(), secondary.get(), row.get()});
  ASSERT_TRUE(expected);
  // The left two columns and the right two form the classes.
  EXPECT_EQ(label_values(expected), (std::vector<float>{0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1}));
  for (const mxArray* same : {column.get(), single.get()}) {
    const array_ptr result = tamvel({primary.get(), secondary.get(), same});
    ASSERT_TRUE(result);
    EXPECT_EQ(label_values(result), label_values(expected));
  }
  const array_ptr from_int32 = tamvel({primary.get(), secondary.get(), whole.get()});
  const array_ptr from_double = tamvel({primary.get(), secondary.get(), whole_as_double.get()});
  ASSERT_TRUE(from_int32 && from_double);
  EXPECT_EQ(label_values(from_int32), label_values(from_double));
}

TEST(TamvelPlugin, integer_images_give_the_labels_of_their_double_values) {
  const std::vector<std::uint8_t> bytes = {0, 0, 200, 0, 200, 200};  // column-major 2 x 3
  const array_ptr primary = standin::make_filled<std::uint8_t>(mxUINT8_CLASS, {2, 3}, bytes);
  const array_ptr primary_double = standin::make_doubles({2, 3}, {0, 0, 200, 0, 200, 200});
  const array_ptr secondary = standin::make_filled<std::int16_t>(mxINT16_CLASS, {2, 3}, {-3, 4, 4, 4, 4, 4});
  const array_ptr secondary_double = standin::make_doubles({2, 3}, {-3, 4, 4, 4, 4, 4});
  const array_ptr parameters = row_vector(two_plain_classes);
  const array_ptr from_integers = tamvel({primary.get(), secondary.get(), parameters.get()});
  const array_ptr from_doubles = tamvel({primary_double.get(), secondary_double.get(), parameters.get()});
  ASSERT_TRUE(from_integers && from_doubles);
  EXPECT_EQ(label_values(from_integers), (std::vector<float>{0, 1, 1, 0, 0, 1}));
  EXPECT_EQ(label_values(from_doubles), label_values(from_integers));
}

TEST(TamvelPlugin, labels_have_the_primarys_rows_columns_and_depth) {
  const array_ptr parameters = row_vector(two_plain_classes);
  const array_ptr colour = zeros({4, 5, 3});
  const array_ptr colour_result = tamvel({colour.get(), colour.get(), parameters.get()});
  ASSERT_TRUE(colour_result);
  EXPECT_EQ(standin::dimensions_of(colour_result.get()), (std::vector<std::size_t>{4, 5, 1, 1}));

  const array_ptr volume = zeros({4, 5, 6, 2});
  const array_ptr volume_result = tamvel({volume.get(), volume.get(), parameters.get()});
  ASSERT_TRUE(volume_result);
  EXPECT_EQ(standin::dimensions_of(volume_result.get()), (std::vector<std::size_t>{4, 5, 6, 1}));

  // A secondary image may carry more channels than the primary; they are unused.
  const array_ptr grey = zeros({4, 5});
  const array_ptr wider_secondary = zeros({4, 5, 3});
  const array_ptr grey_result = tamvel({grey.get(), wider_secondary.get(), parameters.get()});
  ASSERT_TRUE(grey_result);
  EXPECT_EQ(standin::dimensions_of(grey_result.get()), (std::vector<std::size_t>{4, 5, 1, 1}));
}

TEST(TamvelPlugin, wrong_argument_counts_are_refused) {
  const array_ptr image = zeros({4, 5});
  const array_ptr parameters = row_vector(two_plain_classes);
  EXPECT_EQ(refusal({image.get(), image.get()}), "Tamvel:notEnoughInputs");
  EXPECT_EQ(refusal({}), "Tamvel:notEnoughInputs");
  EXPECT_EQ(refusal({image.get(), image.get(), parameters.get(), parameters.get()}), "Tamvel:badOption");
  EXPECT_EQ(refusal({image.get(), image.get(), parameters.get()}, 3), "Tamvel:tooManyOutputs");
}

TEST(TamvelPlugin, settings_it_cannot_compute_are_refused) {
  const array_ptr image = zeros({4, 5});
  const array_ptr seven = row_vector({1, 0, 0, 0, 5, 0, 10});
  const array_ptr no_class = row_vector({1, 0, 0, 0, 5, 0, 10, 0});
  const array_ptr fraction_of_a_class = row_vector({1, 0, 0, 0, 5, 0, 10, 0.5});
  const array_ptr window_too_wide = row_vector({1, 0, 0, 46341, 5, 0, 10, 2});
  const array_ptr no_values = zeros({0, 8});
  EXPECT_EQ(refusal({image.get(), image.get(), seven.get()}), "Tamvel:tooFewParameters");
  EXPECT_EQ(refusal({image.get(), image.get(), no_values.get()}), "Tamvel:tooFewParameters");
  EXPECT_EQ(refusal({image.get(), image.get(), no_class.get()}), "Tamvel:badParameters");
  EXPECT_EQ(refusal({image.get(), image.get(), fraction_of_a_class.get()}), "Tamvel:badParameters");
  EXPECT_EQ(refusal({image.get(), image.get(), window_too_wide.get()}), "Tamvel:badParameters");
}

TEST(TamvelPlugin, a_secondary_image_of_another_geometry_is_refused) {
  const array_ptr primary = zeros({4, 5});
  const array_ptr colour = zeros({4, 5, 3});
  const array_ptr parameters = row_vector(two_plain_classes);
  const array_ptr wider = zeros({4, 6});
  const array_ptr taller = zeros({5, 5});
  const array_ptr deeper = zeros({4, 5, 2, 1});
  const array_ptr fewer_channels = zeros({4, 5, 2});
  EXPECT_EQ(refusal({primary.get(), wider.get(), parameters.get()}), "Tamvel:geometryMismatch");
  EXPECT_EQ(refusal({primary.get(), taller.get(), parameters.get()}), "Tamvel:geometryMismatch");
  EXPECT_EQ(refusal({primary.get(), deeper.get(), parameters.get()}), "Tamvel:geometryMismatch");
  EXPECT_EQ(refusal({colour.get(), fewer_channels.get(), parameters.get()}), "Tamvel:geometryMismatch");
  const array_ptr without_rows = zeros({0, 5});
  EXPECT_EQ(refusal({primary.get(), without_rows.get(), parameters.get()}), "Tamvel:geometryMismatch");
}

TEST(TamvelPlugin, a_geometry_refusal_names_both_shapes) {
  const array_ptr primary = zeros({4, 6});
  const array_ptr secondary = zeros({4, 5});
  const array_ptr parameters = row_vector(two_plain_classes);
  try {
    test_support::tamvel_plugin().call({primary.get(), secondary.get(), parameters.get()});
    ADD_FAILURE() << "the call was not refused";
  } catch (const standin::host_error& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("the secondary image is 4 x 5 x 1"), std::string::npos) << message;
    EXPECT_NE(message.find("expected the primary's 4 x 6 x 1 with at least 1 channel"), std::string::npos) << message;
  }
}

TEST(TamvelPlugin, a_primary_image_without_pixels_is_refused) {
  const array_ptr parameters = row_vector(two_plain_classes);
  for (const std::vector<std::size_t>& dimensions :
       std::vector<std::vector<std::size_t>>{{0, 5}, {4, 0}, {4, 5, 0}, {4, 5, 0, 1}, {0, 0}}) {
    const array_ptr empty = zeros(dimensions);
    EXPECT_EQ(refusal({empty.get(), empty.get(), parameters.get()}), "Tamvel:emptyImage")
        << dimensions.size() << " dimensions";
  }
}

TEST(TamvelPlugin, settings_are_checked_before_the_images) {
  const array_ptr empty = zeros({0, 5});
  const array_ptr other = zeros({4, 5});
  const array_ptr seven = row_vector({1, 0, 0, 0, 5, 0, 10});
  EXPECT_EQ(refusal({empty.get(), other.get(), seven.get()}), "Tamvel:tooFewParameters");
}

TEST(TamvelPlugin, arrays_it_cannot_convert_are_refused) {
  const array_ptr image = zeros({4, 5});
  const array_ptr text = standin::make_array(mxCHAR_CLASS, {1, 5});
  const array_ptr cell = standin::make_array(mxCELL_CLASS, {4, 5});
  const array_ptr sparse = standin::make_array(mxDOUBLE_CLASS, {4, 5}, false, true);
  const array_ptr parameters = row_vector(two_plain_classes);
  const array_ptr five_dimensions = zeros({4, 5, 1, 1, 2});
  EXPECT_EQ(refusal({text.get(), image.get(), parameters.get()}), "Tamvel:unsupportedClass");
  EXPECT_EQ(refusal({image.get(), cell.get(), parameters.get()}), "Tamvel:unsupportedClass");
  EXPECT_EQ(refusal({image.get(), image.get(), text.get()}), "Tamvel:unsupportedClass");
  EXPECT_EQ(refusal({sparse.get(), image.get(), parameters.get()}), "Tamvel:sparseInput");
  EXPECT_EQ(refusal({image.get(), sparse.get(), parameters.get()}), "Tamvel:sparseInput");
  EXPECT_EQ(refusal({five_dimensions.get(), image.get(), parameters.get()}), "Tamvel:tooManyDimensions");
}

TEST(TamvelPlugin, a_refused_call_leaves_no_array_behind) {
  const std::size_t before = standin::live_created_arrays();
  const array_ptr primary = zeros({4, 5});
  const array_ptr secondary = zeros({4, 6});
  const array_ptr parameters = row_vector(two_plain_classes);
  EXPECT_EQ(refusal({primary.get(), secondary.get(), parameters.get()}), "Tamvel:geometryMismatch");
  EXPECT_EQ(standin::live_created_arrays(), before);
}

}  // namespace
