// "Show Buffer Contents": the composite after Adds against the whole-picture
// reference, the stretch and its constants, the background, the two messages,
// resampling against small hand-computed cases, cancels and failures.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <tuple>

#include "focus_fixture.h"
#include "reference.h"

namespace focustest {
namespace {

constexpr char kNoBuffer[] =
    "You must add images into the buffer before their average can be shown.";

class ShowTest : public FocusTest {};

// A buffer given pixel by pixel: values[y][x] = {c0, c1, c2}, a count of 0
// marking an uncovered pixel.
struct Pixel {
  std::uint16_t c0, c1, c2, count;
};
BufferSet MakeBuffer(const std::vector<std::vector<Pixel>>& rows) {
  BufferSet set;
  set.Resize(int(rows[0].size()), int(rows.size()));
  for (int y = 0; y < set.height; ++y) {
    for (int x = 0; x < set.width; ++x) {
      const Pixel& p = rows[y][x];
      const std::size_t i = set.Index(x, y);
      set.focus[i * 3] = p.c0;
      set.focus[i * 3 + 1] = p.c1;
      set.focus[i * 3 + 2] = p.c2;
      set.count[i] = p.count;
      set.variance[i] = 1.0f;
    }
  }
  return set;
}

// Shows the current buffer on a picture of the given shape (initially all
// `fill`) and returns what was written.
Picture ShowOn(int w, int h, int planes, int depth, std::uint8_t noDialog = 1,
               const std::uint8_t background[3] = nullptr, OSErr expected = noErr,
               std::uint16_t fill = 0) {
  Picture blank(w, h, planes, depth);
  std::fill(blank.samples.begin(), blank.samples.end(), fill);
  FilterRun run(blank);
  if (background != nullptr) run.SetBackground(background[0], background[1], background[2]);
  EXPECT_EQ(expected, run.Show(noDialog));
  return run.Result();
}

std::vector<std::uint16_t> Samples(const Picture& p) {
  return p.samples;
}

// ---------------------------------------------------------------------------
// The composite of a focus series.

class ShowModes : public ShowTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(ShowModes, CompositeOfAFocusSeriesMatchesTheReference) {
  const auto [depth, planes] = GetParam();
  const Series series = FocusSeries(41, 29, planes, depth, 4, 7);
  BufferSet expected;
  for (const Picture& p : series.pictures) {
    FilterRun run(p);
    ASSERT_EQ(noErr, run.Add());
    ReferenceAdd(&expected, p, 0, 0, p.width, p.height);
  }
  // Most pixels must come from the picture that was sharp there.
  int from_scene = 0;
  for (int y = 0; y < 29; ++y)
    for (int x = 0; x < 41; ++x)
      from_scene += expected.focus[expected.Index(x, y) * 3] == BufferSample(series.scene, x, y, 0);
  EXPECT_GT(from_scene, 41 * 29 * 9 / 10);

  const std::uint8_t background[3] = {9, 99, 199};
  // Shown on pictures of either mode: grey shows the stretched channel sums.
  for (int shown_planes : {1, 3}) {
    const Picture shown = ShowOn(41, 29, shown_planes, depth, 0, background);
    EXPECT_EQ(Samples(ReferenceShow(expected, shown_planes, depth, background)), Samples(shown))
        << shown_planes << " planes shown";
  }
  EXPECT_TRUE(Host().messages.empty());
}

TEST_P(ShowModes, OnePictureSpanningTheWholeScaleComesBackUnchanged) {
  const auto [depth, planes] = GetParam();
  Picture p = RandomPicture(23, 17, planes, depth, 3);
  p.at(0, 0, 0) = 0;
  p.at(5, 5, planes - 1) = std::uint16_t(p.max());
  {
    FilterRun run(p);
    ASSERT_EQ(noErr, run.Add());
  }
  EXPECT_EQ(p.samples, ShowOn(23, 17, planes, depth).samples);
}

TEST_P(ShowModes, AnUnderlyingSelectionOrOffsetChangesNothingShown) {
  const auto [depth, planes] = GetParam();
  BufferSet set = MakeBuffer({{{0, 0, 0, 1}, {32768, 100, 5, 1}, {7, 7, 7, 0}},
                              {{300, 200, 100, 1}, {1, 2, 3, 1}, {9, 8, 7, 1}}});
  WriteBufferSet(set);
  const Picture plain = ShowOn(3, 2, planes, depth);
  Picture blank(3, 2, planes, depth);
  FilterRun run(blank, 4, 1, 10, 10);
  run.SetMask(std::vector<std::uint8_t>(6, 0));
  ASSERT_EQ(noErr, run.Show(1));
  EXPECT_EQ(plain.samples, run.Result().samples);
}

TEST_P(ShowModes, MappedAndPositionedStoresGiveTheSameComposite) {
  using platform::test::StoreAccess;
  const auto [depth, planes] = GetParam();
  const Series series = FocusSeries(19, 13, planes, depth, 3, 17);
  std::vector<std::uint16_t> shown[2];
  std::vector<unsigned char> files[2];
  for (bool mapped : {true, false}) {
    DeleteFocusBufferSet();
    // Every store of the runs, the run's own and the buffer files, goes one way.
    platform::test::SetStoreAccess(mapped ? StoreAccess::kMapped : StoreAccess::kPositioned);
    for (const Picture& p : series.pictures) {
      FilterRun run(p);
      EXPECT_EQ(noErr, run.Add());
    }
    FilterRun run(Picture(19, 13, planes, depth));
    EXPECT_EQ(noErr, run.Show(1));
    platform::test::SetStoreAccess(StoreAccess::kSystem);
    shown[mapped] = run.Result().samples;
    for (const char* name : {"BestFocus.xxx", "BestVariance.xxx", "CountVXBuffer.xxx"}) {
      const std::vector<unsigned char> bytes = root_.Read(name);
      files[mapped].insert(files[mapped].end(), bytes.begin(), bytes.end());
    }
  }
  EXPECT_EQ(shown[0], shown[1]);
  EXPECT_FALSE(files[0].empty());
  EXPECT_EQ(files[0], files[1]);
}

INSTANTIATE_TEST_SUITE_P(DepthAndPlanes, ShowModes,
                         ::testing::Combine(::testing::Values(8, 16), ::testing::Values(1, 3)));

// ---------------------------------------------------------------------------
// Stretch constants.

TEST_F(ShowTest, KnownRangeStretchesToTheFullEightBitScale) {
  // Covered values 2570..25700: offset -2570, scale 255.49 / 23130.
  WriteBufferSet(MakeBuffer({{{2570, 2570, 2570, 1},
                              {14135, 14135, 14135, 1},
                              {25700, 25700, 25700, 1},
                              {60000, 60000, 60000, 0}}}));
  const Picture shown = ShowOn(4, 1, 3, 8);
  const float scale = 0.011045828f;  // 255.49 / 23130 in single precision
  EXPECT_EQ(scale, static_cast<float>(double(255.49f) / 23130.0));
  EXPECT_EQ(0, shown.at(0, 0, 1));
  EXPECT_EQ(127, shown.at(1, 0, 1));
  EXPECT_EQ(255, shown.at(2, 0, 1));
  EXPECT_EQ(0, shown.at(3, 0, 1));  // uncovered: the background, not the 60000
}

// Shows a buffer whose every covered value is c (so the flat scale applies)
// and returns the first output sample.
std::uint16_t ShowFlat(std::uint16_t c, int planes, int depth) {
  DeleteFocusBufferSet();
  WriteBufferSet(UniformBuffer(2, 2, c, 3));
  return ShowOn(2, 2, planes, depth).at(1, 1, 0);
}

TEST_F(ShowTest, FlatBuffersUseTheSinglePrecisionFlatScales) {
  const double colour8 = std::bit_cast<float>(0x3BFF00FFu);  // 1/128.5
  const double grey8 = std::bit_cast<float>(0x3B2A00AAu);    // 1/385.5
  const double grey16 = std::bit_cast<float>(0x3EAAAAABu);   // 1/3
  // 257 would show as 2 with exact reciprocals; the single-precision scales
  // fall just short of them.
  EXPECT_EQ(std::trunc(257 * colour8), ShowFlat(257, 3, 8));
  EXPECT_EQ(1, ShowFlat(257, 3, 8));
  EXPECT_EQ(std::trunc(771 * grey8), ShowFlat(257, 1, 8));
  EXPECT_EQ(1, ShowFlat(257, 1, 8));
  EXPECT_EQ(255, ShowFlat(32768, 3, 8));
  EXPECT_EQ(255, ShowFlat(32768, 1, 8));
  // At 16 bits a flat buffer shows its stored values unchanged.
  for (std::uint16_t c : {0, 1, 2, 3, 12345, 32767, 32768}) {
    EXPECT_EQ(c, ShowFlat(c, 3, 16)) << c;
    EXPECT_EQ(c, std::trunc(3.0 * c * grey16)) << c;
    EXPECT_EQ(c, ShowFlat(c, 1, 16)) << c;
  }
}

// ---------------------------------------------------------------------------
// Background.

TEST_F(ShowTest, UncoveredPixelsTakeTheBackgroundColour) {
  WriteBufferSet(UniformBuffer(3, 2, 1234, 0));
  const std::uint8_t white[3] = {255, 255, 255};
  const std::uint8_t colour[3] = {1, 2, 255};
  EXPECT_EQ(std::vector<std::uint16_t>(18, 32767), ShowOn(3, 2, 3, 16, 1, white).samples);
  EXPECT_EQ(std::vector<std::uint16_t>(6, 32767), ShowOn(3, 2, 1, 16, 1, white).samples);
  const Picture c16 = ShowOn(3, 2, 3, 16, 1, colour);
  EXPECT_EQ((std::vector<std::uint16_t>{128, 257, 32767}),
            (std::vector<std::uint16_t>{c16.at(2, 1, 0), c16.at(2, 1, 1), c16.at(2, 1, 2)}));
  const Picture c8 = ShowOn(3, 2, 3, 8, 1, colour);
  EXPECT_EQ((std::vector<std::uint16_t>{1, 2, 255}),
            (std::vector<std::uint16_t>{c8.at(0, 0, 0), c8.at(0, 0, 1), c8.at(0, 0, 2)}));
  // Grey pictures take byte 0.
  EXPECT_EQ(std::vector<std::uint16_t>(6, 1), ShowOn(3, 2, 1, 8, 1, colour).samples);
}

// ---------------------------------------------------------------------------
// Messages.

TEST_F(ShowTest, WithoutABufferTheMessageIsShownAndThePictureKept) {
  const Picture shown = ShowOn(4, 3, 3, 8, 0, nullptr, noErr, 77);
  EXPECT_EQ(std::vector<std::uint16_t>(36, 77), shown.samples);
  EXPECT_EQ(std::vector<std::string>{kNoBuffer}, Host().messages);
  // The message does not depend on the no-dialog flag.
  ShowOn(4, 3, 3, 16, 1, nullptr, noErr, 77);
  EXPECT_EQ(2u, Host().messages.size());
}

TEST_F(ShowTest, AnInconsistentBufferIsDeletedWhole) {
  auto expect_deleted = [&](const char* what) {
    Host().messages.clear();
    const Picture shown = ShowOn(4, 3, 1, 8, 0, nullptr, noErr, 5);
    EXPECT_EQ(std::vector<std::uint16_t>(12, 5), shown.samples) << what;
    EXPECT_EQ(std::vector<std::string>{kNoBuffer}, Host().messages) << what;
    for (const char* name : {"BestFocus.xxx", "BestVariance.xxx", "CountVXBuffer.xxx"})
      EXPECT_FALSE(root_.Exists(name)) << what << ": " << name;
  };
  WriteBufferSet(UniformBuffer(4, 3, 100, 1));
  std::filesystem::remove(root_.File("CountVXBuffer.xxx"));
  expect_deleted("no count buffer");

  WriteBufferSet(UniformBuffer(4, 3, 100, 1));
  ImageStore* store = nullptr;
  ASSERT_EQ(noErr, CreateImageStore(kCountBufferPath, true, 4, 4, 2, &store));
  CloseImageStore(store);
  expect_deleted("count buffer of another height");

  WriteBufferSet(UniformBuffer(4, 3, 100, 1));
  ASSERT_EQ(noErr, CreateImageStore(kFocusBufferPath, true, 4, 3, 4, &store));
  CloseImageStore(store);
  expect_deleted("focus elements of 4 bytes");

  WriteBufferSet(UniformBuffer(0, 0, 0, 0));
  expect_deleted("a buffer of no pixels");
}

TEST_F(ShowTest, AMissingVarianceBufferDoesNotMatterToShow) {
  WriteBufferSet(UniformBuffer(2, 2, 500, 1));
  std::filesystem::remove(root_.File("BestVariance.xxx"));
  EXPECT_EQ(std::vector<std::uint16_t>(12, 500), ShowOn(2, 2, 3, 16).samples);
  EXPECT_TRUE(Host().messages.empty());
}

TEST_F(ShowTest, SizeNoticeNamesTheBufferSizeUnlessNoDialogIsAsked) {
  BufferSet set = UniformBuffer(640, 480, 0, 1);
  std::mt19937 rng(5);
  for (auto& c : set.focus) c = std::uint16_t(rng() % 32769);
  for (std::size_t i = 0; i < set.count.size(); i += 7) set.count[i] = 0;
  WriteBufferSet(set);

  const Picture with_notice = ShowOn(320, 240, 3, 16, 0);
  EXPECT_EQ(std::vector<std::string>{"The size of the averaging buffer is (640 x 480) pixels.  "
                                     "Use that for best results."},
            Host().messages);
  Host().messages.clear();
  const Picture silent = ShowOn(320, 240, 3, 16, 1);
  EXPECT_TRUE(Host().messages.empty());
  EXPECT_EQ(with_notice.samples, silent.samples);

  // Where the 2 x 2 block is wholly covered, the output is its mean up to the
  // truncation after each axis.
  float lo = 1e9f, hi = -1e9f;
  for (std::size_t i = 0; i < set.count.size(); ++i) {
    if (set.count[i] == 0) continue;
    for (int k = 0; k < 3; ++k) {
      lo = std::min(lo, float(set.focus[i * 3 + k]));
      hi = std::max(hi, float(set.focus[i * 3 + k]));
    }
  }
  const double scale = static_cast<float>(double(32768.49f) / (double(hi) - double(lo)));
  int checked = 0;
  for (int y = 0; y < 240; ++y) {
    for (int x = 0; x < 320; ++x) {
      const std::size_t block[4] = {set.Index(2 * x, 2 * y), set.Index(2 * x + 1, 2 * y),
                                    set.Index(2 * x, 2 * y + 1), set.Index(2 * x + 1, 2 * y + 1)};
      if (std::any_of(block, block + 4, [&](std::size_t i) { return set.count[i] == 0; })) continue;
      for (int k = 0; k < 3; ++k) {
        double mean = 0.0;
        for (std::size_t i : block) mean += (set.focus[i * 3 + k] - lo) * scale / 4.0;
        ASSERT_NEAR(mean - 1.0, silent.at(x, y, k), 1.2) << x << "," << y << "," << k;
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 320 * 240 / 3);
}

TEST_F(ShowTest, EqualSizesShowNoNotice) {
  WriteBufferSet(UniformBuffer(5, 4, 1000, 1));
  ShowOn(5, 4, 3, 8, 0);
  EXPECT_TRUE(Host().messages.empty());
}

// ---------------------------------------------------------------------------
// Resampling against small cases computed by hand (single-precision window
// ends, double-precision sums, truncation after each axis).

TEST_F(ShowTest, EnlargingAcrossInterpolatesBetweenNeighbours) {
  // p = c x s and q likewise, s = 32768.49 / 32768 in single precision:
  // trunc(p + 0.5), trunc(0.75 p + 0.25 q + 0.5), trunc(0.25 p + 0.75 q + 0.5),
  // trunc(q + 0.5); the leftmost column from the leftmost buffer column alone.
  WriteBufferSet(MakeBuffer({{{0, 20000, 32768, 1}, {32768, 5000, 12345, 1}}}));
  EXPECT_EQ((std::vector<std::uint16_t>{0, 20000, 32768, 8192, 16250, 27663, 24576, 8750, 17451,
                                        32768, 5000, 12345}),
            ShowOn(4, 1, 3, 16).samples);
}

TEST_F(ShowTest, EnlargingDownBlendsRowsThroughTheClampedWindow) {
  // Rows a, trunc(0.75 a + 0.25 b), trunc(0.25 a + 0.75 b); the last row's
  // window is cut at the buffer's end (weight 0.74999) and truncates to b - 1
  // in the third channel.
  WriteBufferSet(MakeBuffer({{{0, 20000, 32768, 1}}, {{32768, 5000, 12345, 1}}}));
  EXPECT_EQ((std::vector<std::uint16_t>{0, 20000, 32768, 8192, 16250, 27662, 24576, 8750, 17450,
                                        32768, 5000, 12344}),
            ShowOn(1, 4, 3, 16).samples);
}

TEST_F(ShowTest, EnlargingUsesTheBackgroundForAnUncoveredNeighbour) {
  // Flat buffer (scale 1): p = 1000; q = background x 128.5 = 12850, 0,
  // 32767.5. Column 3 has only the uncovered pixel: trunc(q).
  WriteBufferSet(MakeBuffer({{{1000, 1000, 1000, 1}, {0, 0, 0, 0}}}));
  const std::uint8_t background[3] = {100, 0, 255};
  EXPECT_EQ((std::vector<std::uint16_t>{1000, 1000, 1000, 3963, 750, 8942, 9888, 250, 24826, 12850,
                                        0, 32767}),
            ShowOn(4, 1, 3, 16, 1, background).samples);
}

TEST_F(ShowTest, ReducingByTwoAveragesEachBlock) {
  // Columns weigh 1 and 0.99998, rows likewise; (0 + 300)/2 and (10 + 40)/2
  // give 150 and 25, their mean 87.5 -> 87, and so on.
  WriteBufferSet(
      MakeBuffer({{{0, 100, 200, 1}, {300, 400, 500, 1}, {32768, 1000, 2000, 1}, {7, 8, 9, 1}},
                  {{10, 20, 30, 1}, {40, 50, 60, 1}, {70, 80, 90, 1}, {100, 110, 120, 1}}}));
  EXPECT_EQ((std::vector<std::uint16_t>{87, 142, 197, 8236, 299, 554}),
            ShowOn(2, 1, 3, 16).samples);
}

TEST_F(ShowTest, ReducingSkipsUncoveredPixelsAndWeighsPartialColumns) {
  // Grey sums 6000, 1800, 60000 stretch to 18.44, 0, 255.49. Three columns
  // onto two: windows [0, 1.499985] and [1.5, 2.999985].
  WriteBufferSet(
      MakeBuffer({{{1000, 2000, 3000, 1}, {500, 600, 700, 1}, {30000, 20000, 10000, 1}}}));
  EXPECT_EQ((std::vector<std::uint16_t>{12, 170}), ShowOn(2, 1, 1, 8).samples);
  // With the middle pixel uncovered, each window holds one covered pixel.
  WriteBufferSet(
      MakeBuffer({{{1000, 2000, 3000, 1}, {500, 600, 700, 0}, {30000, 20000, 10000, 1}}}));
  EXPECT_EQ((std::vector<std::uint16_t>{0, 255}), ShowOn(2, 1, 1, 8).samples);
  // A window of uncovered pixels only shows the background.
  WriteBufferSet(
      MakeBuffer({{{1000, 2000, 3000, 0}, {500, 600, 700, 0}, {30000, 20000, 10000, 1}}}));
  // (The one covered pixel makes the buffer flat: 60000 x 1/385.5.)
  const std::uint8_t background[3] = {77, 1, 1};
  EXPECT_EQ((std::vector<std::uint16_t>{77, 155}), ShowOn(2, 1, 1, 8, 1, background).samples);
}

TEST_F(ShowTest, MixedAxesReduceOneWayAndEnlargeTheOther) {
  const std::uint8_t background[3] = {10, 20, 30};
  // 4 x 2 onto 2 x 4, 8-bit colour, one uncovered pixel.
  WriteBufferSet(MakeBuffer(
      {{{0, 0, 0, 1}, {32768, 16384, 0, 1}, {1000, 2000, 3000, 1}, {4000, 5000, 6000, 1}},
       {{100, 200, 300, 1}, {0, 0, 0, 0}, {8000, 9000, 10000, 1}, {20000, 25000, 30000, 1}}}));
  EXPECT_EQ((std::vector<std::uint16_t>{127, 63, 0, 19, 27,  35,  95, 47, 0, 41,  53,  65,
                                        31,  16, 1, 86, 105, 125, 0,  1,  2, 109, 132, 155}),
            ShowOn(2, 4, 3, 8, 1, background).samples);
  // 2 x 4 onto 4 x 2, 16-bit grey.
  const std::uint8_t grey_background[3] = {200, 0, 0};
  WriteBufferSet(MakeBuffer({{{0, 0, 0, 1}, {300, 300, 300, 1}},
                             {{32768, 32768, 32768, 1}, {1000, 2000, 3000, 1}},
                             {{5, 6, 7, 1}, {0, 0, 0, 0}},
                             {{100, 100, 100, 1}, {9000, 9000, 9000, 1}}}));
  EXPECT_EQ((std::vector<std::uint16_t>{16383, 12575, 4958, 1149, 52, 4377, 13026, 17350}),
            ShowOn(4, 2, 1, 16, 1, grey_background).samples);
}

TEST_F(ShowTest, LargeBuffersNeverReadBeyondTheirLastRowOrColumn) {
  // 600 x 600 onto 300 x 300. Beyond 512 the window end 599.99999 rounds to
  // 600 in single precision: the last output pixel still takes columns and
  // rows 598 and 599 alone, each at weight 1.
  BufferSet set = UniformBuffer(600, 600, 0, 1);
  for (int y = 0; y < 600; ++y) {
    for (int x = 0; x < 600; ++x) {
      const std::uint16_t v = x == 599 ? 2000 : x == 598 ? 1001 : x == 0 ? 32768 : 0;
      for (int k = 0; k < 3; ++k) set.focus[set.Index(x, y) * 3 + k] = v;
    }
  }
  WriteBufferSet(set);
  const Picture shown = ShowOn(300, 300, 3, 16);
  // (1001 + 2000) x s / 2 with s = 32768.49 / 32768.
  const double s = static_cast<float>(double(32768.49f) / 32768.0);
  const std::uint16_t expected = std::uint16_t(std::trunc((1001 * s + 2000 * s) / 2.0));
  EXPECT_EQ(1500, expected);
  // From row 256 on the rows weigh 1 and 1 as well; above, the second row's
  // 0.99998 may cost one in the truncation.
  for (int y = 0; y < 300; ++y) {
    ASSERT_LE(shown.at(299, y, 0), expected) << y;
    ASSERT_GE(shown.at(299, y, 0), y < 256 ? expected - 1 : expected) << y;
  }
  EXPECT_EQ(expected, shown.at(299, 299, 2));
}

TEST_F(ShowTest, EqualHeightsKeepEachRowBeyondRow256) {
  // Widths differ, heights agree: output row y is buffer row y alone, also
  // where y + 0.99999 rounds up to y + 1 in single precision.
  BufferSet set = UniformBuffer(4, 300, 0, 1);
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 4; ++x)
      for (int k = 0; k < 3; ++k) set.focus[set.Index(x, y) * 3 + k] = std::uint16_t(y * 100);
  WriteBufferSet(set);
  const Picture shown = ShowOn(2, 300, 3, 16);
  const Picture direct = ShowOn(4, 300, 3, 16);
  for (int y = 0; y < 300; ++y) ASSERT_EQ(direct.at(0, y, 0), shown.at(0, y, 0)) << y;
}

// ---------------------------------------------------------------------------
// Progress, cancels, failures.

TEST_F(ShowTest, ProgressCoversTheRangeAndTheWritingPass) {
  WriteBufferSet(UniformBuffer(3, 6, 100, 1));
  ShowOn(3, 4, 1, 8);
  // Range pass: buffer rows 0..5 as (r, 8); writing pass: (4 + y, 8); the
  // host sees (8 + 4 x done, 48).
  std::vector<std::pair<std::int32_t, std::int32_t>> expected;
  for (int r = 0; r < 6; ++r) expected.emplace_back(8 + 4 * r, 48);
  for (int y = 0; y < 4; ++y) expected.emplace_back(8 + 4 * (4 + y), 48);
  EXPECT_EQ(expected, Host().progress);
  EXPECT_EQ(10, Host().abortCalls);
}

TEST_F(ShowTest, CancelInTheRangePassLeavesThePictureUnchanged) {
  WriteBufferSet(UniformBuffer(3, 5, 100, 1));
  Host().abortAtCall = 4;
  const Picture shown = ShowOn(3, 5, 3, 8, 1, nullptr, userCanceledErr, 42);
  EXPECT_EQ(std::vector<std::uint16_t>(45, 42), shown.samples);
  EXPECT_TRUE(root_.Exists("BestFocus.xxx"));
}

TEST_F(ShowTest, CancelInTheWritingPassKeepsTheRowsWrittenBeforeIt) {
  BufferSet set = UniformBuffer(3, 5, 0, 1);
  for (std::size_t i = 0; i < set.focus.size(); ++i) set.focus[i] = std::uint16_t(i * 500);
  WriteBufferSet(set);
  for (bool resample : {false, true}) {
    const int w = resample ? 2 : 3;
    const Picture complete = ShowOn(w, 5, 3, 16, 1, nullptr, noErr, 42);
    Host().abortCalls = 0;
    Host().abortAtCall = 5 + 2 + 1;  // five range rows, then writing rows 0 and 1
    const Picture cut = ShowOn(w, 5, 3, 16, 1, nullptr, userCanceledErr, 42);
    Host().abortAtCall = -1;
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < w; ++x)
        EXPECT_EQ(y < 2 ? complete.at(x, y, 1) : 42, cut.at(x, y, 1)) << resample << " " << y;
  }
}

TEST_F(ShowTest, WithoutWorkingRowsShowEndsOutOfMemory) {
  WriteBufferSet(UniformBuffer(3, 2, 100, 1));
  focus::test::SetWorkingRowsRefused(true);
  const Picture shown = ShowOn(3, 2, 3, 8, 1, nullptr, memFullErr, 42);
  focus::test::SetWorkingRowsRefused(false);
  EXPECT_EQ(std::vector<std::uint16_t>(18, 42), shown.samples);
}

TEST_F(ShowTest, ABufferFileThatCannotBeOpenedIsReportedAndNothingWritten) {
  WriteBufferSet(UniformBuffer(3, 2, 100, 1));
  // The focus buffer, then the count buffer, after their headers were read.
  for (int which = 0; which < 2; ++which) {
    Picture blank(3, 2, 3, 8);
    std::fill(blank.samples.begin(), blank.samples.end(), std::uint16_t(42));
    FilterRun run(blank);
    FailOpenOfBufferStore(which, {kFocusBufferPath, kCountBufferPath});
    EXPECT_EQ(ioErr, run.Show(1)) << which;
    EXPECT_EQ(1, platform::test::FaultsFired(platform::test::Operation::kOpen)) << which;
    platform::test::ClearFaults();
    EXPECT_EQ(std::vector<std::uint16_t>(18, 42), run.Result().samples) << which;
  }
  EXPECT_TRUE(root_.Exists("CountVXBuffer.xxx"));
}

}  // namespace
}  // namespace focustest
