// Pieces shared by the x86 kernels. Included only by the kernels_<isa>.cpp
// files; everything here has internal linkage, so no function compiled for a
// wider instruction set can stand in for a baseline one at link time.
#pragma once

#include <cstdint>

#include "plugin/focus/kernels.h"
#include "plugin/focus/measure.h"

// GCC for Windows cannot align the stack beyond 16 bytes, so a 32- or 64-byte
// vector spilled there with an aligned move would fault. The build has the
// assembler turn every aligned vector move of the wide kernels into an
// unaligned one (SHARPSTACK_UNALIGNED_VECTOR_MOVES); without that the AVX
// kernels are left out of such a build.
#if (defined(__x86_64__) || defined(__i386__)) &&                      \
    (!(defined(_WIN32) && defined(__GNUC__) && !defined(__clang__)) || \
     defined(SHARPSTACK_UNALIGNED_VECTOR_MOVES))
#define SHARPSTACK_WIDE_X86_KERNELS 1
#endif

namespace {
namespace x86 {

// The measure pairs the 20 neighbours so that one multiply-add forms the sum of
// two squared differences in a 32-bit lane. A neighbour is (window row, offset
// in 16-bit values from the centre sample).
struct NeighbourPair {
  int rowA, offsetA, rowB, offsetB;
};
constexpr NeighbourPair PairAt(int i) {
  return {kWindowRows / 2 + kNeighbourhood[2 * i].row,
          kNeighbourhood[2 * i].column * kWindowChannels,
          kWindowRows / 2 + kNeighbourhood[2 * i + 1].row,
          kNeighbourhood[2 * i + 1].column * kWindowChannels};
}
constexpr int kNeighbourPairs = 10;

// The vector kernels form, for every sample i of the centre row, the sum over
// the 20 neighbours of the squared difference in 32-bit lanes. Every
// difference lies in -32768..32768 (the fast path runs only when every sample
// is at most 32768), so each square is at most 2^30 and a pair at most 2^31;
// but twenty squares need 35 bits. Two 32-bit sums carry them exactly: `all`,
// the sum of the pair sums modulo 2^32, and `high`, the sum of the pair sums
// shifted down 16 bits. The part they lose, the sum L of the low 16 bits of
// the pair sums, stays below 30 x 2^16 over a pixel's 30 pairs, so
// L = all - high x 2^16 modulo 2^32, and the exact sum is high x 2^16 + L.
//
// Folds three samples' (high, all) into each pixel's exact measure.
inline void CombinePixels(const std::uint32_t* high, const std::uint32_t* all, int pixels,
                          std::uint64_t* out) {
  for (int p = 0; p < pixels; ++p) {
    const std::uint32_t h = high[3 * p] + high[3 * p + 1] + high[3 * p + 2];
    const std::uint32_t a = all[3 * p] + all[3 * p + 1] + all[3 * p + 2];
    const std::uint32_t low = a - (h << 16);
    out[p] = (std::uint64_t(h) << 16) + low;
  }
}

// Measures pixels first .. width - 1 with the reference (the row's tail).
inline void MeasureTail(const std::uint16_t* const rows[kWindowRows], std::int32_t first,
                        std::int32_t width, std::uint64_t* out) {
  if (first >= width) return;
  const std::uint16_t* shifted[kWindowRows];
  for (int r = 0; r < kWindowRows; ++r) shifted[r] = rows[r] + first * kWindowChannels;
  MeasureRow(shifted, width - first, out + first);
}

// Merges pixels first .. n - 1 with the reference (the row's tail); true when
// `any` (a pixel before them took the picture's) or one of them does.
inline bool MergeTail(bool any, const std::uint8_t* mask, const std::uint64_t* measures,
                      const std::uint16_t* colour, float* variances, std::uint16_t* focus,
                      std::int32_t first, std::int32_t n) {
  if (first >= n) return any;
  return MergeRowReference(mask + first, measures + first, colour + 3 * first, variances + first,
                           focus + 3 * first, n - first) ||
         any;
}

inline std::uint16_t ToBufferScale(std::uint8_t v) {
  return static_cast<std::uint16_t>((257u * v + 1u) / 2u);
}

}  // namespace x86
}  // namespace
