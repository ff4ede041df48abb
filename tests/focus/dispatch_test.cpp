// The dispatcher (operation code and channel width to operation), Clear
// Buffer, and the parameter block's accessors and host services.
#include "plugin/focus/dispatch.h"

#include <gtest/gtest.h>

#include <string>

#include "focus_fixture.h"
#include "plugin/core/memory.h"
#include "plugin/focus/operation_choice.h"
#include "reference.h"

namespace focustest {
namespace {

// An OperationChoice handle block holding `code`, released with the scope.
struct Choice {
  Handle handle;
  explicit Choice(std::int32_t code)
      : handle(NewZeroedHandleBlock(std::int32_t(sizeof(OperationChoice)))) {
    reinterpret_cast<OperationChoice*>(*handle)->operation = code;
  }
  ~Choice() { DisposeHandleBlock(handle); }
  Choice(const Choice&) = delete;
  Choice& operator=(const Choice&) = delete;
};

class DispatchTest : public FocusTest {
 protected:
  OSErr Dispatch(FilterRun& run, std::int32_t code, int depth, std::uint8_t noDialog = 0) {
    Choice choice(code);
    return depth == 8 ? RunOperation8(run.color(), run.block(), choice.handle, nullptr, noDialog)
                      : RunOperation16(run.color(), run.block(), choice.handle, nullptr, noDialog);
  }
  bool AnyBufferFile() const {
    return root_.Exists("BestFocus.xxx") || root_.Exists("BestVariance.xxx") ||
           root_.Exists("CountVXBuffer.xxx");
  }
};

TEST_F(DispatchTest, AddThroughEitherWidthFillsTheSetAsTheDirectAddWould) {
  const Picture p8 = RandomPicture(11, 9, 3, 8, 1);
  BufferSet expected;
  ReferenceAdd(&expected, p8, 0, 0, 11, 9);
  {
    FilterRun run(p8);
    ASSERT_EQ(noErr, Dispatch(run, kOperationAddToBuffer, 8));
  }
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_TRUE(set == expected);

  const Picture p16 = RandomPicture(11, 9, 1, 16, 2);
  ReferenceAdd(&expected, p16, 0, 0, 11, 9);
  {
    FilterRun run(p16);
    ASSERT_EQ(noErr, Dispatch(run, kOperationAddToBuffer, 16));
  }
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_TRUE(set == expected);
}

TEST_F(DispatchTest, ShowRunsTheVariantOfTheChannelWidth) {
  WriteBufferSet(UniformBuffer(3, 2, 1000, 0));
  for (int depth : {8, 16}) {
    FilterRun run(Picture(3, 2, 1, depth));
    run.SetBackground(255, 0, 0);
    ASSERT_EQ(noErr, Dispatch(run, kOperationShowBuffer, depth));
    // White background: 255 at 8 bits, trunc(255 x 128.5) at 16.
    EXPECT_EQ(std::vector<std::uint16_t>(6, depth == 8 ? 255 : 32767), run.Result().samples);
  }
}

TEST_F(DispatchTest, TheNoDialogFlagReachesShow) {
  WriteBufferSet(UniformBuffer(4, 4, 1000, 1));
  FilterRun run(Picture(2, 2, 3, 8));
  ASSERT_EQ(noErr, Dispatch(run, kOperationShowBuffer, 8, 1));
  EXPECT_TRUE(Host().messages.empty());
  ASSERT_EQ(noErr, Dispatch(run, kOperationShowBuffer, 8, 0));
  EXPECT_EQ(1u, Host().messages.size());
}

TEST_F(DispatchTest, ClearDeletesTheSetAtEitherWidthAndShowThenFindsNothing) {
  for (int depth : {8, 16}) {
    WriteBufferSet(UniformBuffer(3, 2, 1000, 1));
    FilterRun run(Picture(3, 2, 3, depth));
    EXPECT_EQ(noErr, Dispatch(run, kOperationClearBuffer, depth));
    EXPECT_FALSE(AnyBufferFile()) << depth;
    EXPECT_TRUE(Host().messages.empty());
    EXPECT_EQ(noErr, Dispatch(run, kOperationShowBuffer, depth));
    EXPECT_EQ(std::vector<std::string>{"You must add images into the buffer before their "
                                       "average can be shown."},
              Host().messages);
    Host().messages.clear();
  }
}

TEST_F(DispatchTest, ClearWithoutFilesIsQuietAndSucceeds) {
  EXPECT_EQ(noErr, ClearBuffer());
  FilterRun run(Picture(3, 2, 3, 8));
  EXPECT_EQ(noErr, Dispatch(run, kOperationClearBuffer, 8));
  EXPECT_TRUE(Host().messages.empty());
  EXPECT_TRUE(Host().progress.empty());
}

TEST_F(DispatchTest, OtherCodesAndAMissingChoiceDoNothing) {
  WriteBufferSet(UniformBuffer(3, 2, 1000, 1));
  Picture p(3, 2, 3, 8);
  std::fill(p.samples.begin(), p.samples.end(), std::uint16_t(9));
  FilterRun run(p);
  for (std::int32_t code : {0, 3, 7, -1}) {
    EXPECT_EQ(noErr, Dispatch(run, code, 8)) << code;
    EXPECT_EQ(noErr, Dispatch(run, code, 16)) << code;
  }
  EXPECT_EQ(noErr, RunOperation8(run.color(), run.block(), nullptr, nullptr, 0));
  EXPECT_EQ(p.samples, run.Result().samples);
  BufferSet set;
  ASSERT_TRUE(ReadBufferSet(&set));
  EXPECT_TRUE(set == UniformBuffer(3, 2, 1000, 1));
  EXPECT_TRUE(Host().progress.empty());
  EXPECT_TRUE(Host().messages.empty());
}

TEST_F(DispatchTest, CancelAtTheFirstRowIsPassedThroughAndReleasesTheFiles) {
  Host().abortAtCall = 1;
  {
    FilterRun run(RandomPicture(5, 4, 1, 8, 3));
    EXPECT_EQ(userCanceledErr, Dispatch(run, kOperationAddToBuffer, 8));
  }
  Host().abortCalls = 0;
  {
    FilterRun run(Picture(5, 4, 1, 16));
    EXPECT_EQ(userCanceledErr, Dispatch(run, kOperationShowBuffer, 16));
  }
  // Every buffer file was closed: none is still held against another opener.
  for (const char* path : {kFocusBufferPath, kVarianceBufferPath, kCountBufferPath}) {
    ImageStore* store = nullptr;
    EXPECT_EQ(noErr, OpenImageStore(path, &store)) << path;
    CloseImageStore(store);
  }
  EXPECT_EQ(noErr, ClearBuffer());
  EXPECT_FALSE(AnyBufferFile());
}

// ---------------------------------------------------------------------------
// Parameter block.

class ParameterBlockTest : public FocusTest {
 protected:
  void TearDown() override {
    for (char*& slot : block_.strings) {
      DisposeString(slot);
      slot = nullptr;
    }
    FocusTest::TearDown();
  }
  ParameterBlock block_{};
};

TEST_F(ParameterBlockTest, StringSlotsHoldAtMost513Characters) {
  const std::string long_text(600, 'x');
  SetStringSlot(&block_, 3, long_text.c_str());
  ASSERT_NE(nullptr, GetStringSlot(&block_, 3));
  EXPECT_EQ(long_text.substr(0, 513), GetStringSlot(&block_, 3));
  EXPECT_EQ(nullptr, GetStringSlot(&block_, 4));
}

TEST_F(ParameterBlockTest, SettingASlotTwiceKeepsOnlyTheSecondText) {
  SetStringSlot(&block_, 2, "first");
  SetStringSlot(&block_, 2, "second");
  EXPECT_STREQ("second", GetStringSlot(&block_, 2));
  SetStringSlot(&block_, 15, nullptr);
  ASSERT_NE(nullptr, GetStringSlot(&block_, 15));
  EXPECT_STREQ("", GetStringSlot(&block_, 15));
}

TEST_F(ParameterBlockTest, SlotIndicesOutsideTheRangeAreIgnored) {
  SetStringSlot(&block_, 0, "zero");
  SetStringSlot(&block_, -1, "minus");
  SetStringSlot(&block_, 16, "sixteen");
  EXPECT_EQ(nullptr, GetStringSlot(&block_, -1));
  EXPECT_EQ(nullptr, GetStringSlot(&block_, 16));
  EXPECT_STREQ("zero", GetStringSlot(&block_, 0));
  for (int i = 1; i < kStringSlotCount; ++i) EXPECT_EQ(nullptr, block_.strings[i]) << i;
}

TEST_F(ParameterBlockTest, DocumentPathComesFromTheHostsDocumentInformation) {
  FilterRecord record{};
  block_.filterRecord = &record;
  char buffer[16];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(fnfErr, GetDocumentPath(&block_, buffer, sizeof buffer));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(noErr, GetDocumentPath(&block_, nullptr, 16));

  ReadImageDocumentDesc document{0, 0, "/photos/stack_01.tif"};
  record.documentInfo = &document;
  EXPECT_EQ(noErr, GetDocumentPath(&block_, buffer, sizeof buffer));
  EXPECT_STREQ("/photos/stack_0", buffer);  // cut at the capacity
  char whole[64];
  EXPECT_EQ(noErr, GetDocumentPath(&block_, whole, sizeof whole));
  EXPECT_STREQ("/photos/stack_01.tif", whole);

  document.fileSpec = nullptr;  // never saved
  EXPECT_EQ(noErr, GetDocumentPath(&block_, whole, sizeof whole));
  EXPECT_STREQ("", whole);
}

TEST_F(ParameterBlockTest, ProgressTakesTheMiddleFourSixthsAndAbortAsksTheHost) {
  FilterRecord record{};
  record.progressProc = RecordProgress;
  record.abortProc = RecordAbort;
  block_.filterRecord = &record;
  ReportProgress(&block_, 0, 200);
  ReportProgress(&block_, 199, 200);
  ReportProgress(&block_, 300, 200);  // nothing is clamped
  EXPECT_EQ(
      (std::vector<std::pair<std::int32_t, std::int32_t>>{{200, 1200}, {996, 1200}, {1400, 1200}}),
      Host().progress);
  Host().abortAtCall = 2;
  EXPECT_FALSE(TestAbort(&block_));
  EXPECT_TRUE(TestAbort(&block_));
  EXPECT_FALSE(TestAbort(&block_));
}

}  // namespace
}  // namespace focustest
