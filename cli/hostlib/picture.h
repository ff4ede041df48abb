// A picture held by a host: interleaved samples, row-major, colour planes first
// then extra planes (transparency). At 8 bits a sample is one byte (0..255); at
// 16 bits it is a native uint16_t on the host interface's scale 0..32768
// (32768 is white). Shared by the test host, the image readers and writers and
// the command-line host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace host {

// Hands out memory that is already zero and leaves it untouched: calloc gives
// large blocks as fresh pages that the system commits only when first written,
// and new elements are not cleared again. A picture's memory then grows with
// the rows a decoder really delivers, so a small file that declares a huge
// picture costs address space, not memory, until its data run out.
template <typename T>
struct ZeroedAllocator {
  using value_type = T;
  ZeroedAllocator() = default;
  template <typename U>
  ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n == 0) n = 1;
    void* p = std::calloc(n, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }
  // Default-initialisation: the zero bytes from calloc stay as they are.
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const ZeroedAllocator<U>&) const noexcept {
    return true;
  }
};

using PictureData = std::vector<std::uint8_t, ZeroedAllocator<std::uint8_t>>;

struct Picture {
  int width = 0;
  int height = 0;
  int planes = 0;       // samples per pixel: colour planes + extra planes
  int depth = 8;        // bits per channel: 8 or 16
  int colorPlanes = 0;  // 1 (grey) or 3 (RGB)
  PictureData data;     // height x width x planes x (depth / 8) bytes

  int BytesPerSample() const { return depth / 8; }
  std::size_t RowBytes() const {
    return std::size_t(width) * std::size_t(planes) * std::size_t(BytesPerSample());
  }
  // The host interface's image mode for this picture.
  std::int16_t ImageMode() const {
    if (colorPlanes == 3) return depth == 16 ? 11 : 3;
    return depth == 16 ? 10 : 1;
  }
  bool HasAlpha() const { return planes > colorPlanes; }

  // Gives the picture this layout, every sample 0 unless `clear` is false,
  // which a caller that writes every sample itself may ask for: a buffer of
  // the right size then keeps its old bytes instead of being cleared.
  void Allocate(int w, int h, int colour_planes, int extra_planes, int bits, bool clear = true) {
    width = w;
    height = h;
    colorPlanes = colour_planes;
    planes = colour_planes + extra_planes;
    depth = bits;
    // A buffer of the right size is cleared where it is: in a series of
    // pictures of one size, fresh memory for each would cost a page fault per
    // page on top of the clearing. Any other size is released first, so that
    // the old and the new picture never need memory together, and comes back
    // zero without being written.
    const std::size_t size = RowBytes() * std::size_t(h);
    if (data.size() == size) {
      if (clear) std::memset(data.data(), 0, size);
      return;
    }
    PictureData().swap(data);
    data = PictureData(size);
  }

  std::uint8_t* Row(int y) { return data.data() + RowBytes() * std::size_t(y); }
  const std::uint8_t* Row(int y) const { return data.data() + RowBytes() * std::size_t(y); }

  // Sample k of pixel (x, y) as an integer, whatever the depth.
  std::uint32_t Get(int x, int y, int k) const {
    std::size_t i = (std::size_t(y) * std::size_t(width) + std::size_t(x)) * std::size_t(planes) +
                    std::size_t(k);
    if (depth == 8) return data[i];
    std::uint16_t v;
    std::memcpy(&v, data.data() + 2 * i, 2);
    return v;
  }
  void Set(int x, int y, int k, std::uint32_t value) {
    std::size_t i = (std::size_t(y) * std::size_t(width) + std::size_t(x)) * std::size_t(planes) +
                    std::size_t(k);
    if (depth == 8) {
      data[i] = std::uint8_t(value);
    } else {
      std::uint16_t v = std::uint16_t(value);
      std::memcpy(data.data() + 2 * i, &v, 2);
    }
  }
};

}  // namespace host
