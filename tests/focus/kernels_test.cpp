// Every vector kernel against the scalar table, bit for bit, per instruction set.
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

// Random on the buffer's scale, its two ends at random, a checker of them, one
// spike in a field of 0 (a measure that wraps 32-bit sums), then the same over
// the whole 16-bit range, as a damaged buffer holds.
constexpr int kFills = 6;
std::uint16_t Draw(int fill, std::size_t i, std::mt19937& rng) {
  const std::uint32_t r = rng();
  const bool high[] = {false, (r & 1) != 0, (i & 1) != 0, i % 41 == 17, false, (r & 1) != 0};
  if (fill == 0 || fill == 4) return std::uint16_t(fill == 0 ? r % 32769 : r);
  return high[fill] ? (fill == 5 ? 65535 : 32768) : 0;
}

class KernelTest : public ::testing::TestWithParam<cpu::Isa> {
 protected:
  void SetUp() override {
    vector_ = FocusKernelsFor(GetParam());
    if (vector_ == nullptr)
      GTEST_SKIP() << cpu::IsaName(GetParam()) << " kernels not built or not run by this processor";
    ASSERT_EQ(GetParam(), vector_->isa);
  }
  // Runs `call` with the scalar table and with the vector one, each on its own
  // copy of the inputs, and compares what each produced.
  // `where` lists the loop variables of the case, outermost first.
  template <typename Call>
  void ExpectSame(Call call, std::initializer_list<double> where) {
    std::string text;
    for (double v : where) text += std::to_string(v) + " ";
    ASSERT_EQ(call(*ScalarFocusKernels()), call(*vector_)) << text;
  }
  const FocusKernels* vector_ = nullptr;
};

// Five window rows, `offset` values into their storage, edges repeated into the borders.
struct Window {
  std::vector<std::uint16_t> storage[kWindowRows];
  const std::uint16_t* rows[kWindowRows];

  Window(int width, int offset, int fill, bool grey, std::mt19937& rng) {
    const int values = (width + 2 * kWindowBorder) * kWindowChannels;
    for (int r = 0; r < kWindowRows; ++r) {
      storage[r].assign(std::size_t(values + offset), 0xDEAD);
      std::uint16_t* row = storage[r].data() + offset;
      for (int i = 0; i < values; ++i)
        row[i] = grey && i % 3 != 0 ? row[i - 1] : Draw(fill, std::size_t(i + r * values), rng);
      for (int b = 0; b < kWindowBorder; ++b)
        for (int k = 0; k < kWindowChannels; ++k) {
          row[b * 3 + k] = row[kWindowBorder * 3 + k];
          row[(width + kWindowBorder + b) * 3 + k] = row[(width + kWindowBorder - 1) * 3 + k];
        }
      rows[r] = row;
    }
  }
};

TEST_P(KernelTest, MeasureOnEveryWidthAlignmentAndFill) {
  std::mt19937 rng(1234);
  for (int fill = 0; fill < kFills; ++fill)
    for (bool grey : {false, true})
      for (int width = 1; width <= kMaxWidth; ++width)
        for (int offset = 0; offset<kAlignments; offset += width> 40 ? 5 : 1) {
          const Window w(width, offset, fill, grey, rng);
          ExpectSame(
              [&](const FocusKernels& k) {
                std::vector<std::uint64_t> out(std::size_t(width) + 1, 7);
                k.measureRow(w.rows, width, out.data());
                return out;
              },
              {double(fill), double(grey), double(width), double(offset)});
        }
}

// Widening of packed 8-bit grey and RGB rows and 16-bit grey ones, and the
// counting with its ceiling, at every length and alignment.
TEST_P(KernelTest, WideningAndCountingOnEveryLengthAndAlignment) {
  std::mt19937 rng(99);
  for (int n = 0; n <= kMaxWidth; ++n) {
    for (int offset = 0; offset < kAlignments; ++offset) {
      for (bool extremes : {false, true}) {
        for (auto [bytes, planes] : {std::pair{1, 1}, {1, 3}, {2, 1}}) {
          // Packed samples where the loader reads them, among marker values.
          std::vector<std::uint16_t> row(std::size_t(n + 4) * 3 + offset, 0xBEEF);
          auto* packed = reinterpret_cast<std::uint8_t*>(row.data() + offset);
          for (int i = 0; i < n * planes; ++i) {
            const std::uint16_t v = extremes ? ((rng() & 1) != 0 ? (bytes == 1 ? 255 : 32768) : 0)
                                             : std::uint16_t(rng());
            std::memcpy(packed + kWindowBorder * planes * bytes + bytes * i, &v, bytes);
          }
          ExpectSame(
              [&, bytes = bytes, planes = planes](const FocusKernels& k) {
                std::vector<std::uint16_t> r = row;
                if (bytes == 1) k.widenRow8(r.data() + offset, n, planes);
                if (bytes == 2) k.widenGreyRow16(r.data() + offset, n);
                return r;
              },
              {double(n), double(offset), double(bytes), double(planes)});
        }
      }
      for (int trial = 0; trial < 3; ++trial) {
        std::vector<std::uint8_t> mask(std::size_t(n + offset));
        std::vector<std::uint16_t> counts(mask.size());
        for (auto& m : mask)
          m = trial == 2 ? 0 : std::array<int, 5>{0, 127, 128, 255, int(rng() % 256)}[rng() % 5];
        for (auto& c : counts)
          c = std::uint16_t(std::array<int, 5>{0, 1, 65534, 65535, int(rng() % 65536)}[rng() % 5]);
        ExpectSame(
            [&](const FocusKernels& k) {
              std::vector<std::uint16_t> c = counts;
              const bool changed = k.countRow(mask.data() + offset, c.data() + offset, n);
              return std::pair{c, changed};
            },
            {double(n), double(offset)});
      }
    }
  }
}

// Ties (a stored measure equal to the new one as a double), stored zeros of
// both signs and measures that a float rounds are where a vector merge could
// differ from the reference.
TEST_P(KernelTest, MergeOnTiesZerosAndRounding) {
  std::mt19937_64 rng(11);
  const std::uint64_t top = 60ull * 65535 * 65535;
  for (int n = 0; n <= kMaxWidth; ++n) {
    for (int offset = 0; offset < kAlignments; ++offset) {
      std::vector<std::uint8_t> mask(n + offset);
      std::vector<std::uint64_t> measures(n + offset);
      std::vector<float> variances(n + offset);
      std::vector<std::uint16_t> colour(3 * (n + offset)), focus(3 * (n + offset));
      for (int i = 0; i < n + offset; ++i) {
        mask[i] = std::array<std::uint8_t, 4>{0, 127, 128, 255}[rng() % 4];
        measures[i] = std::array<std::uint64_t, 4>{0, rng() % 1000, rng() % top, top}[rng() % 4];
        const float same = float(double(measures[i]));
        variances[i] = std::array<float, 6>{0.0f,
                                            -0.0f,
                                            same,
                                            std::nextafter(same, 0.0f),
                                            float(rng() % top),
                                            float(rng() % 1000)}[rng() % 6];
      }
      for (auto& c : colour) c = std::uint16_t(rng() % 32769);
      for (auto& f : focus) f = std::uint16_t(rng() % 32769);
      ExpectSame(
          [&](const FocusKernels& k) {
            std::vector<float> v = variances;
            std::vector<std::uint16_t> f = focus;
            const bool changed =
                k.mergeRow(mask.data() + offset, measures.data() + offset,
                           colour.data() + 3 * offset, v.data() + offset, f.data() + 3 * offset, n);
            std::vector<std::uint32_t> bits(v.size());
            std::memcpy(bits.data(), v.data(), v.size() * sizeof(float));
            return std::tuple{bits, f, changed};
          },
          {double(n), double(offset)});
    }
  }
}

// Focus and count rows, `offset` values in; one pixel in about `gap` uncovered (0: none).
struct BufferRows {
  std::vector<std::uint16_t> focus, counts;
  BufferRows(int n, int gap, int fill, int offset, std::mt19937& rng)
      : focus(std::size_t(n) * 3 + offset), counts(std::size_t(n) + offset) {
    for (int i = 0; i < 3 * n; ++i) focus[offset + i] = Draw(fill, i, rng);
    for (int x = 0; x < n; ++x)
      counts[offset + x] = gap != 0 && rng() % gap == 0 ? 0 : std::uint16_t(1 + rng() % 3);
  }
};

TEST_P(KernelTest, ShowRangeAndRowsAtEqualSizes) {
  std::mt19937 rng(21);
  for (int fill : {0, 1, 4, 5})
    for (int gap : {0, 1, 2, 9})
      for (int n = 0; n <= kMaxWidth; ++n)
        for (int offset = 0; offset < 8; ++offset) {
          const BufferRows b(n, gap, fill, offset, rng);
          for (bool started : {false, true})
            ExpectSame(
                [&](const FocusKernels& k) {
                  ShowRange r;
                  if (started) r = ShowRange{true, 3000, 3001, 9000, 9003};
                  k.rangeRow(b.focus.data() + offset, b.counts.data() + offset, n, &r);
                  return std::tuple{r.any, r.lo, r.hi, r.sumLo, r.sumHi};
                },
                {double(fill), double(gap), double(n), double(offset)});
        }
  // Offset and scale pairs: ordinary, the flat scales, overshooting the top,
  // nothing covered, values made negative.
  const float offsets[] = {-2570.0f, -100.0f, 0.0f, 0.0f, 0.0f, 0.0f, -7.0f, -1.0e9f, -40000.0f};
  const float scales[] = {float(255.49 / 23130),
                          float(32768.49 / 30000),
                          float(1.0 / 128.5),
                          float(1.0 / 385.5),
                          1.0f,
                          float(1.0 / 3.0),
                          3.5f,
                          float(255.49 / -2.0e9),
                          0.5f};
  for (int s = 0; s < 9; ++s)
    for (int lanes : {1, 3})
      for (int gap : {0, 1, 5})
        for (int n = 1; n <= kMaxWidth; ++n) {
          const int offset = int(rng() % 16);
          const BufferRows b(n, gap, int(rng() % 2) * 4, offset, rng);
          const std::uint16_t* rows[] = {b.focus.data() + offset, b.counts.data() + offset};
          ShowRowArgs args{rows[0], rows[1], n, lanes, offsets[s], scales[s], 255, {0, 0, 255}};
          ShowRowArgs wide = args;
          wide.top = 32768;
          for (int k = 0; k < 3; ++k) {
            args.background[k] = k < 2 ? int(rng() % 256) : 255;
            wide.background[k] = int(rng() % 256 * 128.5);
          }
          ExpectSame(
              [&](const FocusKernels& k) {
                std::vector<std::uint8_t> out8(std::size_t(n) * lanes + 1, 0xAA);
                std::vector<std::uint16_t> out16(out8.size(), 0xAAAA);
                k.showRow8(args, out8.data());
                k.showRow16(wide, out16.data());
                return std::pair{out8, out16};
              },
              {double(s), double(lanes), double(gap), double(n)});
        }
}

TEST_P(KernelTest, Resampling) {
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
          ExpectSame(
              [&](const FocusKernels& k) {
                std::vector<std::int32_t> across[2];
                for (int reduced : {0, 1}) {
                  const ColumnWindow* columns = (reduced != 0 ? reduce : enlarge).data();
                  const ResampleRowArgs args{real.data(), counts.data(), columns,   n,
                                             lanes,       top,           background};
                  across[reduced].assign(std::size_t(n) * lanes, -7);
                  // The kernels may write one value after the row.
                  across[reduced].push_back(0);
                  (reduced != 0 ? k.reduceRow : k.enlargeRow)(args, across[reduced].data());
                  across[reduced].pop_back();
                }
                return std::pair{across[0], across[1]};
              },
              {double(top), double(lanes), double(gap), double(n)});
          // Down: the accumulator, then the samples.
          std::vector<std::int32_t> row(std::size_t(n) * lanes);
          for (std::int32_t& v : row) v = std::int32_t(rng() % std::uint32_t(top + 1));
          std::vector<float> acc(row.size());
          for (float& v : acc) v = float(rng() % 100000) / 7.0f;
          const double weight = double(rng() % 1000) / 999.0;
          const double inverse = 1.0 / (0.25 + double(rng() % 100) / 40.0);
          ExpectSame(
              [&](const FocusKernels& k) {
                std::vector<float> a = acc;
                const auto values = std::int32_t(row.size());
                k.blendRow(a.data(), row.data(), values, weight);
                std::vector<std::uint8_t> out8(row.size());
                std::vector<std::uint16_t> out16(row.size());
                if (top == 255) k.finishRow8(a.data(), values, inverse, top, out8.data());
                if (top != 255) k.finishRow16(a.data(), values, inverse, top, out16.data());
                return std::tuple{a, out8, out16};
              },
              {double(top), double(lanes), double(gap), double(n), 0.5});
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Isa, KernelTest, ::testing::ValuesIn(VectorIsas()),
                         [](const auto& i) { return std::string(cpu::IsaName(i.param)); });

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
