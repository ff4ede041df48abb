// Every vector kernel against its scalar reference, bit for bit, per instruction set.
#include "plugin/focus/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "plugin/core/cpu_features.h"
#include "plugin/focus/test_hooks.h"

namespace {

constexpr int kMaxWidth = 70;
// Start offsets, in 16-bit values, cover every alignment up to 64 bytes.
constexpr int kAlignments = 32;

std::vector<cpu::Isa> VectorIsas() {
  return {cpu::Isa::kSse2, cpu::Isa::kAvx2, cpu::Isa::kAvx512, cpu::Isa::kNeon};
}

std::string IsaLabel(const ::testing::TestParamInfo<cpu::Isa>& info) {
  return cpu::IsaName(info.param);
}

class KernelTest : public ::testing::TestWithParam<cpu::Isa> {
 protected:
  void SetUp() override {
    kernels_ = FocusKernelsFor(GetParam());
    if (kernels_ == nullptr) {
      GTEST_SKIP() << cpu::IsaName(GetParam()) << " kernels not built or not run by this processor";
    }
    ASSERT_EQ(GetParam(), kernels_->isa);
  }
  const FocusKernels* kernels_ = nullptr;
};

// Spike: one 32768 in a field of 0 (a measure that wraps 32-bit sums).
enum class Fill { kRandom, kExtremes, kChecker, kSpike, kFullRange, kHighExtremes };
constexpr Fill kFills[] = {Fill::kRandom, Fill::kExtremes,  Fill::kChecker,
                           Fill::kSpike,  Fill::kFullRange, Fill::kHighExtremes};

std::uint16_t Draw(Fill fill, std::size_t i, std::mt19937& rng) {
  switch (fill) {
    case Fill::kRandom:
      return std::uint16_t(rng() % 32769);
    case Fill::kExtremes:
      return (rng() & 1) != 0 ? 32768 : 0;
    case Fill::kChecker:
      return (i & 1) != 0 ? 32768 : 0;
    case Fill::kSpike:
      return i % 41 == 17 ? 32768 : 0;
    case Fill::kFullRange:
      return std::uint16_t(rng());
    case Fill::kHighExtremes:
      return (rng() & 1) != 0 ? 65535 : 0;
  }
  return 0;
}

// Five window rows, `offset` values into their storage, edges repeated into the borders.
struct Window {
  std::vector<std::uint16_t> storage[kWindowRows];
  const std::uint16_t* rows[kWindowRows];

  Window(int width, int offset, Fill fill, bool grey, std::mt19937& rng) {
    const std::size_t values = std::size_t(width + 2 * kWindowBorder) * kWindowChannels;
    for (int r = 0; r < kWindowRows; ++r) {
      storage[r].assign(values + offset, 0xDEAD);
      std::uint16_t* row = storage[r].data() + offset;
      for (std::size_t i = 0; i < values; i += kWindowChannels) {
        const std::uint16_t g = Draw(fill, i + r * values, rng);
        for (int k = 0; k < kWindowChannels; ++k)
          row[i + k] = grey ? g : Draw(fill, i + k + r * values, rng);
      }
      for (int k = 0; k < kWindowChannels; ++k) {
        const std::size_t first = kWindowBorder * kWindowChannels + k;
        const std::size_t last = (width + kWindowBorder - 1) * kWindowChannels + k;
        for (int b = 0; b < kWindowBorder; ++b) {
          row[b * kWindowChannels + k] = row[first];
          row[(width + kWindowBorder + b) * kWindowChannels + k] = row[last];
        }
      }
      rows[r] = row;
    }
  }
};

TEST_P(KernelTest, MeasureMatchesReferenceOnEveryWidthAlignmentAndFill) {
  std::mt19937 rng(1234);
  for (Fill fill : kFills) {
    for (bool grey : {false, true}) {
      for (int width = 1; width <= kMaxWidth; ++width) {
        for (int offset = 0; offset<kAlignments; offset += width> 40 ? 5 : 1) {
          const Window w(width, offset, fill, grey, rng);
          std::vector<std::uint64_t> want(width + 1, 7), got(width + 1, 7);
          MeasureRow(w.rows, width, want.data());
          kernels_->measureRow(w.rows, width, got.data());
          ASSERT_EQ(want, got) << "fill " << int(fill) << (grey ? " grey" : " rgb") << " width "
                               << width << " offset " << offset;
        }
      }
    }
  }
}

// Packed samples where the loader reads them, among marker values.
std::vector<std::uint16_t> PackedRow(int width, int planes, int bytes, int offset, bool extremes,
                                     std::mt19937& rng) {
  std::vector<std::uint16_t> storage(std::size_t(width + 4) * 3 + offset, 0xBEEF);
  auto* window = reinterpret_cast<std::uint8_t*>(storage.data() + offset);
  const int start = kWindowBorder * planes * bytes;
  for (int i = 0; i < width * planes; ++i) {
    if (bytes == 1) {
      window[start + i] = extremes ? ((rng() & 1) != 0 ? 255 : 0) : std::uint8_t(rng());
    } else {
      const std::uint16_t v = extremes ? ((rng() & 1) != 0 ? 32768 : 0) : std::uint16_t(rng());
      std::memcpy(window + start + 2 * i, &v, 2);
    }
  }
  return storage;
}

TEST_P(KernelTest, RowWideningMatchesReferenceForGreyAndRgb) {
  std::mt19937 rng(99);
  for (bool extremes : {false, true}) {
    for (int width = 1; width <= kMaxWidth; ++width) {
      for (int offset = 0; offset < kAlignments; ++offset) {
        for (int planes : {1, 3}) {
          std::vector<std::uint16_t> want = PackedRow(width, planes, 1, offset, extremes, rng),
                                     got = want;
          WidenRow8Reference(want.data() + offset, width, planes);
          kernels_->widenRow8(got.data() + offset, width, planes);
          ASSERT_EQ(want, got) << "8-bit planes " << planes << " width " << width << " offset "
                               << offset;
        }
        std::vector<std::uint16_t> want = PackedRow(width, 1, 2, offset, extremes, rng), got = want;
        WidenGreyRow16Reference(want.data() + offset, width);
        kernels_->widenGreyRow16(got.data() + offset, width);
        ASSERT_EQ(want, got) << "16-bit grey width " << width << " offset " << offset;
      }
    }
  }
}

TEST_P(KernelTest, CountRowMatchesReferenceIncludingTheCeiling) {
  std::mt19937 rng(7);
  for (int n = 0; n <= kMaxWidth; ++n) {
    for (int offset = 0; offset < kAlignments; ++offset) {
      for (int trial = 0; trial < 3; ++trial) {
        std::vector<std::uint8_t> mask(n + offset);
        std::vector<std::uint16_t> want(n + offset);
        for (auto& m : mask)
          m = std::array<std::uint8_t, 5>{0, 127, 128, 255, std::uint8_t(rng())}[rng() % 5];
        for (auto& c : want)
          c = std::array<std::uint16_t, 5>{0, 1, 65534, 65535, std::uint16_t(rng())}[rng() % 5];
        if (trial == 2) std::fill(mask.begin(), mask.end(), 0);  // nothing selected
        std::vector<std::uint16_t> got = want;
        const bool want_changed = CountRowReference(mask.data() + offset, want.data() + offset, n);
        const bool got_changed = kernels_->countRow(mask.data() + offset, got.data() + offset, n);
        ASSERT_EQ(want, got) << "n " << n << " offset " << offset;
        ASSERT_EQ(want_changed, got_changed) << "n " << n << " offset " << offset;
      }
    }
  }
}

// Ties (a stored measure equal to the new one as a double), stored zeros of
// both signs and measures that a float rounds are where a vector merge could
// differ from the reference.
TEST_P(KernelTest, MergeRowMatchesReferenceOnTiesZerosAndRounding) {
  std::mt19937_64 rng(11);
  const std::uint64_t top = 60ull * 65535 * 65535;
  for (int n = 0; n <= kMaxWidth; ++n) {
    for (int offset = 0; offset < kAlignments; ++offset) {
      std::vector<std::uint8_t> mask(n + offset);
      std::vector<std::uint64_t> measures(n + offset);
      std::vector<float> want_var(n + offset);
      std::vector<std::uint16_t> colour(3 * (n + offset)), want_focus(3 * (n + offset));
      for (int i = 0; i < n + offset; ++i) {
        mask[i] = std::array<std::uint8_t, 4>{0, 127, 128, 255}[rng() % 4];
        measures[i] = std::array<std::uint64_t, 4>{0, rng() % 1000, rng() % top, top}[rng() % 4];
        const float same = float(double(measures[i]));
        want_var[i] = std::array<float, 6>{0.0f,
                                           -0.0f,
                                           same,
                                           std::nextafter(same, 0.0f),
                                           float(rng() % top),
                                           float(rng() % 1000)}[rng() % 6];
      }
      for (auto& c : colour) c = std::uint16_t(rng() % 32769);
      for (auto& f : want_focus) f = std::uint16_t(rng() % 32769);
      std::vector<float> got_var = want_var;
      std::vector<std::uint16_t> got_focus = want_focus;
      const bool want_changed = MergeRowReference(
          mask.data() + offset, measures.data() + offset, colour.data() + 3 * offset,
          want_var.data() + offset, want_focus.data() + 3 * offset, n);
      const bool got_changed = kernels_->mergeRow(
          mask.data() + offset, measures.data() + offset, colour.data() + 3 * offset,
          got_var.data() + offset, got_focus.data() + 3 * offset, n);
      ASSERT_EQ(0, std::memcmp(want_var.data(), got_var.data(), want_var.size() * sizeof(float)))
          << "n " << n << " offset " << offset;
      ASSERT_EQ(want_focus, got_focus) << "n " << n << " offset " << offset;
      ASSERT_EQ(want_changed, got_changed) << "n " << n << " offset " << offset;
    }
  }
}

// Focus and count rows; one pixel in about `gap` uncovered (0: none).
void BufferRows(int n, int gap, Fill fill, std::mt19937& rng, std::vector<std::uint16_t>* focus,
                std::vector<std::uint16_t>* counts, int offset) {
  focus->assign(std::size_t(n) * 3 + offset, 0);
  counts->assign(std::size_t(n) + offset, 0);
  for (int i = 0; i < 3 * n; ++i) (*focus)[offset + i] = Draw(fill, i, rng);
  for (int x = 0; x < n; ++x)
    (*counts)[offset + x] = gap != 0 && rng() % gap == 0 ? 0 : std::uint16_t(1 + rng() % 3);
}

TEST_P(KernelTest, ShowRangeMatchesReference) {
  std::mt19937 rng(21);
  for (Fill fill : {Fill::kRandom, Fill::kExtremes, Fill::kFullRange, Fill::kHighExtremes}) {
    for (int gap : {0, 1, 2, 9}) {
      for (int n = 0; n <= kMaxWidth; ++n) {
        for (int offset = 0; offset < 8; ++offset) {
          std::vector<std::uint16_t> focus, counts;
          BufferRows(n, gap, fill, rng, &focus, &counts, offset);
          for (bool started : {false, true}) {
            ShowRange want, got;
            if (started) want = got = ShowRange{true, 3000, 3001, 9000, 9003};
            RangeRowReference(focus.data() + offset, counts.data() + offset, n, &want);
            kernels_->rangeRow(focus.data() + offset, counts.data() + offset, n, &got);
            ASSERT_TRUE(std::tie(want.any, want.lo, want.hi, want.sumLo, want.sumHi) ==
                        std::tie(got.any, got.lo, got.hi, got.sumLo, got.sumHi))
                << "n " << n << " gap " << gap << " offset " << offset;
          }
        }
      }
    }
  }
}

TEST_P(KernelTest, ShowRowsMatchReferenceForEveryStretch) {
  std::mt19937 rng(42);
  // Offset and scale pairs: ordinary, the flat scales, overshooting the top,
  // nothing covered, values made negative.
  const float stretches[] = {-2570.0f,  float(255.49 / 23130),
                             -100.0f,   float(32768.49 / 30000),
                             0.0f,      float(1.0 / 128.5),
                             0.0f,      float(1.0 / 385.5),
                             0.0f,      1.0f,
                             0.0f,      float(1.0 / 3.0),
                             -7.0f,     3.5f,
                             -1.0e9f,   float(255.49 / -2.0e9),
                             -40000.0f, 0.5f};
  for (std::size_t s = 0; s < std::size(stretches); s += 2) {
    const float stretch_offset = stretches[s], scale = stretches[s + 1];
    for (int lanes : {1, 3}) {
      for (int gap : {0, 1, 5}) {
        for (int n = 1; n <= kMaxWidth; ++n) {
          const int offset = int(rng() % 16);
          std::vector<std::uint16_t> focus, counts;
          BufferRows(n, gap, (rng() & 1) != 0 ? Fill::kRandom : Fill::kFullRange, rng, &focus,
                     &counts, offset);
          const int b0 = int(rng() % 256), b1 = int(rng() % 256);
          ShowRowArgs args{
              focus.data() + offset, counts.data() + offset, n, lanes, stretch_offset, scale, 255,
              {b0, b1, 255}};
          std::vector<std::uint8_t> want8(std::size_t(n) * lanes + 1, 0xAA), got8 = want8;
          ShowRow8Reference(args, want8.data());
          kernels_->showRow8(args, got8.data());
          ASSERT_EQ(want8, got8) << "8-bit lanes " << lanes << " n " << n << " scale " << scale;

          args.top = 32768;
          for (int k = 0; k < 3; ++k) args.background[k] = int(rng() % 256 * 128.5);
          std::vector<std::uint16_t> want16(std::size_t(n) * lanes + 1, 0xAAAA), got16 = want16;
          ShowRow16Reference(args, want16.data());
          kernels_->showRow16(args, got16.data());
          ASSERT_EQ(want16, got16) << "16-bit lanes " << lanes << " n " << n << " scale " << scale;
        }
      }
    }
  }
}

TEST_P(KernelTest, ResamplingMatchesReference) {
  std::mt19937 rng(7);
  // Real values within the scale, beyond it and below zero; windows of every
  // kind (one column, two, many; the last column at the edge); half-way
  // weights that land on .5 after the stretch.
  for (int top : {255, 32768}) {
    for (int lanes : {1, 3}) {
      for (int gap : {0, 1, 3}) {
        for (int n = 1; n <= kMaxWidth; ++n) {
          const int bw = 1 + int(rng() % 40);
          std::vector<double> real(std::size_t(bw) * lanes + 1);
          for (double& v : real)
            v = rng() % 8 == 0 ? double(rng() % 3) * 0.5 * top
                               : (double(rng() % 100000) / 100000.0 * 1.2 - 0.1) * top;
          std::vector<std::uint16_t> counts(static_cast<std::size_t>(bw));
          for (std::uint16_t& c : counts) c = gap != 0 && rng() % gap == 0 ? 0 : 1;
          const double background[3] = {double(rng() % 300), top * 0.75, -3.0};
          std::vector<ColumnWindow> enlarge(static_cast<std::size_t>(n)), reduce(enlarge);
          for (int x = 0; x < n; ++x) {
            const int first = int(rng() % std::uint32_t(bw));
            const double t = rng() % 4 == 0 ? 0.5 : double(rng() % 1000) / 1000.0;
            enlarge[x] = {first, std::min(first + 1, bw - 1), t, 0.0};
            const int last = std::min(bw - 1, first + int(rng() % 4));
            reduce[x] = {first, last, 1.0 - double(rng() % 1000) / 1000.0, t};
          }
          for (const auto* columns : {&enlarge, &reduce}) {
            const ResampleRowArgs args{real.data(), counts.data(), columns->data(), n,
                                       lanes,       top,           background};
            std::vector<std::int32_t> want(std::size_t(n) * lanes + 1, -7), got = want;
            if (columns == &enlarge) {
              EnlargeRowReference(args, want.data());
              kernels_->enlargeRow(args, got.data());
            } else {
              ReduceRowReference(args, want.data());
              kernels_->reduceRow(args, got.data());
            }
            got.back() = want.back();  // the value after the row is free
            ASSERT_EQ(want, got) << (columns == &enlarge ? "enlarge" : "reduce") << " n " << n
                                 << " lanes " << lanes << " top " << top;
          }
          // Down: the accumulator, then the samples.
          std::vector<std::int32_t> row(std::size_t(n) * lanes);
          for (std::int32_t& v : row) v = std::int32_t(rng() % std::uint32_t(top + 1));
          std::vector<float> want_acc(row.size());
          for (float& v : want_acc) v = float(rng() % 100000) / 7.0f;
          std::vector<float> got_acc = want_acc;
          const double weight = double(rng() % 1000) / 999.0;
          BlendRowReference(want_acc.data(), row.data(), std::int32_t(row.size()), weight);
          kernels_->blendRow(got_acc.data(), row.data(), std::int32_t(row.size()), weight);
          ASSERT_EQ(want_acc, got_acc) << "blend n " << n;
          const double inverse = 1.0 / (0.25 + double(rng() % 100) / 40.0);
          const auto values = std::int32_t(row.size());
          auto finish = [&](auto reference, auto kernel, auto sample) {
            std::vector<decltype(sample)> want(row.size()), got(row.size());
            reference(want_acc.data(), values, inverse, top, want.data());
            kernel(got_acc.data(), values, inverse, top, got.data());
            ASSERT_EQ(want, got) << "finish n " << n;
          };
          if (top == 255) {
            finish(FinishRow8Reference, kernels_->finishRow8, std::uint8_t{});
          } else {
            finish(FinishRow16Reference, kernels_->finishRow16, std::uint16_t{});
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Isa, KernelTest, ::testing::ValuesIn(VectorIsas()), IsaLabel);

TEST(KernelChoice, TheWidestTableThisProcessorRunsIsInUse) {
  cpu::Isa widest = cpu::Isa::kScalar;
  for (cpu::Isa isa : VectorIsas())
    if (FocusKernelsFor(isa) != nullptr && int(isa) > int(widest) && isa != cpu::Isa::kNeon)
      widest = isa;
  if (FocusKernelsFor(cpu::Isa::kNeon) != nullptr) widest = cpu::Isa::kNeon;
  EXPECT_EQ(widest, ActiveFocusKernels().isa);
#if defined(__x86_64__)
  EXPECT_NE(nullptr, FocusKernelsFor(cpu::Isa::kSse2));  // every x86-64 processor has SSE2
#endif
  focus::test::UseFocusKernels(FocusKernelsFor(cpu::Isa::kScalar));
  EXPECT_EQ(cpu::Isa::kScalar, ActiveFocusKernels().isa);
  focus::test::UseFocusKernels(nullptr);
  EXPECT_EQ(widest, ActiveFocusKernels().isa);
}

}  // namespace
