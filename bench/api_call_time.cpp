// The yardstick of the Python benchmark (bench/python_bench.py): the same
// call through the host-neutral C++ API, conversion and labels included,
// timed on the wall clock. The image comes from a raw file of float32
// values, planes x rows x columns, columns fastest, read through the view
// the Python package builds for the same array.
//
//   api_call_time RAW PLANES ROWS COLUMNS THREADS RUNS SETTING...
//
// Prints the seconds of each run on a line of its own.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "edgeseg/segment.h"
#include "timing.h"

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr, "usage: %s RAW PLANES ROWS COLUMNS THREADS RUNS SETTING...\n", argv[0]);
    return 2;
  }
  const std::size_t planes = std::strtoull(argv[2], nullptr, 10), rows = std::strtoull(argv[3], nullptr, 10);
  const std::size_t columns = std::strtoull(argv[4], nullptr, 10);
  const int threads = std::atoi(argv[5]), runs = std::atoi(argv[6]);
  std::vector<float> parameters;
  for (int i = 7; i < argc; ++i) parameters.push_back(std::strtof(argv[i], nullptr));
  std::vector<float> values(planes * rows * columns);
  std::FILE* file = std::fopen(argv[1], "rb");
  if (!file || std::fread(values.data(), sizeof(float), values.size(), file) != values.size()) {
    std::fprintf(stderr, "cannot read %zu floats from %s\n", values.size(), argv[1]);
    return 1;
  }
  std::fclose(file);
  const edgeseg::image_view view =
      edgeseg::row_major_view(values.data(), edgeseg::element_type::float32, rows, columns, planes, 1);
  edgeseg::call_options options;
  options.threads = threads;
  for (int run = 0; run < runs; ++run) {
    edgeseg::label_image labels;
    const double seconds =
        bench::seconds_of([&] { labels = edgeseg::sorvik(view, parameters, options); }, bench::wall_seconds);
    std::printf("%.6f\n", seconds);
  }
  return 0;
}
