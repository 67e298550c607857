// Calling the plug-ins through the stand-in host, as a host does.
#pragma once

#include <string>
#include <vector>

#include "core/image.h"
#include "standin.h"

namespace test_support {

// Each plug-in, loaded once from the stand-in build.
const standin::plugin& sorvik_plugin();
const standin::plugin& tamvel_plugin();

// A 1 x n double row vector.
standin::array_ptr row_vector(const std::vector<double>& values);

// A rows x columns double matrix from values given row by row, as one reads them.
standin::array_ptr matrix_by_rows(std::size_t rows, std::size_t columns, const std::vector<double>& values);

// Calls the plug-in and returns the one result array; fails the test on a host
// error or a broken host rule (the stand-in host checks them around every call).
standin::array_ptr call(const standin::plugin& plugin, const std::vector<const mxArray*>& inputs);

// Calls the plug-in expecting a host error; returns its identifier (empty if none
// came). A broken host rule fails the test.
std::string refusal_identifier(const standin::plugin& plugin, const std::vector<const mxArray*>& inputs,
                               int output_count = 1);

// The labels of a result array (rows x columns x depth) as a W x H x D image.
CImg<float> labels_of(const mxArray* result);

}  // namespace test_support
