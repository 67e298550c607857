// Fuzz target: Sorvik's fast kernels against the plain reference iteration
// kept with the tests, on small images (up to 16 x 16 x 3, 0 to 3 channels)
// holding NaN, infinities, huge magnitudes and exact ties, with any settings.
// Both must refuse the same settings, or give the same labels bit for bit,
// whatever number of threads the kernels share the call among.
//
// Input layout: width, height, depth, channels, how the values are read, a
// value range (one byte each); six settings (one byte each, below 0xC0 a
// value typical of the setting, else a special value); the pixel values; the
// thread count (one byte).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/refusal.h"
#include "input_reader.h"
#include "kernel_case.h"
#include "sorvik/segment_image.h"
#include "tests/reference/sorvik_reference.h"

namespace {

float setting(fuzz::input_reader& in, int index) {
  const std::uint8_t code = in.byte();
  if (code >= 0xC0) return float(fuzz::special_values[code % fuzz::special_count]);
  static const float weights[] = {0, 0.5f, 1, 2, 7, 40, 1e6f, 0.3f, 3, 1e4f};
  static const float tolerances[] = {0, 0, 1e-6f, 1e-3f, 0.1f, 10};
  switch (index) {
    case 0:
      return float(code % 40 - 3);  // window size, up to wider than the image
    case 1:
      return weights[code % 10];
    case 2:
      return tolerances[code % 6];
    case 3:
      return float(code % 9);  // iterations
    case 4:
      return float(code % 12 - 4);  // last plain iteration
    default:
      return float(code % 20 + 1);  // classes
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::input_reader in(data, size);
  const int width = in.between(1, 16), height = in.between(1, 16), depth = in.between(1, 3);
  const int channels = in.between(0, 3);
  const fuzz::value_source values(in);
  CImg<float> settings(6, 1, 1, 1);
  for (int i = 0; i < 6; ++i) settings[i] = setting(in, i);
  const CImg<float> image = fuzz::random_image(in, values, width, height, depth, channels);
  const int threads = fuzz::thread_count(in);
  fuzz::keep_reference_work_small(settings, double(width) * height * depth, {0, 3, 5}, threads);

  std::string fast_refusal, reference_refusal;
  CImg<float> fast, reference;
  try {
    // Shares of one pixel, so that the tiny images are split between threads
    // as large ones are.
    core::call_threads call(threads, 1);
    fast = sorvik::segment_image(image, settings, call);
  } catch (const core::refusal& refusal) {
    fast_refusal = refusal.mnemonic();
  }
  try {
    reference = sorvik_reference::segment_image_reference(image, settings);
  } catch (const core::refusal& refusal) {
    reference_refusal = refusal.mnemonic();
  }
  char images[96];
  std::snprintf(images, sizeof images, "image %d x %d x %d x %d", width, height, depth, channels);
  fuzz::describe(images, settings, threads, fast_refusal);
  if (fast_refusal != reference_refusal) fuzz::finding("the kernels and the reference refuse differently");
  if (fast_refusal.empty() && !fuzz::same_bits(fast, reference))
    fuzz::finding("the kernels' labels differ from the reference's");
  return 0;
}
