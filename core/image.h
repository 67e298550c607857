// The image container, configured once for every file of both plug-ins:
// no display, and the library's default verbosity (it writes each exception
// to stderr before raising it). The library's own OpenMP stays off: a call's
// threads are its call_threads (call_threads.h).
#pragma once

#ifndef cimg_display
#define cimg_display 0
#endif
#ifndef cimg_verbosity
#define cimg_verbosity 2
#endif
#include <CImg.h>

using cimg_library::CImg;

namespace core {

// An image that keeps its extents although one of them is 0 and it holds no
// buffer: the container would otherwise set every extent to 0, forgetting
// that a 0 x 5 array still has one channel, or that labels of a 0 x 5 image
// are 0 x 5 x 1.
inline CImg<float> image_without_pixels(unsigned width, unsigned height, unsigned depth, unsigned spectrum) {
  CImg<float> image;
  image._width = width;
  image._height = height;
  image._depth = depth;
  image._spectrum = spectrum;
  return image;
}

}  // namespace core
