// What a mask costs a Sorvik call through the C++ API: no mask, a mask with
// every pixel inside, and a disc in the middle holding half the pixels, on
// one thread (CPU seconds) and on every core (wall-clock), the best of a few
// runs of each taken in turn.
// The targets: every pixel inside at most 3% over no mask, the half disc at
// most 60% of the unmasked time. Then the same for Tamvel on one thread, the
// image paired with its negative, the three cases taken in turn: first in the
// fresh process, then after Sorvik's calls; each once from the even spread
// of starting centres (every pixel in one class, so no edge phase) and once
// from centres that keep the classes apart (an edge phase along the
// boundaries, of which the disc holds more than half in the synthetic
// image). Freed buffers may go back to the system, as the allocations before
// have shaped the C library's heap, and a call then takes its pages afresh,
// masked or not; the images a call keeps for the next (core/kept_buffers.h)
// spare it that. Each line says how many fresh pages a call took. In the
// fresh process Tamvel is also timed with a mask of the top half against the
// top half cut out as an image of its own: what the mask itself costs.
//
//   mask_bench [--camera RAW WIDTH HEIGHT] [--runs N] [--tamvel]
//
// --tamvel times Tamvel in the fresh process alone.
//
// A RAW file holds 32-bit floats, x fastest; without one, a synthetic
// photo-like image of 512 x 512 stands in.
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "edgeseg/segment.h"

namespace {

struct image_data {
  int width = 512, height = 512;
  std::vector<float> values;
};

image_data synthetic_image() {
  image_data image;
  bench::noise_source noise{12345};
  image.values.resize(std::size_t(image.width) * image.height);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const float base = (x / 128 + y / 96) % 3 * 80.0f + 20.0f;
      image.values[std::size_t(y) * image.width + x] = base + 12.0f * noise();
    }
  return image;
}

bool read_raw(const char* path, image_data& image) {
  std::ifstream file(path, std::ios::binary);
  image.values.resize(std::size_t(image.width) * image.height);
  return bool(file.read(reinterpret_cast<char*>(image.values.data()), std::streamsize(image.values.size() * 4)));
}

// One byte a pixel, x fastest: the disc about the centre that holds half the pixels.
std::vector<unsigned char> half_disc(const image_data& image) {
  std::vector<unsigned char> mask(image.values.size());
  const double radius_squared = double(image.width) * image.height / (2 * M_PI);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const double dx = x + 0.5 - image.width / 2.0, dy = y + 0.5 - image.height / 2.0;
      mask[std::size_t(y) * image.width + x] = dx * dx + dy * dy <= radius_squared;
    }
  return mask;
}

long fresh_pages() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Starting centres that give each of the three classes its pixels: the
// image's values at a sixth, a half and five sixths of their order, and the
// negative's at the same pixels. The even spread from the bounds puts every
// pixel of an image and its negative in the middle class, and the run then
// never reaches its edge phase.
void classes_apart(const image_data& image, edgeseg::call_options& options) {
  std::vector<float> sorted = image.values;
  std::sort(sorted.begin(), sorted.end());
  options.initial_centres.classes = options.secondary_initial_centres.classes = 3;
  options.initial_centres.channels = options.secondary_initial_centres.channels = 1;
  for (const int sixths : {1, 3, 5}) {
    const double value = sorted[sorted.size() * sixths / 6];
    options.initial_centres.values.push_back(value);
    options.secondary_initial_centres.values.push_back(300.0 - value);
  }
}

// The secondary image the Tamvel calls pair `image` with: its negative.
std::vector<float> negative_of(const image_data& image) {
  std::vector<float> negative(image.values.size());
  for (std::size_t i = 0; i < negative.size(); ++i) negative[i] = 300.0f - image.values[i];
  return negative;
}

// One Tamvel call's CPU seconds on one thread, the image paired with its
// negative, from the starting centres of `start`; adds the fresh pages it
// took to `pages`.
double tamvel_once(const image_data& image, const std::vector<float>& negative, const std::vector<unsigned char>* mask,
                   const edgeseg::call_options& start, long& pages) {
  const std::vector<float> settings = {1, 0, 10000, 5, 12, 2, 1, 3};
  edgeseg::call_options options = start;
  if (mask)
    options.mask = edgeseg::row_major_view(mask->data(), edgeseg::element_type::boolean, image.height, image.width);
  const auto view = [&](const std::vector<float>& values) {
    return edgeseg::row_major_view(values.data(), edgeseg::element_type::float32, image.height, image.width);
  };
  const long before = fresh_pages();
  const double seconds =
      bench::seconds_of([&] { edgeseg::tamvel(view(image.values), view(negative), settings, options); });
  pages += fresh_pages() - before;
  return seconds;
}

// Tamvel with no mask, every pixel inside and the half disc, the three taken
// in turn in each round so that the load of a shared machine falls on all
// alike; the best of `runs` rounds. Once from the even spread, with one
// class for every pixel, and once with the classes apart.
void tamvel_costs(const image_data& image, const std::vector<unsigned char>& every,
                  const std::vector<unsigned char>& half, int runs, const char* when) {
  const std::vector<float> negative = negative_of(image);
  edgeseg::call_options apart;
  classes_apart(image, apart);
  for (const edgeseg::call_options& start : {edgeseg::call_options(), apart}) {
    double none = 1e30, all = 1e30, disc = 1e30;
    long pages[3] = {};
    for (int round = 0; round < runs; ++round) {
      none = std::min(none, tamvel_once(image, negative, nullptr, start, pages[0]));
      all = std::min(all, tamvel_once(image, negative, &every, start, pages[1]));
      disc = std::min(disc, tamvel_once(image, negative, &half, start, pages[2]));
    }
    std::printf(
        "Tamvel %dx%d, 1 thread, %s, %s: no mask %.4f s, all inside %.4f s (%+.1f%%, target <= +3%%), half disc "
        "%.4f s (%.1f%% of none, target <= 60%%); fresh pages a call %ld, %ld and %ld\n",
        image.width, image.height, when, start.initial_centres.given() ? "classes apart" : "one class", none, all,
        100 * (all / none - 1), disc, 100 * disc / none, pages[0] / runs, pages[1] / runs, pages[2] / runs);
  }
}

// What the mask itself costs, against the same pixels without one: a mask
// of the image's top half, against the top half cut out as an image of its
// own. Its rows keep their width, so that the two calls read memory alike
// (the left half cut out would have rows half as long). The same starting
// centres for both; the best of `runs` rounds, the two in turn. Each timed
// call follows an untimed one of its own: the buffers a call keeps for the
// next then fit it, as they do for a run of calls on one image.
void tamvel_cut_out(const image_data& image, int runs) {
  image_data top;
  top.width = image.width;
  top.height = image.height / 2;
  top.values.assign(image.values.begin(), image.values.begin() + std::ptrdiff_t(top.width) * top.height);
  std::vector<unsigned char> top_mask(image.values.size(), 0);
  std::fill(top_mask.begin(), top_mask.begin() + std::ptrdiff_t(top.values.size()), 1);
  const std::vector<float> negative = negative_of(image), top_negative = negative_of(top);
  edgeseg::call_options apart;
  classes_apart(image, apart);
  for (const edgeseg::call_options& start : {edgeseg::call_options(), apart}) {
    double masked = 1e30, cut_out = 1e30;
    long pages[2] = {};
    for (int round = 0; round < runs; ++round) {
      long untimed = 0;
      tamvel_once(image, negative, &top_mask, start, untimed);
      masked = std::min(masked, tamvel_once(image, negative, &top_mask, start, pages[0]));
      tamvel_once(top, top_negative, nullptr, start, untimed);
      cut_out = std::min(cut_out, tamvel_once(top, top_negative, nullptr, start, pages[1]));
    }
    std::printf(
        "Tamvel, 1 thread, %s: top half masked %.4f s, cut out %.4f s: the mask costs %+.1f%%; fresh pages a call "
        "%ld and %ld\n",
        start.initial_centres.given() ? "classes apart" : "one class", masked, cut_out, 100 * (masked / cut_out - 1),
        pages[0] / runs, pages[1] / runs);
  }
}

// The best of `runs` Sorvik calls without a mask and with each of `masks`,
// the calls taken in turn, so that a machine that slows down or speeds up
// meanwhile weighs on all of them alike.
std::vector<double> sorvik_seconds(const image_data& image, const std::vector<const std::vector<unsigned char>*>& masks,
                                   int threads, int runs) {
  // Window 5, a weight that keeps the edge term busy, 3 classes, a fixed 12
  // iterations (tolerance 0), the first two plain.
  const std::vector<float> settings = {5, 40, 0, 12, 1, 3};
  const edgeseg::image_view view =
      edgeseg::row_major_view(image.values.data(), edgeseg::element_type::float32, image.height, image.width);
  std::vector<edgeseg::call_options> options(masks.size() + 1);
  for (std::size_t i = 0; i < options.size(); ++i) {
    options[i].threads = threads;
    if (i > 0)
      options[i].mask =
          edgeseg::row_major_view(masks[i - 1]->data(), edgeseg::element_type::boolean, image.height, image.width);
  }
  std::vector<double> best(options.size(), 1e300);
  for (int run = 0; run < runs; ++run)
    for (std::size_t i = 0; i < options.size(); ++i) {
      const auto call = [&] { edgeseg::sorvik(view, settings, options[i]); };
      best[i] =
          std::min(best[i], threads == 1 ? bench::seconds_of(call) : bench::seconds_of(call, bench::wall_seconds));
    }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  image_data image = synthetic_image();
  int runs = 5;
  bool only_tamvel = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--camera" && i + 3 < argc) {
      image.width = std::atoi(argv[i + 2]);
      image.height = std::atoi(argv[i + 3]);
      if (!read_raw(argv[i + 1], image)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i + 1]);
        return 2;
      }
      i += 3;
    } else if (option == "--tamvel") {
      only_tamvel = true;
    } else if (option == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--camera RAW WIDTH HEIGHT] [--runs N] [--tamvel]\n", argv[0]);
      return 2;
    }
  }
  const std::vector<unsigned char> every(image.values.size(), 1), half = half_disc(image);
  tamvel_costs(image, every, half, runs, "fresh process");
  tamvel_cut_out(image, runs);
  if (only_tamvel) return 0;
  bool met = true;
  for (const int threads : {1, edgeseg::every_core()}) {
    const std::vector<double> best = sorvik_seconds(image, {&every, &half}, threads, runs);
    const double none = best[0], all = best[1], disc = best[2];
    std::printf(
        "%dx%d, %d thread%s: no mask %.4f s, all inside %.4f s (%+.1f%%, target <= +3%%), "
        "half disc %.4f s (%.1f%% of none, target <= 60%%)\n",
        image.width, image.height, threads, threads == 1 ? "" : "s", none, all, 100 * (all / none - 1), disc,
        100 * disc / none);
    met = met && all <= 1.03 * none && disc <= 0.60 * none;
  }
  std::printf("Sorvik targets on one thread and on every core: %s\n", met ? "met" : "NOT met");
  tamvel_costs(image, every, half, runs, "after Sorvik's calls");
  return 0;
}
