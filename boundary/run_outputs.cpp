#include "run_outputs.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "core/progress_text.h"
#include "host_console.h"

namespace boundary {
namespace {

// A rows x columns double matrix from values given row by row.
mxArray* double_matrix(std::size_t rows, std::size_t columns, const std::vector<double>& row_major) {
  mxArray* matrix = mxCreateDoubleMatrix(rows, columns, mxREAL);
  double* column_major = mxGetPr(matrix);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < columns; ++c) column_major[c * rows + r] = row_major[r * columns + c];
  return matrix;
}

template <typename T>
mxArray* double_column(const std::vector<T>& values) {
  return double_matrix(values.size(), 1, std::vector<double>(values.begin(), values.end()));
}

}  // namespace

mxArray* info_to_host(const edgeseg::run_info& info, bool pair) {
  const char* sorvik_fields[] = {"centres", "iterations", "converged", "energy", "energies", "counts"};
  const char* tamvel_fields[] = {"centres", "secondary_centres", "iterations", "converged",
                                 "energy",  "energies",          "counts"};
  mxArray* summary = pair ? mxCreateStructMatrix(1, 1, 7, tamvel_fields) : mxCreateStructMatrix(1, 1, 6, sorvik_fields);
  const std::size_t classes = std::size_t(info.class_count), channels = std::size_t(info.channels);
  mxSetField(summary, 0, "centres", double_matrix(classes, channels, info.centres));
  if (pair) mxSetField(summary, 0, "secondary_centres", double_matrix(classes, channels, info.secondary_centres));
  mxSetField(summary, 0, "iterations", mxCreateDoubleScalar(info.iterations));
  mxSetField(summary, 0, "converged", mxCreateLogicalScalar(info.converged));
  mxSetField(summary, 0, "energy",
             mxCreateDoubleScalar(info.energies.empty() ? std::numeric_limits<double>::quiet_NaN()
                                                        : double(info.energies.back())));
  mxSetField(summary, 0, "energies", double_column(info.energies));
  mxSetField(summary, 0, "counts", double_column(info.counts));
  return summary;
}

void progress_lines::print(const edgeseg::iteration_report& report) const {
  host_print(core::iteration_line(command, report).c_str());
  if (report.last) host_print(core::closing_line(command, report).c_str());
}

void pending_warnings::keep(const char* command, const core::run_warning& warning) {
  if (count == most) return;
  std::snprintf(identifier[count], sizeof identifier[count], "%s:%s", command, warning.mnemonic);
  std::snprintf(message[count], sizeof message[count], "%s", warning.message.c_str());
  ++count;
}

void pending_warnings::emit() const {
  for (int i = 0; i < count; ++i) mexWarnMsgIdAndTxt(identifier[i], "%s", message[i]);
}

}  // namespace boundary
