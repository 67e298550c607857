// Buffers kept between calls: reused at any extents of the same size, the
// total bounded, and safe to keep and take from several threads at once.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/kept_buffers.h"

namespace {

TEST(KeptBuffers, are_reused_at_new_extents_and_bounded) {
  CImg<float> image = core::reused_image(256, 256, 1, 1);
  const float* buffer = image.data();
  core::keep_for_reuse(std::move(image));
  const CImg<float> again = core::reused_image(128, 64, 4, 2);
  EXPECT_EQ(again.data(), buffer);
  EXPECT_EQ(again.width() * again.height() * again.depth() * again.spectrum(), 256 * 256);
  EXPECT_EQ(again.depth(), 4);
  CImg<unsigned char> mask = core::reused_image<unsigned char>(512, 512, 1, 1);
  const unsigned char* bytes = mask.data();
  core::keep_for_reuse(std::move(mask));
  EXPECT_EQ(core::reused_image<unsigned char>(256, 256, 4, 1).data(), bytes);

  // Kept beyond the bound, the oldest go: of six images of the largest kept
  // size, as many as fit stay, and the newest come back first.
  const unsigned side = 1024, rows = unsigned(core::kept_image_bytes / sizeof(float) / side);
  std::vector<CImg<float>> large(6);
  for (CImg<float>& image : large) image = core::reused_image(side, rows, 1, 1);
  std::vector<const float*> kept;
  for (CImg<float>& image : large) {
    kept.push_back(image.data());
    core::keep_for_reuse(std::move(image));
  }
  EXPECT_LE(core::bytes_kept<float>(), core::kept_bytes);
  EXPECT_EQ(core::reused_image(side, rows, 1, 1).data(), kept.back());
}

TEST(KeptBuffers, are_taken_and_kept_by_several_threads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        CImg<float> image = core::reused_image(128 << (i % 3), 128, 1, 1);
        image.fill(float(t));
        EXPECT_EQ(image.max(), float(t));
        core::keep_for_reuse(std::move(image));
      }
    });
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
