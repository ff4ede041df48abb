// Synthetic focus series for the demo, the tests and the benchmarks: a textured
// scene with a smooth depth map, photographed N times with the focus plane
// stepping through the depth range, plus the all-in-focus original to compare
// a stack against. Everything follows from the options and the seed: the
// random numbers come from a fixed generator of our own, never from the
// standard library's distributions (whose output varies by library). Across
// platforms the texture is the same; the smooth shading and depth come from the
// maths library's sine, whose last bit may differ, so a sample may then differ
// by one step.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "cli/hostlib/picture.h"

namespace series {

// Where a frame sits against the first one, as a hand-held camera with focus
// breathing moves it: magnified by `scale` and turned by `angleDegrees` about
// the picture's centre, then shifted by (shiftX, shiftY) pixels.
struct Motion {
  double scale = 1.0;
  double angleDegrees = 0.0;
  double shiftX = 0.0;
  double shiftY = 0.0;
};

// The affine map x' = m[0] x + m[1] y + m[2], y' = m[3] x + m[4] y + m[5] from a
// moved frame's pixel to the pixel of the first frame that it shows (pixel
// centres at whole coordinates).
using Affine = std::array<double, 6>;
Affine FrameToReference(const Motion& motion, int width, int height);

// Motions of the kind a hand-held focus series has: frame 0 stays put, the
// magnification grows evenly to `lastScale`, each later frame is shifted by up
// to `maxShift` pixels each way and turned by up to `maxTurnDegrees`.
std::vector<Motion> HandHeldMotions(int frames, double lastScale, double maxShift,
                                    double maxTurnDegrees, std::uint32_t seed);

struct SeriesOptions {
  int width = 256;
  int height = 192;
  int frames = 5;             // pictures in the series, at least 1
  int depth = 8;              // bits per channel: 8, or 16 on the host scale 0..32768
  int colorPlanes = 3;        // 1 (grey) or 3 (RGB)
  bool transparency = false;  // adds one fully opaque extra plane
  std::uint32_t seed = 1;
  // Blur radius, in pixels, of a point at the full depth range (1) from the
  // focus plane; a point at distance d is blurred with radius d x maxBlurRadius.
  double maxBlurRadius = 6.0;
  // One motion per frame, or none: frame k is then resampled (bicubic, edges
  // extended) so that it shows the scene moved by motions[k]; `sharp` and the
  // depth map stay in the unmoved geometry.
  std::vector<Motion> motions;
};

struct FocusSeries {
  host::Picture sharp;                // the all-in-focus scene
  std::vector<host::Picture> frames;  // frame k is focused at focus[k]
  std::vector<double> focus;          // focus depth of each frame, 0..1, ascending
  std::vector<float> depthMap;        // row-major, width x height, 0 (near) .. 1 (far)
};

// Throws std::invalid_argument for sizes below 1, a depth other than 8 or 16,
// colour planes other than 1 or 3, no frames, a negative blur radius, or
// motions that are not one per frame or have a scale that is not positive.
FocusSeries MakeFocusSeries(const SeriesOptions& options);

// The scene's depth at each pixel (the map that MakeFocusSeries uses).
std::vector<float> MakeDepthMap(int width, int height, std::uint32_t seed);

// Peak signal-to-noise ratio in decibels over every sample of two pictures of
// equal size, depth and planes, with the peak 255 (8 bits) or 32768 (16 bits).
// Identical pictures give +infinity; pictures that cannot be compared (shape,
// depth or plane count differ, or no samples) give NaN.
double Psnr(const host::Picture& a, const host::Picture& b);

// Psnr after matching levels: each plane of `test` is first mapped, without
// rounding, by the gain and offset that bring it closest to `reference` in
// least squares. A tone stretch (such as a composite's) then costs nothing,
// and what is left is the detail that differs. Same peak and NaN as Psnr.
double PsnrMatchingLevels(const host::Picture& test, const host::Picture& reference);

}  // namespace series
