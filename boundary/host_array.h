// Conversion between host arrays and single-precision images.
//
// Host rows become the image's y axis and host columns its x axis. A host
// array of 2 dimensions is one grey image, of 3 dimensions an image whose
// third dimension holds the channels, of 4 dimensions a volume (third
// dimension = depth) with channels in the fourth. Read as a volume, an array
// of 3 dimensions is one channel over the depth of its third dimension.
#pragma once

#include <vector>

#include "core/image.h"
#include "edgeseg/image_view.h"
#include "mex.h"

namespace boundary {

// Describes one input for the API, without copying it. Logical and every
// numeric class are accepted; the real part of a complex array is used.
// Sparse arrays, other classes, arrays of more than 4 dimensions and arrays
// too large for the image container are refused. `role` names the argument in messages ("the image").
edgeseg::image_view describe_host_array(const mxArray* array, const char* role, bool volume = false);

// Describes and converts one input. Up to `threads` threads copy the
// elements; every host call stays on this thread.
CImg<float> image_from_host(const mxArray* array, const char* role, bool volume = false, int threads = 1);

// The values of the parameter vector, in the host's element order.
std::vector<float> parameters_from_host(const mxArray* array);

// Logical and every numeric class: the classes an image or a setting may have.
bool is_number_class(mxClassID class_id);

// The class of a host array as the host names it ("double", "string", ...).
const char* host_class_name(const mxArray* array);

// "a 1 x 2 double array", "a sparse logical array", "a complex single array",
// as messages describe an argument.
struct argument_description {
  char text[160];
  explicit argument_description(const mxArray* array);
};

// A new real double host array of dimensions (height, width, depth, spectrum)
// holding the image's values, copied by up to `threads` threads.
mxArray* image_to_host(const CImg<float>& image, int threads = 1);

// The same for the labels of a call: a host array of (height, width, depth, 1).
mxArray* labels_to_host(const edgeseg::label_image& labels, int threads = 1);

}  // namespace boundary
