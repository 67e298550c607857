// Times the fast Tamvel kernels against the plain reference iteration
// (tests/reference/) on whole calls, checks that both give the same labels,
// and shows that a sweep after the band rebuild costs in proportion to the
// band.
//
//   tamvel_bench [--threads LIST] [--pair PRIMARY.raw SECONDARY.raw WIDTH HEIGHT]
//
// A RAW file holds WIDTH x HEIGHT 32-bit floats, x fastest (pair_to_raw.m
// writes them). Without --pair the MR slice pair is left out. Times are CPU
// seconds of the calling thread, so that other work on a shared machine
// inflates them as little as possible; the fast side takes the best of a few
// runs, the slow reference runs once. Each whole call runs again with every
// thread count of --threads (default 1,2,0; 0: every core the process may run
// on), timed in wall-clock seconds, and must give one thread's labels.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "tamvel/clustering.h"
#include "tamvel/edge_indicator.h"
#include "tamvel/narrow_band.h"
#include "tamvel/parameters.h"
#include "tamvel/segment_image_pair.h"
#include "bench/thread_scaling.h"
#include "bench/timing.h"
#include "tests/reference/tamvel_reference.h"
#include "core/call_threads.h"

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread;

using bench::best_seconds_of;
using bench::same_bits;
using bench::seconds_of;

// Two weightings of one scene, as two MR sequences of one slice: a
// background, a disc, a ring around it, a block and a thin bar, each with its
// own value in each image, plus shading and noise of standard deviation
// 0.58 * noise_scale. Neighbouring levels lie 40 apart.
void synthetic_pair(int width, int height, float noise_scale, CImg<float>& primary, CImg<float>& secondary) {
  primary.assign(width, height, 1, 1);
  secondary.assign(width, height, 1, 1);
  const float primary_level[] = {60, 140, 210, 100, 180};
  const float secondary_level[] = {170, 60, 120, 220, 90};
  bench::noise_source noise{2024u};
  cimg_forXY(primary, x, y) {
    const float u = float(x) / width, v = float(y) / height;
    const float r2 = (u - 0.35f) * (u - 0.35f) + (v - 0.45f) * (v - 0.45f);
    int region = 0;
    if (r2 < 0.04f)
      region = 1;
    else if (r2 < 0.07f)
      region = 2;
    if (u > 0.62f && u < 0.88f && v > 0.2f && v < 0.75f) region = 3;
    if (std::fabs(u - v + 0.3f) < 0.015f) region = 4;
    const float shading = 10 * std::sin(3.0f * u + 2.0f * v);
    primary(x, y) = primary_level[region] + shading + noise_scale * noise();
    secondary(x, y) = secondary_level[region] - shading + noise_scale * noise();
  }
}

CImg<float> read_raw(const std::string& path, int width, int height) {
  CImg<float> image(width, height, 1, 1);
  std::ifstream file(path, std::ios::binary);
  file.read(reinterpret_cast<char*>(image.data()), std::streamsize(image.size() * sizeof(float)));
  if (!file || file.peek() != std::char_traits<char>::eof())
    throw std::runtime_error(path + " does not hold exactly " + std::to_string(image.size()) + " floats");
  return image;
}

// secondary weight, tolerance, edge weight, window, N, band sigma, T, K
constexpr float bench_settings[] = {1, 1e-4f, 10000, 5, 30, 2, 4, 4};

CImg<float> settings() { return CImg<float>(bench_settings, 8, 1, 1, 1); }

bool compare_whole_calls(const char* name, const CImg<float>& primary, const CImg<float>& secondary,
                         const std::vector<bench::thread_count>& counts) {
  CImg<float> expected, labels;
  const double reference =
      seconds_of([&] { expected = tamvel_reference::segment_image_pair_reference(primary, secondary, settings()); });
  const double fast = best_seconds_of(3, [&] { labels = tamvel::segment_image_pair(primary, secondary, settings()); });
  const bool same = same_bits(labels, expected);
  const double ratio = reference / fast;
  std::printf("%-34s reference %8.3f s   fast %8.4f s   ratio %6.1fx   (target >= 8x: %s)   labels %s\n", name,
              reference, fast, ratio, ratio >= 8 ? "met" : "NOT met", same ? "identical" : "DIFFER");
  const bool threaded_same = bench::report_thread_counts(
      counts, [&](int threads) { return tamvel::segment_image_pair(primary, secondary, settings(), threads); });
  return same && threaded_same;
}

// One sweep from the labels and centres that the plain iterations leave: a
// plain sweep of the whole image as before the rebuild, then penalised
// sweeps of the bands that smoothing scales from 0.5 to 16 give and of the
// whole image. The fast sweep's time follows the number of pixels it visits;
// the reference's as well, plus a scan of every pixel for the band test.
bool band_table(const CImg<float>& primary, const CImg<float>& secondary) {
  tamvel::pair_segmentation_parameters p = tamvel::read_parameters(settings());
  const CImg<float> edges = tamvel::compute_edge_indicator(primary, one_thread);
  p.max_iterations = p.last_plain_iteration + 1;
  const CImg<float> labels = tamvel::run_clustering(primary, secondary, p, edges, one_thread);
  // The centres of the last plain iteration are the means of its labels.
  tamvel::centre_pair centres = tamvel::init_centres(primary, secondary, p.class_count, one_thread);
  tamvel::update_centres(primary, secondary, labels, centres);

  std::printf("\nOne sweep against the number of pixels it visits (%d x %d, K = %d, window %d; fast: best of 3):\n",
              primary.width(), primary.height(), p.class_count, p.window_size);
  std::printf(
      "(single sweeps that keep nothing; within a run, later sweeps reuse the penalties of windows\n"
      " whose labels did not change)\n");
  std::printf("  sweep                 band pixels  share of image  fast ms  fast ns/pixel  reference ms    ratio\n");
  bool all_same = true;
  const CImg<float> whole_image = tamvel::initial_band(primary.width(), primary.height(), 1);
  const float sigmas[] = {0, 0.5f, 1, 2, 4, 8, 16, 0};  // first and last: the whole image
  for (std::size_t row = 0; row < std::size(sigmas); ++row) {
    const bool before_rebuild = row == 0, whole = row == 0 || row + 1 == std::size(sigmas);
    const int iteration = before_rebuild ? p.last_plain_iteration : p.last_plain_iteration + 1;
    const CImg<float> band = whole ? whole_image : tamvel::rebuild_band(labels, sigmas[row], one_thread);
    const std::vector<tamvel::band_run> listed = tamvel::list_band(band);
    const std::size_t visited = tamvel::pixels_in(listed);
    // Each run starts from the same labels; only the sweep is timed.
    double fast = 0;
    CImg<float> fast_labels;
    for (int run = 0; run < 3; ++run) {
      fast_labels = labels;
      const double seconds = seconds_of([&] {
        tamvel::label_sweep(primary, secondary, edges, listed, fast_labels, centres, p, iteration, one_thread);
      });
      fast = run == 0 ? seconds : std::min(fast, seconds);
    }
    CImg<float> reference_labels = labels;
    const double reference = seconds_of([&] {
      tamvel_reference::label_sweep(primary, secondary, edges, band, reference_labels, centres, p, iteration);
    });
    all_same = all_same && same_bits(fast_labels, reference_labels);
    char name[32];
    if (before_rebuild)
      std::snprintf(name, sizeof name, "plain, whole image");
    else if (whole)
      std::snprintf(name, sizeof name, "penalised, whole image");
    else
      std::snprintf(name, sizeof name, "band sigma %g", double(sigmas[row]));
    const double share = 100.0 * double(visited) / double(labels.size());
    const double per_pixel = 1e9 * fast / double(std::max<std::size_t>(visited, 1));
    std::printf("  %-22s %11zu  %13.1f%%  %7.2f  %13.1f  %12.1f  %6.1fx\n", name, visited, share, 1e3 * fast, per_pixel,
                1e3 * reference, reference / fast);
  }
  std::printf("  labels after every sweep %s (one thread: the sweep on its own takes no thread count)\n",
              all_same ? "identical" : "DIFFER");
  return all_same;
}

}  // namespace

int main(int argc, char** argv) {
  CImg<float> t1, proton_density;
  std::vector<bench::thread_count> counts;
  try {
    counts = bench::parse_thread_list("1,2,0");
    for (int i = 1; i < argc; ++i) {
      const std::string option = argv[i];
      if (option == "--threads" && i + 1 < argc) {
        counts = bench::parse_thread_list(argv[++i]);
      } else if (option == "--pair" && i + 4 < argc) {
        const int width = std::atoi(argv[i + 3]), height = std::atoi(argv[i + 4]);
        t1 = read_raw(argv[i + 1], width, height);
        proton_density = read_raw(argv[i + 2], width, height);
        i += 4;
      } else {
        std::fprintf(stderr, "usage: %s [--threads LIST] [--pair PRIMARY.raw SECONDARY.raw WIDTH HEIGHT]\n", argv[0]);
        return 2;
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
  }
  // Heavier noise speckles the plain labels, and the band covers nearly the
  // whole image; lighter noise leaves a band along the region boundaries.
  CImg<float> noisy_primary, noisy_secondary, primary, secondary;
  synthetic_pair(1024, 1024, 40, noisy_primary, noisy_secondary);
  synthetic_pair(1024, 1024, 20, primary, secondary);

  std::printf("Tamvel: fast kernels against the reference iteration (CPU seconds of one thread)\n");
  std::printf(
      "settings: secondary weight %g, tolerance %g, edge weight %g, window %g, N %g, band sigma %g, T %g, "
      "K %g\n\n",
      double(bench_settings[0]), double(bench_settings[1]), double(bench_settings[2]), double(bench_settings[3]),
      double(bench_settings[4]), double(bench_settings[5]), double(bench_settings[6]), double(bench_settings[7]));
  bench::print_machine(counts);
  std::printf("\n");
  bool same = compare_whole_calls("synthetic 1024 x 1024, noise 23", noisy_primary, noisy_secondary, counts);
  same &= compare_whole_calls("synthetic 1024 x 1024, noise 12", primary, secondary, counts);
  if (!t1.is_empty()) {
    char name[64];
    std::snprintf(name, sizeof name, "T1 / PD slices %d x %d", t1.width(), t1.height());
    same &= compare_whole_calls(name, t1, proton_density, counts);
  } else {
    std::printf("T1 / PD slices: not given (--pair), left out\n");
  }
  same &= band_table(primary, secondary);
  if (!same) std::fprintf(stderr, "FAILED: labels differ (see above)\n");
  return same ? 0 : 1;
}
