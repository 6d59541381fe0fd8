// A 32-bit-per-pixel bitmap with direct row access (0x00RRGGBB per pixel, top row first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

namespace tessomar::platform {

// Cache-line aligned pixels, so that rows whose byte width is a multiple of 32 can be
// written with whole aligned vectors.
template <class T>
struct CacheLineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlign{64};
  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, size_t) { ::operator delete(p, kAlign); }
  template <class U>
  bool operator==(const CacheLineAllocator<U>&) const {
    return true;
  }
};

class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(int width, int height) { resize(width, height); }

  void resize(int width, int height) {
    width_ = width > 0 ? width : 0;
    height_ = height > 0 ? height : 0;
    pixels_.assign(static_cast<size_t>(width_) * height_, 0);
  }
  int width() const { return width_; }
  int height() const { return height_; }
  bool empty() const { return pixels_.empty(); }

  std::span<uint32_t> row(int y) {
    return {pixels_.data() + static_cast<size_t>(y) * width_, static_cast<size_t>(width_)};
  }
  std::span<const uint32_t> row(int y) const {
    return {pixels_.data() + static_cast<size_t>(y) * width_, static_cast<size_t>(width_)};
  }
  uint32_t pixel(int x, int y) const { return pixels_[static_cast<size_t>(y) * width_ + x]; }
  void set_pixel(int x, int y, uint32_t v) { pixels_[static_cast<size_t>(y) * width_ + x] = v; }
  void fill(uint32_t v) { pixels_.assign(pixels_.size(), v); }
  uint32_t* data() { return pixels_.data(); }
  const uint32_t* data() const { return pixels_.data(); }

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<uint32_t, CacheLineAllocator<uint32_t>> pixels_;
};

}  // namespace tessomar::platform
