// Reading settings from a converted parameter vector, shared by both commands.
#pragma once

#include <vector>

#include "image.h"
#include "settings_table.h"
#include "window.h"

namespace core {

// Labels are stored as floats, which hold whole numbers exactly up to 2^24.
constexpr int largest_class_count = 16777216;

// Refuses a parameter vector with fewer than `required` values.
void require_setting_count(const CImg<float>& parameter_image, unsigned required);

// Each reads values[index] of a settings vector; a refusal names the setting
// in words and carries `index` (refusal::setting).

// A count or size: the float truncated toward zero, as a cast does. NaN,
// infinities and values outside the signed 32-bit range are refused.
int integer_setting(const float* values, int index, const char* name);

// A weight: NaN and infinities are refused, since they turn every cost into
// NaN or infinity and freeze the labels.
float finite_setting(const float* values, int index, const char* name);

// A tolerance: NaN is refused; an infinite tolerance stops at the first test.
float tolerance_setting(const float* values, int index);

// The class count K: an integer setting from 1 to 2^24.
int class_count_setting(const float* values, int index);

// The window diameter: an integer setting of magnitude at most 46340.
int window_size_setting(const float* values, int index);

// The settings both commands have.
struct clustering_settings {
  int window_size = 0;           // w: diameter of the disc of the edge term
  float edge_weight = 0;         // lambda
  float tolerance = 0;           // tau
  int max_iterations = 0;        // iterations 0 .. max_iterations - 1 at most
  int last_plain_iteration = 0;  // T: iterations 0 .. T run without edge term and test
  int class_count = 1;           // K
  disc_window window;            // derived from window_size
};

// Every setting of a command's table from its parameter vector, each read
// and checked in the vector's order as its kind says (so a refusal names
// the first bad one there); the shared ones go into `shared`. Returns every
// setting's value by position, counts and sizes truncated toward zero.
std::vector<double> read_settings(const CImg<float>& parameter_image, const settings_table& table,
                                  clustering_settings& shared);

}  // namespace core
