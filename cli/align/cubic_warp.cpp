// See cubic_warp.h.
#include "cli/align/cubic_warp.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SHARPSTACK_CUBIC_WARP_AVX2 1
#endif

namespace cli::align {
namespace {

constexpr int kSubBits = 5;  // source positions in 1/32 pixel
constexpr int kSub = 1 << kSubBits;
constexpr int kMapBits = 10;  // the per-column and per-row terms in 1/1024
constexpr int kWeightBits = 15;

// The cubic convolution weights (a = -0.75) of the four source columns or
// rows around a position x/32 past the second, in single precision as the
// library computes them.
void CubicWeights(float x, float* w) {
  const float a = -0.75f;
  w[0] = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
  w[1] = ((a + 2) * x - (a + 3)) * x * x + 1;
  w[2] = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
  w[3] = 1.f - w[0] - w[1] - w[2];
}

// weights[fy * 32 + fx][row * 4 + column]: the products of the row and column
// weights in 1/2^15, rounded, their sum made exactly 2^15 by moving the
// difference onto one weight.
struct WeightTable {
  std::array<std::array<std::int16_t, 16>, kSub * kSub> weights;
  // The same laid out for the RGB kernel: per row, the weights of columns 0
  // and 1 repeated for the three channels, then those of columns 2 and 3,
  // then four zeros.
  std::array<std::array<std::int16_t, 64>, kSub * kSub> rgb;
};

WeightTable MakeWeightTable() {
  WeightTable t{};
  float one[kSub][4];
  for (int i = 0; i < kSub; ++i) CubicWeights(float(i) * (1.f / kSub), one[i]);
  for (int fy = 0; fy < kSub; ++fy) {
    for (int fx = 0; fx < kSub; ++fx) {
      std::int16_t* w = t.weights[fy * kSub + fx].data();
      int sum = 0;
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
          const float v = one[fy][r] * one[fx][c];
          w[r * 4 + c] =
              std::int16_t(std::clamp<long>(std::lrint(v * (1 << kWeightBits)), -32768, 32767));
          sum += w[r * 4 + c];
        }
      }
      if (sum != (1 << kWeightBits)) {
        // The library looks among rows and columns 2 and 3 (not the middle
        // two), first for the smallest, else for the largest.
        int lo = 2 * 4 + 2, hi = 2 * 4 + 2;
        for (int r = 2; r < 4; ++r)
          for (int c = 2; c < 4; ++c) {
            if (w[r * 4 + c] < w[lo])
              lo = r * 4 + c;
            else if (w[r * 4 + c] > w[hi])
              hi = r * 4 + c;
          }
        const int diff = sum - (1 << kWeightBits);
        if (diff < 0)
          w[hi] = std::int16_t(w[hi] - diff);
        else
          w[lo] = std::int16_t(w[lo] - diff);
      }
      std::int16_t* rgb = t.rgb[fy * kSub + fx].data();
      for (int r = 0; r < 4; ++r) {
        for (int k = 0; k < 3; ++k) {
          rgb[r * 16 + 2 * k] = w[r * 4 + 0];
          rgb[r * 16 + 2 * k + 1] = w[r * 4 + 1];
          rgb[r * 16 + 6 + 2 * k] = w[r * 4 + 2];
          rgb[r * 16 + 6 + 2 * k + 1] = w[r * 4 + 3];
        }
      }
    }
  }
  return t;
}

const WeightTable& Weights() {
  static const WeightTable table = MakeWeightTable();
  return table;
}

// The 16-bit warp's weights: the products of the row and column weights, as
// floats; and, for the vector kernel, per row each column's weight four times.
struct FloatWeightTable {
  std::array<std::array<float, 16>, kSub * kSub> weights;
  std::array<std::array<float, 64>, kSub * kSub> rgb;
};

FloatWeightTable MakeFloatWeightTable() {
  FloatWeightTable t{};
  float one[kSub][4];
  for (int i = 0; i < kSub; ++i) CubicWeights(float(i) * (1.f / kSub), one[i]);
  for (int fy = 0; fy < kSub; ++fy)
    for (int fx = 0; fx < kSub; ++fx)
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
          const float v = one[fy][r] * one[fx][c];
          t.weights[std::size_t(fy * kSub + fx)][std::size_t(r * 4 + c)] = v;
          for (int k = 0; k < 4; ++k)
            t.rgb[std::size_t(fy * kSub + fx)][std::size_t(r * 16 + c * 4 + k)] = v;
        }
  return t;
}

const FloatWeightTable& FloatWeights() {
  static const FloatWeightTable table = MakeFloatWeightTable();
  return table;
}

std::uint16_t Load16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Where each target pixel of a row reads: the first of its 4 x 4 source
// pixels, and its sub-pixel position (fy * 32 + fx).
class RowPositions {
 public:
  // The per-column terms of the map, in 1/1024 pixel.
  explicit RowPositions(const CubicWarpArgs& a)
      : a_(a),
        adelta_(std::size_t(a.targetWidth)),
        bdelta_(std::size_t(a.targetWidth)),
        x_(std::size_t(a.targetWidth)),
        y_(std::size_t(a.targetWidth)),
        alpha_(std::size_t(a.targetWidth)) {
    for (int x = 0; x < a.targetWidth; ++x) {
      adelta_[std::size_t(x)] = int(std::lrint(a.map[0] * x * (1 << kMapBits)));
      bdelta_[std::size_t(x)] = int(std::lrint(a.map[3] * x * (1 << kMapBits)));
    }
  }

  // Row y: its start in 1/1024 with half a 1/32 step added so that the shift
  // rounds, then every pixel's position. Plain code: the compiler vectorises
  // it, and it must not fuse the multiply and add the library does apart.
  void Fill(int y) {
    const int X0 = int(std::lrint((a_.map[1] * y + a_.map[2]) * (1 << kMapBits))) + kSub / 2;
    const int Y0 = int(std::lrint((a_.map[4] * y + a_.map[5]) * (1 << kMapBits))) + kSub / 2;
    for (std::size_t x = 0; x < x_.size(); ++x) {
      const int X = (X0 + adelta_[x]) >> (kMapBits - kSubBits);
      const int Y = (Y0 + bdelta_[x]) >> (kMapBits - kSubBits);
      x_[x] = std::clamp(X >> kSubBits, -32768, 32767) - 1;
      y_[x] = std::clamp(Y >> kSubBits, -32768, 32767) - 1;
      alpha_[x] = (Y & (kSub - 1)) * kSub + (X & (kSub - 1));
    }
  }

  int X(int i) const { return x_[std::size_t(i)]; }
  int Y(int i) const { return y_[std::size_t(i)]; }
  int Alpha(int i) const { return alpha_[std::size_t(i)]; }
  // The first of target pixel i's source pixels, of `bytes` bytes each.
  const std::uint8_t* Source(int i, int bytes) const {
    return a_.source + std::size_t(Y(i)) * a_.sourceStride + std::size_t(X(i)) * std::size_t(bytes);
  }

 private:
  const CubicWarpArgs& a_;
  std::vector<int> adelta_, bdelta_, x_, y_, alpha_;
};

// The byte offsets in a row of the four source columns around sx, and the four
// rows around sy, each clamped to the picture.
void ClampedTaps(const CubicWarpArgs& a, int sx, int sy, int pixelBytes, int* xs, int* ys) {
  for (int i = 0; i < 4; ++i) {
    xs[i] = std::clamp(sx - 1 + i, 0, a.sourceWidth - 1) * pixelBytes;
    ys[i] = std::clamp(sy - 1 + i, 0, a.sourceHeight - 1);
  }
}

// One pixel by the reference: the 16 source pixels, each coordinate clamped to
// the picture.
void ScalarPixel(const CubicWarpArgs& a, int sx, int sy, int alpha, std::uint8_t* out) {
  const std::int16_t* w = Weights().weights[std::size_t(alpha)].data();
  int xs[4], ys[4];
  ClampedTaps(a, sx, sy, 3, xs, ys);
  for (int k = 0; k < 3; ++k) {
    int sum = 0;
    for (int r = 0; r < 4; ++r) {
      const std::uint8_t* row = a.source + std::size_t(ys[r]) * a.sourceStride + k;
      for (int c = 0; c < 4; ++c) sum += int(row[xs[c]]) * w[r * 4 + c];
    }
    out[k] = std::uint8_t(std::clamp((sum + (1 << (kWeightBits - 1))) >> kWeightBits, 0, 255));
  }
}

// The same for 16-bit samples. Inside the picture the library adds the four
// products of a row left to right, then the rows top to bottom; at the edges
// it adds the sixteen products one by one.
void ScalarPixel16(const CubicWarpArgs& a, int sx, int sy, int alpha, std::uint8_t* out) {
  const float* w = FloatWeights().weights[std::size_t(alpha)].data();
  const bool inside =
      sx - 1 >= 0 && sx + 2 <= a.sourceWidth - 1 && sy - 1 >= 0 && sy + 2 <= a.sourceHeight - 1;
  int xs[4], ys[4];
  ClampedTaps(a, sx, sy, 6, xs, ys);
  for (int k = 0; k < 3; ++k) {
    float sum = 0.f;
    for (int r = 0; r < 4; ++r) {
      const std::uint8_t* row = a.source + std::size_t(ys[r]) * a.sourceStride + 2 * k;
      const float* wr = w + 4 * r;
      if (inside) {
        const float part =
            ((float(Load16(row + xs[0])) * wr[0] + float(Load16(row + xs[1])) * wr[1]) +
             float(Load16(row + xs[2])) * wr[2]) +
            float(Load16(row + xs[3])) * wr[3];
        sum = r == 0 ? part : sum + part;
      } else {
        for (int c = 0; c < 4; ++c) sum += float(Load16(row + xs[c])) * wr[c];
      }
    }
    const std::uint16_t v = std::uint16_t(std::clamp<long>(std::lrint(sum), 0, 65535));
    std::memcpy(out + 2 * k, &v, sizeof v);
  }
}

#if defined(SHARPSTACK_CUBIC_WARP_AVX2)
// Two pixels whose 4 x 4 source pixels, and 16 bytes from the first of each
// row, lie inside the picture: the first in the low 128 bits, the second in
// the high. Per row the 12 bytes become 16-bit pairs of columns, (R0 R1 G0 G1
// B0 B1 R2 R3) and (G2 G3 B2 B3), so that multiply-adds give each channel's
// sums over columns 0-1 and 2-3. Returns each pixel's three bytes at the
// start of its half.
__attribute__((target("avx2"))) inline __m256i VectorPixels(const std::uint8_t* s0,
                                                            const std::uint8_t* s1,
                                                            std::size_t stride,
                                                            const std::int16_t* w0,
                                                            const std::int16_t* w1) {
  const __m256i first = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, 6, -1, 9, -1));
  const __m256i second = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  __m256i a = _mm256_setzero_si256(), b = _mm256_setzero_si256();
#pragma GCC unroll 4
  for (int r = 0; r < 4; ++r) {
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s0 + r * stride))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(s1 + r * stride)), 1);
    const __m256i wa = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w0 + 16 * r))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(w1 + 16 * r)), 1);
    const __m256i wb = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w0 + 16 * r + 8))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(w1 + 16 * r + 8)), 1);
    a = _mm256_add_epi32(a, _mm256_madd_epi16(_mm256_shuffle_epi8(bytes, first), wa));
    b = _mm256_add_epi32(b, _mm256_madd_epi16(_mm256_shuffle_epi8(bytes, second), wb));
  }
  // Per half, a: R01 G01 B01 R23; b: G23 B23 0 0.
  __m256i rgb = _mm256_add_epi32(a, _mm256_alignr_epi8(b, a, 12));
  rgb = _mm256_srai_epi32(_mm256_add_epi32(rgb, _mm256_set1_epi32(1 << (kWeightBits - 1))),
                          kWeightBits);
  const __m256i words = _mm256_packs_epi32(rgb, rgb);
  return _mm256_packus_epi16(words, words);
}

// Whether the 4 x 4 source pixels of a target pixel, and 16 samples from the
// first of each of their rows, lie inside the picture.
struct VectorBounds {
  int lastX, lastY;
  explicit VectorBounds(const CubicWarpArgs& a)
      : lastX(a.sourceWidth >= 6 ? (3 * a.sourceWidth - 16) / 3 : -1), lastY(a.sourceHeight - 4) {}
  bool Inside(int x, int y) const {
    return lastX >= 0 && lastY >= 0 && unsigned(x) <= unsigned(lastX) &&
           unsigned(y) <= unsigned(lastY);
  }
};

__attribute__((target("avx2"))) void VectorRow(const CubicWarpArgs& a, const RowPositions& p,
                                               int y) {
  const VectorBounds bounds(a);
  const WeightTable& table = Weights();
  std::uint8_t* out = a.target + std::size_t(y) * a.targetStride;
  int x = 0;
  // Two pixels at a time, each written as four bytes, the fourth being the
  // next pixel's first; the row's last one or two pixels are the reference's.
  for (; x + 2 < a.targetWidth; x += 2, out += 6) {
    if (bounds.Inside(p.X(x), p.Y(x)) && bounds.Inside(p.X(x + 1), p.Y(x + 1))) {
      const __m256i two = VectorPixels(p.Source(x, 3), p.Source(x + 1, 3), a.sourceStride,
                                       table.rgb[std::size_t(p.Alpha(x))].data(),
                                       table.rgb[std::size_t(p.Alpha(x + 1))].data());
      _mm_storeu_si32(out, _mm256_castsi256_si128(two));
      _mm_storeu_si32(out + 3, _mm256_extracti128_si256(two, 1));
    } else {
      ScalarPixel(a, p.X(x) + 1, p.Y(x) + 1, p.Alpha(x), out);
      ScalarPixel(a, p.X(x + 1) + 1, p.Y(x + 1) + 1, p.Alpha(x + 1), out + 3);
    }
  }
  for (; x < a.targetWidth; ++x, out += 3) ScalarPixel(a, p.X(x) + 1, p.Y(x) + 1, p.Alpha(x), out);
}

// One 16-bit pixel inside the picture, in the library's order: per row the
// samples widen to floats, columns 0 and 1 in the two halves of one vector
// and 2 and 3 of another (the three channels in the first three lanes of each
// half), are multiplied by their weights and added left to right; the rows
// are added top to bottom. Returns the three samples rounded and limited,
// then the fourth lane's.
__attribute__((target("avx2"))) inline __m128i VectorPixel16(const std::uint8_t* s,
                                                             std::size_t stride, const float* w) {
  const __m256i first = _mm256_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5);
  const __m256i low_two = _mm256_setr_epi32(6, 7, 6, 6, 6, 6, 6, 6);
  const __m256i high_four = _mm256_setr_epi32(0, 0, 0, 0, 1, 2, 3, 3);
  __m128 sum = _mm_setzero_ps();
#pragma GCC unroll 4
  for (int r = 0; r < 4; ++r) {
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + r * stride));
    const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(raw)));
    const __m256 hi = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(raw, 1)));
    const __m256 c01 = _mm256_permutevar8x32_ps(lo, first);
    const __m256 c23 = _mm256_blend_ps(_mm256_permutevar8x32_ps(hi, high_four),
                                       _mm256_permutevar8x32_ps(lo, low_two), 0x03);
    const __m256 p01 = _mm256_mul_ps(c01, _mm256_loadu_ps(w + 16 * r));
    const __m256 p23 = _mm256_mul_ps(c23, _mm256_loadu_ps(w + 16 * r + 8));
    const __m128 part = _mm_add_ps(
        _mm_add_ps(_mm_add_ps(_mm256_castps256_ps128(p01), _mm256_extractf128_ps(p01, 1)),
                   _mm256_castps256_ps128(p23)),
        _mm256_extractf128_ps(p23, 1));
    sum = r == 0 ? part : _mm_add_ps(sum, part);
  }
  return _mm_packus_epi32(_mm_cvtps_epi32(sum), _mm_setzero_si128());
}

__attribute__((target("avx2"))) void VectorRow16(const CubicWarpArgs& a, const RowPositions& p,
                                                 int y) {
  const VectorBounds bounds(a);
  const FloatWeightTable& table = FloatWeights();
  std::uint8_t* out = a.target + std::size_t(y) * a.targetStride;
  for (int x = 0; x < a.targetWidth; ++x, out += 6) {
    if (x + 1 < a.targetWidth && bounds.Inside(p.X(x), p.Y(x))) {
      // Eight bytes: the fourth sample is the next pixel's first.
      const __m128i rgb =
          VectorPixel16(p.Source(x, 6), a.sourceStride, table.rgb[std::size_t(p.Alpha(x))].data());
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), rgb);
    } else {
      ScalarPixel16(a, p.X(x) + 1, p.Y(x) + 1, p.Alpha(x), out);
    }
  }
}
#endif

void ScalarRow(const CubicWarpArgs& a, const RowPositions& p, int y) {
  std::uint8_t* out = a.target + std::size_t(y) * a.targetStride;
  const std::size_t pixel_bytes = a.depth == 16 ? 6 : 3;
  for (int x = 0; x < a.targetWidth; ++x, out += pixel_bytes) {
    if (a.depth == 16)
      ScalarPixel16(a, p.X(x) + 1, p.Y(x) + 1, p.Alpha(x), out);
    else
      ScalarPixel(a, p.X(x) + 1, p.Y(x) + 1, p.Alpha(x), out);
  }
}

}  // namespace

bool CubicWarpHasVector() {
#if defined(SHARPSTACK_CUBIC_WARP_AVX2)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

void CubicWarpRows(const CubicWarpArgs& args, int first, int last, bool vector) {
  RowPositions positions(args);
  vector = vector && CubicWarpHasVector();
  for (int y = first; y < last; ++y) {
    positions.Fill(y);
#if defined(SHARPSTACK_CUBIC_WARP_AVX2)
    if (vector) {
      if (args.depth == 16)
        VectorRow16(args, positions, y);
      else
        VectorRow(args, positions, y);
      continue;
    }
#endif
    ScalarRow(args, positions, y);
  }
}

}  // namespace cli::align
