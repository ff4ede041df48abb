// The file layer and memory on the Win32 calls; file errors wine cannot provoke are injected.
#define WIN32_LEAN_AND_MEAN
#include <errno.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "plugin/core/memory.h"
#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks_win32.h"
#include "plugin/storage/file.h"
#include "support/temp_root.h"

namespace {

using platform::test::FailingCall;
using platform::test::InjectError;

class Win32Files : public ::testing::Test {
 protected:
  void TearDown() override { platform::test::ClearInjectedErrors(); }
  std::string Native(const char* name) const { return root_.File(name).string(); }
  std::string Read(FileRef file) {
    std::string buffer(8, '\0');
    std::int32_t count = 8;
    EXPECT_EQ(ReadDataFile(file, &count, buffer.data()), noErr);
    return buffer.substr(0, std::size_t(count));
  }

  testsupport::TempRoot root_;
};

TEST_F(Win32Files, SharingModeZeroRefusesEveryOtherOpener) {
  root_.Write("held.xxx", "data");
  FileGuard held;
  ASSERT_EQ(OpenDataFile("c:\\held.xxx", &held.file), noErr);
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE other = CreateFileA(Native("held.xxx").c_str(), GENERIC_READ, all, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  EXPECT_EQ(Read(held.file), "data");
}

// The errors that real files give under wine (missing, a folder, held) are checked by the
// file layer's tests. Here the rest: the system's numbers and the historical ones (13, 22,
// 24, 28, 9) alike; ENFILE is wine's "out of handles"; a create's EEXIST is left to the open.
TEST_F(Win32Files, EachSystemErrorMapsToItsStatus) {
  root_.Write("present.xxx", "0123456789");
  using enum FailingCall;
  const struct {
    FailingCall call;
    unsigned long error;
    OSErr status;
  } cases[] = {
      {kOpen, ERROR_INVALID_DATA, permErr},
      {kOpen, ERROR_BAD_COMMAND, bdNamErr},
      {kOpen, ERROR_BAD_LENGTH, tmfoErr},
      {kOpen, ERROR_TOO_MANY_OPEN_FILES, tmfoErr},
      {kCreate, ENFILE, tmfoErr},
      {kCreate, ENOSPC, dskFulErr},
      {kCreate, EEXIST, noErr},
      {kDelete, ERROR_WRITE_PROTECT, vLckdErr},
      {kDelete, ERROR_DISK_FULL, dskFulErr},
      {kDelete, ERROR_INVALID_PARAMETER, noErr},
      {kWrite, 28, dskFulErr},
      {kWrite, ERROR_DISK_FULL, dskFulErr},
      {kWrite, ERROR_ACCESS_DENIED, ioErr},
      {kRead, ERROR_INVALID_HANDLE, ioErr},
      {kSeek, ERROR_INVALID_BLOCK, rfNumErr},
      {kSeek, ERROR_INVALID_HANDLE, rfNumErr},
      {kSeek, ERROR_BAD_COMMAND, posErr},
      {kSeek, ERROR_NEGATIVE_SEEK, posErr},
      {kSeek, ERROR_GEN_FAILURE, noErr},
  };
  FileGuard open;
  ASSERT_EQ(OpenDataFile("c:\\present.xxx", &open.file), noErr);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.call) << " error " << c.error);
    InjectError(c.call, c.error);
    if (c.status == permErr) InjectError(c.call, c.error);  // the read-only retry too
    std::int32_t count = 4;
    char buffer[4] = {};
    FileRef file = platform::kInvalidFile;
    // The calls in the order of FailingCall.
    const std::function<OSErr()> calls[] = {
        [&] { return OpenDataFile("c:\\present.xxx", &file); },
        [&] { return CreateDataFile("c:\\created.xxx", 0, 0); },
        [&] { return ReadDataFile(open.file, &count, buffer); },
        [&] { return WriteDataFile(open.file, &count, "abcd"); },
        [&] { return SetDataFilePosition(open.file, kPositionFromStart, 3); },
        [&] { return DeleteDataFile("c:\\present.xxx"); }};
    EXPECT_EQ(calls[int(c.call)](), c.status);
    EXPECT_EQ(file, platform::kInvalidFile);
    EXPECT_FALSE(root_.Exists("created.xxx"));
    EXPECT_EQ(count, c.call == kRead || c.call == kWrite ? 0 : 4);
    platform::test::ClearInjectedErrors();
  }
  // None of it moved the position or changed the file.
  EXPECT_EQ(Read(open.file), "01234567");
}

// Refused once (injected, or read-only): read-only, unshared; writing refused even under wine.
TEST_F(Win32Files, ReadOnlyOpensForReadingAndRefusesWriting) {
  root_.Write("readonly.xxx", "kept");
  ASSERT_TRUE(SetFileAttributesA(Native("readonly.xxx").c_str(), FILE_ATTRIBUTE_READONLY));
  for (bool injected : {true, false}) {
    SCOPED_TRACE(injected);
    if (injected) InjectError(FailingCall::kOpen, ERROR_ACCESS_DENIED);
    FileGuard guard;
    ASSERT_EQ(OpenDataFile("c:\\readonly.xxx", &guard.file), noErr);
    EXPECT_EQ(Read(guard.file), "kept");
    std::int32_t count = 4;
    EXPECT_EQ(WriteDataFile(guard.file, &count, "gone"), ioErr);
    EXPECT_EQ(count, 0);
    FileRef second = platform::kInvalidFile;
    EXPECT_EQ(OpenDataFile("c:\\readonly.xxx", &second), ioErr);
  }
  EXPECT_EQ(CreateDataFile("c:\\readonly.xxx", 0, 0), wrPermErr);
  const auto bytes = root_.Read("readonly.xxx");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "kept");
  SetFileAttributesA(Native("readonly.xxx").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Win32Files, DrivePathsLandInTheConfiguredRoot) {
  char mapped[600];
  ASSERT_TRUE(platform::MapPath("C:/BestFocus.xxx", mapped, sizeof mapped));
  EXPECT_EQ(std::string(mapped), Native("BestFocus.xxx"));
  ASSERT_TRUE(platform::MapPath("relative\\name.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "relative\\name.txt");                      // the system's to resolve
  EXPECT_FALSE(platform::MapPath("c:\\TRUXpref.xxx", mapped, 4));  // refused, not cut short
  testsupport::ScopedVariable noRoot("SHARPSTACK_ROOT", "");       // drive paths are the system's
  ASSERT_TRUE(platform::MapPath("c:\\TRUXlog.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "c:\\TRUXlog.txt");
}

void ExpectLockedGlobalBlock(const void* p, std::size_t size) {
  HGLOBAL h = GlobalHandle(p);
  ASSERT_NE(h, nullptr);
  EXPECT_GE(GlobalSize(h), size);
  EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 1u);
}

TEST(Win32Memory, BlocksAreLockedGlobalMemoryAndGoBack) {
  for (std::size_t size : {std::size_t(1), std::size_t(514), std::size_t(1) << 20}) {
    void* p = platform::OsAllocZeroed(size);
    ASSERT_NE(p, nullptr);
    ExpectLockedGlobalBlock(p, size);
    platform::OsFree(p);
  }
  Handle h = NewHandleBlock(100);  // both parts of a handle block
  ASSERT_NE(h, nullptr);
  ExpectLockedGlobalBlock(h, 2 * sizeof(void*));
  ExpectLockedGlobalBlock(*h, 100);
  DisposeHandleBlock(h);
  for (int i = 0; i < 64; ++i) {  // each release really frees
    void* p = NewBlock(64 << 20);
    ASSERT_NE(p, nullptr) << "round " << i;
    DisposeBlock(p);
  }
}

}  // namespace
