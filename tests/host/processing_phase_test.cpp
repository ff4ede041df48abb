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
using hostsupport::PatternPicture;

constexpr char kLog[] = "TRUXlog.txt";
constexpr char kPreferences[] = "TRUXpref.xxx";
constexpr std::size_t kOperationOffset = 205 * 4;

float FloatAt(const std::vector<unsigned char>& bytes, std::size_t offset) {
  float value = 0;
  if (offset + sizeof value <= bytes.size()) std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

// The bytes a mask store held while the operation could see it.
std::vector<std::uint32_t> g_seen_mask;
OSErr CaptureMask(RunState* state) {
  g_seen_mask = hostsupport::StoreSamples(state->maskStore, 1);
  return noErr;
}

class ProcessingPhase : public hostsupport::RunFixture,
                        public ::testing::WithParamInterface<DriverMode> {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    g_seen_mask.clear();
    root.Write(kLog, std::string());
  }
  void TearDown() override {
    platform::test::ClearFaults();
    RunFixture::TearDown();
  }
  std::string LogText() const {
    const std::vector<unsigned char> log = root.Read(kLog);
    return std::string(log.begin(), log.end());
  }

  RunResult RunOperation(FilterHost& host, std::int32_t operation) {
    RunOptions options = Scripted(GetParam(), operation);
    options.backColor[0] = options.backColor[1] = options.backColor[2] = 0;
    return host.Run(options);
  }

  // The mask the operation saw when run on `picture` with `selection`.
  std::vector<std::uint32_t> MaskSeen(const Picture& picture,
                                      const std::vector<std::uint8_t>& selection = {}) {
    hosttest::SetProcessingHook(&CaptureMask);
    FilterHost host(ENTRYPOINT);
    host.picture = picture;
    host.selection = selection;
    EXPECT_EQ(RunOperation(host, kOperationClearBuffer).result, noErr);
    hosttest::SetProcessingHook(nullptr);
    return g_seen_mask;
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

  FilterHost host(ENTRYPOINT);
  host.picture = PatternPicture(9, 7, 3, 0, 8, 1);
  const Picture before = host.picture;
  RunOptions options;
  options.mode = GetParam();
  const RunResult run = host.Run(options);

  EXPECT_EQ(run.result, userCanceledErr);
  EXPECT_FALSE(run.pictureKept);
  EXPECT_EQ(host.picture.data, before.data);
  EXPECT_NE(LogText().find("Value = 5\r\nResult = -128\r\n"), std::string::npos) << LogText();
  const std::vector<unsigned char> saved = root.Read(kPreferences);
  ASSERT_EQ(saved.size(), 17408U);
  EXPECT_EQ(FloatAt(saved, kOperationOffset), 5.0F);
  EXPECT_EQ(FloatAt(saved, 8), 6.0F);  // the calibration default is saved too
}

TEST_P(ProcessingPhase, PlaybackRunsWithoutDialogAndHandsTheStepBack) {
  FilterHost host(ENTRYPOINT);
  host.picture = PatternPicture(8, 6, 1, 0, 16, 2);
  ASSERT_EQ(RunOperation(host, kOperationAddToBuffer).result, noErr);
  std::vector<DescriptorItem> recorded;
  ASSERT_TRUE(scripting.RecordedItems(&recorded));
  EXPECT_EQ(recorded, std::vector<DescriptorItem>({DescriptorItem::Enumerated(
                          hostsupport::kOperationKey, hostsupport::kOperationType, 5)}));
  // A played-back choice is not remembered as the user's own.
  EXPECT_EQ(FloatAt(root.Read(kPreferences), kOperationOffset), 0.0F);
  EXPECT_NE(LogText().find("Value = 5\r\nResult = 0\r\n"), std::string::npos);
  EXPECT_TRUE(root.Exists("BestFocus.xxx"));
}

// Played back without a dialog, a step that names no usable operation falls
// back to the saved choice; when no choice was ever confirmed the run fails
// instead of taking Clear, and the buffer stays as it was.
TEST_P(ProcessingPhase, PlaybackWithoutAnOperationNeverFallsBackToClear) {
  auto step = [](std::uint32_t key, std::uint32_t value) {
    return std::vector<DescriptorItem>{
        DescriptorItem::Enumerated(key, hostsupport::kOperationType, value)};
  };
  const std::uint32_t op = hostsupport::kOperationKey;
  struct Case {
    float saved;  // params[205] in the preferences file
    std::vector<DescriptorItem> step;
    OSErr result;
    int pictures;  // in the buffer afterwards (one before); 0: cleared
  };
  const Case cases[] = {
      {0, step(op, 7), filterBadParameters, 1},  // out of range
      {0, step(op, 0), filterBadParameters, 1},
      {0, step(FourCC("EFmd"), 5), filterBadParameters, 1},
      {0, {}, filterBadParameters, 1},
      {5, step(op, 7), noErr, 2},  // a confirmed Add still applies
      {5, step(op, 4), noErr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "saved " << c.saved << ", result " << c.result);
    {
      FilterHost adder(ENTRYPOINT);
      adder.picture = PatternPicture(6, 4, 3, 0, 8, 3);
      ASSERT_EQ(RunOperation(adder, kOperationClearBuffer).result, noErr);
      ASSERT_EQ(RunOperation(adder, kOperationAddToBuffer).result, noErr);
    }
    const std::vector<unsigned char> count = root.Read("CountVXBuffer.xxx");
    std::vector<unsigned char> preferences(17408, 0);
    std::memcpy(preferences.data() + kOperationOffset, &c.saved, sizeof c.saved);
    root.Write(kPreferences, preferences);

    FilterHost host(ENTRYPOINT);
    host.picture = PatternPicture(6, 4, 3, 0, 8, 4);
    scripting.SetPlayback(c.step, plugInDialogOptional);
    RunOptions options;
    options.mode = GetParam();
    options.attach = [this](FilterRecord* record) { scripting.Attach(record); };
    EXPECT_EQ(host.Run(options).result, c.result);

    if (c.pictures == 0) {
      EXPECT_FALSE(root.Exists("CountVXBuffer.xxx"));
    } else if (c.pictures == 1) {
      EXPECT_EQ(root.Read("CountVXBuffer.xxx"), count);
    } else {
      // Every pixel's count, 16 bits little-endian behind the 6-byte header.
      const std::vector<unsigned char> after = root.Read("CountVXBuffer.xxx");
      ASSERT_EQ(after.size(), count.size());
      for (std::size_t i = 6; i + 1 < after.size(); i += 2) {
        ASSERT_EQ(after[i] | after[i + 1] << 8, c.pictures) << i;
      }
    }
  }
}

TEST_P(ProcessingPhase, TransparencyAndSelectionMakeTheMask) {
  // 16-bit transparency: t / 128.5, truncated: 16384 gives 127, 32768 255.
  Picture picture = PatternPicture(6, 2, 3, 1, 16, 3);
  const std::uint32_t alphas[6] = {0, 128, 129, 16384, 32767, 32768};
  for (int x = 0; x < 6; ++x) {
    picture.Set(x, 0, 3, alphas[x]);
    picture.Set(x, 1, 3, 32768 - alphas[x]);
  }
  EXPECT_EQ(MaskSeen(picture),
            std::vector<std::uint32_t>({0, 0, 1, 127, 254, 255, 255, 254, 254, 127, 0, 0}));

  // A partial selection on a transparent layer honours both: the smaller.
  const Picture layer = PatternPicture(10, 4, 1, 1, 8, 5);
  std::vector<std::uint8_t> selection(40);
  std::vector<std::uint32_t> expected;
  for (std::size_t i = 0; i < selection.size(); ++i) {
    selection[i] = std::uint8_t(i * 37 % 256);
    expected.push_back(
        std::min<std::uint32_t>(selection[i], layer.Get(int(i % 10), int(i / 10), 1)));
  }
  EXPECT_EQ(MaskSeen(layer, selection), expected);
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
        // Never added: the black background, not the whitened pixel.
        for (int k = 0; k < 3 && (x + y) % 3 == 0; ++k) ASSERT_EQ(shown.Get(x, y, k), 0U);
      }
    }
  }
}

TEST_P(ProcessingPhase, SelectionCoveringEverythingActsLikeNone) {
  const Picture picture = PatternPicture(11, 8, 3, 0, 8, 6);
  EXPECT_EQ(AddThenShow(picture, std::vector<std::uint8_t>(88, 255)).data,
            AddThenShow(picture).data);
}

// A run that fails before or during the operation still logs its result and
// saves the settings, and the picture is left alone.
TEST_P(ProcessingPhase, FailedRunsStillRecordTheirResult) {
  for (bool refusedMask : {true, false}) {
    SCOPED_TRACE(refusedMask ? "refused 16-bit mask" : "cancelled operation");
    root.Write(kLog, std::string());
    FilterHost host(ENTRYPOINT);
    host.picture = PatternPicture(7, 5, 1, 1, 16, 7);
    const Picture before = host.picture;
    RunOptions options = Scripted(GetParam(), kOperationAddToBuffer);
    if (refusedMask) {
      hosttest::FailStoreCreation(hosttest::RunStore::kMask, memFullErr);
    } else {
      options.shouldAbort = [] { return true; };
    }
    const RunResult run = host.Run(options);
    hosttest::FailStoreCreation(hosttest::RunStore::kNone, noErr);
    const OSErr expected = refusedMask ? memFullErr : userCanceledErr;
    EXPECT_EQ(run.result, expected);
    EXPECT_FALSE(run.pictureKept);
    EXPECT_EQ(host.picture.data, before.data);
    // The mask is refused before anything is added.
    EXPECT_EQ(root.Exists("BestFocus.xxx"), !refusedMask);
    EXPECT_NE(LogText().find("Result = " + std::to_string(expected)), std::string::npos);
    EXPECT_EQ(root.Read(kPreferences).size(), 17408U);
  }
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
    EXPECT_TRUE(run.result == noErr || !run.pictureKept);
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
