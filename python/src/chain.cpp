// When a link of the energy chain can be left out. The energy is a float sum
// of every pixel's term in raster order, and the distributed driver
// continues it through the slabs one after another; a slab whose terms
// cannot move the sum is passed over with the sum as it is. The bounds of a
// slab's terms are found where the slab was swept, side by side with the
// other slabs; only the test runs in the chain.
#include "chain.h"

#include "buffer_view.h"
#include "core/vectors.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace py = pybind11;

namespace {

using terms_array = python_host::float_array;

// The lowest and the highest of `count` > 0 terms, and whether any is NaN:
// in vector lanes side by side where the build has vector types, the tail
// joining the first lane. A bound of 0 may come out as either zero, which
// the test below does not tell apart.
struct bounds_in_lanes {
  static VECTOR_INLINE void keep(float value, float& lowest, float& highest, bool& nan) {
    lowest = value < lowest ? value : lowest;
    highest = value > highest ? value : highest;
    nan |= value != value;
  }
  static VECTOR_INLINE std::pair<float, float> run(const float* values, std::size_t count) {
    float lowest = values[0], highest = values[0];
    bool nan = false;
    std::size_t i = 0;
#if VECTOR_TYPES
    typedef float lane_floats __attribute__((vector_size(32)));
    typedef std::int32_t lane_flags __attribute__((vector_size(32)));
    constexpr std::size_t lanes = sizeof(lane_floats) / sizeof(float);
    lane_floats low = lane_floats{} + lowest, high = low;
    lane_flags nans = {};
    for (; i + lanes <= count; i += lanes) {
      lane_floats value;
      std::memcpy(&value, values + i, sizeof value);
      low = value < low ? value : low;
      high = value > high ? value : high;
      nans |= value != value;
    }
    for (std::size_t j = 0; j < lanes; ++j) {
      keep(low[j], lowest, highest, nan);
      keep(high[j], lowest, highest, nan);
      nan |= nans[j] != 0;
    }
#endif
    for (; i < count; ++i) keep(values[i], lowest, highest, nan);
    if (nan) return {std::nanf(""), std::nanf("")};
    return {lowest, highest};
  }
};

// The lowest and the highest of the terms; both NaN where any term is NaN,
// so that no test against them passes; (0, 0) for none.
std::pair<float, float> term_bounds(const terms_array& terms) {
  const float* values = terms.data();
  const std::size_t count = std::size_t(terms.size());
  if (count == 0) return {0.0f, 0.0f};
  py::gil_scoped_release free_interpreter;
  return core::on_widest_vectors<bounds_in_lanes>(values, count);
}

// Whether adding, one after another, any terms from `lowest` to `highest` to
// `energy` leaves `energy` the same float, to the bit.
//
// Why: let E be finite and non-zero, `down` the distance from E to the
// neighbouring float towards zero and `up` the distance to the one away
// from it (at the largest float, where rounding overflows only half a
// spacing further out, `up` counts as that spacing). For a term t that
// moves E towards zero by less than down / 2 and away from it by less than
// up / 2, the exact sum E + t lies nearer to E than to either neighbour, so
// rounding to nearest gives E again, with no tie to break. E is then
// unchanged after the first term and, by the same argument, after every
// later one. Terms of 0 leave a non-zero E as it is too. At a power of two
// the spacing away from zero is twice the one towards it: a sum of
// non-negative terms that has stopped growing there is passed over. An E
// of 0 (before the first slab), infinity or NaN, and NaN bounds (every
// comparison false), are never passed over.
bool link_leaves_energy(float energy, float lowest, float highest) {
  const float magnitude = std::fabs(energy);
  if (!(magnitude > 0) || !std::isfinite(magnitude)) return false;
  // Neighbouring floats differ by a power of two, exact in double.
  const double down = double(magnitude) - double(std::nextafter(magnitude, 0.0f));
  const float next = std::nextafter(magnitude, std::numeric_limits<float>::infinity());
  const double up = std::isfinite(next) ? double(next) - double(magnitude) : down;
  const double below = energy > 0 ? down : up, above = energy > 0 ? up : down;
  return double(lowest) > -below / 2 && double(highest) < above / 2;
}

}  // namespace

namespace python_host {

void add_chain(py::module_& module) {
  module.def("term_bounds", &term_bounds, py::arg("terms"),
             "The lowest and the highest of a slab's energy terms (NaN both where any is NaN).");
  module.def("link_leaves_energy", &link_leaves_energy, py::arg("energy"), py::arg("lowest"), py::arg("highest"),
             "Whether terms from lowest to highest, added one after another, leave the float energy as it is, to "
             "the bit: a slab's link in the energy chain may then be passed over.");
}

}  // namespace python_host
