// "Add To Buffer": the buffer files after one or more Adds, compared with the
// whole-picture reference, and the set's life cycle (creation, growth,
// validity, cancellation, memory shortage).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <tuple>

#include "focus_fixture.h"
#include "reference.h"

namespace focustest {
namespace {

class AddTest : public FocusTest {};

// Adds every picture (each a whole image at 0, 0) and checks the files against
// the reference after each Add.
void AddSeriesAndCompare(const std::vector<Picture>& pictures) {
  BufferSet expected;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const Picture& p = pictures[i];
    FilterRun run(p);
    ASSERT_EQ(noErr, run.Add()) << "picture " << i;
    // The picture itself is only read.
    ASSERT_EQ(p.samples, run.Result().samples) << "picture " << i;
    ReferenceAdd(&expected, p, 0, 0, p.width, p.height);
    BufferSet actual;
    ASSERT_TRUE(ReadBufferSet(&actual));
    ASSERT_TRUE(actual == expected) << "picture " << i;
  }
}

// Depth and planes of every picture of a test.
class AddModes : public AddTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(AddModes, FocusSeriesMatchesReferenceAfterEveryAdd) {
  const auto [depth, planes] = GetParam();
  Series series = FocusSeries(37, 23, planes, depth, 3, 11);
  // An identical repeat, and a flat picture (measure 0 everywhere).
  series.pictures.push_back(series.pictures[1]);
  Picture flat(37, 23, planes, depth);
  std::fill(flat.samples.begin(), flat.samples.end(), std::uint16_t(depth == 8 ? 90 : 9000));
  series.pictures.push_back(flat);
  AddSeriesAndCompare(series.pictures);
}

TEST_P(AddModes, PicturesOfOtherSizesGrowTheSetAndKeepTheirPlace) {
  const auto [depth, planes] = GetParam();
  AddSeriesAndCompare(
      {RandomPicture(20, 15, planes, depth, 1), RandomPicture(30, 10, planes, depth, 2),
       RandomPicture(12, 8, planes, depth, 3), RandomPicture(31, 16, planes, depth, 4)});
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_EQ(31, set.width);
  EXPECT_EQ(16, set.height);
}

TEST_P(AddModes, RectangleWithSelectionTouchesOnlySelectedPixelsAtItsPlace) {
  const auto [depth, planes] = GetParam();
  BufferSet expected;
  const Picture whole = RandomPicture(40, 30, planes, depth, 5);
  {
    FilterRun run(whole);
    ASSERT_EQ(noErr, run.Add());
    ReferenceAdd(&expected, whole, 0, 0, 40, 30);
  }
  // A 20 x 12 rectangle at (5, 7) of a 40 x 30 image, about half selected.
  const Picture part = RandomPicture(20, 12, planes, depth, 6);
  std::vector<std::uint8_t> mask(20 * 12);
  std::mt19937 rng(7);
  for (auto& m : mask) m = std::uint8_t(rng() % 256);
  FilterRun run(part, 5, 7, 40, 30);
  run.SetMask(mask);
  ASSERT_EQ(noErr, run.Add());
  ReferenceAdd(&expected, part, 5, 7, 40, 30, mask);
  BufferSet actual;
  ASSERT_TRUE(ReadBufferSet(&actual));
  EXPECT_TRUE(actual == expected);
}

TEST_P(AddModes, OneRowAndOneColumnRectanglesRepeatTheirOnlyRowOrColumn) {
  const auto [depth, planes] = GetParam();
  AddSeriesAndCompare({RandomPicture(9, 1, planes, depth, 8), RandomPicture(1, 7, planes, depth, 9),
                       RandomPicture(2, 2, planes, depth, 10)});
}

INSTANTIATE_TEST_SUITE_P(DepthAndPlanes, AddModes,
                         ::testing::Combine(::testing::Values(8, 16), ::testing::Values(1, 3)));

// Adds the pictures into a fresh set and returns the files' content.
BufferSet AddFresh(const std::vector<Picture>& pictures) {
  DeleteFocusBufferSet();
  for (const Picture& p : pictures) {
    FilterRun run(p);
    EXPECT_EQ(noErr, run.Add());
  }
  BufferSet set;
  EXPECT_TRUE(ReadBufferSet(&set));
  return set;
}

TEST_F(AddTest, EightBitAndSixteenBitRoutesGiveTheSameSet) {
  for (int planes : {1, 3}) {
    const Series s = FocusSeries(25, 19, planes, 8, 2, 21);
    std::vector<Picture> wide;
    for (const Picture& p : s.pictures) wide.push_back(Widened(p));
    const BufferSet from8 = AddFresh(s.pictures);
    const BufferSet from16 = AddFresh(wide);
    EXPECT_TRUE(from8 == from16) << planes << " planes";
    EXPECT_EQ(s.pictures.size(), from8.count[0]);
  }
}

TEST_F(AddTest, GreyPictureFillsTheSetLikeRgbWithThreeEqualChannels) {
  for (int depth : {8, 16}) {
    const Series s = FocusSeries(21, 17, 1, depth, 2, 31);
    std::vector<Picture> rgb;
    for (const Picture& p : s.pictures) rgb.push_back(AsRgb(p));
    EXPECT_TRUE(AddFresh(s.pictures) == AddFresh(rgb)) << depth << " bits";
  }
}

TEST_F(AddTest, FirstAddCreatesTheThreeFilesAtTheImageSize) {
  Picture p = RandomPicture(640, 480, 1, 8, 41);
  FilterRun run(p);
  ASSERT_EQ(noErr, run.Add());
  EXPECT_EQ(1843206u, std::filesystem::file_size(root_.File("BestFocus.xxx")));
  EXPECT_EQ(1228806u, std::filesystem::file_size(root_.File("BestVariance.xxx")));
  EXPECT_EQ(614406u, std::filesystem::file_size(root_.File("CountVXBuffer.xxx")));
  std::int16_t w = 0, h = 0;
  EXPECT_TRUE(CheckFocusBufferSet(&w, &h));
  EXPECT_EQ(640, w);
  EXPECT_EQ(480, h);
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_TRUE(std::all_of(set.count.begin(), set.count.end(), [](auto c) { return c == 1; }));
}

TEST_F(AddTest, SetGrowsTo800By480AndTheFirstPictureKeepsItsColumns) {
  BufferSet expected;
  const Picture first = RandomPicture(640, 480, 3, 8, 42);
  const Picture second = RandomPicture(800, 400, 3, 8, 43);
  {
    FilterRun run(first);
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet before;
  ASSERT_TRUE(ReadBufferSet(&before));
  {
    FilterRun run(second);
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet after;
  ASSERT_TRUE(ReadBufferSet(&after));
  ASSERT_EQ(800, after.width);
  ASSERT_EQ(480, after.height);
  // Rows 400..479 lie outside the second picture: they are the first's alone.
  for (int y = 400; y < 480; ++y) {
    for (int x = 0; x < 800; ++x) {
      const std::size_t i = after.Index(x, y);
      if (x < 640) {
        ASSERT_EQ(before.count[before.Index(x, y)], after.count[i]);
        ASSERT_EQ(before.focus[before.Index(x, y) * 3], after.focus[i * 3]);
      } else {
        ASSERT_EQ(0u, after.count[i]);
        ASSERT_EQ(0.0f, after.variance[i]);
      }
    }
  }
  EXPECT_EQ(2u, after.count[after.Index(639, 399)]);
  EXPECT_EQ(1u, after.count[after.Index(640, 0)]);
}

TEST_F(AddTest, WhiteGreyPixelIsStoredAs32768InAllThreeChannels) {
  Picture p(5, 5, 1, 8);
  p.at(2, 2) = 255;
  FilterRun run(p);
  ASSERT_EQ(noErr, run.Add());
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  const std::size_t centre = set.Index(2, 2);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(32768u, set.focus[centre * 3 + k]);
  // Twenty neighbours differ by 32768 in each channel: 60 x 2^30, held
  // exactly; summing in 32-bit groups would wrap this to 0.
  EXPECT_EQ(60.0f * 1073741824.0f, set.variance[centre]);
}

TEST_F(AddTest, EqualMeasuresKeepTheEarlierPictureAndZeroAlwaysGivesWay) {
  // Two flat pictures: measure 0 everywhere, so the second replaces the first.
  Picture dark(6, 4, 3, 16), light(6, 4, 3, 16);
  std::fill(dark.samples.begin(), dark.samples.end(), std::uint16_t(100));
  std::fill(light.samples.begin(), light.samples.end(), std::uint16_t(200));
  for (const Picture* p : {&dark, &light}) {
    FilterRun run(*p);
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_EQ(200u, set.focus[0]);
  EXPECT_EQ(2u, set.count[0]);

  // A textured picture, then the same picture with its colours changed but
  // its differences kept: equal measures, the earlier one stays.
  // Samples below 200 keep every measure under 2^24, so the stored float is
  // the measure itself (a rounded-down store would let an equal one win).
  Picture textured = RandomPicture(6, 4, 3, 16, 50);
  for (auto& s : textured.samples) s = std::uint16_t(s % 200);
  Picture shifted = textured;
  for (auto& s : shifted.samples) s = std::uint16_t(s + 1000);
  for (const Picture* p : {&textured, &shifted}) {
    FilterRun run(*p);
    ASSERT_EQ(noErr, run.Add());
  }
  ASSERT_TRUE(ReadBufferSet(&set));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(textured.at(x, y, 0), set.focus[set.Index(x, y) * 3]);
}

TEST_F(AddTest, AnIncompleteOrDamagedSetIsDiscardedWhole) {
  const Picture p = RandomPicture(8, 6, 1, 8, 60);
  auto add = [&] {
    FilterRun run(p);
    ASSERT_EQ(noErr, run.Add());
  };
  add();
  add();
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  ASSERT_EQ(2u, set.count[0]);

  std::filesystem::remove(root_.File("BestVariance.xxx"));
  add();
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_EQ(1u, set.count[0]);

  // A focus file of another element size.
  ImageStore* store = nullptr;
  ASSERT_EQ(noErr, CreateImageStore(kFocusBufferPath, true, 8, 6, 4, &store));
  CloseImageStore(store);
  add();
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_EQ(1u, set.count[0]);

  // A set of zero size (headers only) is no set: a fresh one replaces it.
  DeleteFocusBufferSet();
  for (auto [path, element] :
       {std::pair{kCountBufferPath, 2}, {kVarianceBufferPath, 4}, {kFocusBufferPath, 6}}) {
    ASSERT_EQ(noErr, CreateImageStore(path, true, 0, 0, std::int16_t(element), &store));
    CloseImageStore(store);
  }
  add();
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_EQ(8, set.width);
  EXPECT_EQ(1u, set.count[0]);
}

TEST_F(AddTest, AFailedEnlargementEndsTheAddWithItsStatusAndCountsNothing) {
  {
    FilterRun run(RandomPicture(4, 3, 3, 8, 65));
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet before;
  ASSERT_TRUE(ReadBufferSet(&before));
  Host().progress.clear();
  {
    FilterRun run(RandomPicture(6, 3, 3, 8, 66));
    // The disk fills while the new count file is being made.
    platform::test::FailNthCall(platform::test::Operation::kSetSize, 1,
                                platform::OsError::kDiskFull, 0);
    EXPECT_EQ(dskFulErr, run.Add());
  }
  platform::test::ClearFaults();
  EXPECT_TRUE(Host().progress.empty());
  BufferSet after;
  ASSERT_TRUE(ReadBufferSet(&after));
  EXPECT_TRUE(after == before);
}

// The set grows all three files or none: whichever platform call of the growth
// fails, the set once recovered is wholly old or wholly grown, and the next
// Add gives the same set from either.
TEST_F(AddTest, AGrowthThatFailsAnywhereLeavesTheOldSetOrTheGrownOneWhole) {
  const Picture big = RandomPicture(6, 5, 3, 8, 67);
  {
    FilterRun run(RandomPicture(4, 3, 3, 8, 68));
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet before;
  ASSERT_TRUE(ReadBufferSet(&before));
  BufferSet grown = before;
  grown.Resize(6, 5);
  BufferSet expected = grown;
  ReferenceAdd(&expected, big, 0, 0, 6, 5);
  using platform::OsError;
  using platform::test::Operation;
  const std::pair<Operation, OsError> faults[] = {{Operation::kOpen, OsError::kOther},
                                                  {Operation::kCreate, OsError::kAccessDenied},
                                                  {Operation::kRead, OsError::kOther},
                                                  {Operation::kShortWrite, OsError::kDiskFull},
                                                  {Operation::kDiskFullWrite, OsError::kDiskFull},
                                                  {Operation::kClose, OsError::kOther},
                                                  {Operation::kDelete, OsError::kAccessDenied},
                                                  {Operation::kMove, OsError::kAccessDenied},
                                                  {Operation::kSetSize, OsError::kDiskFull}};
  int walked = 0;
  for (const auto& [op, error] : faults) {
    WriteBufferSet(before);
    platform::test::ClearFaults();
    ASSERT_EQ(noErr, GrowFocusBufferSet(6, 5));
    const int calls = platform::test::CallCount(op);
    for (int n = 1; n <= calls; ++n, ++walked) {
      SCOPED_TRACE(testing::Message() << int(op) << " call " << n);
      WriteBufferSet(before);
      platform::test::FailNthCall(op, n, error);
      const OSErr grew = GrowFocusBufferSet(6, 5);
      platform::test::ClearFaults();
      ASSERT_EQ(noErr, RecoverFocusBufferSet());
      BufferSet set;
      ASSERT_TRUE(ReadBufferSet(&set));
      EXPECT_TRUE(set == grown || (grew != noErr && set == before)) << grew;
      FilterRun run(big);
      ASSERT_EQ(noErr, run.Add());
      ASSERT_TRUE(ReadBufferSet(&set));
      EXPECT_TRUE(set == expected);
    }
  }
  EXPECT_GT(walked, 20);
}

TEST_F(AddTest, CountStopsAt65535) {
  BufferSet start = UniformBuffer(4, 3, 0, 7);
  start.count[0] = 65535;
  start.count[1] = 65534;
  WriteBufferSet(start);
  FilterRun run(RandomPicture(4, 3, 3, 8, 70));
  ASSERT_EQ(noErr, run.Add());
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_EQ(65535u, set.count[0]);
  EXPECT_EQ(65535u, set.count[1]);
  EXPECT_EQ(8u, set.count[2]);
}

TEST_F(AddTest, WithoutWorkingRowsTheSetIsLeftAsItWas) {
  const Picture p = RandomPicture(8, 6, 3, 8, 80);
  {
    FilterRun run(p);
    focus::test::SetWorkingRowsRefused(true);
    EXPECT_EQ(memFullErr, run.Add());
    focus::test::SetWorkingRowsRefused(false);
  }
  EXPECT_FALSE(root_.Exists("CountVXBuffer.xxx"));
  // A damaged set is not deleted either when the run cannot go ahead.
  WriteBufferSet(UniformBuffer(8, 6, 5, 1));
  std::filesystem::remove(root_.File("BestVariance.xxx"));
  {
    FilterRun run(p);
    focus::test::SetWorkingRowsRefused(true);
    EXPECT_EQ(memFullErr, run.Add());
    focus::test::SetWorkingRowsRefused(false);
  }
  EXPECT_TRUE(root_.Exists("CountVXBuffer.xxx"));
  EXPECT_TRUE(root_.Exists("BestFocus.xxx"));
}

TEST_F(AddTest, ReportsProgressOncePerRow) {
  FilterRun run(RandomPicture(5, 4, 1, 16, 90));
  ASSERT_EQ(noErr, run.Add());
  // (done, total) = (y, 4), seen by the host as (4 + 4 x done, 24).
  std::vector<std::pair<std::int32_t, std::int32_t>> expected;
  for (int done = 0; done < 4; ++done) expected.emplace_back(4 + 4 * done, 24);
  EXPECT_EQ(expected, Host().progress);
  EXPECT_EQ(4, Host().abortCalls);
}

// Wherever an Add stops, a cancel before any row or a write of the journal or
// of a buffer file torn at any byte, every pixel is wholly before or wholly
// after the picture (count, measure and colour) once the set is recovered; a
// cancel keeps the rows before it. In bands of one row, of three, and of all.
TEST_F(AddTest, AnInterruptedAddLeavesEveryPixelWhollyOldOrNew) {
  const Picture first = RandomPicture(9, 8, 3, 16, 120);
  const Picture second = RandomPicture(9, 8, 3, 16, 121);
  {
    FilterRun run(first);
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet before;
  ASSERT_TRUE(ReadBufferSet(&before));
  BufferSet after = before;
  ReferenceAdd(&after, second, 0, 0, 9, 8);
  // `merged` rows new and the rest old; -1: each pixel either.
  auto check = [&](int merged) {
    ASSERT_EQ(noErr, RecoverFocusBufferSet());
    BufferSet set;
    ASSERT_TRUE(ReadBufferSet(&set));
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 9; ++x) {
        const std::size_t i = set.Index(x, y);
        auto same = [&](const BufferSet& b) {
          return b.count[i] == set.count[i] && b.variance[i] == set.variance[i] &&
                 std::equal(&b.focus[3 * i], &b.focus[3 * i + 3], &set.focus[3 * i]);
        };
        if (merged < 0) {
          EXPECT_TRUE(same(before) || same(after)) << x << "," << y;
        } else {
          EXPECT_TRUE(same(y < merged ? after : before)) << x << "," << y;
        }
      }
    }
  };
  std::mt19937 random(122);
  using platform::test::StoreAccess;
  // Stores positioned or mapped; the journal mapped, or (no view at all) in
  // memory and written whole.
  for (int mode = 0; mode < 3; ++mode) {
    platform::test::SetStoreAccess(mode == 1 ? StoreAccess::kMapped : StoreAccess::kPositioned);
    platform::test::SetMappingRefused(mode == 2);
    for (int band : {1, 3, 0}) {
      SCOPED_TRACE(testing::Message() << "band " << band << " mode " << mode);
      focus::test::SetAddBandRows(band);
      for (int row = 0; row < 8; ++row) {
        WriteBufferSet(before);
        Host().abortCalls = 0;
        Host().abortAtCall = row + 1;
        FilterRun run(second);
        EXPECT_EQ(userCanceledErr, run.Add());
        check(row);
      }
      Host().abortAtCall = 0;
      WriteBufferSet(before);
      int writes = 0;
      {
        FilterRun run(second);
        platform::test::ClearFaults();
        ASSERT_EQ(noErr, run.Add());
        writes = platform::test::CallCount(platform::test::Operation::kShortWrite);
      }
      ASSERT_GT(writes, 0);
      for (int n = 1; n <= writes; ++n) {
        SCOPED_TRACE(n);
        WriteBufferSet(before);
        FilterRun run(second);
        platform::test::FailNthCall(platform::test::Operation::kShortWrite, n,
                                    platform::OsError::kDiskFull);
        platform::test::SetShortWriteShare(std::uniform_real_distribution<>(0.0, 1.0)(random));
        EXPECT_EQ(dskFulErr, run.Add());
        platform::test::ClearFaults();
        check(-1);
      }
    }
  }
  focus::test::SetAddBandRows(0);
  platform::test::SetMappingRefused(false);
  platform::test::SetStoreAccess(StoreAccess::kSystem);
}

TEST_F(AddTest, ABufferFileThatCannotBeOpenedEndsTheAddBeforeAnythingIsCounted) {
  const Picture p = RandomPicture(6, 4, 1, 8, 130);
  {
    FilterRun run(p);
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet before;
  ASSERT_TRUE(ReadBufferSet(&before));
  // The count, variance and focus files are opened in that order after the
  // set check; each is refused in turn, as if held by another opener.
  for (int which = 0; which < 3; ++which) {
    FilterRun run(p);
    FailOpenOfBufferStore(which);
    EXPECT_EQ(ioErr, run.Add()) << which;
    EXPECT_EQ(1, platform::test::FaultsFired(platform::test::Operation::kOpen)) << which;
    platform::test::ClearFaults();
    BufferSet set;
    ASSERT_TRUE(ReadBufferSet(&set));
    EXPECT_TRUE(set == before) << which;
  }
}

}  // namespace
}  // namespace focustest
