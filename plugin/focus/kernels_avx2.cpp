// AVX2 kernels: sixteen 16-bit lanes. Each function carries its own target, so
// the rest of the plug-in keeps the baseline instruction set.
#include "plugin/focus/kernels.h"
#include "plugin/focus/kernels_x86.h"

#if defined(SHARPSTACK_WIDE_X86_KERNELS)

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#define AVX2_TARGET __attribute__((target("avx2")))

namespace {

using namespace x86;

AVX2_TARGET inline __m256i Load(const std::uint16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

AVX2_TARGET void MeasureRowAvx2(const std::uint16_t* const rows[kWindowRows], std::int32_t width,
                                bool narrow, std::uint64_t* out) {
  if (!narrow) {
    MeasureRow(rows, width, out);
    return;
  }
  constexpr int kPixels = 16;  // three vectors of samples
  alignas(32) std::uint32_t high[3 * kPixels];
  alignas(32) std::uint32_t all[3 * kPixels];
  std::int32_t x = 0;
  for (; x + kPixels <= width; x += kPixels) {
    for (int v = 0; v < 3; ++v) {
      const std::int32_t i = (x + kWindowBorder) * kWindowChannels + 16 * v;
      const __m256i c = Load(rows[2] + i);
      __m256i high_lo = _mm256_setzero_si256(), high_hi = _mm256_setzero_si256();
      __m256i all_lo = _mm256_setzero_si256(), all_hi = _mm256_setzero_si256();
#pragma GCC unroll 10
      for (int p = 0; p < kNeighbourPairs; ++p) {
        const NeighbourPair n = PairAt(p);
        const __m256i da = _mm256_sub_epi16(c, Load(rows[n.rowA] + i + n.offsetA));
        const __m256i db = _mm256_sub_epi16(c, Load(rows[n.rowB] + i + n.offsetB));
        const __m256i lo = _mm256_unpacklo_epi16(da, db);
        const __m256i hi = _mm256_unpackhi_epi16(da, db);
        const __m256i mlo = _mm256_madd_epi16(lo, lo);
        const __m256i mhi = _mm256_madd_epi16(hi, hi);
        all_lo = _mm256_add_epi32(all_lo, mlo);
        all_hi = _mm256_add_epi32(all_hi, mhi);
        high_lo = _mm256_add_epi32(high_lo, _mm256_srli_epi32(mlo, 16));
        high_hi = _mm256_add_epi32(high_hi, _mm256_srli_epi32(mhi, 16));
      }
      // The unpacks work within 128-bit halves: samples 0-3 and 8-11 sit in
      // the `lo` sums, 4-7 and 12-15 in the `hi` ones.
      auto* h = reinterpret_cast<__m256i*>(high + 16 * v);
      auto* a = reinterpret_cast<__m256i*>(all + 16 * v);
      _mm256_store_si256(h, _mm256_permute2x128_si256(high_lo, high_hi, 0x20));
      _mm256_store_si256(h + 1, _mm256_permute2x128_si256(high_lo, high_hi, 0x31));
      _mm256_store_si256(a, _mm256_permute2x128_si256(all_lo, all_hi, 0x20));
      _mm256_store_si256(a + 1, _mm256_permute2x128_si256(all_lo, all_hi, 0x31));
    }
    CombinePixels(high, all, kPixels, out + x);
  }
  MeasureTail(rows, x, width, out);
}

// (257 s + 1) / 2 for sixteen bytes: s + 256 s, then the rounding average with
// 0 adds the 1 and halves without overflowing.
AVX2_TARGET inline __m256i Widen16Bytes(__m128i bytes) {
  const __m256i s = _mm256_cvtepu8_epi16(bytes);
  return _mm256_avg_epu16(_mm256_or_si256(s, _mm256_slli_epi16(s, 8)), _mm256_setzero_si256());
}

// Eight grey values, each repeated three times: 24 values in three vectors.
AVX2_TARGET inline void StoreTripled(__m128i grey, std::uint16_t* to) {
  const __m128i m0 = _mm_setr_epi8(0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 4, 5, 4, 5);
  const __m128i m1 = _mm_setr_epi8(4, 5, 6, 7, 6, 7, 6, 7, 8, 9, 8, 9, 8, 9, 10, 11);
  const __m128i m2 = _mm_setr_epi8(10, 11, 10, 11, 12, 13, 12, 13, 12, 13, 14, 15, 14, 15, 14, 15);
  auto* out = reinterpret_cast<__m128i*>(to);
  _mm_storeu_si128(out, _mm_shuffle_epi8(grey, m0));
  _mm_storeu_si128(out + 1, _mm_shuffle_epi8(grey, m1));
  _mm_storeu_si128(out + 2, _mm_shuffle_epi8(grey, m2));
}

// Blocks run from the end of the row; each is loaded whole before its wider
// result is stored, and a result never reaches back to samples not yet read.
AVX2_TARGET void WidenRow8Avx2(std::uint16_t* window, std::int32_t width, int planes) {
  const auto* from = reinterpret_cast<const std::uint8_t*>(window) + kWindowBorder * planes;
  std::uint16_t* to = window + kWindowBorder * kWindowChannels;
  if (planes == 3) {
    // Sample i of the row becomes value i.
    std::int32_t i = 3 * width;
    while (i >= 32) {
      i -= 32;
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i));
      const __m256i lo = Widen16Bytes(_mm256_castsi256_si128(bytes));
      const __m256i hi = Widen16Bytes(_mm256_extracti128_si256(bytes, 1));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), lo);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i + 16), hi);
    }
    for (--i; i >= 0; --i) to[i] = ToBufferScale(from[i]);
    return;
  }
  std::int32_t j = width;
  while (j >= 16) {
    j -= 16;
    const __m256i grey = Widen16Bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + j)));
    StoreTripled(_mm256_castsi256_si128(grey), to + 3 * j);
    StoreTripled(_mm256_extracti128_si256(grey, 1), to + 3 * j + 24);
  }
  for (--j; j >= 0; --j) {
    const std::uint16_t g = ToBufferScale(from[j]);
    to[3 * j] = g;
    to[3 * j + 1] = g;
    to[3 * j + 2] = g;
  }
}

AVX2_TARGET void WidenGreyRow16Avx2(std::uint16_t* window, std::int32_t width) {
  const std::uint16_t* from = window + kWindowBorder;
  std::uint16_t* to = window + kWindowBorder * kWindowChannels;
  std::int32_t j = width;
  while (j >= 8) {
    j -= 8;
    StoreTripled(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + j)), to + 3 * j);
  }
  for (--j; j >= 0; --j) {
    const std::uint16_t g = from[j];
    to[3 * j] = g;
    to[3 * j + 1] = g;
    to[3 * j + 2] = g;
  }
}

AVX2_TARGET bool CountRowAvx2(const std::uint8_t* mask, std::uint16_t* counts, std::int32_t n) {
  __m256i changed = _mm256_setzero_si256();
  std::int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    // A selected byte has its top bit set: shifted down, it is the increment.
    const __m256i inc = _mm256_srli_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + i))), 7);
    auto* c = reinterpret_cast<__m256i*>(counts + i);
    const __m256i old = _mm256_loadu_si256(c);
    const __m256i now = _mm256_adds_epu16(old, inc);
    changed = _mm256_or_si256(changed, _mm256_xor_si256(old, now));
    _mm256_storeu_si256(c, now);
  }
  bool any = !_mm256_testz_si256(changed, changed);
  if (i < n) any = CountRowReference(mask + i, counts + i, n - i) || any;
  return any;
}

// Eight pixels at a time. A measure below 2^52 becomes a double exactly by
// putting its bits under the exponent of 2^52 and subtracting 2^52 (AVX2 has
// no conversion from 64-bit integers).
AVX2_TARGET inline __m256d MeasuresToDouble(const std::uint64_t* m) {
  const __m256i magic = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256i bits =
      _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(m)), magic);
  return _mm256_sub_pd(_mm256_castsi256_pd(bits), _mm256_castsi256_pd(magic));
}

// Four pixels' choice: selected (bits 0..3 of `selected`) and stored 0.0 or
// below the measure. Writes the kept or new measures and returns the four
// choices as bits 0..3.
AVX2_TARGET inline int MergeFour(const std::uint64_t* measures, float* variances, int selected) {
  const __m256d measure = MeasuresToDouble(measures);
  const __m128 stored = _mm_loadu_ps(variances);
  const __m256d wide = _mm256_cvtps_pd(stored);
  const __m256d sharper = _mm256_or_pd(_mm256_cmp_pd(wide, _mm256_setzero_pd(), _CMP_EQ_OQ),
                                       _mm256_cmp_pd(wide, measure, _CMP_LT_OQ));
  const int wins = _mm256_movemask_pd(sharper) & selected;
  const __m128i lanes = _mm_setr_epi32(1, 2, 4, 8);
  const __m128i chosen = _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(wins), lanes), lanes);
  _mm_storeu_ps(variances,
                _mm_blendv_ps(stored, _mm256_cvtpd_ps(measure), _mm_castsi128_ps(chosen)));
  return wins;
}

AVX2_TARGET bool MergeRowAvx2(const std::uint8_t* mask, const std::uint64_t* measures,
                              const std::uint16_t* colour, float* variances, std::uint16_t* focus,
                              std::int32_t n) {
  // Pixel p of eight owns the 16-bit lanes 3p .. 3p + 2 of three vectors; a
  // lane is chosen when its pixel's bit is set.
  const __m128i bit0 = _mm_setr_epi16(1, 1, 1, 2, 2, 2, 4, 4);
  const __m128i bit1 = _mm_setr_epi16(4, 8, 8, 8, 16, 16, 16, 32);
  const __m128i bit2 = _mm_setr_epi16(32, 32, 64, 64, 64, 128, 128, 128);
  int any = 0;
  std::int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t selected_bytes;
    std::memcpy(&selected_bytes, mask + i, 8);
    const int selected =
        _mm_movemask_epi8(_mm_cvtsi64_si128(static_cast<long long>(selected_bytes)));
    const int wins = MergeFour(measures + i, variances + i, selected & 15) |
                     MergeFour(measures + i + 4, variances + i + 4, selected >> 4) << 4;
    any |= wins;
    if (wins == 0) continue;
    const __m128i bits = _mm_set1_epi16(static_cast<short>(wins));
    auto* to = reinterpret_cast<__m128i*>(focus + 3 * i);
    const auto* from = reinterpret_cast<const __m128i*>(colour + 3 * i);
    const __m128i* masks[3] = {&bit0, &bit1, &bit2};
    for (int v = 0; v < 3; ++v) {
      const __m128i chosen = _mm_cmpeq_epi16(_mm_and_si128(bits, *masks[v]), *masks[v]);
      _mm_storeu_si128(to + v,
                       _mm_blendv_epi8(_mm_loadu_si128(to + v), _mm_loadu_si128(from + v), chosen));
    }
  }
  return MergeTail(any != 0, mask, measures, colour, variances, focus, i, n);
}

// Eight RGB pixels (24 values in three vectors) split into their channels.
struct Planes8 {
  __m128i r, g, b;
};
AVX2_TARGET inline Planes8 Deinterleave8(const std::uint16_t* p) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  // Value i of a, b, c is flat value i, 8 + i, 16 + i; channel k of pixel j is
  // flat value 3 j + k. -1 bytes clear their place.
  const __m128i ra = _mm_setr_epi8(0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i rb = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15, -1, -1, -1, -1);
  const __m128i rc = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 10, 11);
  const __m128i ga = _mm_setr_epi8(2, 3, 8, 9, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i gb = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 4, 5, 10, 11, -1, -1, -1, -1, -1, -1);
  const __m128i gc = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 6, 7, 12, 13);
  const __m128i ba = _mm_setr_epi8(4, 5, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i bb = _mm_setr_epi8(-1, -1, -1, -1, 0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1);
  const __m128i bc = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15);
  Planes8 out;
  out.r = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, ra), _mm_shuffle_epi8(b, rb)),
                       _mm_shuffle_epi8(c, rc));
  out.g = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, ga), _mm_shuffle_epi8(b, gb)),
                       _mm_shuffle_epi8(c, gc));
  out.b = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, ba), _mm_shuffle_epi8(b, bb)),
                       _mm_shuffle_epi8(c, bc));
  return out;
}

AVX2_TARGET inline __m256i ChannelSums(const Planes8& p) {
  return _mm256_add_epi32(_mm256_add_epi32(_mm256_cvtepu16_epi32(p.r), _mm256_cvtepu16_epi32(p.g)),
                          _mm256_cvtepu16_epi32(p.b));
}

AVX2_TARGET std::uint32_t HorizontalMin(__m256i v) {
  __m128i m = _mm_min_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_min_epu32(m, _mm_shuffle_epi32(m, 0x4E));
  m = _mm_min_epu32(m, _mm_shuffle_epi32(m, 0xB1));
  return std::uint32_t(_mm_cvtsi128_si32(m));
}
AVX2_TARGET std::uint32_t HorizontalMax(__m256i v) {
  __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4E));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));
  return std::uint32_t(_mm_cvtsi128_si32(m));
}

// Uncovered pixels take part as values that cannot win: all ones for the
// minimum, zero for the maximum (a covered value is never below zero).
AVX2_TARGET void RangeRowAvx2(const std::uint16_t* focus, const std::uint16_t* counts,
                              std::int32_t n, ShowRange* range) {
  __m256i lo = _mm256_set1_epi32(-1), sum_lo = _mm256_set1_epi32(-1);
  __m256i hi = _mm256_setzero_si256(), sum_hi = _mm256_setzero_si256();
  __m256i covered_any = _mm256_setzero_si256();
  std::int32_t x = 0;
  for (; x + 8 <= n; x += 8) {
    const Planes8 p = Deinterleave8(focus + 3 * x);
    const __m128i uncovered16 = _mm_cmpeq_epi16(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(counts + x)), _mm_setzero_si128());
    const __m256i uncovered = _mm256_cvtepi16_epi32(uncovered16);
    const __m256i r = _mm256_cvtepu16_epi32(p.r), g = _mm256_cvtepu16_epi32(p.g),
                  b = _mm256_cvtepu16_epi32(p.b);
    const __m256i pix_lo = _mm256_min_epu32(_mm256_min_epu32(r, g), b);
    const __m256i pix_hi = _mm256_max_epu32(_mm256_max_epu32(r, g), b);
    const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(r, g), b);
    lo = _mm256_min_epu32(lo, _mm256_or_si256(pix_lo, uncovered));
    sum_lo = _mm256_min_epu32(sum_lo, _mm256_or_si256(sum, uncovered));
    hi = _mm256_max_epu32(hi, _mm256_andnot_si256(uncovered, pix_hi));
    sum_hi = _mm256_max_epu32(sum_hi, _mm256_andnot_si256(uncovered, sum));
    covered_any = _mm256_or_si256(covered_any, _mm256_xor_si256(uncovered, _mm256_set1_epi32(-1)));
  }
  if (!_mm256_testz_si256(covered_any, covered_any)) {
    const ShowRange block{true, HorizontalMin(lo), HorizontalMax(hi), HorizontalMin(sum_lo),
                          HorizontalMax(sum_hi)};
    if (!range->any) {
      *range = block;
    } else {
      range->lo = std::min(range->lo, block.lo);
      range->hi = std::max(range->hi, block.hi);
      range->sumLo = std::min(range->sumLo, block.sumLo);
      range->sumHi = std::max(range->sumHi, block.sumHi);
    }
  }
  RangeRowReference(focus + 3 * x, counts + x, n - x, range);
}

// Four values as samples: (v + offset) x scale in double precision, limited to
// 0 .. top and truncated. The limits come first, in the same order as the
// reference's tests: max(v, 0) also turns a NaN into 0.
AVX2_TARGET inline __m128i Stretch4(__m128i values, __m256d offset, __m256d scale, __m256d top) {
  __m256d v = _mm256_mul_pd(_mm256_add_pd(_mm256_cvtepi32_pd(values), offset), scale);
  v = _mm256_min_pd(_mm256_max_pd(v, _mm256_setzero_pd()), top);
  return _mm256_cvttpd_epi32(v);
}

// Writes the background into the uncovered pixels of a finished row.
template <typename Sample>
inline void PatchUncovered(const ShowRowArgs& a, std::int32_t end, Sample* out) {
  for (std::int32_t x = 0; x < end; ++x) {
    if (a.counts[x] != 0) continue;
    for (int k = 0; k < a.lanes; ++k) out[x * a.lanes + k] = static_cast<Sample>(a.background[k]);
  }
}

inline void ShowRowRest(const ShowRowArgs& a, std::uint8_t* out) {
  ShowRow8Reference(a, out);
}
inline void ShowRowRest(const ShowRowArgs& a, std::uint16_t* out) {
  ShowRow16Reference(a, out);
}

// Sixteen int32 samples (in four vectors) stored as 8- or 16-bit samples.
AVX2_TARGET inline void StoreSamples16(const __m128i q[4], std::uint16_t* to) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_packus_epi32(q[0], q[1]));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm_packus_epi32(q[2], q[3]));
}
AVX2_TARGET inline void StoreSamples16(const __m128i q[4], std::uint8_t* to) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                   _mm_packus_epi16(_mm_packus_epi32(q[0], q[1]), _mm_packus_epi32(q[2], q[3])));
}

template <typename Sample>
AVX2_TARGET void ShowRowAvx2(const ShowRowArgs& a, Sample* out) {
  const __m256d offset = _mm256_set1_pd(a.offset), scale = _mm256_set1_pd(a.scale),
                top = _mm256_set1_pd(a.top);
  std::int32_t done = 0;  // pixels written by the vector loops
  if (a.lanes == 3) {
    // Colour: every stored value becomes one sample, whatever its channel.
    const std::int32_t values = 3 * a.width;
    std::int32_t i = 0;
    for (; i + 16 <= values; i += 16) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.focus + i));
      const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(v));
      const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1));
      const __m128i q[4] = {Stretch4(_mm256_castsi256_si128(lo), offset, scale, top),
                            Stretch4(_mm256_extracti128_si256(lo, 1), offset, scale, top),
                            Stretch4(_mm256_castsi256_si128(hi), offset, scale, top),
                            Stretch4(_mm256_extracti128_si256(hi, 1), offset, scale, top)};
      StoreSamples16(q, out + i);
    }
    done = i / 3;
  } else {
    // Grey: the sum of the three channels, exact in 32-bit integers.
    std::int32_t x = 0;
    for (; x + 16 <= a.width; x += 16) {
      const __m256i s0 = ChannelSums(Deinterleave8(a.focus + 3 * x));
      const __m256i s1 = ChannelSums(Deinterleave8(a.focus + 3 * x + 24));
      const __m128i q[4] = {Stretch4(_mm256_castsi256_si128(s0), offset, scale, top),
                            Stretch4(_mm256_extracti128_si256(s0, 1), offset, scale, top),
                            Stretch4(_mm256_castsi256_si128(s1), offset, scale, top),
                            Stretch4(_mm256_extracti128_si256(s1, 1), offset, scale, top)};
      StoreSamples16(q, out + x);
    }
    done = x;
  }
  PatchUncovered(a, done, out);
  // The pixels after the last whole block (and the one a colour block ended
  // inside) by the reference.
  ShowRowArgs rest = a;
  rest.focus += 3 * done;
  rest.counts += done;
  rest.width -= done;
  ShowRowRest(rest, out + done * a.lanes);
}

AVX2_TARGET void ShowRow8Avx2(const ShowRowArgs& a, std::uint8_t* out) {
  ShowRowAvx2(a, out);
}
AVX2_TARGET void ShowRow16Avx2(const ShowRowArgs& a, std::uint16_t* out) {
  ShowRowAvx2(a, out);
}

// Four real values as samples of 0 .. top: the limits first, as ShowSample
// tests them (max(v, 0) also turns a NaN into 0), then the truncation.
AVX2_TARGET inline __m128i Samples4(__m256d v, __m256d top) {
  return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(v, _mm256_setzero_pd()), top));
}

// Colour rows: one pixel's three lanes (and the value after them) per vector,
// with the products and sums of the reference in the same order. Grey rows,
// a quarter of the work, use the reference.
AVX2_TARGET void EnlargeRowAvx2(const ResampleRowArgs& a, std::int32_t* out) {
  if (a.lanes != 3) return EnlargeRowReference(a, out);
  const __m256d top = _mm256_set1_pd(a.top), half = _mm256_set1_pd(0.5);
  for (std::int32_t x = 0; x < a.width; ++x) {
    const ColumnWindow& c = a.columns[x];
    const __m256d p = _mm256_loadu_pd(a.real + 3 * c.first);
    __m256d v = p;
    if (a.counts[c.first] != 0 || a.counts[c.last] != 0) {
      const __m256d q = _mm256_loadu_pd(a.real + 3 * c.last);
      const __m256d t = _mm256_set1_pd(c.a), rest = _mm256_set1_pd(1.0 - c.a);
      v = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(p, rest), _mm256_mul_pd(q, t)), half);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), Samples4(v, top));
  }
}

AVX2_TARGET void ReduceRowAvx2(const ResampleRowArgs& a, std::int32_t* out) {
  if (a.lanes != 3) return ReduceRowReference(a, out);
  const __m256d top = _mm256_set1_pd(a.top);
  for (std::int32_t x = 0; x < a.width; ++x) {
    const ColumnWindow& c = a.columns[x];
    __m256d sums = _mm256_setzero_pd();
    double total = 0.0;
    for (std::int32_t sx = c.first; sx <= c.last; ++sx) {
      if (a.counts[sx] == 0) continue;
      const double u = sx == c.first ? c.a : sx == c.last ? c.b : 1.0;
      sums =
          _mm256_add_pd(sums, _mm256_mul_pd(_mm256_loadu_pd(a.real + 3 * sx), _mm256_set1_pd(u)));
      total += u;
    }
    if (total == 0.0) {
      for (int k = 0; k < 3; ++k) out[3 * x + k] = ShowSample(a.background[k], a.top);
      continue;
    }
    const __m256d v = _mm256_mul_pd(sums, _mm256_set1_pd(1.0 / total));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), Samples4(v, top));
  }
}

AVX2_TARGET void BlendRowAvx2(float* acc, const std::int32_t* row, std::int32_t n, double weight) {
  const __m256d w = _mm256_set1_pd(weight);
  std::int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 sums = _mm256_loadu_ps(acc + i);
    const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i));
    const __m256d lo =
        _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(sums)),
                      _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(values)), w));
    const __m256d hi =
        _mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(sums, 1)),
                      _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(values, 1)), w));
    _mm256_storeu_ps(acc + i, _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo)));
  }
  BlendRowReference(acc + i, row + i, n - i, weight);
}

template <typename Sample>
AVX2_TARGET void FinishRowAvx2(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                               Sample* out) {
  const __m256d scale = _mm256_set1_pd(inverse), limit = _mm256_set1_pd(top);
  std::int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i q[4];
    for (int j = 0; j < 4; ++j)
      q[j] = Samples4(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(acc + i + 4 * j)), scale), limit);
    StoreSamples16(q, out + i);
  }
  if constexpr (sizeof(Sample) == 1) {
    FinishRow8Reference(acc + i, n - i, inverse, top, out + i);
  } else {
    FinishRow16Reference(acc + i, n - i, inverse, top, out + i);
  }
}

AVX2_TARGET void FinishRow8Avx2(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                                std::uint8_t* out) {
  FinishRowAvx2(acc, n, inverse, top, out);
}
AVX2_TARGET void FinishRow16Avx2(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                                 std::uint16_t* out) {
  FinishRowAvx2(acc, n, inverse, top, out);
}

const FocusKernels kAvx2 = {cpu::Isa::kAvx2, MeasureRowAvx2, WidenRow8Avx2, WidenGreyRow16Avx2,
                            CountRowAvx2,    MergeRowAvx2,   RangeRowAvx2,  ShowRow8Avx2,
                            ShowRow16Avx2,   EnlargeRowAvx2, ReduceRowAvx2, BlendRowAvx2,
                            FinishRow8Avx2,  FinishRow16Avx2};

}  // namespace

const FocusKernels* Avx2FocusKernels() {
  return &kAvx2;
}

#else

const FocusKernels* Avx2FocusKernels() {
  return nullptr;
}

#endif
