// Plain, whole-picture statements of what Add and Show compute, written
// independently of the plug-in's row windows: every neighbour is fetched with
// its coordinates clamped to the rectangle, every pixel decided on its own.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "focus_fixture.h"

namespace focustest {

// The 20 neighbours: the 5 x 5 square without its corners and its centre.
inline const int kOffsets[20][2] = {
    {-2, -1}, {-2, 0}, {-2, 1}, {-1, -2}, {-1, -1}, {-1, 0}, {-1, 1}, {-1, 2}, {0, -2}, {0, -1},
    {0, 1},   {0, 2},  {1, -2}, {1, -1},  {1, 0},   {1, 1},  {1, 2},  {2, -1}, {2, 0},  {2, 1}};

// Sample k of rectangle pixel (x, y) on the buffer's scale, the coordinates
// clamped to the rectangle and grey repeated into all three channels.
inline std::uint16_t BufferSample(const Picture& p, int x, int y, int k) {
  x = std::clamp(x, 0, p.width - 1);
  y = std::clamp(y, 0, p.height - 1);
  const std::uint16_t v = p.at(x, y, p.planes == 1 ? 0 : k);
  return p.depth == 8 ? std::uint16_t(std::floor(v * 128.5 + 0.5)) : v;
}

// The sharpness of pixel (x, y), exact.
inline std::uint64_t ReferenceMeasure(const Picture& p, int x, int y) {
  std::uint64_t sum = 0;
  for (const auto& o : kOffsets) {
    for (int k = 0; k < 3; ++k) {
      const std::int64_t d =
          std::int64_t(BufferSample(p, x, y, k)) - BufferSample(p, x + o[1], y + o[0], k);
      sum += std::uint64_t(d * d);
    }
  }
  return sum;
}

// Adds picture p, the filter rectangle of an image of imageWidth x
// imageHeight at (left, top), to the set; `mask` (one byte per rectangle pixel)
// may be empty.
inline void ReferenceAdd(BufferSet* set, const Picture& p, int left, int top, int imageWidth,
                         int imageHeight, const std::vector<std::uint8_t>& mask = {}) {
  if (imageWidth > set->width || imageHeight > set->height)
    set->Resize(std::max(set->width, imageWidth), std::max(set->height, imageHeight));
  auto selected = [&](int x, int y) {
    return mask.empty() || mask[std::size_t(y) * p.width + x] >= 128;
  };
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      if (!selected(x, y)) continue;
      const std::size_t i = set->Index(left + x, top + y);
      if (set->count[i] < 65535) ++set->count[i];
      const std::uint64_t v = ReferenceMeasure(p, x, y);
      const float stored = set->variance[i];
      if (stored == 0.0f || double(stored) < double(v)) {
        set->variance[i] = float(double(v));
        for (int k = 0; k < 3; ++k) set->focus[i * 3 + k] = BufferSample(p, x, y, k);
      }
    }
  }
}

// Show at equal sizes: the composite stretched over the covered range, the
// background (byte, or byte x 128.5 at 16 bits) where nothing was added.
inline Picture ReferenceShow(const BufferSet& set, int planes, int depth,
                             const std::uint8_t background[3]) {
  float lo = 1.0e9f, hi = -1.0e9f, sumLo = 1.0e9f, sumHi = -1.0e9f;
  for (std::size_t i = 0; i < set.count.size(); ++i) {
    if (set.count[i] == 0) continue;
    float sum = 0.0f;
    for (int k = 0; k < 3; ++k) {
      lo = std::min(lo, float(set.focus[i * 3 + k]));
      hi = std::max(hi, float(set.focus[i * 3 + k]));
      sum += float(set.focus[i * 3 + k]);
    }
    sumLo = std::min(sumLo, sum);
    sumHi = std::max(sumHi, sum);
  }
  const float top = depth == 8 ? 255.49f : 32768.49f;
  const bool grey = planes == 1;
  const float low = grey ? sumLo : lo, high = grey ? sumHi : hi;
  float offset = 0.0f, scale = 0.0f;
  if (low == high) {
    scale = depth == 8 ? (grey ? 0.0025940337f : 0.0077821012f) : (grey ? 0.33333334f : 1.0f);
  } else {
    offset = -low;
    scale = float(double(top) / (double(high) - double(low)));
  }
  Picture out(set.width, set.height, planes, depth);
  for (int y = 0; y < set.height; ++y) {
    for (int x = 0; x < set.width; ++x) {
      const std::size_t i = set.Index(x, y);
      for (int k = 0; k < planes; ++k) {
        double value = 0.0;
        if (set.count[i] == 0) {
          value = depth == 8 ? background[k] : background[k] * 128.5;
        } else if (grey) {
          value =
              (double(set.focus[i * 3]) + set.focus[i * 3 + 1] + set.focus[i * 3 + 2] + offset) *
              double(scale);
        } else {
          value = (double(set.focus[i * 3 + k]) + offset) * double(scale);
        }
        out.at(x, y, k) = std::uint16_t(std::trunc(value));
      }
    }
  }
  return out;
}

}  // namespace focustest
