// The per-class sums and counts of the centre update, shared by both commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvik {

// For every class k and channel c, the sum in double of channel c over the
// pixels whose label names k, into sums[k * C + c] (C = channel.size()), and
// their number into counts[k]. channel[c] points at channel c of pixel 0; a
// label names the class it truncates to, as a cast converts it, and a pixel
// with NaN or an infinity in any of the channels is left out. Each sum takes
// its pixels in raster order, so that it rounds as a plain pixel loop's does.
void sum_by_class(const float* labels, std::size_t pixels, const std::vector<const float*>& channel,
                  int class_count, std::vector<double>& sums, std::vector<std::uint64_t>& counts);

}  // namespace sorvik
