// Peak memory of one Sorvik call on a uint8 volume (by default 512 x 512 x
// 256, K = 4, w = 5), made and called as a host does it, through the stand-in
// host. The host's copy of the input exists before the call and is the
// host's: the figure is the high-water mark of resident memory during the
// call above what the process held just before it. It must stay within the
// converted image, two label-sized images (the label image, or the double
// result array) and a little for centre lists and sweep buffers; the program
// fails when it does not.
//
// Usage: volume_memory [rows columns depth [channels]]
// One channel stays a fourth dimension of 1 here, which the stand-in host
// keeps; a real host drops it, so there a grey volume is passed with at least
// two channels (cat(4, v, v)).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "standin.h"

namespace {

// A field of /proc/self/status in KiB (VmRSS: now, VmHWM: the high-water mark).
long long status_kib(const char* field) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  long long value = -1;
  const std::size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status))
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') value = std::atoll(line + length + 1);
  std::fclose(status);
  return value;
}

// Lets the high-water mark start again from the memory held now.
bool reset_high_water_mark() {
  std::FILE* clear = std::fopen("/proc/self/clear_refs", "w");
  if (!clear) return false;
  const bool written = std::fputs("5", clear) >= 0;
  return std::fclose(clear) == 0 && written;
}

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

}  // namespace

int main(int argc, char** argv) {
  std::size_t rows = 512, columns = 512, depth = 256, channels = 1;
  if (argc >= 4) {
    rows = std::strtoull(argv[1], nullptr, 10);
    columns = std::strtoull(argv[2], nullptr, 10);
    depth = std::strtoull(argv[3], nullptr, 10);
  }
  if (argc >= 5) channels = std::strtoull(argv[4], nullptr, 10);
  const std::size_t voxels = rows * columns * depth;

  // Four slabs of grey levels 40, 90, 150 and 210 along the depth, with
  // noise from -24 to 21 drawn from a fixed linear congruential sequence.
  const standin::array_ptr volume = standin::make_array(mxUINT8_CLASS, {rows, columns, depth, channels});
  auto* value = static_cast<std::uint8_t*>(mxGetData(volume.get()));
  const int levels[] = {40, 90, 150, 210};
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < voxels * channels; ++i) {
    state = state * 1664525u + 1013904223u;
    const std::size_t z = i / (rows * columns) % depth;
    value[i] = std::uint8_t(levels[4 * z / depth] + int(state >> 28) * 3 - 24);
  }
  const standin::array_ptr settings = standin::make_doubles({1, 6}, {5, 2, 1e-4, 20, 4, 4});
  const standin::plugin sorvik(STANDIN_PLUGIN_DIR "/Sorvik.mex");

  if (!reset_high_water_mark()) {
    std::fprintf(stderr, "cannot reset the high-water mark of resident memory\n");
    return 2;
  }
  const long long before = status_kib("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  const std::vector<standin::array_ptr> labels = sorvik.call({volume.get(), settings.get()});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long long peak = status_kib("VmHWM");

  const double converted = double(voxels) * channels * sizeof(float);
  const double label_image = double(voxels) * sizeof(float);
  const double allowed = converted + 2 * label_image;
  const double slack = 4.0 * 1024 * 1024;  // centre lists, sweep buffers, the allocator's own
  const double used = double(peak - before) * 1024.0;
  std::printf("Sorvik on %zu x %zu x %zu x %zu uint8, K = 4, w = 5: %.2f s\n", rows, columns, depth, channels, seconds);
  std::printf("peak resident memory above the baseline: %.1f MiB\n", mib(used));
  std::printf("converted image %.1f MiB + two label-sized images %.1f MiB = %.1f MiB (%.1f MiB with slack)\n",
              mib(converted), mib(2 * label_image), mib(allowed), mib(allowed + slack));
  if (!labels.at(0) || used > allowed + slack) {
    std::printf("FAILED: the call held more than the converted image and two label-sized images\n");
    return 1;
  }
  return 0;
}
