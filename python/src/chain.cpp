// When a link of the energy chain can be left out. The energy is a float sum
// of every pixel's term in raster order, and the distributed driver
// continues it through the slabs one after another; a slab whose terms
// cannot move the sum is passed over with the sum as it is.
#include "chain.h"

#include <cmath>
#include <limits>

namespace py = pybind11;

namespace {

// Whether adding, one after another, any terms of magnitude at most
// `largest_term` to `energy` leaves `energy` the same float, to the bit.
//
// Why: let E be finite and non-zero, and g the distance from |E| to the float
// just below it; the float above is at least g away too (the spacing only
// grows upwards, and doubles at a power of two). For a term t with
// |t| < g / 2, the exact sum E + t lies less than g / 2 from E and more than
// g / 2 from every other float, so rounding to nearest gives E again, with no
// tie to break; near the largest float the sum stays below the bound where
// rounding overflows, which is half a spacing above it. E is then unchanged
// after the first term and, by the same argument, after every later one.
// ±0 terms leave a non-zero E as it is too. An E of 0 (the first slab),
// infinity or NaN, and a NaN `largest_term` (every comparison false), are
// never passed over.
bool link_leaves_energy(float energy, float largest_term) {
  const float magnitude = std::fabs(energy);
  if (!(magnitude > 0) || !std::isfinite(magnitude)) return false;
  // Two neighbouring floats differ by a power of two, exact in double.
  const double gap = double(magnitude) - double(std::nextafter(magnitude, 0.0f));
  return double(largest_term) < gap / 2;
}

}  // namespace

namespace python_host {

void add_chain(py::module_& module) {
  module.def("link_leaves_energy", &link_leaves_energy, py::arg("energy"), py::arg("largest_term"),
             "Whether terms of magnitude at most largest_term, added one after another, leave the float energy "
             "as it is, to the bit: a slab's link in the energy chain may then be passed over.");
}

}  // namespace python_host
