// Segments an image it makes itself, through the installed API: a dark
// square on a light background in 8-bit grey, row-major as C keeps it. Two
// classes must give the square one label and the background the other.
// Exits 0 when they do.
#include <cstdint>
#include <cstdio>
#include <vector>

#include <edgeseg/segment.h>

int main() {
  constexpr int rows = 24, columns = 32;
  std::vector<std::uint8_t> image(rows * columns, 200);
  auto in_square = [](int y, int x) { return y >= 6 && y < 18 && x >= 8 && x < 20; };
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x)
      if (in_square(y, x)) image[y * columns + x] = 40;

  // Window 3, edge weight 0.5, tolerance 0.001, at most 20 iterations, the
  // first 2 plain, 2 classes.
  const std::vector<float> settings = {3, 0.5f, 0.001f, 20, 2, 2};
  edgeseg::call_options options;
  options.threads = 2;
  try {
    const edgeseg::label_image labels = edgeseg::sorvik(
        edgeseg::row_major_view(image.data(), edgeseg::element_type::uint8, rows, columns), settings, options);
    if (labels.width != columns || labels.height != rows || labels.depth != 1) {
      std::fprintf(stderr, "labels of %llu x %llu x %llu; expected %d x %d x 1\n",
                   static_cast<unsigned long long>(labels.width), static_cast<unsigned long long>(labels.height),
                   static_cast<unsigned long long>(labels.depth), columns, rows);
      return 1;
    }
    // The darker class has the lower centre, and so the lower index.
    int wrong = 0;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < columns; ++x) wrong += labels.values[y * columns + x] != (in_square(y, x) ? 0.0f : 1.0f);
    std::printf("%d of %d pixels labelled otherwise than expected\n", wrong, rows * columns);
    return wrong == 0 ? 0 : 1;
  } catch (const edgeseg::refusal& refusal) {
    std::fprintf(stderr, "refused (%s): %s\n", refusal.mnemonic(), refusal.what());
    return 1;
  }
}
