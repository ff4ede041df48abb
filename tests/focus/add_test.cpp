// Add against the whole-picture reference, and the set's life cycle.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <tuple>

#include "focus_fixture.h"

namespace focustest {
namespace {

class AddTest : public FocusTest {};

// A picture added as the rectangle at (left, top) of an image, maybe masked.
struct Added {
  Added(Picture p, int l = 0, int t = 0, int w = 0, int h = 0, std::vector<std::uint8_t> m = {})
      : picture(std::move(p)), left(l), top(t), imageWidth(w), imageHeight(h), mask(std::move(m)) {}
  Picture picture;
  int left, top, imageWidth, imageHeight;
  std::vector<std::uint8_t> mask;
};

// Adds every picture and checks the files against the reference after each.
void AddAndCompare(const std::vector<Added>& series, BufferSet* expected) {
  for (const Added& a : series) {
    const Picture& p = a.picture;
    FilterRun run(p, a.left, a.top, a.imageWidth, a.imageHeight);
    if (!a.mask.empty()) run.SetMask(a.mask);
    ASSERT_EQ(noErr, run.Add());
    ASSERT_EQ(p.samples, run.Result().samples);  // the picture is only read
    ReferenceAdd(expected, p, a.left, a.top, std::max(a.imageWidth, a.left + p.width),
                 std::max(a.imageHeight, a.top + p.height), a.mask);
    BufferSet actual;
    ASSERT_TRUE(ReadBufferSet(&actual));
    ASSERT_TRUE(actual == *expected) << p.width << "x" << p.height << " at " << a.left;
  }
}

class AddModes : public AddTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(AddModes, EveryAddMatchesTheReference) {
  const int depth = std::get<0>(GetParam()), planes = std::get<1>(GetParam());
  auto random = [&](int w, int h, std::uint32_t seed) {
    return RandomPicture(w, h, planes, depth, seed);
  };
  Picture flat(37, 23, planes, depth);  // measure 0 everywhere: gives way to anything
  std::fill(flat.samples.begin(), flat.samples.end(), std::uint16_t(depth == 8 ? 90 : 9000));
  std::vector<std::uint8_t> mask(20 * 12);
  std::mt19937 rng(7);
  for (auto& m : mask) m = std::uint8_t(rng() % 256);
  BufferSet expected;
  // Growth in either direction, sizes of one row or column, and a selected
  // rectangle inside a larger image.
  AddAndCompare({{flat},
                 {random(37, 23, 12)},
                 {random(37, 23, 12)},
                 {random(30, 10, 2)},
                 {random(12, 8, 3)},
                 {random(40, 20, 4)},
                 {random(9, 1, 8)},
                 {random(1, 7, 9)},
                 {random(20, 12, 6), 5, 7, 40, 30, mask}},
                &expected);
  EXPECT_EQ(40, expected.width);
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

TEST_F(AddTest, EightAndSixteenBitsAndGreyAndRgbGiveTheSameSet) {
  for (int planes : {1, 3}) {
    std::vector<Picture> narrow, wide, rgb;
    for (std::uint32_t seed : {21, 22}) {
      narrow.push_back(RandomPicture(25, 19, planes, 8, seed));
      wide.push_back(narrow.back());
      wide.back().depth = 16;
      for (auto& s : wide.back().samples) s = std::uint16_t((257u * s + 1u) / 2u);
      rgb.emplace_back(25, 19, 3, 8);
      for (std::size_t i = 0; i < rgb.back().samples.size(); ++i)
        rgb.back().samples[i] = narrow.back().samples[i / 3];
    }
    const BufferSet from8 = AddFresh(narrow);
    EXPECT_TRUE(from8 == AddFresh(wide)) << planes << " planes";
    if (planes == 1) {
      EXPECT_TRUE(from8 == AddFresh(rgb));
    }
  }
}

TEST_F(AddTest, FirstAddCreatesTheThreeFilesAtTheImageSize) {
  FilterRun run(RandomPicture(640, 480, 1, 8, 41));
  ASSERT_EQ(noErr, run.Add());
  EXPECT_EQ(1843206u, std::filesystem::file_size(root_.File("BestFocus.xxx")));
  EXPECT_EQ(1228806u, std::filesystem::file_size(root_.File("BestVariance.xxx")));
  EXPECT_EQ(614406u, std::filesystem::file_size(root_.File("CountVXBuffer.xxx")));
}

TEST_F(AddTest, EqualMeasuresKeepTheEarlierPicture) {
  // Equal differences, other colours. Samples below 200 keep every measure
  // under 2^24, so the stored float is the measure itself.
  Picture textured = RandomPicture(6, 4, 3, 16, 50);
  for (auto& s : textured.samples) s = std::uint16_t(s % 200);
  Picture shifted = textured;
  for (auto& s : shifted.samples) s = std::uint16_t(s + 1000);
  for (const Picture* p : {&textured, &shifted}) {
    FilterRun run(*p);
    ASSERT_EQ(noErr, run.Add());
  }
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(textured.at(x, y, 0), set.focus[set.Index(x, y) * 3]);
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
  EXPECT_EQ((std::vector<std::uint16_t>{65535, 65535, 8}),
            std::vector<std::uint16_t>(set.count.begin(), set.count.begin() + 3));
}

TEST_F(AddTest, AnIncompleteOrDamagedSetIsDiscardedWhole) {
  const Picture p = RandomPicture(8, 6, 1, 8, 60);
  const std::function<void()> damages[] = {
      [&] { std::filesystem::remove(root_.File("BestVariance.xxx")); },
      [] { CreateBlankStore(kFocusBufferPath, 8, 6, 4); },  // another element size
      [&] { WriteBufferSet(UniformBuffer(0, 0, 0, 0)); }};  // headers only
  for (const auto& damage : damages) {
    WriteBufferSet(UniformBuffer(8, 6, 5, 1));
    damage();
    FilterRun run(p);
    ASSERT_EQ(noErr, run.Add());
    BufferSet set;
    ASSERT_TRUE(ReadBufferSet(&set));
    EXPECT_EQ(8, set.width);
    EXPECT_EQ(1u, set.count[0]);
  }
}

// Whichever call of a growth fails, the recovered set is wholly old or wholly grown.
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

TEST_F(AddTest, WithoutWorkingRowsOrAnOpenableFileTheSetIsLeftAsItWas) {
  const Picture p = RandomPicture(8, 6, 3, 8, 80);
  focus::test::SetWorkingRowsRefused(true);
  {
    FilterRun run(p);
    EXPECT_EQ(memFullErr, run.Add());
  }
  EXPECT_FALSE(root_.Exists("CountVXBuffer.xxx"));
  // Nor is a damaged set deleted when the run cannot go ahead.
  WriteBufferSet(UniformBuffer(8, 6, 5, 1));
  std::filesystem::remove(root_.File("BestVariance.xxx"));
  {
    FilterRun run(p);
    EXPECT_EQ(memFullErr, run.Add());
  }
  focus::test::SetWorkingRowsRefused(false);
  EXPECT_TRUE(root_.Exists("CountVXBuffer.xxx") && root_.Exists("BestFocus.xxx"));
  // Each buffer file refused in turn, as if held by another opener.
  WriteBufferSet(UniformBuffer(8, 6, 5, 1));
  for (int which = 0; which < 3; ++which) {
    FilterRun run(p);
    FailOpenOfBufferStore(which);
    EXPECT_EQ(ioErr, run.Add()) << which;
    EXPECT_EQ(1, platform::test::FaultsFired(platform::test::Operation::kOpen)) << which;
    platform::test::ClearFaults();
    BufferSet set;
    ASSERT_TRUE(ReadBufferSet(&set));
    EXPECT_TRUE(set == UniformBuffer(8, 6, 5, 1)) << which;
  }
}

TEST_F(AddTest, ReportsProgressOncePerRow) {
  FilterRun run(RandomPicture(5, 4, 1, 16, 90));
  ASSERT_EQ(noErr, run.Add());
  // (done, total) = (y, 4), seen by the host as (4 + 4 x done, 24).
  EXPECT_EQ(
      (std::vector<std::pair<std::int32_t, std::int32_t>>{{4, 24}, {8, 24}, {12, 24}, {16, 24}}),
      Host().progress);
  EXPECT_EQ(4, Host().abortCalls);
}

// A cancel keeps the rows before it; a write torn anywhere leaves each pixel old or new.
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
  // Positioned, mapped, and no view at all (the journal in memory).
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

}  // namespace
}  // namespace focustest
