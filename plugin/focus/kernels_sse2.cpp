// SSE2 kernels: the x86 baseline, eight 16-bit lanes.
#include "plugin/focus/kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "plugin/focus/kernels_x86.h"

#define SSE2_TARGET __attribute__((target("sse2")))

namespace {

using namespace x86;

SSE2_TARGET inline __m128i Load(const std::uint16_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

SSE2_TARGET void MeasureRowSse2(const std::uint16_t* const rows[kWindowRows], std::int32_t width,
                                bool narrow, std::uint64_t* out) {
  if (!narrow) {
    MeasureRow(rows, width, out);
    return;
  }
  constexpr int kPixels = 8;  // three vectors of samples
  alignas(16) std::uint32_t high[3 * kPixels];
  alignas(16) std::uint32_t all[3 * kPixels];
  std::int32_t x = 0;
  for (; x + kPixels <= width; x += kPixels) {
    for (int v = 0; v < 3; ++v) {
      const std::int32_t i = (x + kWindowBorder) * kWindowChannels + 8 * v;
      const __m128i c = Load(rows[2] + i);
      __m128i high_lo = _mm_setzero_si128(), high_hi = _mm_setzero_si128();
      __m128i all_lo = _mm_setzero_si128(), all_hi = _mm_setzero_si128();
#pragma GCC unroll 10
      for (int p = 0; p < kNeighbourPairs; ++p) {
        const NeighbourPair n = PairAt(p);
        const __m128i da = _mm_sub_epi16(c, Load(rows[n.rowA] + i + n.offsetA));
        const __m128i db = _mm_sub_epi16(c, Load(rows[n.rowB] + i + n.offsetB));
        const __m128i lo = _mm_unpacklo_epi16(da, db);
        const __m128i hi = _mm_unpackhi_epi16(da, db);
        const __m128i mlo = _mm_madd_epi16(lo, lo);
        const __m128i mhi = _mm_madd_epi16(hi, hi);
        all_lo = _mm_add_epi32(all_lo, mlo);
        all_hi = _mm_add_epi32(all_hi, mhi);
        high_lo = _mm_add_epi32(high_lo, _mm_srli_epi32(mlo, 16));
        high_hi = _mm_add_epi32(high_hi, _mm_srli_epi32(mhi, 16));
      }
      _mm_store_si128(reinterpret_cast<__m128i*>(high + 8 * v), high_lo);
      _mm_store_si128(reinterpret_cast<__m128i*>(high + 8 * v + 4), high_hi);
      _mm_store_si128(reinterpret_cast<__m128i*>(all + 8 * v), all_lo);
      _mm_store_si128(reinterpret_cast<__m128i*>(all + 8 * v + 4), all_hi);
    }
    CombinePixels(high, all, kPixels, out + x);
  }
  MeasureTail(rows, x, width, out);
}

// (257 s + 1) / 2 for sixteen bytes: a byte paired with itself is 257 s, and
// the rounding average with 0 adds the 1 and halves without overflowing.
SSE2_TARGET inline void Widen16Bytes(__m128i bytes, std::uint16_t* to) {
  const __m128i zero = _mm_setzero_si128();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                   _mm_avg_epu16(_mm_unpacklo_epi8(bytes, bytes), zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8),
                   _mm_avg_epu16(_mm_unpackhi_epi8(bytes, bytes), zero));
}

SSE2_TARGET void WidenRow8Sse2(std::uint16_t* window, std::int32_t width, int planes) {
  if (planes != 3) {
    WidenRow8Reference(window, width, planes);
    return;
  }
  // RGB: sample i of the row simply becomes value i; blocks run from the end,
  // each loaded whole before its (wider) result is stored.
  const auto* from = reinterpret_cast<const std::uint8_t*>(window) + kWindowBorder * 3;
  std::uint16_t* to = window + kWindowBorder * kWindowChannels;
  std::int32_t i = 3 * width;
  while (i >= 16) {
    i -= 16;
    Widen16Bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i)), to + i);
  }
  for (--i; i >= 0; --i) to[i] = ToBufferScale(from[i]);
}

SSE2_TARGET bool CountRowSse2(const std::uint8_t* mask, std::uint16_t* counts, std::int32_t n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i changed = zero;
  std::int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + i));
    auto* c = reinterpret_cast<__m128i*>(counts + i);
    // A selected byte has its top bit set: shifted down, it is the increment.
    const __m128i inc_lo = _mm_srli_epi16(_mm_unpacklo_epi8(m, zero), 7);
    const __m128i inc_hi = _mm_srli_epi16(_mm_unpackhi_epi8(m, zero), 7);
    const __m128i old_lo = _mm_loadu_si128(c), old_hi = _mm_loadu_si128(c + 1);
    const __m128i new_lo = _mm_adds_epu16(old_lo, inc_lo);
    const __m128i new_hi = _mm_adds_epu16(old_hi, inc_hi);
    changed = _mm_or_si128(changed, _mm_xor_si128(old_lo, new_lo));
    changed = _mm_or_si128(changed, _mm_xor_si128(old_hi, new_hi));
    _mm_storeu_si128(c, new_lo);
    _mm_storeu_si128(c + 1, new_hi);
  }
  bool any = _mm_movemask_epi8(_mm_cmpeq_epi8(changed, zero)) != 0xFFFF;
  if (i < n) any = CountRowReference(mask + i, counts + i, n - i) || any;
  return any;
}

// SSE2 has no byte shuffle to repeat a grey sample or split RGB pixels into
// channels: grey rows and Show stay scalar.
const FocusKernels kSse2 = {cpu::Isa::kSse2,         MeasureRowSse2,      WidenRow8Sse2,
                            WidenGreyRow16Reference, CountRowSse2,        MergeRowReference,
                            RangeRowReference,       ShowRow8Reference,   ShowRow16Reference,
                            EnlargeRowReference,     ReduceRowReference,  BlendRowReference,
                            FinishRow8Reference,     FinishRow16Reference};

}  // namespace

const FocusKernels* Sse2FocusKernels() {
  return &kSse2;
}

#else

const FocusKernels* Sse2FocusKernels() {
  return nullptr;
}

#endif
