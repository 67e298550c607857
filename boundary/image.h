// The image container, configured once for every file of both plug-ins:
// no display, and the library's default verbosity (it writes each exception
// to stderr before raising it). OpenMP stays off: every call runs on the
// host's thread.
#pragma once

#ifndef cimg_display
#define cimg_display 0
#endif
#ifndef cimg_verbosity
#define cimg_verbosity 2
#endif
#include <CImg.h>

using cimg_library::CImg;
