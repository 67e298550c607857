// The energy chain's links for the distributed driver, added to edgeseg._core.
#pragma once

#include <pybind11/pybind11.h>

namespace python_host {

void add_chain(pybind11::module_& module);

}  // namespace python_host
