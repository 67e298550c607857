#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "boundary/host_array.h"
#include "core/refusal.h"
#include "standin.h"

namespace {

using standin::make_filled;

std::string refusal_of(const mxArray* array) {
  try {
    boundary::image_from_host(array, "the image");
  } catch (const core::refusal& refusal) {
    return refusal.mnemonic();
  }
  return "";
}

TEST(ImageFromHost, rows_become_y_and_columns_become_x) {
  // 3 x 4 host matrix whose element (row r, column c) is 10 r + c (one-based).
  std::vector<double> values;
  for (int c = 1; c <= 4; ++c)
    for (int r = 1; r <= 3; ++r) values.push_back(10 * r + c);
  const CImg<float> image = boundary::image_from_host(standin::make_doubles({3, 4}, values).get(), "x");
  ASSERT_EQ(image.width(), 4);
  ASSERT_EQ(image.height(), 3);
  EXPECT_EQ(image.depth(), 1);
  EXPECT_EQ(image.spectrum(), 1);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(image(x, y), 10 * (y + 1) + (x + 1));
  // Its buffer is the host's row-by-row order.
  EXPECT_EQ(image(1), 12.0f);
}

TEST(ImageFromHost, third_dimension_is_channels_and_fourth_makes_a_volume) {
  std::vector<double> values(3 * 4 * 5 * 2);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = double(i);
  const auto volume = standin::make_doubles({3, 4, 5, 2}, values);
  const CImg<float> image = boundary::image_from_host(volume.get(), "x");
  EXPECT_EQ(image.width(), 4);
  EXPECT_EQ(image.height(), 3);
  EXPECT_EQ(image.depth(), 5);
  EXPECT_EQ(image.spectrum(), 2);
  // Pixel (x=1, y=2, z=3, c=1) is host element (2, 1, 3, 1) zero-based.
  EXPECT_EQ(image(1, 2, 3, 1), float(2 + 3 * (1 + 4 * (3 + 5 * 1))));
  const auto colour = standin::make_doubles({3, 4, 2}, std::vector<double>(24, 1.0));
  const CImg<float> channels = boundary::image_from_host(colour.get(), "x");
  EXPECT_EQ(channels.depth(), 1);
  EXPECT_EQ(channels.spectrum(), 2);
}

TEST(ImageFromHost, every_accepted_class_converts_to_the_nearest_float) {
  EXPECT_EQ(boundary::image_from_host(make_filled<std::uint8_t>(mxLOGICAL_CLASS, {1, 2}, {0, 1}).get(), "x")(1), 1.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<std::uint8_t>(mxUINT8_CLASS, {1, 1}, {255}).get(), "x")(0), 255.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<std::int8_t>(mxINT8_CLASS, {1, 1}, {-128}).get(), "x")(0), -128.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<std::int16_t>(mxINT16_CLASS, {1, 1}, {-32768}).get(), "x")(0),
            -32768.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<std::uint16_t>(mxUINT16_CLASS, {1, 1}, {65535}).get(), "x")(0),
            65535.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<std::int32_t>(mxINT32_CLASS, {1, 1}, {16777217}).get(), "x")(0),
            16777216.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<std::uint32_t>(mxUINT32_CLASS, {1, 1}, {4294967295u}).get(), "x")(0),
            4294967296.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<std::int64_t>(mxINT64_CLASS, {1, 1}, {-5}).get(), "x")(0), -5.0f);
  EXPECT_EQ(boundary::image_from_host(
                make_filled<std::uint64_t>(mxUINT64_CLASS, {1, 1}, {std::uint64_t(1) << 40}).get(), "x")(0),
            1099511627776.0f);
  EXPECT_EQ(boundary::image_from_host(make_filled<float>(mxSINGLE_CLASS, {1, 1}, {0.1f}).get(), "x")(0), 0.1f);
  const CImg<float> doubles =
      boundary::image_from_host(standin::make_doubles({1, 4}, {0.1, 1e300, -1e300, std::nan("")}).get(), "x");
  EXPECT_EQ(doubles(0), 0.1f);
  EXPECT_EQ(doubles(1), std::numeric_limits<float>::infinity());
  EXPECT_EQ(doubles(2), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(doubles(3)));
}

TEST(ImageFromHost, complex_input_uses_the_real_part) {
  standin::array_ptr array = standin::make_array(mxDOUBLE_CLASS, {1, 2}, /*complex=*/true);
  static_cast<double*>(mxGetData(array.get()))[1] = 3;
  static_cast<double*>(standin::imaginary_data(array.get()))[1] = 4;
  EXPECT_EQ(boundary::image_from_host(array.get(), "x")(1), 3.0f);
}

TEST(ImageFromHost, zero_extents_are_kept_without_pixels) {
  const CImg<float> no_rows = boundary::image_from_host(standin::make_array(mxDOUBLE_CLASS, {0, 5}).get(), "x");
  EXPECT_TRUE(no_rows.is_empty());
  EXPECT_EQ(no_rows.width(), 5);
  EXPECT_EQ(no_rows.height(), 0);
  EXPECT_EQ(no_rows.spectrum(), 1);
  const CImg<float> no_channels = boundary::image_from_host(standin::make_array(mxDOUBLE_CLASS, {4, 5, 0}).get(), "x");
  EXPECT_EQ(no_channels.width(), 5);
  EXPECT_EQ(no_channels.height(), 4);
  EXPECT_EQ(no_channels.spectrum(), 0);
}

TEST(ImageFromHost, refuses_arrays_it_cannot_convert) {
  for (mxClassID id : {mxCHAR_CLASS, mxCELL_CLASS, mxSTRUCT_CLASS, mxFUNCTION_CLASS, mxUNKNOWN_CLASS, mxVOID_CLASS})
    EXPECT_EQ(refusal_of(standin::make_array(id, {2, 2}).get()), "unsupportedClass") << id;
  EXPECT_EQ(refusal_of(standin::make_array(mxDOUBLE_CLASS, {2, 2}, false, /*sparse=*/true).get()), "sparseInput");
  EXPECT_EQ(refusal_of(standin::make_array(mxDOUBLE_CLASS, {1, 1, 1, 1, 1}).get()), "tooManyDimensions");
}

TEST(ImageFromHost, refuses_sizes_beyond_the_container_before_reading_anything) {
  const std::size_t big = std::size_t(1) << 32;
  EXPECT_EQ(refusal_of(standin::make_array_without_data(mxUINT8_CLASS, {big, 1}).get()), "tooLarge");
  EXPECT_EQ(refusal_of(standin::make_array_without_data(mxUINT8_CLASS, {1u << 20, 1u << 20, 1u << 20}).get()),
            "tooLarge");
  EXPECT_EQ(refusal_of(standin::make_array_without_data(mxUINT8_CLASS, {65536, 65536, 65536, 65536}).get()),
            "tooLarge");  // the element count wraps to 0 in 64 bits
  EXPECT_EQ(refusal_of(standin::make_array_without_data(mxUINT8_CLASS, {4294967295u, 4294967295u}).get()),
            "tooLarge");  // fits 64 bits, but far more elements than the container holds
}

TEST(ImageToHost, writes_rows_by_columns_by_depth_in_host_order) {
  CImg<float> labels(3, 2, 2, 1);
  cimg_forXYZ(labels, x, y, z) labels(x, y, z) = float(100 * z + 10 * y + x);
  standin::array_ptr array(boundary::image_to_host(labels));
  EXPECT_EQ(standin::dimensions_of(array.get()), (std::vector<std::size_t>{2, 3, 2, 1}));
  EXPECT_EQ(mxGetClassID(array.get()), mxDOUBLE_CLASS);
  EXPECT_FALSE(mxIsComplex(array.get()));
  const double* values = mxGetPr(array.get());
  // Host element (row 1, column 2, page 1), zero-based, is pixel (2, 1, 1).
  EXPECT_EQ(values[1 + 2 * (2 + 3 * 1)], 112.0);
  EXPECT_EQ(values[1], 10.0);
  standin::array_ptr empty(boundary::image_to_host(CImg<float>()));
  EXPECT_EQ(standin::dimensions_of(empty.get()), (std::vector<std::size_t>{0, 0, 0, 0}));
}

// Large enough for several threads: bands of rows cut at a height that is not
// a multiple of theirs, over many planes, there and back.
TEST(ImageToHost, threads_convert_both_ways_element_for_element) {
  const std::vector<std::size_t> dimensions{37, 300, 50, 2};
  std::vector<double> values(37 * 300 * 50 * 2);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = double(i);
  const auto array = standin::make_doubles(dimensions, values);
  for (const int threads : {1, 3}) {
    const CImg<float> image = boundary::image_from_host(array.get(), "x", false, threads);
    std::size_t wrong = 0;
    cimg_forXYZC(image, x, y, z, c) wrong += image(x, y, z, c) != float(y + 37 * (x + 300 * (z + 50 * c)));
    EXPECT_EQ(wrong, 0u) << threads << " threads";
    standin::array_ptr back(boundary::image_to_host(image, threads));
    EXPECT_EQ(std::vector<double>(mxGetPr(back.get()), mxGetPr(back.get()) + values.size()), values)
        << threads << " threads";
  }
}

}  // namespace
