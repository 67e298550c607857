// What exact sums cost: the exact sum of a run of floats against the float
// chain it replaces, in nanoseconds per value, and a whole Sorvik call on a
// noisy float image with and without exact sums. CPU seconds of the calling
// thread, the best of several runs. Measures, changes nothing.
//
//   exact_sum_bench
#include <cstdio>
#include <random>
#include <vector>

#include "bench/timing.h"
#include "core/call_threads.h"
#include "core/exact_sum.h"
#include "sorvik/segment_image.h"

namespace {

constexpr int runs = 7;

void time_sums(const char* what, const std::vector<float>& values) {
  float kept = 0;  // read, so that no sum is left out
  const double exact = bench::best_seconds_of(runs, [&] {
    core::exact_sum sum;
    core::add(sum, values.data(), values.size());
    kept += core::to_float(sum);
  });
  const double one_by_one = bench::best_seconds_of(runs, [&] {
    core::exact_sum sum;
    for (const float value : values) core::add(sum, value);
    kept += core::to_float(sum);
  });
  const double chain = bench::best_seconds_of(runs, [&] {
    float sum = 0;
    for (const float value : values) sum += value;
    kept += sum;
  });
  const double per_value = 1e9 / double(values.size());
  std::printf("%-34s exact run %.2f ns, exact one by one %.2f ns, float chain %.2f ns a value (%g)\n", what,
              exact * per_value, one_by_one * per_value, chain * per_value, double(kept));
}

}  // namespace

int main() {
  std::mt19937 random(3);
  const std::size_t count = std::size_t(1) << 24;
  std::vector<float> terms(count), spread(count);
  std::normal_distribution<float> noise(0, 40);
  for (float& term : terms) term = noise(random) * noise(random);  // like a sweep's terms near 1,600
  std::uniform_real_distribution<float> exponent(-60, 60);
  for (float& value : spread) value = std::exp2(exponent(random)) * (random() % 2 ? 1 : -1);
  time_sums("2^24 energy terms", terms);
  time_sums("2^24 values of 2^-60 .. 2^60", spread);
  time_sums("2^24 equal values", std::vector<float>(count, 1600.5f));

  // 512 x 512, two classes of fractional values: the centre sums are not
  // exact in double, so both options change work.
  CImg<float> image(512, 512);
  cimg_forXY(image, x, y) image(x, y) = (x < 256 ? 60.0f : 150.0f) + noise(random) * 0.75f;
  const float settings[] = {5, 600, 1e-6f, 30, 4, 3};
  const CImg<float> parameters(settings, 6);
  for (const bool exact_sums : {false, true}) {
    core::run_info info;
    const double seconds = bench::best_seconds_of(3, [&] {
      core::call_threads one_thread;
      sorvik::segment_image(image, parameters, one_thread, core::run_watch{{}, &info, {}}, exact_sums);
    });
    std::printf("Sorvik 512 x 512 float, exact sums %s: %.3f s for %d iterations\n", exact_sums ? "on " : "off",
                seconds, info.iterations);
  }
}
