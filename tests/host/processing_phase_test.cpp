// The processing phase seen from the host: the mask the operation honours, the
// dialog's cancel, playback, and the records a run leaves behind (the
// descriptor, the run log, the preferences file) on every path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "plugin/platform/test_hooks.h"

namespace {

using host::DescriptorItem;
using host::DriverMode;
using host::FilterHost;
using host::Picture;
using host::RunOptions;
using host::RunResult;
using hostsupport::kOperationKey;
using hostsupport::kOperationType;
using hostsupport::PatternPicture;

constexpr char kLog[] = "TRUXlog.txt";
constexpr char kPreferences[] = "TRUXpref.xxx";
constexpr std::size_t kOperationOffset = 205 * 4;

float FloatAt(const std::vector<unsigned char>& bytes, std::size_t offset) {
  float value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// The bytes a mask store held while the operation could see it.
std::vector<std::uint32_t> g_seen_mask;
bool g_saw_mask_store = false;
OSErr CaptureMask(RunState* state) {
  g_saw_mask_store = state->maskStore != nullptr;
  g_seen_mask = hostsupport::StoreSamples(state->maskStore, 1);
  return noErr;
}

class ProcessingPhase : public hostsupport::RunFixture,
                        public ::testing::WithParamInterface<DriverMode> {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    g_seen_mask.clear();
    g_saw_mask_store = false;
  }
  void TearDown() override {
    platform::test::ClearFaults();
    RunFixture::TearDown();
  }

  RunResult RunOperation(FilterHost& host, std::int32_t operation) {
    RunOptions options = Scripted(GetParam(), operation);
    options.backColor[0] = options.backColor[1] = options.backColor[2] = 0;
    return host.Run(options);
  }

  // Adds `picture` into the buffer, then shows the buffer into a fresh opaque
  // picture of the same size and mode.
  Picture AddThenShow(const Picture& picture, const std::vector<std::uint8_t>& selection = {}) {
    FilterHost adder(ENTRYPOINT);
    adder.picture = picture;
    adder.selection = selection;
    EXPECT_EQ(RunOperation(adder, kOperationClearBuffer).result, noErr);
    EXPECT_EQ(RunOperation(adder, kOperationAddToBuffer).result, noErr);
    FilterHost shower(ENTRYPOINT);
    shower.picture.Allocate(picture.width, picture.height, picture.colorPlanes, 0, picture.depth);
    EXPECT_EQ(RunOperation(shower, kOperationShowBuffer).result, noErr);
    return shower.picture;
  }
};

TEST_P(ProcessingPhase, CancelledDialogStillRecordsAndKeepsTheSavedChoice) {
  // A saved choice of Add, a log switched on, and no terminal for the dialog.
  std::vector<unsigned char> preferences(17408, 0);
  const float add = 5.0F;
  std::memcpy(preferences.data() + kOperationOffset, &add, sizeof add);
  root.Write(kPreferences, preferences);
  root.Write(kLog, std::string());

  FilterHost host(ENTRYPOINT);
  host.picture = PatternPicture(9, 7, 3, 0, 8, 1);
  const Picture before = host.picture;
  RunOptions options;
  options.mode = GetParam();
  const RunResult run = host.Run(options);

  EXPECT_EQ(run.result, userCanceledErr);
  EXPECT_FALSE(run.pictureKept);
  EXPECT_EQ(host.picture.data, before.data);
  const std::vector<unsigned char> log = root.Read(kLog);
  const std::string text(log.begin(), log.end());
  EXPECT_NE(text.find("Value = 5\r\nResult = -128\r\n"), std::string::npos) << text;
  const std::vector<unsigned char> saved = root.Read(kPreferences);
  ASSERT_EQ(saved.size(), 17408U);
  EXPECT_EQ(FloatAt(saved, kOperationOffset), 5.0F);
  // The calibration default is saved with the settings.
  EXPECT_EQ(FloatAt(saved, 8), 6.0F);
}

TEST_P(ProcessingPhase, PlaybackRunsWithoutDialogAndHandsTheStepBack) {
  root.Write(kLog, std::string());
  FilterHost host(ENTRYPOINT);
  host.picture = PatternPicture(8, 6, 1, 0, 16, 2);
  const RunResult run = RunOperation(host, kOperationAddToBuffer);
  ASSERT_EQ(run.result, noErr);

  std::vector<DescriptorItem> recorded;
  ASSERT_TRUE(scripting.RecordedItems(&recorded));
  ASSERT_EQ(recorded.size(), 1U);
  EXPECT_EQ(recorded[0], DescriptorItem::Enumerated(kOperationKey, kOperationType, 5));
  // A played-back choice is not remembered as the user's own.
  EXPECT_EQ(FloatAt(root.Read(kPreferences), kOperationOffset), 0.0F);
  const std::vector<unsigned char> log = root.Read(kLog);
  EXPECT_NE(std::string(log.begin(), log.end()).find("Value = 5\r\nResult = 0\r\n"),
            std::string::npos);
  EXPECT_TRUE(root.Exists("BestFocus.xxx"));
}

TEST_P(ProcessingPhase, SixteenBitTransparencyBecomesTheMask) {
  Picture picture = PatternPicture(6, 2, 3, 1, 16, 3);
  const std::uint32_t alphas[6] = {0, 128, 129, 16384, 32767, 32768};
  for (int x = 0; x < 6; ++x) {
    picture.Set(x, 0, 3, alphas[x]);
    picture.Set(x, 1, 3, 32768 - alphas[x]);
  }
  hosttest::SetProcessingHook(&CaptureMask);
  FilterHost host(ENTRYPOINT);
  host.picture = picture;
  ASSERT_EQ(RunOperation(host, kOperationClearBuffer).result, noErr);

  // t / 128.5, truncated: 16384 gives 127, 32768 gives 255.
  const std::vector<std::uint32_t> expected = {0,   0,   1,   127, 254, 255,  //
                                               255, 254, 254, 127, 0,   0};
  EXPECT_EQ(g_seen_mask, expected);
}

TEST_P(ProcessingPhase, TransparentPixelsNeverReachTheBuffer) {
  for (int depth : {8, 16}) {
    SCOPED_TRACE(depth);
    const std::uint32_t top = depth == 16 ? 32768U : 255U;
    Picture picture = PatternPicture(12, 9, 3, 1, depth, 4);
    for (int y = 0; y < picture.height; ++y) {
      for (int x = 0; x < picture.width; ++x) picture.Set(x, y, 3, (x + y) % 3 == 0 ? 0 : top);
    }
    const Picture shown = AddThenShow(picture);
    for (int y = 0; y < picture.height; ++y) {
      for (int x = 0; x < picture.width; ++x) {
        if ((x + y) % 3 != 0) continue;
        // Never added: the black background, not the whitened pixel.
        for (int k = 0; k < 3; ++k) ASSERT_EQ(shown.Get(x, y, k), 0U) << x << "," << y;
      }
    }
  }
}

TEST_P(ProcessingPhase, PartialSelectionOnATransparentLayerHonoursBoth) {
  Picture picture = PatternPicture(10, 4, 1, 1, 8, 5);
  std::vector<std::uint8_t> selection(40);
  for (std::size_t i = 0; i < selection.size(); ++i) selection[i] = std::uint8_t(i * 37 % 256);
  hosttest::SetProcessingHook(&CaptureMask);
  FilterHost host(ENTRYPOINT);
  host.picture = picture;
  host.selection = selection;
  ASSERT_EQ(RunOperation(host, kOperationClearBuffer).result, noErr);

  ASSERT_EQ(g_seen_mask.size(), selection.size());
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 10; ++x) {
      const std::size_t i = std::size_t(y) * 10 + std::size_t(x);
      EXPECT_EQ(g_seen_mask[i], std::min<std::uint32_t>(selection[i], picture.Get(x, y, 1))) << i;
    }
  }
}

TEST_P(ProcessingPhase, SelectionCoveringEverythingActsLikeNone) {
  const Picture picture = PatternPicture(11, 8, 3, 0, 8, 6);
  const Picture withoutSelection = AddThenShow(picture);
  const Picture withFullSelection = AddThenShow(picture, std::vector<std::uint8_t>(88, 255));
  EXPECT_EQ(withFullSelection.data, withoutSelection.data);
}

TEST_P(ProcessingPhase, RefusedSixteenBitMaskEndsTheRunBeforeAnythingIsAdded) {
  root.Write(kLog, std::string());
  hosttest::FailStoreCreation(hosttest::RunStore::kMask, memFullErr);
  FilterHost host(ENTRYPOINT);
  host.picture = PatternPicture(7, 5, 1, 1, 16, 7);
  const RunResult run = RunOperation(host, kOperationAddToBuffer);
  EXPECT_EQ(run.result, memFullErr);
  EXPECT_FALSE(root.Exists("BestFocus.xxx"));
  const std::vector<unsigned char> log = root.Read(kLog);
  EXPECT_NE(std::string(log.begin(), log.end()).find("Result = -108"), std::string::npos);
  EXPECT_EQ(root.Read(kPreferences).size(), 17408U);
}

TEST_P(ProcessingPhase, FailedOperationEndsTheExchangeWithItsCode) {
  root.Write(kLog, std::string());
  FilterHost host(ENTRYPOINT);
  host.picture = PatternPicture(5, 5, 3, 0, 8, 8);
  const Picture before = host.picture;
  RunOptions options = Scripted(GetParam(), kOperationAddToBuffer);
  options.shouldAbort = [] { return true; };
  const RunResult run = host.Run(options);
  EXPECT_EQ(run.result, userCanceledErr);
  EXPECT_FALSE(run.pictureKept);
  EXPECT_EQ(host.picture.data, before.data);
  const Rect& in = host.Record().inRect;
  const Rect& out = host.Record().outRect;
  EXPECT_TRUE(in.right <= in.left || in.bottom <= in.top);
  EXPECT_TRUE(out.right <= out.left || out.bottom <= out.top);
  const std::vector<unsigned char> log = root.Read(kLog);
  EXPECT_NE(std::string(log.begin(), log.end()).find("Result = -128"), std::string::npos);
}

// Every allocation the runs make, refused in turn: each run either works or
// reports that it ran out of memory, and the next run works again.
TEST_P(ProcessingPhase, EveryRefusedAllocationIsReportedAndLeavesNoTrace) {
  const Picture picture = PatternPicture(6, 5, 3, 1, 16, 9);
  platform::test::ClearFaults();
  {
    FilterHost host(ENTRYPOINT);
    host.picture = picture;
    ASSERT_EQ(RunOperation(host, kOperationAddToBuffer).result, noErr);
  }
  const int allocations = platform::test::CallCount(platform::test::Operation::kAllocate);
  ASSERT_GT(allocations, 0);
  for (int n = 1; n <= allocations; ++n) {
    SCOPED_TRACE(n);
    FilterHost host(ENTRYPOINT);
    host.picture = picture;
    platform::test::FailNthCall(platform::test::Operation::kAllocate, n, platform::OsError::kNone);
    const RunResult run = RunOperation(host, kOperationAddToBuffer);
    platform::test::ClearFaults();
    EXPECT_TRUE(run.result == noErr || run.result == memFullErr) << run.result;
    if (run.result != noErr) {
      EXPECT_FALSE(run.pictureKept);
    }
    FilterHost again(ENTRYPOINT);
    again.picture = picture;
    EXPECT_EQ(RunOperation(again, kOperationAddToBuffer).result, noErr);
  }
}

INSTANTIATE_TEST_SUITE_P(BothDrivers, ProcessingPhase,
                         ::testing::Values(DriverMode::kAdvanceState, DriverMode::kContinue),
                         [](const ::testing::TestParamInfo<DriverMode>& param) {
                           return std::string(hostsupport::ModeName(param.param));
                         });

}  // namespace
