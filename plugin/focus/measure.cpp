// Scalar reference of the sharpness measure.
#include "plugin/focus/measure.h"

void MeasureRow(const std::uint16_t* const rows[kWindowRows], std::int32_t width,
                std::uint64_t* out) {
  for (std::int32_t x = 0; x < width; ++x) {
    const std::int32_t position = x + kWindowBorder;
    const std::uint16_t* centre = rows[2] + position * kWindowChannels;
    std::uint64_t sum = 0;
    for (const NeighbourOffset& n : kNeighbourhood) {
      const std::uint16_t* other = rows[2 + n.row] + (position + n.column) * kWindowChannels;
      for (int k = 0; k < kWindowChannels; ++k) {
        const std::int64_t d = std::int64_t(centre[k]) - std::int64_t(other[k]);
        sum += static_cast<std::uint64_t>(d * d);
      }
    }
    out[x] = sum;
  }
}

bool AnySampleAbove32768(const std::uint16_t* samples, std::size_t count) {
  // The largest sample, branch-free and in 32 independent lanes, so that the
  // compiler vectorises it without one long chain of dependent steps.
  constexpr std::size_t kLanes = 32;
  std::uint16_t largest[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes)
    for (std::size_t k = 0; k < kLanes; ++k)
      largest[k] = samples[i + k] > largest[k] ? samples[i + k] : largest[k];
  for (std::size_t k = 0; i + k < count; ++k)
    largest[k] = samples[i + k] > largest[k] ? samples[i + k] : largest[k];
  std::uint16_t top = 0;
  for (std::uint16_t v : largest) top = v > top ? v : top;
  return top > 32768;
}
