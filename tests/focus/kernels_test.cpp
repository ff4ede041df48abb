// Every vector kernel against the scalar table, bit for bit, per instruction set.
#include "plugin/focus/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "plugin/core/cpu_features.h"

namespace {

constexpr int kMaxWidth = 70;
// Start offsets, in 16-bit values, cover every alignment up to 64 bytes.
constexpr int kAlignments = 32;

constexpr cpu::Isa kVectorIsas[] = {cpu::Isa::kSse2, cpu::Isa::kAvx2, cpu::Isa::kAvx512,
                                    cpu::Isa::kNeon};

// Random on the buffer's scale, its two ends at random, a checker of them, one
// spike in a field of 0 (a measure that wraps 32-bit sums), then random and the
// two ends over the whole 16-bit range, as a damaged buffer holds.
constexpr int kFills = 6;
std::uint16_t Draw(int fill, std::size_t i, std::mt19937& rng) {
  const std::uint32_t r = rng();
  const bool high[] = {false, (r & 1) != 0, (i & 1) != 0, i % 41 == 17, false, (r & 1) != 0};
  if (fill == 0 || fill == 4) return std::uint16_t(fill == 0 ? r % 32769 : r);
  return high[fill] ? (fill == 5 ? 65535 : 32768) : 0;
}

// Offset and scale pairs of Show's stretch: ordinary, the flat scales,
// overshooting the top, nothing covered, values made negative.
constexpr float kOffsets[] = {-2570.0f, -100.0f, 0.0f, 0.0f, 0.0f, 0.0f, -7.0f, -1.0e9f, -40000.0f};
const float kScales[] = {float(255.49 / 23130),
                         float(32768.49 / 30000),
                         float(1.0 / 128.5),
                         float(1.0 / 385.5),
                         1.0f,
                         float(1.0 / 3.0),
                         3.5f,
                         float(255.49 / -2.0e9),
                         0.5f};

// The inputs of every kernel: rows of n pixels starting `offset` values into
// their storage, with marker values around them.
struct Case {
  int n, offset, fill, lanes, top, bw;
  std::vector<std::uint16_t> window[kWindowRows];  // 3 channels, borders included
  std::vector<std::uint16_t> packed[3];            // 8-bit grey, 8-bit RGB, 16-bit grey
  std::vector<std::uint8_t> mask;
  std::vector<std::uint16_t> counts, focus, covered;  // covered: one in about `gap` pixels is not
  // The merge's measures, with stored ones that tie with them as doubles, zeros
  // of both signs and measures a float rounds; and the picture's colours.
  std::vector<std::uint64_t> measures;
  std::vector<float> variances;
  std::vector<std::uint16_t> colour;
  ShowRowArgs show;
  std::vector<double> real;  // a source row of bw pixels for the resampling
  std::vector<std::uint16_t> realCounts;
  double background[3];
  std::vector<ColumnWindow> enlarge, reduce;
  std::vector<std::int32_t> row;  // and the vertical pass
  std::vector<float> acc;
  double weight, inverse;

  Case(int n_, int offset_, int fill_, std::mt19937& rng)
      : n(n_),
        offset(offset_),
        fill(fill_),
        lanes(1 + 2 * ((offset / 2 + n) % 2)),
        top(fill % 2 != 0 ? 255 : 32768),
        bw(1 + int(rng() % 40)) {
    const bool grey = (offset / 2 + fill) % 2 != 0;
    const int values = (n + 2 * kWindowBorder) * kWindowChannels;
    for (int r = 0; r < kWindowRows; ++r) {
      std::vector<std::uint16_t>& w = window[r];
      w.assign(std::size_t(values + offset), 0xDEAD);
      for (int i = offset; i < offset + values; ++i)
        w[i] =
            grey && (i - offset) % 3 != 0 ? w[i - 1] : Draw(fill, std::size_t(i + r * values), rng);
    }
    // Packed samples where the loader reads them; 8-bit ones 0 or 255 but for the random fills.
    for (int layout = 0; layout < 3; ++layout) {
      const int planes = layout == 1 ? 3 : 1, bytes = layout == 2 ? 2 : 1;
      packed[layout].assign(std::size_t(n + 4) * 3 + offset, 0xBEEF);
      auto* to = reinterpret_cast<std::uint8_t*>(packed[layout].data() + offset);
      for (int i = 0; i < n * planes; ++i) {
        std::uint16_t v = Draw(fill, std::size_t(i), rng);
        if (bytes == 1 && fill != 0 && fill != 4) v = v != 0 ? 255 : 0;
        std::memcpy(to + kWindowBorder * planes * bytes + bytes * i, &v, std::size_t(bytes));
      }
    }
    // Selections with 127 and 128 among them (none when fill is 2), counts at the ceiling.
    for (int i = 0; i < offset + n; ++i) {
      mask.push_back(fill == 2 ? 0
                               : std::array<int, 5>{0, 127, 128, 255, int(rng() % 256)}[rng() % 5]);
      counts.push_back(
          std::uint16_t(std::array<int, 5>{0, 1, 65534, 65535, int(rng() % 65536)}[rng() % 5]));
    }
    const std::uint64_t most = 60ull * 65535 * 65535;
    for (int i = 0; i < offset + n; ++i) {
      measures.push_back(
          std::array<std::uint64_t, 4>{0, rng() % 1000, rng() % most, most}[rng() % 4]);
      const float same = float(double(measures.back()));
      variances.push_back(std::array<float, 6>{0.0f, -0.0f, same, std::nextafter(same, 0.0f),
                                               float(rng() % most),
                                               float(rng() % 1000)}[rng() % 6]);
    }
    for (int i = 0; i < offset + 3 * n; ++i) colour.push_back(std::uint16_t(rng() % 32769));
    const int gap = std::array{0, 1, 2, 9, 5, 3}[(fill + offset) % 6];
    focus.assign(std::size_t(n) * 3 + offset, 0);
    covered.assign(std::size_t(n) + offset, 0);
    for (int i = 0; i < 3 * n; ++i) focus[offset + i] = Draw(fill, std::size_t(i), rng);
    for (int x = 0; x < n; ++x)
      covered[offset + x] = gap != 0 && rng() % gap == 0 ? 0 : std::uint16_t(1 + rng() % 3);
    const int s = (offset / 2 + fill + n) % 9;
    show = {
        focus.data() + offset, covered.data() + offset, n, lanes, kOffsets[s], kScales[s], 255, {}};
    for (int& b : show.background) b = int(rng() % 256);
    // Real values within the scale, beyond it and below zero; windows of every
    // kind (one column, two, many; the last column at the edge); half-way
    // weights that land on .5 after the stretch.
    for (int i = 0; i < bw * lanes + 1; ++i)
      real.push_back(rng() % 8 == 0 ? double(rng() % 3) * 0.5 * top
                                    : (double(rng() % 100000) / 100000.0 * 1.2 - 0.1) * top);
    for (int x = 0; x < bw; ++x) realCounts.push_back(gap != 0 && rng() % gap == 0 ? 0 : 1);
    background[0] = double(rng() % 300), background[1] = top * 0.75, background[2] = -3.0;
    for (int x = 0; x < n; ++x) {
      const int first = int(rng() % std::uint32_t(bw));
      const double t = rng() % 4 == 0 ? 0.5 : double(rng() % 1000) / 1000.0;
      enlarge.push_back({first, std::min(first + 1, bw - 1), t, 0.0});
      const int last = std::min(bw - 1, first + int(rng() % 4));
      reduce.push_back({first, last, 1.0 - double(rng() % 1000) / 1000.0, t});
    }
    for (int i = 0; i < n * lanes; ++i) {
      row.push_back(std::int32_t(rng() % std::uint32_t(top + 1)));
      acc.push_back(float(rng() % 100000) / 7.0f);
    }
    weight = double(rng() % 1000) / 999.0;
    inverse = 1.0 / (0.25 + double(rng() % 100) / 40.0);
  }
};

// What every kernel of a table makes of a case, by kernel.
using Outputs = std::map<std::string, std::vector<std::int64_t>>;

template <typename Values>
void Put(Outputs* out, const std::string& name, const Values& values) {
  for (auto v : values)  // floats by their bits
    if constexpr (std::is_same_v<decltype(v), float>)
      (*out)[name].push_back(std::bit_cast<std::uint32_t>(v));
    else
      (*out)[name].push_back(std::int64_t(v));
}

Outputs RunAll(const FocusKernels& k, const Case& c) {
  Outputs out;
  const int n = c.n, o = c.offset;
  const std::uint16_t* rows[kWindowRows];
  for (int r = 0; r < kWindowRows; ++r) rows[r] = c.window[r].data() + o;
  // As Add calls them: told whether the five rows are free of samples above
  // 32768, as checked one row at a time (the fills include rows that are not).
  bool narrow = true;
  for (int r = 0; r < kWindowRows; ++r)
    narrow = narrow && !AnySampleAbove32768(rows[r], std::size_t(n + 2 * kWindowBorder) * 3);
  std::vector<std::uint64_t> measures(std::size_t(n) + 1, 7);
  if (n > 0) k.measureRow(rows, n, narrow, measures.data());
  Put(&out, "measure", measures);
  for (int layout = 0; layout < 3; ++layout) {
    std::vector<std::uint16_t> r = c.packed[layout];
    if (layout < 2) k.widenRow8(r.data() + o, n, layout == 0 ? 1 : 3);
    if (layout == 2) k.widenGreyRow16(r.data() + o, n);
    Put(&out, "widen " + std::to_string(layout), r);
  }
  std::vector<std::uint16_t> counts = c.counts;
  const bool changed = k.countRow(c.mask.data() + o, counts.data() + o, n);
  Put(&out, "count", counts);
  Put(&out, "count changed", std::vector<std::int64_t>{changed});
  std::vector<float> variances = c.variances;
  std::vector<std::uint16_t> focus = c.focus;
  const bool merged = k.mergeRow(c.mask.data() + o, c.measures.data() + o, c.colour.data() + o,
                                 variances.data() + o, focus.data() + o, n);
  Put(&out, "merge measures", variances);
  Put(&out, "merge colours", focus);
  Put(&out, "merge changed", std::vector<std::int64_t>{merged});
  for (bool started : {false, true}) {
    ShowRange r;
    if (started) r = ShowRange{true, 3000, 3001, 9000, 9003};
    k.rangeRow(c.focus.data() + o, c.covered.data() + o, n, &r);
    Put(&out, "range " + std::to_string(started),
        std::vector<std::int64_t>{r.any, r.lo, r.hi, r.sumLo, r.sumHi});
  }
  std::vector<std::uint8_t> show8(std::size_t(n) * c.lanes + 1, 0xAA);
  k.showRow8(c.show, show8.data());
  ShowRowArgs wide = c.show;
  wide.top = 32768;
  for (int& b : wide.background) b = int(b * 128.5);
  std::vector<std::uint16_t> show16(show8.size(), 0xAAAA);
  k.showRow16(wide, show16.data());
  Put(&out, "show 8", show8);
  Put(&out, "show 16", show16);
  if (n == 0) return out;
  for (const auto* columns : {&c.enlarge, &c.reduce}) {
    const ResampleRowArgs args{c.real.data(), c.realCounts.data(), columns->data(), n, c.lanes,
                               c.top,         c.background};
    std::vector<std::int32_t> across(std::size_t(n) * c.lanes + 1, -7);
    (columns == &c.enlarge ? k.enlargeRow : k.reduceRow)(args, across.data());
    across.pop_back();  // the value after the row is the kernels' to write
    Put(&out, columns == &c.enlarge ? "enlarge" : "reduce", across);
  }
  std::vector<float> acc = c.acc;
  const auto values = std::int32_t(acc.size());
  k.blendRow(acc.data(), c.row.data(), values, c.weight);
  Put(&out, "blend", acc);
  std::vector<std::uint8_t> finish8(acc.size());
  std::vector<std::uint16_t> finish16(acc.size());
  if (c.top == 255) k.finishRow8(acc.data(), values, c.inverse, c.top, finish8.data());
  if (c.top != 255) k.finishRow16(acc.data(), values, c.inverse, c.top, finish16.data());
  Put(&out, "finish 8", finish8);
  Put(&out, "finish 16", finish16);
  return out;
}

class KernelTest : public ::testing::TestWithParam<cpu::Isa> {};

TEST_P(KernelTest, EveryKernelMatchesTheScalarTableOnEveryLengthAlignmentAndFill) {
  const FocusKernels* vector = FocusKernelsFor(GetParam());
  if (vector == nullptr)
    GTEST_SKIP() << cpu::IsaName(GetParam()) << " kernels not built or not run by this processor";
  ASSERT_EQ(GetParam(), vector->isa);
  std::mt19937 rng(1234);
  for (int n = 0; n <= kMaxWidth; ++n)
    for (int offset = 0; offset < kAlignments; ++offset)
      for (int fill = 0; fill < kFills; ++fill) {
        const Case c(n, offset, fill, rng);
        const Outputs want = RunAll(*ScalarFocusKernels(), c), got = RunAll(*vector, c);
        for (const auto& [kernel, values] : want)
          ASSERT_EQ(values, got.at(kernel))
              << kernel << ": n " << n << " offset " << offset << " fill " << fill;
      }
}

INSTANTIATE_TEST_SUITE_P(Isa, KernelTest, ::testing::ValuesIn(kVectorIsas),
                         [](const auto& i) { return std::string(cpu::IsaName(i.param)); });

// The widest table this processor runs is in use (the tables in ascending
// order, one family built); every x86-64 processor runs SSE2's, so the vector
// tests cannot all skip unseen.
TEST(KernelChoice, TheWidestTableThisProcessorRunsIsInUse) {
  cpu::Isa widest = cpu::Isa::kScalar;
  for (cpu::Isa isa : kVectorIsas)
    if (FocusKernelsFor(isa) != nullptr) widest = isa;
  EXPECT_EQ(widest, ActiveFocusKernels().isa);
#if defined(__x86_64__)
  EXPECT_NE(nullptr, FocusKernelsFor(cpu::Isa::kSse2));
#endif
}

}  // namespace
