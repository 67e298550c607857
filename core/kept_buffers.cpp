#include "kept_buffers.h"

#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace core {
namespace {

template <class T>
struct kept_images {
  std::mutex lock;
  std::deque<CImg<T>> images;  // the newest first
  std::size_t bytes = 0;
};

// The store itself is never destroyed, since a host may let go of labels it
// was handed, and so keep their buffer, after the library's static objects
// are gone; its images are freed when the library is unloaded or the
// process ends.
template <class T>
struct freed_at_unload {
  kept_images<T>* const store = new kept_images<T>();
  ~freed_at_unload() {
    std::deque<CImg<T>> images;
    const std::lock_guard<std::mutex> hold(store->lock);
    images.swap(store->images);
    store->bytes = 0;
  }
};

template <class T>
kept_images<T>& kept() {
  static freed_at_unload<T> kept_store;
  return *kept_store.store;
}

constexpr std::size_t least_kept_bytes = std::size_t(1) << 16;

}  // namespace

template <class T>
CImg<T> reused_image(unsigned width, unsigned height, unsigned depth, unsigned spectrum) {
  const std::size_t elements = std::size_t(width) * height * depth * spectrum;
  CImg<T> image;
  if (elements * sizeof(T) >= least_kept_bytes && elements * sizeof(T) <= kept_image_bytes) {
    kept_images<T>& store = kept<T>();
    const std::lock_guard<std::mutex> hold(store.lock);
    for (auto found = store.images.begin(); found != store.images.end(); ++found)
      if (found->size() == elements) {
        image.swap(*found);
        store.bytes -= elements * sizeof(T);
        store.images.erase(found);
        break;
      }
  }
  // Of the same number of elements, the buffer stays and only the extents change.
  image.assign(width, height, depth, spectrum);
  return image;
}

template <class T>
void keep_for_reuse(CImg<T>&& image) noexcept {
  const std::size_t bytes = image.size() * sizeof(T);
  if (image.is_shared() || bytes < least_kept_bytes || bytes > kept_image_bytes) return;
  std::vector<CImg<T>> dropped;  // freed once the lock is released
  try {
    kept_images<T>& store = kept<T>();
    const std::lock_guard<std::mutex> hold(store.lock);
    store.images.emplace_front();
    store.images.front().swap(image);
    store.bytes += bytes;
    while (store.bytes > kept_bytes) {
      dropped.emplace_back();
      dropped.back().swap(store.images.back());
      store.bytes -= dropped.back().size() * sizeof(T);
      store.images.pop_back();
    }
  } catch (...) {
    // Not kept: the image frees its buffer as before.
  }
}

template <class T>
std::size_t bytes_kept() {
  kept_images<T>& store = kept<T>();
  const std::lock_guard<std::mutex> hold(store.lock);
  return store.bytes;
}

template std::size_t bytes_kept<float>();
template std::size_t bytes_kept<unsigned char>();
template CImg<float> reused_image<float>(unsigned, unsigned, unsigned, unsigned);
template CImg<unsigned char> reused_image<unsigned char>(unsigned, unsigned, unsigned, unsigned);
template void keep_for_reuse<float>(CImg<float>&&) noexcept;
template void keep_for_reuse<unsigned char>(CImg<unsigned char>&&) noexcept;

}  // namespace core
