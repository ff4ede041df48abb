// The reference kernels, in plain C++, and the choice of the table in use.
#include "plugin/focus/kernels.h"

#include <algorithm>
#include <initializer_list>

namespace {

inline std::uint16_t ToBufferScale(std::uint8_t v) {
  return static_cast<std::uint16_t>((257u * v + 1u) / 2u);
}

}  // namespace

void WidenRow8Reference(std::uint16_t* window, std::int32_t width, int planes) {
  const auto* packed = reinterpret_cast<const std::uint8_t*>(window) + kWindowBorder * planes;
  std::uint16_t* to = window + kWindowBorder * kWindowChannels;
  // Last pixel first: a pixel's widened form never starts before its packed form.
  for (std::int32_t j = width - 1; j >= 0; --j) {
    if (planes == 3) {
      const std::uint8_t s0 = packed[3 * j], s1 = packed[3 * j + 1], s2 = packed[3 * j + 2];
      to[3 * j] = ToBufferScale(s0);
      to[3 * j + 1] = ToBufferScale(s1);
      to[3 * j + 2] = ToBufferScale(s2);
    } else {
      const std::uint16_t grey = ToBufferScale(packed[j]);
      to[3 * j] = grey;
      to[3 * j + 1] = grey;
      to[3 * j + 2] = grey;
    }
  }
}

void WidenGreyRow16Reference(std::uint16_t* window, std::int32_t width) {
  const std::uint16_t* packed = window + kWindowBorder;
  std::uint16_t* to = window + kWindowBorder * kWindowChannels;
  for (std::int32_t j = width - 1; j >= 0; --j) {
    const std::uint16_t grey = packed[j];
    to[3 * j] = grey;
    to[3 * j + 1] = grey;
    to[3 * j + 2] = grey;
  }
}

bool CountRowReference(const std::uint8_t* mask, std::uint16_t* counts, std::int32_t n) {
  bool changed = false;
  for (std::int32_t i = 0; i < n; ++i) {
    if (mask[i] >= 128 && counts[i] < 65535) {
      ++counts[i];
      changed = true;
    }
  }
  return changed;
}

bool MergeRowReference(const std::uint8_t* mask, const std::uint64_t* measures,
                       const std::uint16_t* colour, float* variances, std::uint16_t* focus,
                       std::int32_t n) {
  bool changed = false;
  for (std::int32_t x = 0; x < n; ++x) {
    const float stored = variances[x];
    // Exact: the measure is below 2^52. Going through the signed type gives
    // the processor's one-instruction conversion (unsigned 64-bit has none
    // before AVX-512).
    const double measure = static_cast<double>(static_cast<std::int64_t>(measures[x]));
    // Winners fall at random across a row, so the choice is made without
    // branches: every pixel is written back, with its old or its new value.
    const bool wins =
        (mask[x] >= 128) & ((stored == 0.0f) | (static_cast<double>(stored) < measure));
    variances[x] = wins ? static_cast<float>(measure) : stored;
    for (int c = 0; c < 3; ++c) focus[3 * x + c] = wins ? colour[3 * x + c] : focus[3 * x + c];
    changed |= wins;
  }
  return changed;
}

void RangeRowReference(const std::uint16_t* focus, const std::uint16_t* counts, std::int32_t n,
                       ShowRange* range) {
  for (std::int32_t x = 0; x < n; ++x) {
    if (counts[x] == 0) continue;
    const std::uint16_t* c = focus + 3 * x;
    const std::uint32_t lo = std::min({c[0], c[1], c[2]});
    const std::uint32_t hi = std::max({c[0], c[1], c[2]});
    const std::uint32_t sum = std::uint32_t(c[0]) + c[1] + c[2];
    if (!range->any) {
      *range = ShowRange{true, lo, hi, sum, sum};
      continue;
    }
    range->lo = std::min(range->lo, lo);
    range->hi = std::max(range->hi, hi);
    range->sumLo = std::min(range->sumLo, sum);
    range->sumHi = std::max(range->sumHi, sum);
  }
}

namespace {

template <typename Sample>
void ShowRowReference(const ShowRowArgs& a, Sample* out) {
  const double offset = a.offset, scale = a.scale;
  for (std::int32_t x = 0; x < a.width; ++x) {
    Sample* to = out + x * a.lanes;
    if (a.counts[x] == 0) {
      for (int k = 0; k < a.lanes; ++k) to[k] = static_cast<Sample>(a.background[k]);
      continue;
    }
    const std::uint16_t* c = a.focus + 3 * x;
    if (a.lanes == 1) {
      to[0] = static_cast<Sample>(
          ShowSample((double(c[0]) + double(c[1]) + double(c[2]) + offset) * scale, a.top));
    } else {
      for (int k = 0; k < 3; ++k)
        to[k] = static_cast<Sample>(ShowSample((double(c[k]) + offset) * scale, a.top));
    }
  }
}

}  // namespace

void ShowRow8Reference(const ShowRowArgs& args, std::uint8_t* out) {
  ShowRowReference(args, out);
}
void ShowRow16Reference(const ShowRowArgs& args, std::uint16_t* out) {
  ShowRowReference(args, out);
}

void EnlargeRowReference(const ResampleRowArgs& a, std::int32_t* out) {
  for (std::int32_t x = 0; x < a.width; ++x) {
    const ColumnWindow& c = a.columns[x];
    const double t = c.a;
    const bool none = a.counts[c.first] == 0 && a.counts[c.last] == 0;
    for (int k = 0; k < a.lanes; ++k) {
      const double p = a.real[c.first * a.lanes + k];
      const double q = a.real[c.last * a.lanes + k];
      out[x * a.lanes + k] =
          none ? ShowSample(p, a.top) : ShowSample(p * (1.0 - t) + q * t + 0.5, a.top);
    }
  }
}

void ReduceRowReference(const ResampleRowArgs& a, std::int32_t* out) {
  for (std::int32_t x = 0; x < a.width; ++x) {
    const ColumnWindow& c = a.columns[x];
    double sums[3] = {0.0, 0.0, 0.0};
    double total = 0.0;
    for (std::int32_t sx = c.first; sx <= c.last; ++sx) {
      if (a.counts[sx] == 0) continue;
      const double u = sx == c.first ? c.a : sx == c.last ? c.b : 1.0;
      for (int k = 0; k < a.lanes; ++k) sums[k] += a.real[sx * a.lanes + k] * u;
      total += u;
    }
    for (int k = 0; k < a.lanes; ++k) {
      out[x * a.lanes + k] = total != 0.0 ? ShowSample(sums[k] * (1.0 / total), a.top)
                                          : ShowSample(a.background[k], a.top);
    }
  }
}

void BlendRowReference(float* acc, const std::int32_t* row, std::int32_t n, double weight) {
  for (std::int32_t i = 0; i < n; ++i)
    acc[i] = static_cast<float>(double(acc[i]) + double(row[i]) * weight);
}

namespace {
template <typename Sample>
void FinishRowReference(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                        Sample* out) {
  for (std::int32_t i = 0; i < n; ++i)
    out[i] = static_cast<Sample>(ShowSample(double(acc[i]) * inverse, top));
}
}  // namespace

void FinishRow8Reference(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                         std::uint8_t* out) {
  FinishRowReference(acc, n, inverse, top, out);
}
void FinishRow16Reference(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                          std::uint16_t* out) {
  FinishRowReference(acc, n, inverse, top, out);
}

namespace {

void MeasureRowReference(const std::uint16_t* const rows[kWindowRows], std::int32_t width,
                         bool /*narrow*/, std::uint64_t* out) {
  MeasureRow(rows, width, out);
}

const FocusKernels kScalar = {cpu::Isa::kScalar,       MeasureRowReference, WidenRow8Reference,
                              WidenGreyRow16Reference, CountRowReference,   MergeRowReference,
                              RangeRowReference,       ShowRow8Reference,   ShowRow16Reference,
                              EnlargeRowReference,     ReduceRowReference,  BlendRowReference,
                              FinishRow8Reference,     FinishRow16Reference};

const FocusKernels* g_forced = nullptr;

const FocusKernels& ChooseKernels() {
  for (cpu::Isa isa : {cpu::Isa::kAvx512, cpu::Isa::kAvx2, cpu::Isa::kSse2, cpu::Isa::kNeon}) {
    if (const FocusKernels* k = FocusKernelsFor(isa)) return *k;
  }
  return kScalar;
}

}  // namespace

const FocusKernels* ScalarFocusKernels() {
  return &kScalar;
}

const FocusKernels* FocusKernelsFor(cpu::Isa isa) {
  const FocusKernels* k = nullptr;
  switch (isa) {
    case cpu::Isa::kScalar:
      k = &kScalar;
      break;
    case cpu::Isa::kSse2:
      k = Sse2FocusKernels();
      break;
    case cpu::Isa::kAvx2:
      k = Avx2FocusKernels();
      break;
    case cpu::Isa::kAvx512:
      k = Avx512FocusKernels();
      break;
    case cpu::Isa::kNeon:
      break;
  }
  return k != nullptr && cpu::SupportsIsa(isa) ? k : nullptr;
}

const FocusKernels& ActiveFocusKernels() {
  // Chosen once: the processor does not change while the module is loaded.
  static const FocusKernels& chosen = ChooseKernels();
  return g_forced != nullptr ? *g_forced : chosen;
}

namespace focus::test {
void UseFocusKernels(const FocusKernels* kernels) {
  g_forced = kernels;
}
}  // namespace focus::test
