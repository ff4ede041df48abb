// AVX-512 kernels (F, BW and VL): thirty-two 16-bit lanes. Grey rows, which gain
// little from the wider registers, use the AVX2 versions.
#include "plugin/focus/kernels.h"
#include "plugin/focus/kernels_x86.h"

#if defined(SHARPSTACK_WIDE_X86_KERNELS)

// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined
// vector, which its optimiser then reports as possibly uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <array>

#define AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx2")))

namespace {

using namespace x86;

AVX512_TARGET inline __m512i Load(const std::uint16_t* p) {
  return _mm512_loadu_si512(p);
}

AVX512_TARGET void MeasureRowAvx512(const std::uint16_t* const rows[kWindowRows],
                                    std::int32_t width, bool narrow, std::uint64_t* out) {
  if (!narrow) {
    MeasureRow(rows, width, out);
    return;
  }
  constexpr int kPixels = 32;  // three vectors of samples
  alignas(64) std::uint32_t high[3 * kPixels];
  alignas(64) std::uint32_t all[3 * kPixels];
  // The unpacks work within 128-bit quarters: `lo` sums hold samples 0-3,
  // 8-11, 16-19, 24-27 and `hi` sums the rest; these put them back in order
  // (64-bit lane indices, 8 and up taken from `hi`).
  const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  std::int32_t x = 0;
  for (; x + kPixels <= width; x += kPixels) {
    for (int v = 0; v < 3; ++v) {
      const std::int32_t i = (x + kWindowBorder) * kWindowChannels + 32 * v;
      const __m512i c = Load(rows[2] + i);
      __m512i high_lo = _mm512_setzero_si512(), high_hi = _mm512_setzero_si512();
      __m512i all_lo = _mm512_setzero_si512(), all_hi = _mm512_setzero_si512();
#pragma GCC unroll 10
      for (int p = 0; p < kNeighbourPairs; ++p) {
        const NeighbourPair n = PairAt(p);
        const __m512i da = _mm512_sub_epi16(c, Load(rows[n.rowA] + i + n.offsetA));
        const __m512i db = _mm512_sub_epi16(c, Load(rows[n.rowB] + i + n.offsetB));
        const __m512i lo = _mm512_unpacklo_epi16(da, db);
        const __m512i hi = _mm512_unpackhi_epi16(da, db);
        const __m512i mlo = _mm512_madd_epi16(lo, lo);
        const __m512i mhi = _mm512_madd_epi16(hi, hi);
        all_lo = _mm512_add_epi32(all_lo, mlo);
        all_hi = _mm512_add_epi32(all_hi, mhi);
        high_lo = _mm512_add_epi32(high_lo, _mm512_srli_epi32(mlo, 16));
        high_hi = _mm512_add_epi32(high_hi, _mm512_srli_epi32(mhi, 16));
      }
      _mm512_store_si512(high + 32 * v, _mm512_permutex2var_epi64(high_lo, first, high_hi));
      _mm512_store_si512(high + 32 * v + 16, _mm512_permutex2var_epi64(high_lo, second, high_hi));
      _mm512_store_si512(all + 32 * v, _mm512_permutex2var_epi64(all_lo, first, all_hi));
      _mm512_store_si512(all + 32 * v + 16, _mm512_permutex2var_epi64(all_lo, second, all_hi));
    }
    CombinePixels(high, all, kPixels, out + x);
  }
  MeasureTail(rows, x, width, out);
}

// (257 s + 1) / 2 for thirty-two bytes, as in the narrower kernels.
AVX512_TARGET inline __m512i Widen32Bytes(__m256i bytes) {
  const __m512i s = _mm512_cvtepu8_epi16(bytes);
  return _mm512_avg_epu16(_mm512_or_si512(s, _mm512_slli_epi16(s, 8)), _mm512_setzero_si512());
}

AVX512_TARGET void WidenRow8Avx512(std::uint16_t* window, std::int32_t width, int planes) {
  if (planes != 3) {
    Avx2FocusKernels()->widenRow8(window, width, planes);
    return;
  }
  // Sample i of the row becomes value i; blocks run from the end, each loaded
  // whole before its wider result is stored.
  const auto* from = reinterpret_cast<const std::uint8_t*>(window) + kWindowBorder * 3;
  std::uint16_t* to = window + kWindowBorder * kWindowChannels;
  std::int32_t i = 3 * width;
  while (i >= 64) {
    i -= 64;
    const __m512i bytes = _mm512_loadu_si512(from + i);
    const __m512i lo = Widen32Bytes(_mm512_castsi512_si256(bytes));
    const __m512i hi = Widen32Bytes(_mm512_extracti64x4_epi64(bytes, 1));
    _mm512_storeu_si512(to + i, lo);
    _mm512_storeu_si512(to + i + 32, hi);
  }
  for (--i; i >= 0; --i) to[i] = ToBufferScale(from[i]);
}

AVX512_TARGET bool CountRowAvx512(const std::uint8_t* mask, std::uint16_t* counts, std::int32_t n) {
  __mmask32 changed = 0;
  std::int32_t i = 0;
  for (; i + 32 <= n; i += 32) {
    // A selected byte has its top bit set: shifted down, it is the increment.
    const __m512i inc = _mm512_srli_epi16(
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(mask + i))), 7);
    const __m512i old = _mm512_loadu_si512(counts + i);
    const __m512i now = _mm512_adds_epu16(old, inc);
    changed |= _mm512_cmpneq_epu16_mask(old, now);
    _mm512_storeu_si512(counts + i, now);
  }
  bool any = changed != 0;
  if (i < n) any = CountRowReference(mask + i, counts + i, n - i) || any;
  return any;
}

void WidenGreyRow16Avx512(std::uint16_t* window, std::int32_t width) {
  Avx2FocusKernels()->widenGreyRow16(window, width);
}

// Show's passes are bound by memory already with AVX2.
void RangeRowAvx512(const std::uint16_t* focus, const std::uint16_t* counts, std::int32_t n,
                    ShowRange* range) {
  Avx2FocusKernels()->rangeRow(focus, counts, n, range);
}
void ShowRow8Avx512(const ShowRowArgs& args, std::uint8_t* out) {
  Avx2FocusKernels()->showRow8(args, out);
}
void ShowRow16Avx512(const ShowRowArgs& args, std::uint16_t* out) {
  Avx2FocusKernels()->showRow16(args, out);
}

// So are the resampling passes (double precision: four values per AVX2 vector).
void EnlargeRowAvx512(const ResampleRowArgs& args, std::int32_t* out) {
  Avx2FocusKernels()->enlargeRow(args, out);
}
void ReduceRowAvx512(const ResampleRowArgs& args, std::int32_t* out) {
  Avx2FocusKernels()->reduceRow(args, out);
}

// Eight pixels' bits spread to their 24 lanes: bit p to bits 3p .. 3p + 2.
constexpr std::array<std::uint32_t, 256> kTripledBits = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t bits = 0; bits < 256; ++bits)
    for (int p = 0; p < 8; ++p)
      if ((bits >> p) & 1) table[bits] |= 7u << (3 * p);
  return table;
}();

// A measure below 2^52 becomes a double exactly by putting its bits under the
// exponent of 2^52 and subtracting 2^52 (the direct conversion needs AVX-512 DQ).
AVX512_TARGET inline __m512d MeasuresToDouble(const std::uint64_t* m) {
  const __m512i magic = _mm512_set1_epi64(0x4330000000000000LL);
  const __m512i bits = _mm512_or_si512(_mm512_loadu_si512(m), magic);
  return _mm512_sub_pd(_mm512_castsi512_pd(bits), _mm512_castsi512_pd(magic));
}

// Sixteen pixels at a time; only the winners' measures and colours are
// stored, which leaves every other value as the reference's write-back does.
AVX512_TARGET bool MergeRowAvx512(const std::uint8_t* mask, const std::uint64_t* measures,
                                  const std::uint16_t* colour, float* variances,
                                  std::uint16_t* focus, std::int32_t n) {
  const __m512d zero = _mm512_setzero_pd();
  std::uint32_t any = 0;
  std::int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __mmask16 selected =
        _mm_movepi8_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + i)));
    const __m512 stored = _mm512_loadu_ps(variances + i);
    const __m512d stored_lo = _mm512_cvtps_pd(_mm512_castps512_ps256(stored));
    const __m512d stored_hi =
        _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(stored), 1)));
    const __m512d measure_lo = MeasuresToDouble(measures + i);
    const __m512d measure_hi = MeasuresToDouble(measures + i + 8);
    const std::uint32_t sharper_lo = _mm512_cmp_pd_mask(stored_lo, zero, _CMP_EQ_OQ) |
                                     _mm512_cmp_pd_mask(stored_lo, measure_lo, _CMP_LT_OQ);
    const std::uint32_t sharper_hi = _mm512_cmp_pd_mask(stored_hi, zero, _CMP_EQ_OQ) |
                                     _mm512_cmp_pd_mask(stored_hi, measure_hi, _CMP_LT_OQ);
    const std::uint32_t wins = (sharper_lo | sharper_hi << 8) & selected;
    if (wins == 0) continue;
    any |= wins;
    const __m512d fresh =
        _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(measure_lo))),
                           _mm256_castps_pd(_mm512_cvtpd_ps(measure_hi)), 1);
    _mm512_mask_storeu_ps(variances + i, static_cast<__mmask16>(wins), _mm512_castpd_ps(fresh));
    const std::uint64_t lanes = kTripledBits[wins & 255] | std::uint64_t(kTripledBits[wins >> 8])
                                                               << 24;
    _mm512_mask_storeu_epi16(focus + 3 * i, static_cast<__mmask32>(lanes),
                             _mm512_loadu_si512(colour + 3 * i));
    _mm256_mask_storeu_epi16(
        focus + 3 * i + 32, static_cast<__mmask16>(lanes >> 32),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(colour + 3 * i + 32)));
  }
  return MergeTail(any != 0, mask, measures, colour, variances, focus, i, n);
}
void BlendRowAvx512(float* acc, const std::int32_t* row, std::int32_t n, double weight) {
  Avx2FocusKernels()->blendRow(acc, row, n, weight);
}
void FinishRow8Avx512(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                      std::uint8_t* out) {
  Avx2FocusKernels()->finishRow8(acc, n, inverse, top, out);
}
void FinishRow16Avx512(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                       std::uint16_t* out) {
  Avx2FocusKernels()->finishRow16(acc, n, inverse, top, out);
}

const FocusKernels kAvx512 = {
    cpu::Isa::kAvx512, MeasureRowAvx512, WidenRow8Avx512,  WidenGreyRow16Avx512, CountRowAvx512,
    MergeRowAvx512,    RangeRowAvx512,   ShowRow8Avx512,   ShowRow16Avx512,      EnlargeRowAvx512,
    ReduceRowAvx512,   BlendRowAvx512,   FinishRow8Avx512, FinishRow16Avx512};

}  // namespace

const FocusKernels* Avx512FocusKernels() {
  return &kAvx512;
}

#else

const FocusKernels* Avx512FocusKernels() {
  return nullptr;
}

#endif
