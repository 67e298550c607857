// Fuzz target: Tamvel's fast kernels against the plain reference iteration
// kept with the tests, on small image pairs (up to 16 x 16 x 3, 1 to 3
// channels, the secondary with as many or up to two more) holding NaN,
// infinities, huge magnitudes and exact ties, with any settings. Both must
// refuse the same settings, or give the same labels bit for bit, whatever
// number of threads the kernels share the call among.
//
// Input layout: width, height, depth, channels, extra secondary channels;
// for each image how its values are read and their range (one byte each);
// eight settings (one byte each, below 0xC0 a value typical of the setting,
// else a special value); the primary's values, then the secondary's; the
// thread count (one byte).
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/refusal.h"
#include "input_reader.h"
#include "kernel_case.h"
#include "tamvel/segment_image_pair.h"
#include "tests/reference/tamvel_reference.h"

namespace {

float setting(fuzz::input_reader& in, int index) {
  const std::uint8_t code = in.byte();
  if (code >= 0xC0) return float(fuzz::special_values[code % fuzz::special_count]);
  static const float secondary_weights[] = {0, 0.5f, 1, 2, 7, 0.3f};
  static const float tolerances[] = {0, 0, 1e-6f, 1e-3f, 0.1f, 10};
  static const float edge_weights[] = {0, 0.5f, 1, 3, 40, 1e4f, 0.3f};
  // Zero and tiny scales leave the band empty; negative ones are percentages.
  static const float band_sigmas[] = {0, 0.05f, 0.5f, 1, 2.5f, 40, -1, -20, -300};
  switch (index) {
    case 0:
      return secondary_weights[code % 6];
    case 1:
      return tolerances[code % 6];
    case 2:
      return edge_weights[code % 7];
    case 3:
      return float(code % 40 - 3);  // window size, up to wider than the image
    case 4:
      return float(code % 9);  // iterations
    case 5:
      return band_sigmas[code % 9];
    case 6:
      return float(code % 12 - 4);  // last plain iteration
    default:
      return float(code % 20 + 1);  // classes
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::input_reader in(data, size);
  const int width = in.between(1, 16), height = in.between(1, 16), depth = in.between(1, 3);
  const int channels = in.between(1, 3);
  const int secondary_channels = channels + in.between(0, 2);
  const fuzz::value_source primary_values(in), secondary_values(in);
  CImg<float> settings(8, 1, 1, 1);
  for (int i = 0; i < 8; ++i) settings[i] = setting(in, i);
  const CImg<float> primary = fuzz::random_image(in, primary_values, width, height, depth, channels);
  const CImg<float> secondary = fuzz::random_image(in, secondary_values, width, height, depth, secondary_channels);
  const int threads = fuzz::thread_count(in);
  fuzz::keep_reference_work_small(settings, double(width) * height * depth, {3, 4, 7}, threads);

  std::string fast_refusal, reference_refusal;
  CImg<float> fast, reference;
  try {
    // Shares of one pixel, so that the tiny images are split between threads
    // as large ones are.
    core::call_threads call(threads, 1);
    fast = tamvel::segment_image_pair(primary, secondary, settings, call);
  } catch (const core::refusal& refusal) {
    fast_refusal = refusal.mnemonic();
  }
  try {
    reference = tamvel_reference::segment_image_pair_reference(primary, secondary, settings);
  } catch (const core::refusal& refusal) {
    reference_refusal = refusal.mnemonic();
  }
  char images[96];
  std::snprintf(images, sizeof images, "images %d x %d x %d x %d and %d", width, height, depth, channels,
                secondary_channels);
  fuzz::describe(images, settings, threads, fast_refusal);
  if (fast_refusal != reference_refusal) fuzz::finding("the kernels and the reference refuse differently");
  if (fast_refusal.empty() && !fuzz::same_bits(fast, reference))
    fuzz::finding("the kernels' labels differ from the reference's");
  return 0;
}
