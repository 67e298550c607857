// Starting centres a caller gives in place of the evenly spread start.
#pragma once

#include <cstdint>
#include <vector>

namespace core {

// `classes` rows of `channels` values, row by row: class k's centre in
// channel c at values[k * channels + c]. With no rows and no columns the
// call gives none and the run starts from the evenly spread centres.
struct centre_table {
  std::vector<double> values;
  std::uint64_t classes = 0, channels = 0;

  bool given() const { return classes != 0 || channels != 0; }
};

}  // namespace core
