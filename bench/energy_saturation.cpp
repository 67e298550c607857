// How far Sorvik's float energy drifts from the exact sum of its terms as a
// volume grows, and where the convergence test stops on each. The energy is
// a float sum of every pixel's term in raster order: once a term is below
// half a unit in the last place of the running sum, adding it leaves the sum
// as it was. With noise of 40 grey levels the terms lie near 1,600, which
// happens near 2^24 pixels; past that the test compares sums that have
// stopped following the labels. This program measures it; it changes nothing.
//
//   energy_saturation [--sizes 22,23,24,25,26] [--threads N]
//
// Each size is a power of two of voxels, 2^e = 512 x 512 x 2^(e - 18) (e from
// 18). The volume is the demo's scene of three classes (background 50, a ball
// 125, a bar 200) stretched to 512 x 512 and stacked to the depth, with
// Gaussian noise of standard deviation 40 rounded to whole grey levels, from
// a fixed seed. The settings are the demo's for a volume: window 5, edge
// weight 600 (4 x class spacing 75 x noise 40 / (21 - 1), the rule of
// edgeseg_settings), tolerance 1e-4, at most 30 iterations, the first 5
// plain, 3 classes.
//
// The run goes through the step functions with the whole volume as one
// slab, so that every iteration gives the float energy the run forms and the
// terms it was formed from. It goes on past the float test's stop until the
// same test on the exact sums stops too (or the iteration limit): the labels
// of every iteration follow from the centres alone, not from the energy, so
// one run serves both. The labels at the float test's stop must be those of
// one whole call. Threads change no figure (1 by default, which suits a
// shared machine).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "edgeseg/segment.h"
#include "edgeseg/sorvik_steps.h"

namespace {

constexpr int slice_width = 512, slice_height = 512;
constexpr int slice_exponent = 18;  // 512 x 512 = 2^18 voxels a slice
constexpr double noise_sd = 40;
constexpr std::uint64_t noise_seed = 19;

// Window size, edge weight, tolerance, maximum iterations, last plain
// iteration, class count.
const std::vector<float> settings = {5, 600, 1e-4f, 30, 4, 3};
constexpr int last_plain_iteration = 4;
constexpr float tolerance = 1e-4f;

// The demo's scene as a volume, x fastest, then y, then z: laid out as on a
// 256 x 256 square, a disc of radius 70 centred at (95, 128) that becomes a
// ball shrinking toward the first and last slice (0.9 of the radius in the
// middle, 0.3 at the ends), and a bar 170 < x < 235, 30 < y < 226 through
// every slice.
std::vector<float> noisy_scene(int depth) {
  const double class_means[] = {50, 125, 200};
  std::mt19937_64 random(noise_seed);
  // Box-Muller by hand: the standard library's normal distribution is not
  // the same sequence on every library, mt19937_64 is.
  auto uniform = [&random] { return (double(random() >> 11) + 0.5) / 9007199254740992.0; };
  const double two_pi = 6.283185307179586;
  std::vector<float> volume(std::size_t(slice_width) * slice_height * std::size_t(depth));
  std::size_t i = 0;
  for (int z = 1; z <= depth; ++z) {
    const double height = std::abs(z - (depth + 1) / 2.0) / ((depth + 1) / 2.0);
    const double radius = depth > 1 ? 70 * std::sqrt(0.81 - 0.72 * height * height) : 70;
    for (int row = 1; row <= slice_height; ++row)
      for (int column = 1; column <= slice_width; ++column, ++i) {
        const double x = column * 256.0 / slice_width, y = row * 256.0 / slice_height;
        int truth = std::hypot(x - 95, y - 128) < radius ? 1 : 0;
        if (x > 170 && x < 235 && y > 30 && y < 226) truth = 2;
        const double noise = std::sqrt(-2 * std::log(uniform())) * std::cos(two_pi * uniform());
        volume[i] = float(std::nearbyint(class_means[truth] + noise_sd * noise));
      }
  }
  return volume;
}

// The exact sum of float terms: each term is a 24-bit whole mantissa times a
// power of two, and the mantissas of one power add up exactly in 64 bits
// (2^26 terms of under 2^24 stay below 2^50). Only the few dozen bucket
// totals are then added in long double (64-bit mantissa), smallest first: a
// relative error below 1e-17, far below anything measured here. A plain
// long double chain over 2^26 terms would round at every step instead.
struct exact_sum {
  static constexpr int bucket_count = 300, bucket_offset = 160;
  std::vector<std::int64_t> buckets = std::vector<std::int64_t>(bucket_count, 0);
  std::uint64_t non_finite = 0;

  void add(float term) {
    if (!std::isfinite(term)) {
      ++non_finite;
      return;
    }
    if (term == 0) return;
    int exponent = 0;
    const float fraction = std::frexp(term, &exponent);
    buckets[std::size_t(exponent + bucket_offset)] += std::int64_t(std::ldexp(fraction, 24));
  }

  long double total() const {
    long double sum = 0;
    for (int b = 0; b < bucket_count; ++b)
      if (buckets[std::size_t(b)] != 0)
        sum += std::ldexp(static_cast<long double>(buckets[std::size_t(b)]), b - bucket_offset - 24);
    return sum;
  }
};

// The convergence test of core/convergence.h, here on any energies.
bool test_holds(long double energy, long double previous) {
  const long double change = energy - previous;
  return static_cast<long double>(tolerance) * previous > change * change;
}

// One iteration as seen from its terms.
struct iteration_record {
  float energy = 0;                  // as the run forms it
  long double exact = 0;             // the exact sum of the same terms
  bool float_test = false;           // the test on the float energies holds
  bool exact_test = false;           // the same test on the exact sums holds
  double absorbed = 0;               // share of nonzero terms that left the float sum unchanged
  std::int64_t saturated_from = -1;  // first pixel where half an ulp of the sum exceeds the mean term
  bool replay_matches = false;       // the terms summed here give the run's energy, bit for bit
};

// Goes through the terms as the run's float sum does, and measures it.
iteration_record measure_terms(const std::vector<float>& terms, float run_energy) {
  iteration_record record;
  record.energy = run_energy;
  exact_sum exact;
  for (float term : terms) exact.add(term);
  record.exact = exact.total();
  if (exact.non_finite != 0) std::fprintf(stderr, "%llu terms are not finite\n", (unsigned long long)exact.non_finite);

  // Half an ulp of a float in [2^k, 2^(k+1)) is 2^(k-24): the mean term no
  // longer moves the sum from the least power of two whose half-ulp exceeds it.
  const double mean_term = double(record.exact) / double(terms.size());
  const float saturation_sum = std::ldexp(1.0f, std::max(0, int(std::floor(std::log2(mean_term))) + 25));
  float sum = 0;
  std::uint64_t absorbed = 0, nonzero = 0;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const float next = sum + terms[i];
    if (terms[i] != 0) {
      ++nonzero;
      if (next == sum) ++absorbed;
    }
    if (record.saturated_from < 0 && sum >= saturation_sum) record.saturated_from = std::int64_t(i);
    sum = next;
  }
  record.replay_matches = std::memcmp(&sum, &run_energy, sizeof sum) == 0;
  record.absorbed = nonzero ? double(absorbed) / double(nonzero) : 0;
  return record;
}

struct size_result {
  int exponent = 0, depth = 0;
  std::vector<iteration_record> iterations;
  int float_stop = 0, exact_stop = 0;  // iterations run when each stops the run
  bool float_converged = false, exact_converged = false;
  bool labels_match = false, replays_match = true;
  double step_seconds = 0, call_seconds = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

size_result measure_size(int exponent, int threads) {
  size_result result;
  result.exponent = exponent;
  result.depth = 1 << (exponent - slice_exponent);
  const std::vector<float> volume = noisy_scene(result.depth);
  const edgeseg::image_view view =
      edgeseg::row_major_view(volume.data(), edgeseg::element_type::float32, slice_height, slice_width, result.depth);
  edgeseg::call_options options;
  options.threads = threads;

  const auto step_start = std::chrono::steady_clock::now();
  edgeseg::centres centres =
      edgeseg::initial_centres(edgeseg::combine_ranges({edgeseg::finite_ranges(view, options)}), settings);
  std::vector<float> labels(volume.size(), 0.0f), stopped_labels;
  float energy = edgeseg::energy_before_first_iteration();
  long double exact_previous = energy;
  const int limit = edgeseg::iteration_limit(settings);
  for (int iteration = 0; iteration < limit; ++iteration) {
    std::vector<edgeseg::slab_sweep> swept;
    swept.push_back(edgeseg::sweep_slab(view, labels.data(), centres, settings, iteration, options));
    const edgeseg::sweep_totals totals = edgeseg::combine_slabs(swept);
    const edgeseg::iteration_outcome outcome = edgeseg::next_centres(totals, centres, settings, iteration, energy);
    iteration_record record = measure_terms(swept.front().terms, outcome.energy);
    record.float_test = outcome.converged;
    record.exact_test = iteration > last_plain_iteration && test_holds(record.exact, exact_previous);
    result.replays_match = result.replays_match && record.replay_matches;
    result.iterations.push_back(record);
    if (outcome.done && result.float_stop == 0) {
      result.float_stop = iteration + 1;
      result.float_converged = outcome.converged;
      stopped_labels = labels;
    }
    if (result.exact_stop == 0 && (record.exact_test || iteration + 1 >= limit)) {
      result.exact_stop = iteration + 1;
      result.exact_converged = record.exact_test;
    }
    centres = outcome.next;
    energy = outcome.energy;
    exact_previous = record.exact;
    if (result.float_stop != 0 && result.exact_stop != 0) break;
  }
  result.step_seconds = seconds_since(step_start);

  const auto call_start = std::chrono::steady_clock::now();
  const edgeseg::label_image whole = edgeseg::sorvik(view, settings, options);
  result.call_seconds = seconds_since(call_start);
  result.labels_match = whole.size() == stopped_labels.size() &&
                        std::memcmp(whole.values, stopped_labels.data(), stopped_labels.size() * sizeof(float)) == 0;
  return result;
}

double relative_error(const iteration_record& record) {
  return double((static_cast<long double>(record.energy) - record.exact) / record.exact);
}

std::string stop_text(int iterations, bool converged) {
  return std::to_string(iterations) + (converged ? " (test)" : " (limit)");
}

void print_iterations(const size_result& result) {
  std::printf("\n512 x 512 x %d = 2^%d voxels: per iteration\n", result.depth, result.exponent);
  std::printf("%5s %16s %20s %14s %9s %14s %6s %6s\n", "iter", "float energy", "exact energy", "relative error",
              "absorbed", "saturated from", "float", "exact");
  for (std::size_t i = 0; i < result.iterations.size(); ++i) {
    const iteration_record& r = result.iterations[i];
    const std::string saturated = r.saturated_from < 0 ? "-" : std::to_string(r.saturated_from);
    std::printf("%5zu %16.0f %20.3Lf %+14.3e %8.2f%% %14s %6s %6s\n", i + 1, double(r.energy), r.exact,
                relative_error(r), 100 * r.absorbed, saturated.c_str(), r.float_test ? "stop" : "",
                r.exact_test ? "stop" : "");
  }
}

void print_summary(const std::vector<size_result>& results) {
  std::printf("\nSummary (iterations run when each test stops the run; errors of the float energy against the exact\n");
  std::printf("sum at the first iteration and at the float stop; absorbed terms and saturation at the float stop)\n");
  std::printf("%7s %6s %11s %11s %12s %12s %9s %14s %7s %8s %8s\n", "voxels", "depth", "float stop", "exact stop",
              "error first", "error stop", "absorbed", "saturated from", "labels", "steps s", "call s");
  for (const size_result& r : results) {
    const iteration_record& first = r.iterations.front();
    const iteration_record& stop = r.iterations[std::size_t(r.float_stop - 1)];
    const std::string saturated = stop.saturated_from < 0 ? "-" : std::to_string(stop.saturated_from);
    std::printf("%5s%-2d %6d %11s %11s %+12.3e %+12.3e %8.2f%% %14s %7s %8.1f %8.1f\n", "2^", r.exponent, r.depth,
                stop_text(r.float_stop, r.float_converged).c_str(), stop_text(r.exact_stop, r.exact_converged).c_str(),
                relative_error(first), relative_error(stop), 100 * stop.absorbed, saturated.c_str(),
                r.labels_match ? "same" : "DIFFER", r.step_seconds, r.call_seconds);
  }
  // The test lets a change pass while it is below sqrt(tolerance x previous);
  // where one ulp of the float energy is already above that, only an energy
  // repeated to the last bit passes.
  std::printf("\nAt the float stop: the ulp of the float energy, and the largest change the test lets pass\n");
  std::printf("%7s %16s %10s %14s %18s\n", "voxels", "float energy", "ulp", "largest change", "one ulp passes");
  for (const size_result& r : results) {
    const float energy = r.iterations[std::size_t(r.float_stop - 1)].energy;
    const float previous = r.float_stop >= 2 ? r.iterations[std::size_t(r.float_stop - 2)].energy : energy;
    const double ulp = double(std::nextafter(energy, HUGE_VALF)) - double(energy);
    const double largest_change = std::sqrt(double(tolerance) * double(previous));
    std::printf("%5s%-2d %16.0f %10.0f %14.0f %18s\n", "2^", r.exponent, double(energy), ulp, largest_change,
                ulp < largest_change ? "yes" : "no");
  }
  std::printf("\n'saturated from': the first voxel (raster order) at which half an ulp of the running float sum\n");
  std::printf("exceeds the mean term, so that a typical term no longer changes it; '-' where the volume ends first.\n");
  std::printf("'labels': the steps' labels at the float stop against one whole call's.\n");
  for (const size_result& r : results) {
    const iteration_record& stop = r.iterations[std::size_t(r.float_stop - 1)];
    if (stop.saturated_from < 0) continue;
    std::printf("The float sum saturates near voxel %lld = 2^%.2f (first reached with 2^%d voxels).\n",
                static_cast<long long>(stop.saturated_from), std::log2(double(stop.saturated_from)), r.exponent);
    break;
  }
  for (const size_result& r : results)
    if (!r.replays_match)
      std::printf("2^%d: the terms summed in raster order did not give the run's energy bit for bit\n", r.exponent);
}

bool parse_sizes(const char* text, std::vector<int>& exponents) {
  exponents.clear();
  for (const char* p = text; *p;) {
    char* end = nullptr;
    const long exponent = std::strtol(p, &end, 10);
    if (end == p || exponent < slice_exponent || exponent > 30) return false;
    exponents.push_back(int(exponent));
    p = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') return false;
  }
  return !exponents.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> exponents = {22, 23, 24, 25, 26};
  int threads = 1;
  for (int a = 1; a < argc; ++a) {
    const std::string option = argv[a];
    if (option == "--sizes" && a + 1 < argc && parse_sizes(argv[a + 1], exponents)) {
      ++a;
    } else if (option == "--threads" && a + 1 < argc && std::atoi(argv[a + 1]) >= 1) {
      threads = std::atoi(argv[++a]);
    } else {
      std::fprintf(stderr,
                   "usage: energy_saturation [--sizes E1,E2,...] [--threads N]\n"
                   "  sizes as powers of two of voxels, 18 to 30 (512 x 512 x 2^(E - 18)); default 22,23,24,25,26\n");
      return 2;
    }
  }
  std::printf("Sorvik's float energy against the exact sum of its terms; settings [5 600 1e-4 30 4 3],\n");
  std::printf("noise sd %.0f, %d thread%s\n", noise_sd, threads, threads == 1 ? "" : "s");
  std::vector<size_result> results;
  bool all_match = true;
  for (int exponent : exponents) {
    results.push_back(measure_size(exponent, threads));
    print_iterations(results.back());
    std::fflush(stdout);
    all_match = all_match && results.back().labels_match && results.back().replays_match;
  }
  print_summary(results);
  return all_match ? 0 : 1;
}
