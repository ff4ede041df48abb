// Show against the reference and hand-computed resampling; the dispatcher.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <tuple>

#include "focus_fixture.h"

namespace focustest {
namespace {

constexpr char kNoBuffer[] =
    "You must add images into the buffer before their average can be shown.";

class ShowTest : public FocusTest {};

// A buffer given pixel by pixel: {c0, c1, c2, count}, count 0 uncovered.
BufferSet MakeBuffer(const std::vector<std::vector<std::array<std::uint16_t, 4>>>& rows) {
  BufferSet set = UniformBuffer(int(rows[0].size()), int(rows.size()), 0, 0);
  for (std::size_t i = 0; i < set.count.size(); ++i) {
    const auto& pixel = rows[i / std::size_t(set.width)][i % std::size_t(set.width)];
    std::copy_n(pixel.begin(), 3, &set.focus[i * 3]);
    set.count[i] = pixel[3];
  }
  return set;
}

// Shows the current buffer on a picture of the given shape, all `fill`.
Picture ShowOn(int w, int h, int planes, int depth, const std::uint8_t background[3] = nullptr,
               OSErr expected = noErr, std::uint16_t fill = 0, std::uint8_t noDialog = 1) {
  FilterRun run(Blank(w, h, planes, depth, fill));
  if (background != nullptr) run.SetBackground(background);
  EXPECT_EQ(expected, run.Show(noDialog));
  return run.Result();
}

class ShowModes : public ShowTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

// Buffers shown at equal sizes, mapped, positioned and without the variance file:
// known ranges, flat ones (single-precision flat scales), nothing covered, and a
// large random set.
TEST_P(ShowModes, CompositesMatchTheReference) {
  using platform::test::StoreAccess;
  const int depth = std::get<0>(GetParam()), planes = std::get<1>(GetParam());
  const std::uint8_t background[3] = {9, 99, 199};
  BufferSet random = UniformBuffer(41, 29, 0, 0);  // about a third never covered
  std::mt19937 rng(5);
  for (auto& f : random.focus) f = std::uint16_t(rng() % 32769);
  for (auto& c : random.count) c = std::uint16_t(rng() % 3);
  const BufferSet buffers[] = {
      MakeBuffer({{{2570, 2570, 2570, 1}, {14135, 14135, 14135, 1}, {25700, 25700, 25700, 1}},
                  {{60000, 60000, 60000, 0}, {0, 20000, 32768, 1}, {5, 6, 7, 1}}}),
      UniformBuffer(2, 2, 257, 3),
      UniformBuffer(2, 2, 32768, 3),
      UniformBuffer(2, 2, 1, 1),
      UniformBuffer(2, 2, 12345, 1),
      UniformBuffer(3, 2, 1234, 0),
      random};
  for (const BufferSet& set : buffers)
    for (int access = 0; access < 3; ++access) {
      WriteBufferSet(set);
      platform::test::SetStoreAccess(access == 0 ? StoreAccess::kMapped : StoreAccess::kPositioned);
      if (access == 2) std::filesystem::remove(root_.File("BestVariance.xxx"));
      EXPECT_EQ(ReferenceShow(set, planes, depth, background).data,
                ShowOn(set.width, set.height, planes, depth, background).data)
          << set.width << " " << set.focus[0] << " access " << access;
    }
  // An underlying selection or offset changes nothing shown.
  FilterRun run(Blank(41, 29, planes, depth), 4, 1, 100, 100);
  run.SetMask(std::vector<std::uint8_t>(41 * 29, 0));
  run.SetBackground(background);
  ASSERT_EQ(noErr, run.Show(1));
  EXPECT_EQ(ReferenceShow(random, planes, depth, background).data, run.Result().data);
  EXPECT_TRUE(Host().messages.empty());
}

INSTANTIATE_TEST_SUITE_P(DepthAndPlanes, ShowModes,
                         ::testing::Combine(::testing::Values(8, 16), ::testing::Values(1, 3)));

// Resampling computed by hand: single-precision window ends, double-precision
// sums, truncation after each axis, the background for uncovered neighbours.
TEST_F(ShowTest, ResamplingMatchesHandComputedCases) {
  struct Case {
    std::array<int, 7> shape;  // width, height, planes, depth, background
    BufferSet buffer;
    std::vector<std::uint16_t> expected;
  };
  const Case cases[] = {
      // Reducing by two averages each block.
      {{2, 1, 3, 16, 0, 0, 0},
       MakeBuffer({{{0, 100, 200, 1}, {300, 400, 500, 1}, {32768, 1000, 2000, 1}, {7, 8, 9, 1}},
                   {{10, 20, 30, 1}, {40, 50, 60, 1}, {70, 80, 90, 1}, {100, 110, 120, 1}}}),
       {87, 142, 197, 8236, 299, 554}},
      // Three grey columns onto two: partial weights, uncovered pixels skipped,
      // a window of uncovered pixels alone shows the background.
      {{2, 1, 1, 8, 0, 0, 0},
       MakeBuffer({{{1000, 2000, 3000, 1}, {500, 600, 700, 1}, {30000, 20000, 10000, 1}}}),
       {12, 170}},
      {{2, 1, 1, 8, 0, 0, 0},
       MakeBuffer({{{1000, 2000, 3000, 1}, {500, 600, 700, 0}, {30000, 20000, 10000, 1}}}),
       {0, 255}},
      {{2, 1, 1, 8, 77, 1, 1},
       MakeBuffer({{{1000, 2000, 3000, 0}, {500, 600, 700, 0}, {30000, 20000, 10000, 1}}}),
       {77, 155}},
      // Mixed axes, each way: enlarging weighs neighbours p (1 - t) + q t + 0.5, t from
      // single-precision positions a quarter pixel back, uncovered ones at the background.
      {{2, 4, 3, 8, 10, 20, 30},
       MakeBuffer(
           {{{0, 0, 0, 1}, {32768, 16384, 0, 1}, {1000, 2000, 3000, 1}, {4000, 5000, 6000, 1}},
            {{100, 200, 300, 1}, {0, 0, 0, 0}, {8000, 9000, 10000, 1}, {20000, 25000, 30000, 1}}}),
       {127, 63, 0, 19, 27,  35,  95, 47, 0, 41,  53,  65,
        31,  16, 1, 86, 105, 125, 0,  1,  2, 109, 132, 155}},
      {{4, 2, 1, 16, 200, 0, 0},
       MakeBuffer({{{0, 0, 0, 1}, {300, 300, 300, 1}},
                   {{32768, 32768, 32768, 1}, {1000, 2000, 3000, 1}},
                   {{5, 6, 7, 1}, {0, 0, 0, 0}},
                   {{100, 100, 100, 1}, {9000, 9000, 9000, 1}}}),
       {16383, 12575, 4958, 1149, 52, 4377, 13026, 17350}},
  };
  for (const Case& c : cases) {
    WriteBufferSet(c.buffer);
    const std::uint8_t background[3] = {std::uint8_t(c.shape[4]), std::uint8_t(c.shape[5]),
                                        std::uint8_t(c.shape[6])};
    const Picture expected =
        MakePicture(c.shape[0], c.shape[1], c.shape[2], c.shape[3],
                    [&, i = 0](int, int, int) mutable { return c.expected[i++]; });
    EXPECT_EQ(expected.data,
              ShowOn(c.shape[0], c.shape[1], c.shape[2], c.shape[3], background).data)
        << c.shape[0] << "x" << c.shape[1] << " from " << c.buffer.width << "x" << c.buffer.height;
  }
}

TEST_F(ShowTest, LargeBuffersNeverReadBeyondTheirLastRowOrColumn) {
  // 600 x 600 onto 300 x 300: beyond 512 the window end 599.99999 rounds to
  // 600 in single precision, yet the last pixel takes 598 and 599 alone.
  BufferSet set = UniformBuffer(600, 600, 0, 1);
  for (int y = 0; y < 600; ++y)
    for (auto [x, value] : {std::pair{0, 32768}, {598, 1001}, {599, 2000}})
      std::fill_n(&set.focus[set.Index(x, y) * 3], 3, value);
  WriteBufferSet(set);
  const Picture shown = ShowOn(300, 300, 3, 16);
  // (1001 + 2000) x s / 2 = 1500 with s = 32768.49 / 32768; above row 256 the
  // second row's 0.99998 may cost one in the truncation.
  for (int y = 0; y < 300; ++y)
    ASSERT_EQ(1500 - (y < 256 && shown.Get(299, y, 0) == 1499), shown.Get(299, y, 0)) << y;
  // Equal heights: output row y is buffer row y alone, also beyond row 256.
  set = UniformBuffer(4, 300, 0, 1);
  for (int y = 0; y < 300; ++y) std::fill_n(&set.focus[set.Index(0, y) * 3], 12, y * 100);
  WriteBufferSet(set);
  const Picture narrow = ShowOn(2, 300, 3, 16), direct = ShowOn(4, 300, 3, 16);
  for (int y = 0; y < 300; ++y) ASSERT_EQ(direct.Get(0, y, 0), narrow.Get(0, y, 0)) << y;
}

// No set, or one with a file missing, sizes that disagree or headers without
// pixels: Show says there is none (even without dialogs), removes it and keeps
// the picture, and Add starts again. Into an intact set counts stop at 65535.
// Other sizes are named unless there are no dialogs.
TEST_F(ShowTest, MessagesForNoDamagedOrOtherSizedSetsAndAddStartsADamagedOneAgain) {
  BufferSet start = UniformBuffer(8, 6, 5, 7);
  start.count[0] = 65535;
  start.count[1] = 65534;
  const Picture p = RandomPicture(8, 6, 1, 8, 60);
  const struct {
    bool none;  // to Show, which reads no variances
    std::function<void()> damage;
  } cases[] = {{false, [] {}},
               {true, [] { DeleteFocusBufferSet(); }},
               {false, [&] { std::filesystem::remove(root_.File("BestVariance.xxx")); }},
               {true, [&] { std::filesystem::remove(root_.File("CountVXBuffer.xxx")); }},
               // The count file a row too high, focus elements of 4 bytes, headers only.
               {true, [] { EXPECT_EQ(noErr, EnsureImageStoreSize(kCountBufferPath, 8, 7, 2)); }},
               {true, [] { EXPECT_EQ(noErr, EnsureImageStoreSize(kFocusBufferPath, 8, 6, 4)); }},
               {true, [] { WriteBufferSet(UniformBuffer(0, 0, 0, 0)); }}};
  for (const auto& [none, damage] : cases) {
    BufferSet expected = &damage == &cases[0].damage ? start : BufferSet{};
    ReferenceAdd(&expected, p, 0, 0, 8, 6);
    WriteBufferSet(start);
    damage();
    ASSERT_EQ(noErr, FilterRun(p).Add());
    EXPECT_TRUE(Stored() == expected);
    if (!none) continue;
    WriteBufferSet(start);
    damage();
    Host().messages.clear();
    EXPECT_EQ(Blank(8, 6, 1, 8, 5).data, ShowOn(8, 6, 1, 8, nullptr, noErr, 5, 1).data);
    EXPECT_EQ(std::vector<std::string>{kNoBuffer}, Host().messages);
    EXPECT_FALSE(AnyBufferFile());
  }
  WriteBufferSet(UniformBuffer(640, 480, 5, 1));
  Host().messages.clear();
  const Picture silent = ShowOn(320, 240, 3, 16);
  EXPECT_TRUE(Host().messages.empty());
  EXPECT_EQ(silent.data, ShowOn(320, 240, 3, 16, nullptr, noErr, 0, 0).data);
  EXPECT_EQ(std::vector<std::string>{"The size of the averaging buffer is (640 x 480) pixels.  "
                                     "Use that for best results."},
            Host().messages);
}

TEST_F(ShowTest, ProgressAndCancelsKeepTheRowsWrittenBeforeThem) {
  BufferSet set = UniformBuffer(3, 6, 0, 1);
  for (std::size_t i = 0; i < set.focus.size(); ++i) set.focus[i] = std::uint16_t(i * 500);
  WriteBufferSet(set);
  ShowOn(3, 4, 1, 8);
  // Range pass rows (r, 8), writing pass (4 + y, 8), seen as (8 + 4 x done, 48).
  std::vector<std::pair<std::int32_t, std::int32_t>> expected;
  for (int done : {0, 1, 2, 3, 4, 5, 4, 5, 6, 7}) expected.emplace_back(8 + 4 * done, 48);
  EXPECT_EQ(expected, Host().progress);
  EXPECT_EQ(10, Host().abortCalls);
  for (int w : {3, 2}) {
    const Picture complete = ShowOn(w, 6, 3, 16, nullptr, noErr, 42);
    // In the range pass nothing is written; in the writing pass rows 0 and 1.
    for (int at : {4, 6 + 2 + 1}) {
      Host().abortCalls = 0;
      Host().abortAtCall = at;
      const Picture cut = ShowOn(w, 6, 3, 16, nullptr, userCanceledErr, 42);
      for (int y = 0; y < 6; ++y)
        for (int x = 0; x < w; ++x)
          EXPECT_EQ(y < at - 7 ? complete.Get(x, y, 1) : 42, cut.Get(x, y, 1)) << w << " " << y;
    }
    Host().abortAtCall = -1;
  }
}

// Every other test runs Add and Show through the dispatcher; here the codes
// that choose nothing, and Clear.
TEST_F(ShowTest, DispatchIgnoresOtherCodesAndClearRemovesTheSet) {
  const Picture p = RandomPicture(11, 9, 3, 8, 8);
  FilterRun run(p);
  for (std::int32_t code : {0, 3, 7, -1}) EXPECT_EQ(noErr, run.Run(code)) << code;
  EXPECT_EQ(noErr, RunOperation16(nullptr, run.block(), nullptr, nullptr, 0));
  EXPECT_FALSE(AnyBufferFile());
  ASSERT_EQ(noErr, run.Add());
  EXPECT_EQ(p.data, run.Result().data);
  EXPECT_EQ(noErr, run.Run(kOperationClearBuffer));
  EXPECT_FALSE(AnyBufferFile());
  EXPECT_EQ(noErr, run.Run(kOperationClearBuffer));  // quiet without files
}

}  // namespace
}  // namespace focustest
