// The file layer on the Win32 calls; errors wine cannot provoke are injected.
#define WIN32_LEAN_AND_MEAN
#include <errno.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks_win32.h"
#include "plugin/storage/file.h"
#include "support/temp_root.h"

namespace {

using platform::test::FailingCall;
using platform::test::InjectError;

class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override { platform::test::ClearInjectedErrors(); }
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

// Sharing mode 0 both ways: a held file refuses other openers, and a file
// another program holds cannot be opened.
TEST_F(Win32Files, SharingModeZeroBothWays) {
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
  CloseDataFile(held.file);
  other = CreateFileA(Native("held.xxx").c_str(), GENERIC_READ, all, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenDataFile("c:\\held.xxx", &held.file), ioErr);
  EXPECT_EQ(held.file, platform::kInvalidFile);
  CloseHandle(other);
}

// Each system error of open, create, delete, write and seek as a status; the
// system's own numbers and the historical ones (13, 22, 24, 28, 9) alike.
TEST_F(Win32Files, EachSystemErrorMapsToItsStatus) {
  root_.Write("present.xxx", "0123456789");
  const struct {
    FailingCall call;
    unsigned long error;
    OSErr status;
  } cases[] = {
      {FailingCall::kOpen, ERROR_FILE_NOT_FOUND, fnfErr},
      {FailingCall::kOpen, ERROR_INVALID_DATA, permErr},
      {FailingCall::kOpen, ERROR_ACCESS_DENIED, permErr},
      {FailingCall::kOpen, ERROR_BAD_COMMAND, bdNamErr},
      {FailingCall::kOpen, ERROR_INVALID_NAME, bdNamErr},
      {FailingCall::kOpen, ERROR_BAD_LENGTH, tmfoErr},
      {FailingCall::kOpen, ERROR_TOO_MANY_OPEN_FILES, tmfoErr},
      {FailingCall::kOpen, ERROR_SHARING_VIOLATION, ioErr},
      {FailingCall::kOpen, ERROR_PATH_NOT_FOUND, ioErr},
      {FailingCall::kCreate, ENOENT, fnfErr},
      {FailingCall::kCreate, EACCES, wrPermErr},
      {FailingCall::kCreate, EMFILE, tmfoErr},
      {FailingCall::kCreate, ENFILE, tmfoErr},  // what wine reports when the handles run out
      {FailingCall::kCreate, ENOSPC, dskFulErr},
      {FailingCall::kCreate, EEXIST, noErr},  // the open that follows finds out
      {FailingCall::kDelete, ERROR_FILE_NOT_FOUND, fnfErr},
      {FailingCall::kDelete, ERROR_PATH_NOT_FOUND, fnfErr},
      {FailingCall::kDelete, ERROR_ACCESS_DENIED, wrPermErr},
      {FailingCall::kDelete, ERROR_SHARING_VIOLATION, fLckdErr},
      {FailingCall::kDelete, ERROR_LOCK_VIOLATION, fLckdErr},
      {FailingCall::kDelete, ERROR_WRITE_PROTECT, vLckdErr},
      {FailingCall::kDelete, ERROR_DISK_FULL, dskFulErr},
      {FailingCall::kDelete, ERROR_INVALID_PARAMETER, noErr},
      {FailingCall::kWrite, 28, dskFulErr},
      {FailingCall::kWrite, ERROR_DISK_FULL, dskFulErr},
      {FailingCall::kWrite, ERROR_HANDLE_DISK_FULL, dskFulErr},
      {FailingCall::kWrite, ERROR_ACCESS_DENIED, ioErr},
      {FailingCall::kRead, ERROR_INVALID_HANDLE, ioErr},
      {FailingCall::kRead, ERROR_HANDLE_EOF, ioErr},
      {FailingCall::kSeek, ERROR_INVALID_BLOCK, rfNumErr},
      {FailingCall::kSeek, ERROR_INVALID_HANDLE, rfNumErr},
      {FailingCall::kSeek, ERROR_BAD_COMMAND, posErr},
      {FailingCall::kSeek, ERROR_NEGATIVE_SEEK, posErr},
      {FailingCall::kSeek, ERROR_GEN_FAILURE, noErr},
  };
  FileGuard open;
  ASSERT_EQ(OpenDataFile("c:\\present.xxx", &open.file), noErr);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.call) << " error " << c.error);
    InjectError(c.call, c.error);
    if (c.status == permErr) InjectError(c.call, c.error);  // the read-only retry too
    std::int32_t count = 4;
    char buffer[4] = {};
    OSErr status = 1;
    FileRef file = platform::kInvalidFile;
    switch (c.call) {
      case FailingCall::kOpen:
        status = OpenDataFile("c:\\present.xxx", &file);
        EXPECT_EQ(file, platform::kInvalidFile);
        break;
      case FailingCall::kCreate:
        status = CreateDataFile("c:\\created.xxx", 0, 0);
        EXPECT_FALSE(root_.Exists("created.xxx"));
        break;
      case FailingCall::kDelete:
        status = DeleteDataFile("c:\\present.xxx");
        break;
      case FailingCall::kWrite:
        status = WriteDataFile(open.file, &count, "abcd");
        EXPECT_EQ(count, 0);
        break;
      case FailingCall::kRead:
        status = ReadDataFile(open.file, &count, buffer);
        EXPECT_EQ(count, 0);
        break;
      default:
        status = SetDataFilePosition(open.file, kPositionFromStart, 3);
        break;
    }
    EXPECT_EQ(status, c.status);
    platform::test::ClearInjectedErrors();
  }
  // None of it moved the position or changed the file.
  EXPECT_EQ(Read(open.file), "01234567");
}

// Access denied once (injected, or the read-only attribute): the retry opens
// for reading only, still unshared; writing and recreating are refused, also
// for an administrator under wine.
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
  ASSERT_TRUE(platform::MapPath("c:\\TRUXpref.xxx", mapped, sizeof mapped));
  EXPECT_EQ(std::string(mapped), Native("TRUXpref.xxx"));
  ASSERT_TRUE(platform::MapPath("C:/BestFocus.xxx", mapped, sizeof mapped));
  EXPECT_EQ(std::string(mapped), Native("BestFocus.xxx"));
  ASSERT_TRUE(platform::MapPath("relative\\name.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "relative\\name.txt");  // no drive: the system's to resolve
  EXPECT_FALSE(platform::MapPath("c:\\TRUXpref.xxx", mapped, 4));  // refused, not cut short
  ASSERT_EQ(CreateDataFile("c:\\TRUXpref.xxx", 0, 0), noErr);
  EXPECT_NE(GetFileAttributesA(Native("TRUXpref.xxx").c_str()), INVALID_FILE_ATTRIBUTES);
  testsupport::ScopedVariable noRoot("SHARPSTACK_ROOT", "");  // drive paths are the system's own
  ASSERT_TRUE(platform::MapPath("c:\\TRUXlog.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "c:\\TRUXlog.txt");
}

}  // namespace
