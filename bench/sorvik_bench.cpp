// Times the fast Sorvik kernels against the plain reference iteration
// (tests/reference/) on the workloads they are meant for, checks that both give
// the same labels, and writes the edge-sweep-per-window table as CSV. Each
// case runs again with every thread count of --threads (default 1,2,0; 0:
// every core the process may run on), whose labels must be one thread's.
// Last, where the time of a plain iteration goes, and, where OpenCV was
// found, what its k-means takes per iteration on the same image.
//
//   sorvik_bench [--out DIR] [--threads LIST] [--camera RAW WIDTH HEIGHT] [--colour RAW WIDTH HEIGHT]
//
// A RAW file holds 32-bit floats, x fastest, then y, then channel (one channel
// for --camera, three for --colour). Without one, a synthetic photo-like image
// of 512 x 512 stands in. Against the reference, times are CPU seconds of the
// calling thread, so that other work on a shared machine inflates them as
// little as possible; the fast side takes the best of a few runs, the slow
// reference runs once. Between thread counts they are wall-clock seconds
// (thread_scaling.h).
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/centre_sums.h"
#include "sorvik/clustering.h"
#include "sorvik/segment_image.h"
#include "bench/thread_scaling.h"
#include "bench/timing.h"
#include "sorvik/parameters.h"
#include "tests/reference/sorvik_reference.h"
#include "core/call_threads.h"

#if defined(SORVIK_BENCH_OPENCV)
#include <opencv2/core.hpp>
#endif

namespace {

// The kernels run on the test's own thread unless a test says otherwise.
core::call_threads one_thread;

using bench::best_seconds_of;
using bench::best_wall_seconds_of;
using bench::same_bits;
using bench::seconds_of;
using bench::thread_count;
using thread_list = std::vector<bench::thread_count>;

// The largest resident set so far, in bytes (Linux reports kilobytes).
double peak_resident_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return 1024.0 * double(usage.ru_maxrss);
}

std::uint64_t fingerprint(const CImg<float>& image) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the bytes
  const auto* byte = reinterpret_cast<const unsigned char*>(image.data());
  for (std::size_t i = 0; i < image.size() * sizeof(float); ++i) hash = (hash ^ byte[i]) * 1099511628211ull;
  return hash;
}

// A deterministic stand-in for a photograph: smooth shading, a few flat
// shapes with sharp borders, fine texture and noise, values 0 .. 255.
CImg<float> photo_like(int width, int height, int depth, int channels) {
  CImg<float> image(width, height, depth, channels);
  bench::noise_source noise{12345u};
  cimg_forXYZC(image, x, y, z, c) {
    const float u = float(x) / width, v = float(y) / height, t = float(z) / std::max(depth, 1);
    float value = 60 + 80 * u + 40 * std::sin(6.0f * v + 2.0f * c + 3.0f * t);
    const float dx = u - 0.35f, dy = v - 0.4f;
    if (dx * dx + dy * dy < 0.04f) value = 200 - 30 * c;                      // a disc
    if (u > 0.6f && u < 0.85f && v > 0.55f && v < 0.9f) value = 30 + 50 * c;  // a block
    if (std::fabs(u + v - 1.1f) < 0.02f) value = 240;                         // a thin bar
    value += 6 * std::sin(40.0f * u) * std::sin(37.0f * v) + 12 * noise();
    image(x, y, z, c) = std::clamp(value, 0.0f, 255.0f);
  }
  return image;
}

CImg<float> read_raw(const std::string& path, int width, int height, int channels) {
  CImg<float> image(width, height, 1, channels);
  std::ifstream file(path, std::ios::binary);
  file.read(reinterpret_cast<char*>(image.data()), std::streamsize(image.size() * sizeof(float)));
  if (!file || file.peek() != std::char_traits<char>::eof())
    throw std::runtime_error(path + " does not hold exactly " + std::to_string(image.size()) + " floats");
  return image;
}

CImg<float> settings(int window, float edge_weight, float tolerance, int iterations, int last_plain, int classes) {
  const float values[] = {float(window), edge_weight, tolerance, float(iterations), float(last_plain), float(classes)};
  return CImg<float>(values, 6, 1, 1, 1);
}

sorvik::segmentation_parameters edge_sweep_parameters(int window, int classes) {
  sorvik::segmentation_parameters p;
  p.window_size = window;
  p.window = core::make_window(window);
  p.edge_weight = 2;
  p.max_iterations = 1;
  p.last_plain_iteration = -1;
  p.class_count = classes;
  return p;
}

struct comparison {
  double reference_seconds;
  double fast_seconds;
  bool same_labels;
  double ratio() const { return reference_seconds / fast_seconds; }
};

comparison compare_whole_calls(const CImg<float>& image, const CImg<float>& parameters, int fast_runs) {
  CImg<float> expected, labels;
  comparison result{};
  result.reference_seconds =
      seconds_of([&] { expected = sorvik_reference::segment_image_reference(image, parameters); });
  result.fast_seconds = best_seconds_of(fast_runs, [&] { labels = sorvik::segment_image(image, parameters); });
  result.same_labels = same_bits(labels, expected);
  return result;
}

bool report(const char* name, const comparison& c, double target) {
  const bool met = c.ratio() >= target;
  std::printf("%-34s reference %9.3f s   fast %8.4f s   ratio %7.1fx   (target >= %gx: %s)   labels %s\n", name,
              c.reference_seconds, c.fast_seconds, c.ratio(), target, met ? "met" : "NOT met",
              c.same_labels ? "identical" : "DIFFER");
  return c.same_labels;
}

bool threaded_calls(const thread_list& counts, const CImg<float>& image, const CImg<float>& parameters) {
  return bench::report_thread_counts(counts,
                                     [&](int threads) { return sorvik::segment_image(image, parameters, threads); });
}

bool whole_call_case(const char* name, const CImg<float>& image, const CImg<float>& parameters, double target,
                     const thread_list& counts) {
  const bool same = report(name, compare_whole_calls(image, parameters, 5), target);
  return threaded_calls(counts, image, parameters) && same;
}

// Edge-phase sweeps for w = 3 .. 21 from the labels and centres that five plain
// iterations leave; prints the table and writes it as CSV.
bool window_table(const CImg<float>& image, int classes, const std::string& csv_path, const thread_list& counts) {
  CImg<float> labels(image.width(), image.height(), image.depth(), 1, 0.0f);
  CImg<float> centres = sorvik::init_centres(image, classes, one_thread);
  sorvik::segmentation_parameters plain = edge_sweep_parameters(0, classes);
  plain.max_iterations = 5;
  plain.last_plain_iteration = 4;
  sorvik::run_clustering(image, plain, centres, labels, one_thread);

  std::FILE* csv = std::fopen(csv_path.c_str(), "w");
  if (csv) std::fprintf(csv, "window,disc_offsets,reference_ms,fast_ms,ratio,fast_ns_per_pixel,fast_relative_to_w3\n");
  constexpr int fast_runs = 11;  // a sweep takes milliseconds: the best of many steadies it
  std::printf("\nEdge-phase sweep of %d x %d, K = %d, by window size w (one sweep; fast: best of %d)\n", image.width(),
              image.height(), classes, fast_runs);
  std::printf("   w  offsets  reference ms   fast ms    ratio  fast ns/pixel  fast / fast(w=3)\n");
  std::printf(
      "       then the fast sweep with each thread count (wall-clock, best of %d, each run with a copy of\n"
      "       the labels)\n",
      fast_runs);
  bool all_same = true;
  double fast_w3 = 0;
  for (int w = 3; w <= 21; w += 2) {
    const sorvik::segmentation_parameters p = edge_sweep_parameters(w, classes);
    int offsets = 0;
    for (int dy = p.window.lo; dy < p.window.hi; ++dy)
      for (int dx = p.window.lo; dx < p.window.hi; ++dx) offsets += p.window.contains(dx, dy);
    CImg<float> expected = labels;
    const double reference = seconds_of([&] { sorvik_reference::label_sweep(image, p, centres, expected, 0); });
    CImg<float> swept;
    double fast = 0;
    for (int run = 0; run < fast_runs; ++run) {
      swept = labels;
      const double seconds = seconds_of([&] { sorvik::label_sweep(image, p, centres, swept, 0, one_thread); });
      fast = run == 0 ? seconds : std::min(fast, seconds);
    }
    all_same = all_same && same_bits(swept, expected);
    if (w == 3) fast_w3 = fast;
    const double per_pixel = 1e9 * fast / double(image.size());
    std::printf("  %2d  %7d  %12.1f  %8.3f  %7.1fx  %13.2f  %16.2f\n", w, offsets, 1e3 * reference, 1e3 * fast,
                reference / fast, per_pixel, fast / fast_w3);
    if (csv)
      std::fprintf(csv, "%d,%d,%.4f,%.4f,%.2f,%.3f,%.3f\n", w, offsets, 1e3 * reference, 1e3 * fast, reference / fast,
                   per_pixel, fast / fast_w3);
    if (w == 15)
      std::printf("        (w = 15 against w = 3: %.2f, target <= 2: %s)\n", fast / fast_w3,
                  fast / fast_w3 <= 2 ? "met" : "NOT met");
    const bench::thread_times threaded = bench::time_thread_counts(counts, fast_runs, [&](int threads) {
      CImg<float> threaded_labels = labels;
      core::call_threads call(threads);
      sorvik::label_sweep(image, p, centres, threaded_labels, 0, call);
      return threaded_labels;
    });
    std::printf("        %s\n", bench::thread_times_text(counts, threaded).c_str());
    all_same = all_same && threaded.same_labels;
  }
  if (csv) std::fclose(csv);
  std::printf("  labels after every sweep %s; table written to %s\n", all_same ? "identical" : "DIFFER",
              csv_path.c_str());
  return all_same;
}

// The volume case runs in a child process of its own per implementation, so
// that each peak resident size belongs to one call alone.
constexpr int volume_width = 256, volume_height = 256, volume_depth = 64;

CImg<float> volume_settings() { return settings(5, 2, 0, 6, 1, 3); }

int volume_child(const std::string& which) {
  const double baseline = peak_resident_bytes();
  const CImg<float> volume = photo_like(volume_width, volume_height, volume_depth, 1);
  CImg<float> labels;
  const double seconds = seconds_of([&] {
    labels = which == "reference" ? sorvik_reference::segment_image_reference(volume, volume_settings())
                                  : sorvik::segment_image(volume, volume_settings());
  });
  std::printf("%.6f %.0f %.0f %llu\n", seconds, baseline, peak_resident_bytes(),
              static_cast<unsigned long long>(fingerprint(labels)));
  return 0;
}

struct child_result {
  double seconds = 0, baseline = 0, peak = 0;
  unsigned long long fingerprint = 0;
};

child_result run_volume_child(const std::string& program, const std::string& which) {
  child_result result;
  const std::string command = "'" + program + "' --volume-child " + which;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe ||
      std::fscanf(pipe, "%lf %lf %lf %llu", &result.seconds, &result.baseline, &result.peak, &result.fingerprint) != 4)
    throw std::runtime_error("the volume run (" + which + ") gave no result");
  pclose(pipe);
  return result;
}

bool volume_case(const std::string& program, const thread_list& counts) {
  const child_result reference = run_volume_child(program, "reference");
  child_result fast = run_volume_child(program, "fast");
  for (int i = 0; i < 2; ++i) {
    const child_result again = run_volume_child(program, "fast");
    if (again.seconds < fast.seconds) fast = again;
  }
  const comparison c{reference.seconds, fast.seconds, reference.fingerprint == fast.fingerprint};
  char name[64];
  std::snprintf(name, sizeof name, "volume %dx%dx%d K=3 w=5", volume_width, volume_height, volume_depth);
  const bool same = report(name, c, 10);
  const double mib = 1024.0 * 1024.0;
  const double input = double(volume_width) * volume_height * volume_depth * sizeof(float);
  const double label = input;  // one float per pixel, as the grey input
  const double budget = input + 3 * label;
  std::printf(
      "  peak memory above the process baseline: fast %.1f MiB, reference %.1f MiB; input %.1f MiB, "
      "label image %.1f MiB, budget input + 3 label images %.1f MiB: %s\n",
      (fast.peak - fast.baseline) / mib, (reference.peak - reference.baseline) / mib, input / mib, label / mib,
      budget / mib, fast.peak - fast.baseline <= budget ? "met" : "NOT met");
  std::printf("  (peak resident: fast %.1f MiB, reference %.1f MiB, baseline %.1f MiB)\n", fast.peak / mib,
              reference.peak / mib, fast.baseline / mib);
  const CImg<float> volume = photo_like(volume_width, volume_height, volume_depth, 1);
  return threaded_calls(counts, volume, volume_settings()) && same;
}

// A volume too large for the reference to be worth waiting for: threads only.
bool large_volume_case(const thread_list& counts) {
  constexpr int width = 512, height = 512, depth = 64;
  std::printf("volume %dx%dx%d K=3 w=5                (threads only; the reference would take minutes)\n", width,
              height, depth);
  const CImg<float> volume = photo_like(width, height, depth, 1);
  return threaded_calls(counts, volume, volume_settings());
}

// Where the time of a plain call goes, on one thread: the call's steps taken
// one by one as the driver takes them, each the least of a few runs; what the
// whole call takes beyond them is "the rest" (buffers, the result).
constexpr int profile_iterations = 30, profile_classes = 4, profile_runs = 5;

CImg<float> profile_settings() {
  return settings(5, 2, 0, profile_iterations, profile_iterations, profile_classes);  // T >= N: plain only
}

struct step_times {
  double init = 0, sweeps = 0, updates = 0;
};

// The centre update as a run makes it: sums in any order where no sum can
// round.
void update_centres_as_run(const CImg<float>& image, const CImg<float>& labels, int classes, bool any_order,
                           CImg<float>& centres) {
  std::vector<const float*> channel;
  for (int c = 0; c < image.spectrum(); ++c) channel.push_back(image.data(0, 0, 0, c));
  std::vector<double> sums;
  std::vector<std::uint64_t> counts;
  core::sum_by_class(labels.data(), labels.size(), channel, classes, sums, counts, one_thread, 1, any_order);
  for (int k = 0; k < classes; ++k)
    for (int c = 0; c < image.spectrum(); ++c)
      centres(c, k) =
          float(sums[std::size_t(k) * image.spectrum() + c] / (double(counts[k]) + sorvik::centre_count_guard));
}

step_times plain_steps(const CImg<float>& image, CImg<float>& labels) {
  step_times times;
  double start = bench::wall_seconds();
  const sorvik::segmentation_parameters p = sorvik::read_parameters(profile_settings());
  labels.assign(image.width(), image.height(), image.depth(), 1, 0.0f);
  CImg<float> centres = sorvik::init_centres(image, p.class_count, one_thread);
  std::vector<const float*> channel;
  for (int c = 0; c < image.spectrum(); ++c) channel.push_back(image.data(0, 0, 0, c));
  const bool any_order = core::sums_are_exact(channel, labels.size(), nullptr, one_thread);
  times.init = bench::wall_seconds() - start;
  for (int iteration = 0; iteration < p.max_iterations; ++iteration) {
    start = bench::wall_seconds();
    sorvik::label_sweep(image, p, centres, labels, iteration, one_thread);
    const double swept = bench::wall_seconds();
    update_centres_as_run(image, labels, p.class_count, any_order, centres);
    times.sweeps += swept - start;
    times.updates += bench::wall_seconds() - swept;
  }
  return times;
}

#if defined(SORVIK_BENCH_OPENCV)
// cv::kmeans on the image's values alone, on one thread, from the labels of
// evenly spread centres; per iteration: the difference between two iteration
// limits, so that its start and end count for nothing.
double opencv_seconds_per_iteration(const CImg<float>& image, bool& ran_every_iteration) {
  cv::setNumThreads(1);
  cv::Mat samples(int(image.size()), 1, CV_32F, const_cast<float*>(image.data()));
  float lowest = 0;
  const float highest = image.max_min(lowest);
  cv::Mat start_labels(int(image.size()), 1, CV_32S);
  for (int i = 0; i < int(image.size()); ++i) {
    const float share = highest > lowest ? (image[i] - lowest) / (highest - lowest) : 0;
    start_labels.at<int>(i) = std::min(profile_classes - 1, int(share * profile_classes));
  }
  const auto kmeans_with = [&](int iterations, cv::Mat& labels) {
    labels = start_labels.clone();
    cv::kmeans(samples, profile_classes, labels, cv::TermCriteria(cv::TermCriteria::COUNT, iterations, 0), 1,
               cv::KMEANS_USE_INITIAL_LABELS);
  };
  constexpr int few = 4, many = 12;
  cv::Mat labels_few, labels_many, labels_one_less;
  const double few_seconds = best_wall_seconds_of(profile_runs, [&] { kmeans_with(few, labels_few); });
  const double many_seconds = best_wall_seconds_of(profile_runs, [&] { kmeans_with(many, labels_many); });
  // Converged before the larger limit, it would have stopped early.
  kmeans_with(many - 1, labels_one_less);
  ran_every_iteration = cv::countNonZero(labels_many != labels_one_less) > 0;
  return (many_seconds - few_seconds) / (many - few);
}
#endif

bool plain_profile(const CImg<float>& image, bool camera_given) {
  std::printf("\nPlain iterations on %s, K = %d, N = %d, one thread (wall-clock, best of %d):\n",
              camera_given ? "camera.png" : "the synthetic 512 x 512 image", profile_classes, profile_iterations,
              profile_runs);
  CImg<float> labels, stepped;
  const double whole =
      best_wall_seconds_of(profile_runs, [&] { labels = sorvik::segment_image(image, profile_settings()); });
  step_times best = plain_steps(image, stepped);
  for (int run = 1; run < profile_runs; ++run) {
    const step_times again = plain_steps(image, stepped);
    best.init = std::min(best.init, again.init);
    best.sweeps = std::min(best.sweeps, again.sweeps);
    best.updates = std::min(best.updates, again.updates);
  }
  const double rest = whole - best.init - best.sweeps - best.updates;
  std::printf("  whole call %.2f ms: %.3f ms per plain iteration\n", 1e3 * whole, 1e3 * whole / profile_iterations);
  std::printf(
      "  init (with the test for exact sums) %.3f ms, sweeps %.2f ms (%.3f ms each), centre updates %.2f ms (%.3f ms "
      "each), "
      "the rest %.3f ms\n",
      1e3 * best.init, 1e3 * best.sweeps, 1e3 * best.sweeps / profile_iterations, 1e3 * best.updates,
      1e3 * best.updates / profile_iterations, 1e3 * rest);
  std::printf(
      "  (the rest: the whole call less its steps timed one by one; noise can make it negative; the\n"
      "   host's conversion of its array is not in any of these)\n");
#if defined(SORVIK_BENCH_OPENCV)
  bool ran_every_iteration = false;
  const double opencv = opencv_seconds_per_iteration(image, ran_every_iteration);
  std::printf("  OpenCV %s cv::kmeans, same image and K, one thread: %.3f ms per iteration%s\n", CV_VERSION,
              1e3 * opencv, ran_every_iteration ? "" : " (it converged early: the figure is too low)");
#endif
  const bool same = same_bits(labels, stepped);
  std::printf("  labels of the steps and of the call %s\n", same ? "identical" : "DIFFER");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_dir = ".";
  CImg<float> camera, colour;
  thread_list counts;
  try {
    counts = bench::parse_thread_list("1,2,0");
    for (int i = 1; i < argc; ++i) {
      const std::string option = argv[i];
      if (option == "--volume-child" && i + 1 < argc) return volume_child(argv[i + 1]);
      if (option == "--out" && i + 1 < argc) {
        out_dir = argv[++i];
      } else if (option == "--threads" && i + 1 < argc) {
        counts = bench::parse_thread_list(argv[++i]);
      } else if ((option == "--camera" || option == "--colour") && i + 3 < argc) {
        const std::string path = argv[i + 1];
        const int width = std::atoi(argv[i + 2]), height = std::atoi(argv[i + 3]);
        i += 3;
        (option == "--camera" ? camera : colour) = read_raw(path, width, height, option == "--camera" ? 1 : 3);
      } else {
        std::fprintf(stderr,
                     "usage: %s [--out DIR] [--threads LIST] [--camera RAW WIDTH HEIGHT] [--colour RAW WIDTH HEIGHT]\n",
                     argv[0]);
        return 2;
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
  }
  const bool camera_given = !camera.is_empty(), colour_given = !colour.is_empty();
  if (!camera_given) camera = photo_like(512, 512, 1, 1);
  if (!colour_given) colour = photo_like(512, 512, 1, 3);

  std::printf("Sorvik: fast kernels against the reference iteration (CPU seconds of one thread)\n");
  std::printf("grey image: %s; colour image: %s\n", camera_given ? "camera.png" : "synthetic 512 x 512",
              colour_given ? "astronaut.png" : "synthetic 512 x 512 x 3");
  bench::print_machine(counts);
  std::printf("\n");
  bool same = true;
  same &= whole_call_case("grey K=4 w=5 weight 2 N=30 T=4", camera, settings(5, 2, 0, 30, 4, 4), 10, counts);
  same &= whole_call_case("colour K=8 plain only (T >= N)", colour, settings(5, 2, 0, 10, 10, 8), 4, counts);
  same &= volume_case(argv[0], counts);
  same &= large_volume_case(counts);
  same &= window_table(camera, 4, out_dir + "/edge_sweep_by_window.csv", counts);
  same &= plain_profile(camera, camera_given);
  if (!same) std::fprintf(stderr, "FAILED: labels differ (see above)\n");
  return same ? 0 : 1;
}
