#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/refusal.h"
#include "core/settings_table.h"
#include "sorvik/parameters.h"
#include "tamvel/parameters.h"

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

namespace {

// The parsed setting of each name the table gives.
#define FIELD_NAMED(name, field) \
  if (name == #field) return double(parameters.field)
double field_named(const sorvik::segmentation_parameters& parameters, const std::string& name) {
  FIELD_NAMED(name, window_size);
  FIELD_NAMED(name, edge_weight);
  FIELD_NAMED(name, tolerance);
  FIELD_NAMED(name, max_iterations);
  FIELD_NAMED(name, last_plain_iteration);
  FIELD_NAMED(name, class_count);
  return std::nan("");
}
double field_named(const tamvel::pair_segmentation_parameters& parameters, const std::string& name) {
  FIELD_NAMED(name, secondary_weight);
  FIELD_NAMED(name, tolerance);
  FIELD_NAMED(name, edge_weight);
  FIELD_NAMED(name, window_size);
  FIELD_NAMED(name, max_iterations);
  FIELD_NAMED(name, band_sigma);
  FIELD_NAMED(name, last_plain_iteration);
  FIELD_NAMED(name, class_count);
  return std::nan("");
}
#undef FIELD_NAMED

// Every setting of the table is read from its position by its command under
// its name: a vector of the defaults (3 where there is none) with one value
// changed to 7 changes that setting only.
template <class Read>
void expect_table_order(const char* command, unsigned setting_count, Read read) {
  const core::settings_table& table = *core::settings_table_of(command);
  ASSERT_EQ(table.count, setting_count) << command;
  CImg<float> usual(setting_count, 1);
  for (unsigned i = 0; i < setting_count; ++i)
    usual(i) = table.settings[i].has_default ? float(table.settings[i].default_value) : 3.0f;
  for (unsigned i = 0; i < setting_count; ++i) {
    CImg<float> vector = usual;
    vector(i) = 7;
    const auto parameters = read(vector);
    for (unsigned j = 0; j < setting_count; ++j)
      EXPECT_EQ(field_named(parameters, table.settings[j].name), vector(j))
          << command << ": " << table.settings[j].name << " with position " << i << " changed";
  }
}

}  // namespace

TEST(SettingsTable, names_each_setting_where_its_command_reads_it) {
  expect_table_order("Sorvik", sorvik::sorvik_setting_count, sorvik::read_parameters);
  expect_table_order("Tamvel", tamvel::tamvel_setting_count, tamvel::read_parameters);
}
