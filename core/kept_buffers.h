// Image buffers kept from one call for the next. A call's full-size images
// (the converted input, the mask, the labels; Tamvel's edge indicator, band,
// counted pixels and window knowledge) come from the C library, which may
// keep freed memory for later or hand it back to the system, as the
// allocations before have shaped its heap. Handed back, every call takes its
// pages afresh, about 2 microseconds each: a quarter of a Tamvel call on
// 512 x 512 pixels, masked or not. All of them are kept or none: a buffer
// the library keeps also stops the C library from learning, as it frees it,
// to serve blocks of that size from memory it keeps.
// Buffers of up to kept_image_bytes are kept here, up to kept_bytes in all
// of each element type, and the next image of the same number of elements
// takes one of them. Larger images are freed as before, so that a large call
// holds no more than it uses.
#pragma once

#include <cstddef>

#include "image.h"

namespace core {

constexpr std::size_t kept_image_bytes = std::size_t(8) << 20;
constexpr std::size_t kept_bytes = std::size_t(32) << 20;

// An image of these extents whose values are unspecified: a kept buffer of
// the same number of elements if there is one, else a new one. T is float
// or unsigned char (masks and maps of pixels), kept apart, each up to
// kept_bytes.
template <class T = float>
CImg<T> reused_image(unsigned width, unsigned height, unsigned depth, unsigned spectrum);

// Keeps the buffer of `image` for a later reused_image, the newest first;
// the oldest go when more than kept_bytes would be kept. An image of fewer
// than 2^16 bytes, which the C library reuses well, or of more than
// kept_image_bytes is simply freed, and so is any image where keeping it
// fails: a host's release of its labels may call this and cannot take an
// exception.
template <class T>
void keep_for_reuse(CImg<T>&& image) noexcept;

// The bytes of images of element type T kept now.
template <class T>
std::size_t bytes_kept();

}  // namespace core
