#include <gtest/gtest.h>

#include "core/convergence.h"
#include "core/window.h"

namespace {

int disc_size(int w) {
  const core::disc_window window = core::make_window(w);
  int count = 0;
  for (int dy = window.lo; dy < window.hi; ++dy)
    for (int dx = window.lo; dx < window.hi; ++dx) count += window.contains(dx, dy);
  return count;
}

TEST(DiscWindow, holds_the_documented_offsets_for_small_diameters) {
  const int expected[] = {0, 1, 1, 9, 9, 21, 25, 37, 45, 69};  // w = 0 .. 9
  for (int w = 0; w <= 9; ++w) EXPECT_EQ(disc_size(w), expected[w]) << "w = " << w;
  EXPECT_EQ(disc_size(-3), 0);
  EXPECT_TRUE(core::make_window(1).contains(0, 0));
  EXPECT_FALSE(core::make_window(5).contains(2, 2));  // the 5 x 5 block loses its corners
  EXPECT_TRUE(core::make_window(5).contains(2, 1));
}

TEST(DiscWindow, stays_exact_at_the_largest_diameter) {
  const core::disc_window window = core::make_window(46340);
  EXPECT_EQ(window.lo, -23170);
  EXPECT_EQ(window.hi, 23170);
  EXPECT_TRUE(window.contains(23169, 0));
  EXPECT_FALSE(window.contains(16384, 16384));  // 2 * 16384^2 * 4 > 46340^2
}

TEST(MirrorIndex, reflects_about_the_edge_pixels_without_repeating_them) {
  EXPECT_EQ(core::mirror_index(-1, 10), 1);
  EXPECT_EQ(core::mirror_index(-2, 10), 2);
  EXPECT_EQ(core::mirror_index(10, 10), 8);
  EXPECT_EQ(core::mirror_index(11, 10), 7);
  for (int v = 0; v < 10; ++v) EXPECT_EQ(core::mirror_index(v, 10), v);
}

TEST(MirrorIndex, window_wider_than_image_reflects_again) {
  // Axis of 3 pixels: ... 2 1 0 1 2 1 0 1 2 ... with period 4.
  const int expected[] = {1, 0, 1, 2, 1, 0, 1, 2, 1, 0, 1, 2, 1};  // v = -5 .. 7
  for (int v = -5; v <= 7; ++v) EXPECT_EQ(core::mirror_index(v, 3), expected[v + 5]) << "v = " << v;
  EXPECT_EQ(core::mirror_index(-1000001, 2), 1);
  for (int v = -3; v <= 3; ++v) EXPECT_EQ(core::mirror_index(v, 1), 0);
}

TEST(Convergence, compares_squared_change_with_tolerance_times_previous_energy) {
  EXPECT_TRUE(core::has_converged(101.0f, 100.0f, 0.011f));  // 1 < 1.1
  EXPECT_FALSE(core::has_converged(101.0f, 100.0f, 0.01f));  // 1 < 1 is false
  EXPECT_FALSE(core::has_converged(90.0f, 100.0f, 0.5f));    // 100 < 50 is false, not a relative test
  EXPECT_TRUE(core::has_converged(5.0f, 5.0f, 1e-6f));
  EXPECT_FALSE(core::has_converged(0.0f, 0.0f, 1.0f));  // 0 > 0 is false
  EXPECT_FALSE(core::has_converged(5.0f, 5.0f, 0.0f));
  EXPECT_FALSE(core::has_converged(5.0f, 5.0f, -1.0f));
}

}  // namespace
