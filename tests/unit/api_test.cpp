#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "api/conversion.h"
#include "edgeseg/segment.h"
#include "tamvel/segment_image_pair.h"
#include "sorvik/segment_image.h"

namespace {

bool same_bits(const edgeseg::label_image& labels, const CImg<float>& expected) {
  return labels.width == std::uint64_t(expected.width()) && labels.height == std::uint64_t(expected.height()) &&
         labels.depth == std::uint64_t(expected.depth()) &&
         std::memcmp(labels.values, expected.data(), expected.size() * sizeof(float)) == 0;
}

std::string mnemonic_of(void (*call)()) {
  try {
    call();
  } catch (const edgeseg::refusal& refusal) {
    return refusal.mnemonic();
  }
  return "";
}

TEST(Api, interleaved_uint16_labels_as_the_driver_on_the_same_values) {
  constexpr int rows = 9, columns = 14, channels = 2;
  std::mt19937 random(7);
  std::vector<std::uint16_t> values(rows * columns * channels);
  for (std::uint16_t& value : values) value = std::uint16_t(random() % 60000);
  // The same values placed by hand: channel c of pixel (x, y) follows its
  // other channels in the caller's layout.
  CImg<float> image(columns, rows, 1, channels);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x)
      for (int c = 0; c < channels; ++c) image(x, y, 0, c) = float(values[(y * columns + x) * channels + c]);
  const std::vector<float> settings = {3, 0.8f, 1e-4f, 10, 1, 3};
  edgeseg::call_options options;
  options.threads = 2;
  const edgeseg::label_image labels =
      edgeseg::sorvik(edgeseg::row_major_view(values.data(), edgeseg::element_type::uint16, rows, columns, 1, channels),
                      settings, options);
  const CImg<float> parameters(settings.data(), unsigned(settings.size()));
  EXPECT_TRUE(same_bits(labels, sorvik::segment_image(image, parameters, 1)));
}

TEST(Api, tamvel_labels_as_its_driver_on_the_same_values) {
  constexpr int rows = 12, columns = 10;
  std::mt19937 random(11);
  std::vector<double> primary(rows * columns), secondary(rows * columns);
  for (std::size_t i = 0; i < primary.size(); ++i) {
    primary[i] = double(random() % 1000) / 7.0;
    secondary[i] = double(random() % 1000) / 3.0;
  }
  // Column-major, as a MATLAB array: element (row y, column x) at y + rows x.
  CImg<float> primary_image(columns, rows), secondary_image(columns, rows);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x) {
      primary_image(x, y) = float(primary[y + rows * x]);
      secondary_image(x, y) = float(secondary[y + rows * x]);
    }
  const std::vector<float> settings = {0.3f, 1e-4f, 0.5f, 3, 8, 1.0f, 1, 2};
  const edgeseg::label_image labels = edgeseg::tamvel(
      edgeseg::column_major_view(primary.data(), edgeseg::element_type::float64, rows, columns),
      edgeseg::column_major_view(secondary.data(), edgeseg::element_type::float64, rows, columns), settings);
  const CImg<float> parameters(settings.data(), unsigned(settings.size()));
  EXPECT_TRUE(same_bits(labels, tamvel::segment_image_pair(primary_image, secondary_image, parameters, 1)));
}

TEST(Api, exact_sums_as_the_driver_gives_them_and_only_for_sorvik) {
  constexpr int rows = 11, columns = 13;
  std::mt19937 random(5);
  std::vector<float> values(rows * columns);
  for (float& value : values) value = float(random() % 100000) / 37.0f;
  const CImg<float> image(values.data(), columns, rows);
  const std::vector<float> settings = {3, 0.8f, 1e-4f, 10, 1, 3};
  const CImg<float> parameters(settings.data(), unsigned(settings.size()));
  core::call_threads one_thread;
  const CImg<float> expected = sorvik::segment_image(image, parameters, one_thread, {}, true);
  edgeseg::call_options options;
  options.exact_sums = true;
  options.threads = 3;
  const edgeseg::image_view view =
      edgeseg::row_major_view(values.data(), edgeseg::element_type::float32, rows, columns);
  EXPECT_TRUE(same_bits(edgeseg::sorvik(view, settings, options), expected));
  EXPECT_EQ(mnemonic_of([] {
              const float pixels[4] = {};
              const edgeseg::image_view pair = edgeseg::row_major_view(pixels, edgeseg::element_type::float32, 2, 2);
              edgeseg::call_options exact;
              exact.exact_sums = true;
              edgeseg::tamvel(pair, pair, {0.3f, 1e-4f, 0.5f, 3, 8, 1.0f, 1, 2}, exact);
            }),
            "badParameters");
}

TEST(Api, elements_round_to_the_nearest_float_whatever_their_type) {
  const std::int64_t wide_integers[] = {-5, std::int64_t(1) << 40};
  const std::uint32_t largest_uint32[] = {4294967295u};
  const double doubles[] = {0.1, 1e300, -1e300};
  const unsigned char booleans[] = {1, 0};
  // The real parts of interleaved complex elements: every second one.
  const double complex_pairs[] = {2.5, 9.0, -3.0, 9.0};
  const auto first_values = [](const edgeseg::image_view& view) {
    const CImg<float> image = edgeseg::image_from_view(view, "the image", 1);
    return std::vector<float>(image.data(), image.data() + image.size());
  };
  using edgeseg::element_type;
  EXPECT_EQ(first_values(edgeseg::column_major_view(wide_integers, element_type::int64, 2, 1)),
            (std::vector<float>{-5.0f, 1099511627776.0f}));
  EXPECT_EQ(first_values(edgeseg::column_major_view(largest_uint32, element_type::uint32, 1, 1)),
            std::vector<float>{4294967296.0f});
  const float infinity = std::numeric_limits<float>::infinity();
  EXPECT_EQ(first_values(edgeseg::column_major_view(doubles, element_type::float64, 3, 1)),
            (std::vector<float>{0.1f, infinity, -infinity}));
  EXPECT_EQ(first_values(edgeseg::column_major_view(booleans, element_type::boolean, 1, 2)),
            (std::vector<float>{1.0f, 0.0f}));
  EXPECT_EQ(first_values(edgeseg::column_major_view(complex_pairs, element_type::float64, 2, 1, 1, 1, 2)),
            (std::vector<float>{2.5f, -3.0f}));
}

TEST(Api, refusals_name_the_fault) {
  EXPECT_EQ(
      mnemonic_of([] {
        const float value = 1;
        edgeseg::sorvik(edgeseg::column_major_view(&value, edgeseg::element_type::float32, 1, 1), {3, 0.5f, 0.001f});
      }),
      "tooFewParameters");
  EXPECT_EQ(mnemonic_of([] {
              const float value = 1;
              edgeseg::sorvik(edgeseg::column_major_view(&value, edgeseg::element_type::float32, 1u << 31, 1),
                              {3, 0.5f, 0.001f, 10, 1, 2});
            }),
            "tooLarge");
  EXPECT_EQ(mnemonic_of([] {
              edgeseg::sorvik(edgeseg::column_major_view(nullptr, edgeseg::element_type::uint8, 4, 4),
                              {3, 0.5f, 0.001f, 10, 1, 2});
            }),
            "missingData");
}

// A 6 x 5 image with a mask given as the host gives it, column-major.
edgeseg::label_image masked_call(const std::vector<double>& mask, std::uint64_t rows = 6, std::uint64_t columns = 5,
                                 std::uint64_t channels = 1) {
  static std::vector<float> values;
  values.resize(30);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = float((i * 37) % 11);
  edgeseg::call_options options;
  options.mask = edgeseg::column_major_view(mask.data(), edgeseg::element_type::float64, rows, columns, 1, channels);
  return edgeseg::sorvik(edgeseg::column_major_view(values.data(), edgeseg::element_type::float32, 6, 5),
                         {3, 2, 0, 5, 0, 3}, options);
}

TEST(Api, masked_labels_are_minus_one_outside_and_every_pixel_inside_is_no_mask) {
  std::vector<double> mask(30, 2.5);
  const edgeseg::label_image every = masked_call(mask);
  std::vector<float> values(30);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = float((i * 37) % 11);
  const edgeseg::label_image none = edgeseg::sorvik(
      edgeseg::column_major_view(values.data(), edgeseg::element_type::float32, 6, 5), {3, 2, 0, 5, 0, 3});
  EXPECT_EQ(std::memcmp(every.values, none.values, 30 * sizeof(float)), 0);
  mask[7] = 0;
  mask[20] = 0;
  const edgeseg::label_image masked = masked_call(mask);
  // Column-major elements 7 and 20 are rows 1 and 2 of columns 1 and 3:
  // labels 1 * 5 + 1 and 2 * 5 + 3, x fastest.
  for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(masked.values[i] == -1.0f, i == 6 || i == 13) << i;
}

TEST(Api, masks_of_another_geometry_or_without_a_pixel_inside_are_refused) {
  EXPECT_EQ(mnemonic_of([] { masked_call(std::vector<double>(30, 0.0)); }), "emptyMask");
  EXPECT_EQ(mnemonic_of([] { masked_call(std::vector<double>(30, 1.0), 5, 6); }), "geometryMismatch");
  EXPECT_EQ(mnemonic_of([] { masked_call(std::vector<double>(60, 1.0), 6, 5, 2); }), "geometryMismatch");
  // The settings are refused before the mask.
  EXPECT_EQ(
      mnemonic_of([] {
        const float value = 1;
        edgeseg::call_options options;
        options.mask = edgeseg::column_major_view(&value, edgeseg::element_type::float32, 2, 2);
        edgeseg::sorvik(edgeseg::column_major_view(&value, edgeseg::element_type::float32, 1, 1), {3, 0.5f}, options);
      }),
      "tooFewParameters");
  EXPECT_EQ(mnemonic_of([] {
              const float value = 1, none = 0;
              edgeseg::call_options options;
              options.mask = edgeseg::column_major_view(&none, edgeseg::element_type::float32, 1, 1);
              edgeseg::tamvel(edgeseg::column_major_view(&value, edgeseg::element_type::float32, 1, 1),
                              edgeseg::column_major_view(&value, edgeseg::element_type::float32, 1, 1),
                              {1, 0, 1, 3, 5, 1, 0, 2}, options);
            }),
            "emptyMask");
}

}  // namespace

// Starting centres through the API: the secondary's table may carry the
// secondary's extra channels, which are not read; the warnings reach the
// caller's `warn` once the run has ended.
TEST(Api, starting_centres_and_the_warnings_of_a_runs_end) {
  constexpr int rows = 8, columns = 9;
  std::vector<float> primary(rows * columns), secondary(rows * columns * 2);
  for (int i = 0; i < rows * columns; ++i) {
    primary[i] = float(i % columns < 4 ? 20 : 200);
    secondary[2 * i] = 255 - primary[i];
    secondary[2 * i + 1] = float(i);
  }
  const auto view = [](const std::vector<float>& values, int channels) {
    return edgeseg::row_major_view(values.data(), edgeseg::element_type::float32, rows, columns, 1, channels);
  };
  const std::vector<float> settings = {1, 1e-4f, 100, 3, 10, 2, 1, 3};
  edgeseg::call_options narrow, wide;
  narrow.initial_centres = wide.initial_centres = {{20, 110, 200}, 3, 1};
  narrow.secondary_initial_centres = {{235, 145, 55}, 3, 1};
  wide.secondary_initial_centres = {{235, -1, 145, -1, 55, -1}, 3, 2};
  std::vector<core::run_warning> warnings;
  wide.warn = [&](const core::run_warning& warning) { warnings.push_back(warning); };
  const edgeseg::label_image expected = edgeseg::tamvel(view(primary, 1), view(secondary, 2), settings, narrow);
  const edgeseg::label_image labels = edgeseg::tamvel(view(primary, 1), view(secondary, 2), settings, wide);
  EXPECT_EQ(std::memcmp(labels.values, expected.values, labels.size() * sizeof(float)), 0);
  ASSERT_EQ(warnings.size(), 1u);  // the middle class holds no pixel of two values
  EXPECT_STREQ(warnings[0].mnemonic, "emptyClass");
  EXPECT_NE(warnings[0].message.find("class 1 of 3 ended with no pixel"), std::string::npos);
  wide.secondary_initial_centres.channels = 3;
  try {
    edgeseg::tamvel(view(primary, 1), view(secondary, 2), settings, wide);
    ADD_FAILURE() << "a 3 x 3 secondary table was taken";
  } catch (const edgeseg::refusal& refusal) {
    EXPECT_STREQ(refusal.mnemonic(), "badCentres");
  }
  edgeseg::call_options sorvik_options;
  sorvik_options.secondary_initial_centres = narrow.secondary_initial_centres;
  EXPECT_THROW(edgeseg::sorvik(view(primary, 1), {3, 1, 1e-4f, 10, 1, 3}, sorvik_options), edgeseg::refusal);
}
