// The bicubic affine warp of 8- and 16-bit RGB pictures, exactly as OpenCV's
// warpAffine makes it (INTER_CUBIC, WARP_INVERSE_MAP, BORDER_REPLICATE), but
// with a vector kernel: OpenCV's bicubic remap is scalar, and it took most of
// the time that alignment adds to a stack.
//
// OpenCV's result is defined by its fixed-point steps, which this follows:
// the source position of each pixel in 1/32 pixel (from per-column and
// per-row terms rounded to 1/1024), a 4 x 4 table of 16-bit weights for each
// of the 32 x 32 sub-pixel positions (summing to 2^15), the weighted sum of
// the 16 source pixels around the position (clamped at the edges), rounded
// and shifted down 15 bits, limited to 0..255. At 16 bits the weights and the
// sums are single-precision floats, added in the library's order (by rows of
// four inside the picture, one by one at its edges), rounded to the nearest
// even integer and limited to 0..65535.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cli::align {

struct CubicWarpArgs {
  const std::uint8_t* source;
  int sourceWidth, sourceHeight;
  std::size_t sourceStride;  // bytes per source row
  std::uint8_t* target;
  int targetWidth;
  std::size_t targetStride;
  const double* map;  // target pixel (x, y) reads source (m0 x + m1 y + m2, m3 x + m4 y + m5)
  int depth = 8;      // bits per sample, 8 or 16 (native order, rows 2-byte aligned)
};

// Target rows first .. last - 1. `vector` selects the AVX2 kernel where the
// processor has it; the scalar reference gives the same bytes.
void CubicWarpRows(const CubicWarpArgs& args, int first, int last, bool vector);

// Whether this processor runs the vector kernel.
bool CubicWarpHasVector();

}  // namespace cli::align
