// Times the fast Sorvik kernels against the plain reference iteration
// (tests/reference/) on the workloads they are meant for, checks that both give
// the same labels, and writes the edge-sweep-per-window table as CSV.
//
//   sorvik_bench [--out DIR] [--camera RAW WIDTH HEIGHT] [--colour RAW WIDTH HEIGHT]
//
// A RAW file holds 32-bit floats, x fastest, then y, then channel (one channel
// for --camera, three for --colour). Without one, a synthetic photo-like image
// of 512 x 512 stands in. Times are CPU seconds of the calling thread, so that
// other work on a shared machine inflates them as little as possible; the
// fast side takes the best of a few runs, the slow reference runs once.
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

#include "segmentation/clustering.h"
#include "segmentation/segment_image.h"
#include "bench/timing.h"
#include "tests/reference/sorvik_reference.h"

namespace {

using bench::best_seconds_of;
using bench::same_bits;
using bench::seconds_of;

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
    if (dx * dx + dy * dy < 0.04f) value = 200 - 30 * c;                                    // a disc
    if (u > 0.6f && u < 0.85f && v > 0.55f && v < 0.9f) value = 30 + 50 * c;               // a block
    if (std::fabs(u + v - 1.1f) < 0.02f) value = 240;                                      // a thin bar
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
  p.window = sorvik::make_window(window);
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

// Edge-phase sweeps for w = 3 .. 21 from the labels and centres that five plain
// iterations leave; prints the table and writes it as CSV.
bool window_table(const CImg<float>& image, int classes, const std::string& csv_path) {
  CImg<float> labels(image.width(), image.height(), image.depth(), 1, 0.0f);
  CImg<float> centres = sorvik::init_centres(image, classes);
  sorvik::segmentation_parameters plain = edge_sweep_parameters(0, classes);
  plain.max_iterations = 5;
  plain.last_plain_iteration = 4;
  sorvik::run_clustering(image, plain, centres, labels);

  std::FILE* csv = std::fopen(csv_path.c_str(), "w");
  if (csv) std::fprintf(csv, "window,disc_offsets,reference_ms,fast_ms,ratio,fast_ns_per_pixel,fast_relative_to_w3\n");
  constexpr int fast_runs = 11;  // a sweep takes milliseconds: the best of many steadies it
  std::printf("\nEdge-phase sweep of %d x %d, K = %d, by window size w (one sweep; fast: best of %d)\n",
              image.width(), image.height(), classes, fast_runs);
  std::printf("   w  offsets  reference ms   fast ms    ratio  fast ns/pixel  fast / fast(w=3)\n");
  bool all_same = true;
  double fast_w3 = 0;
  for (int w = 3; w <= 21; w += 2) {
    const sorvik::segmentation_parameters p = edge_sweep_parameters(w, classes);
    int offsets = 0;
    for (int dy = p.window.lo; dy < p.window.hi; ++dy)
      for (int dx = p.window.lo; dx < p.window.hi; ++dx) offsets += p.window.contains(dx, dy);
    CImg<float> expected = labels;
    const double reference =
        seconds_of([&] { sorvik_reference::label_sweep(image, p, centres, expected, 0); });
    CImg<float> swept;
    double fast = 0;
    for (int run = 0; run < fast_runs; ++run) {
      swept = labels;
      const double seconds = seconds_of([&] { sorvik::label_sweep(image, p, centres, swept, 0); });
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
  if (!pipe || std::fscanf(pipe, "%lf %lf %lf %llu", &result.seconds, &result.baseline, &result.peak,
                           &result.fingerprint) != 4)
    throw std::runtime_error("the volume run (" + which + ") gave no result");
  pclose(pipe);
  return result;
}

bool volume_case(const std::string& program) {
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
  std::printf("  peak memory above the process baseline: fast %.1f MiB, reference %.1f MiB; input %.1f MiB, "
              "label image %.1f MiB, budget input + 3 label images %.1f MiB: %s\n",
              (fast.peak - fast.baseline) / mib, (reference.peak - reference.baseline) / mib, input / mib, label / mib,
              budget / mib, fast.peak - fast.baseline <= budget ? "met" : "NOT met");
  std::printf("  (peak resident: fast %.1f MiB, reference %.1f MiB, baseline %.1f MiB)\n", fast.peak / mib,
              reference.peak / mib, fast.baseline / mib);
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_dir = ".";
  CImg<float> camera, colour;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string option = argv[i];
      if (option == "--volume-child" && i + 1 < argc) return volume_child(argv[i + 1]);
      if (option == "--out" && i + 1 < argc) {
        out_dir = argv[++i];
      } else if ((option == "--camera" || option == "--colour") && i + 3 < argc) {
        const std::string path = argv[i + 1];
        const int width = std::atoi(argv[i + 2]), height = std::atoi(argv[i + 3]);
        i += 3;
        (option == "--camera" ? camera : colour) = read_raw(path, width, height, option == "--camera" ? 1 : 3);
      } else {
        std::fprintf(stderr, "usage: %s [--out DIR] [--camera RAW WIDTH HEIGHT] [--colour RAW WIDTH HEIGHT]\n",
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
  std::printf("grey image: %s; colour image: %s\n\n", camera_given ? "camera.png" : "synthetic 512 x 512",
              colour_given ? "astronaut.png" : "synthetic 512 x 512 x 3");
  bool same = true;
  same &= report("grey K=4 w=5 weight 2 N=30 T=4", compare_whole_calls(camera, settings(5, 2, 0, 30, 4, 4), 5), 10);
  same &= report("colour K=8 plain only (T >= N)", compare_whole_calls(colour, settings(5, 2, 0, 10, 10, 8), 5), 4);
  same &= volume_case(argv[0]);
  same &= window_table(camera, 4, out_dir + "/edge_sweep_by_window.csv");
  return same ? 0 : 1;
}
