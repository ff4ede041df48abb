// Add against the whole-picture reference, and interrupted or starved Adds.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <tuple>

#include "focus_fixture.h"

namespace focustest {
namespace {

class AddTest : public FocusTest {};

// A picture added as the rectangle at (left, top) of an image, maybe masked.
struct Added {
  Picture picture;
  int left = 0, top = 0, imageWidth = 0, imageHeight = 0;
  std::vector<std::uint8_t> mask = {};
};

class AddModes : public AddTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

// Measures, colours and counts against the reference: growth either way, one row or
// column, a selection (127 and 128 among it) in a larger image, equal measures in
// other colours (the earlier picture keeps the pixel), files of the element sizes.
TEST_P(AddModes, EveryAddMatchesTheReference) {
  const int depth = std::get<0>(GetParam()), planes = std::get<1>(GetParam());
  auto random = [&](int w, int h, std::uint32_t seed) {
    return RandomPicture(w, h, planes, depth, seed);
  };
  // Measure 0 everywhere: gives way to anything.
  const Picture flat = Blank(37, 23, planes, depth, depth == 8 ? 90 : 9000);
  // Measures below 2^24, stored exactly; an even shift keeps 8-bit differences.
  const Picture noise = random(37, 23, 12);
  auto low = [&](int x, int y, int k) { return noise.Get(x, y, k) % (depth == 8 ? 2 : 200); };
  auto high = [&](int x, int y, int k) { return low(x, y, k) + 100; };
  std::vector<std::uint8_t> mask(20 * 12);
  std::mt19937 rng(7);
  for (auto& m : mask) m = std::uint8_t(rng() % 256);
  for (std::size_t i = 0; i < mask.size(); i += 5) mask[i] = std::uint8_t(127 + i % 2);
  BufferSet expected;
  for (const auto& [p, left, top, w, h, m] :
       std::vector<Added>{{flat},
                          {MakePicture(37, 23, planes, depth, low)},
                          {MakePicture(37, 23, planes, depth, high)},
                          {random(30, 10, 2)},
                          {random(12, 8, 3)},
                          {random(40, 20, 4)},
                          {random(9, 1, 8)},
                          {random(1, 7, 9)},
                          {random(20, 12, 6), 5, 7, 40, 30, mask}}) {
    FilterRun run(p, left, top, w, h);
    if (!m.empty()) run.SetMask(m);
    ASSERT_EQ(noErr, run.Add());
    ASSERT_EQ(p.data, run.Result().data);  // the picture is only read
    ReferenceAdd(&expected, p, left, top, std::max(w, left + p.width), std::max(h, top + p.height),
                 m);
    ASSERT_TRUE(Stored() == expected) << p.width << "x" << p.height << " at " << left;
  }
  for (auto [name, bytes] :
       {std::pair{"BestFocus.xxx", 6}, {"BestVariance.xxx", 4}, {"CountVXBuffer.xxx", 2}})
    EXPECT_EQ(6u + 40 * 30 * bytes, std::filesystem::file_size(root_.File(name))) << name;
}

INSTANTIATE_TEST_SUITE_P(DepthAndPlanes, AddModes,
                         ::testing::Combine(::testing::Values(8, 16), ::testing::Values(1, 3)));

// Short of memory, Add and Show fail and leave the set, even a damaged one, and
// the picture as they were. (A buffer file that cannot be opened is walked over
// every call by the reliability tests.)
TEST_F(AddTest, WithoutWorkingRowsNothingChanges) {
  const Picture p = RandomPicture(8, 6, 3, 8, 80);
  focus::test::SetWorkingRowsRefused(true);
  EXPECT_EQ(memFullErr, FilterRun(p).Add());
  EXPECT_FALSE(root_.Exists("CountVXBuffer.xxx"));
  WriteBufferSet(UniformBuffer(8, 6, 5, 1));
  std::filesystem::remove(root_.File("BestVariance.xxx"));
  EXPECT_EQ(memFullErr, FilterRun(p).Add());
  FilterRun shown(p);
  EXPECT_EQ(memFullErr, shown.Show(1));
  EXPECT_EQ(p.data, shown.Result().data);
  EXPECT_TRUE(root_.Exists("CountVXBuffer.xxx") && root_.Exists("BestFocus.xxx"));
}

// Progress once per row; a cancel keeps the rows before it; a write torn
// anywhere leaves each pixel wholly old or new.
TEST_F(AddTest, AnInterruptedAddLeavesEveryPixelWhollyOldOrNew) {
  const Picture second = RandomPicture(9, 8, 3, 16, 121);
  ASSERT_EQ(noErr, FilterRun(RandomPicture(9, 8, 3, 16, 120)).Add());
  // (done, total) = (y, 8), seen by the host as (8 + 4 x done, 48).
  std::vector<std::pair<std::int32_t, std::int32_t>> progress;
  for (int y = 0; y < 8; ++y) progress.emplace_back(8 + 4 * y, 48);
  EXPECT_EQ(progress, Host().progress);
  EXPECT_EQ(8, Host().abortCalls);
  const BufferSet before = Stored();
  BufferSet after = before;
  ReferenceAdd(&after, second, 0, 0, 9, 8);
  // Rows before `merged` new and the rest old; -1: each pixel either.
  auto check = [&](int merged) {
    ASSERT_EQ(noErr, RecoverFocusBufferSet());
    const BufferSet set = Stored();
    ASSERT_EQ(before.count.size(), set.count.size());
    for (std::size_t i = 0; i < set.count.size(); ++i) {
      auto same = [&](const BufferSet& b) {
        return b.count[i] == set.count[i] && b.variance[i] == set.variance[i] &&
               std::equal(&b.focus[3 * i], &b.focus[3 * i + 3], &set.focus[3 * i]);
      };
      EXPECT_TRUE(merged < 0 ? same(before) || same(after)
                             : same(int(i) / 9 < merged ? after : before))
          << "pixel " << i;
    }
  };
  std::mt19937 random(122);
  using platform::test::Operation;
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
        EXPECT_EQ(userCanceledErr, FilterRun(second).Add());
        check(row);
      }
      Host().abortAtCall = 0;
      WriteBufferSet(before);
      FilterRun run(second);
      platform::test::ClearFaults();
      ASSERT_EQ(noErr, run.Add());
      const int writes = platform::test::CallCount(Operation::kShortWrite);
      ASSERT_GT(writes, 0);
      for (int n = 1; n <= writes; ++n) {
        SCOPED_TRACE(n);
        WriteBufferSet(before);
        FilterRun torn(second);
        platform::test::FailNthCall(Operation::kShortWrite, n, platform::OsError::kDiskFull);
        platform::test::SetShortWriteShare(std::uniform_real_distribution<>(0.0, 1.0)(random));
        EXPECT_EQ(dskFulErr, torn.Add());
        platform::test::ClearFaults();
        check(-1);
      }
    }
  }
}

}  // namespace
}  // namespace focustest
