// Conversions between the 16-bit sample scale of image files (0..65535) and the
// host interface's 16-bit scale (0..32768, 32768 is white).
//
// Reading rounds to nearest, floor(v * 32768 / 65535 + 0.5); for every 16-bit v
// that is exactly (v + 1) / 2 rounded down (v * 32768 / 65535 exceeds v / 2 by
// at most one half). Writing is the rounded inverse, floor(h * 65535 / 32768
// + 0.5), which is 2h up to 16384 and 2h - 1 above: every host value survives
// a write and a read unchanged; 0 and 65535 map to 0 and 32768 and back. The
// short forms are what the whole-picture conversions vectorise.
#pragma once

#include <cstdint>

namespace imageio {

inline constexpr std::uint32_t kHostWhite16 = 32768;

constexpr std::uint16_t HostFromFile16(std::uint16_t v) {
  return std::uint16_t((std::uint32_t(v) + 1u) >> 1);
}

// Values above 32768 are not valid on the host scale; they clip to white
// instead of wrapping around.
constexpr std::uint16_t FileFromHost16(std::uint16_t h) {
  if (h >= kHostWhite16) return 65535;
  return std::uint16_t(2u * h - (h > 16384u ? 1u : 0u));
}

// 16-bit host value to an 8-bit sample, rounded to nearest (used where a file
// format holds only 8 bits, i.e. JPEG).
constexpr std::uint8_t Host16To8(std::uint16_t h) {
  if (h >= kHostWhite16) return 255;
  return std::uint8_t((std::uint32_t(h) * 255u + 16384u) / 32768u);
}

}  // namespace imageio
