// The file layer on the Win32 calls: sharing mode 0, the read-only retry of an
// open refused with access denied, drive paths, and every mapping of a system
// error number to a status. Conditions that cannot be provoked here (or that
// wine reports with other numbers than Windows, such as ENFILE for running out
// of handles, or that an administrator never meets) are injected as the number
// the system would give. What every platform shares is tested in tests/storage.
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
  HANDLE OpenNative(const char* name, DWORD share) const {
    return CreateFileA(Native(name).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  std::string Read(FileRef file, std::int32_t count) {
    std::string buffer(std::size_t(count), '\0');
    EXPECT_EQ(ReadDataFile(file, &count, buffer.data()), noErr);
    return buffer.substr(0, std::size_t(count));
  }

  testsupport::TempRoot root_;
};

// The system itself keeps an open file to its one opener, and a file another
// program holds cannot be opened.
TEST_F(Win32Files, SharingModeZeroBothWays) {
  root_.Write("held.xxx", "data");
  FileGuard held;
  ASSERT_EQ(OpenDataFile("c:\\held.xxx", &held.file), noErr);
  HANDLE other = OpenNative("held.xxx", FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  EXPECT_EQ(Read(held.file, 8), "data");  // nothing of that touched the data

  root_.Write("shared.xxx", "x");
  other = OpenNative("shared.xxx", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  FileRef file = platform::kInvalidFile;
  EXPECT_EQ(OpenDataFile("c:\\shared.xxx", &file), ioErr);
  CloseHandle(other);
  FileGuard guard;
  EXPECT_EQ(OpenDataFile("c:\\shared.xxx", &guard.file), noErr);
}

TEST_F(Win32Files, OpenMapsEachSystemError) {
  root_.Write("present.xxx", "x");
  const struct {
    unsigned long error;
    OSErr status;
    bool twice;  // the read-only retry fails the same way
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, fnfErr, false},       {ERROR_INVALID_DATA /* 13 */, permErr, true},
      {ERROR_ACCESS_DENIED, permErr, true},        {ERROR_BAD_COMMAND /* 22 */, bdNamErr, false},
      {ERROR_INVALID_NAME, bdNamErr, false},       {ERROR_BAD_LENGTH /* 24 */, tmfoErr, false},
      {ERROR_TOO_MANY_OPEN_FILES, tmfoErr, false}, {ERROR_SHARING_VIOLATION, ioErr, false},
      {ERROR_PATH_NOT_FOUND, ioErr, false},        {ERROR_GEN_FAILURE, ioErr, false},
  };
  for (const auto& c : cases) {
    InjectError(FailingCall::kOpen, c.error);
    if (c.twice) InjectError(FailingCall::kOpen, c.error);
    FileRef file = platform::kInvalidFile;
    EXPECT_EQ(OpenDataFile("c:\\present.xxx", &file), c.status) << "error " << c.error;
    EXPECT_EQ(file, platform::kInvalidFile) << "error " << c.error;
    platform::test::ClearInjectedErrors();
  }
}

// Access denied once: the retry really reaches the system and opens for
// reading only, still without sharing. Windows refuses writing a read-only
// file even to an administrator; so does the layer under wine.
TEST_F(Win32Files, ReadOnlyOpensForReadingAndRefusesWriting) {
  root_.Write("readonly.xxx", "kept");
  ASSERT_TRUE(SetFileAttributesA(Native("readonly.xxx").c_str(), FILE_ATTRIBUTE_READONLY));
  for (bool injected : {true, false}) {
    SCOPED_TRACE(injected ? "access denied injected" : "read-only attribute");
    if (injected) InjectError(FailingCall::kOpen, ERROR_ACCESS_DENIED);
    FileGuard guard;
    ASSERT_EQ(OpenDataFile("c:\\readonly.xxx", &guard.file), noErr);
    EXPECT_EQ(Read(guard.file, 8), "kept");
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

// Create and delete report the runtime library's error numbers; anything not
// listed is not reported (the open that follows finds out).
TEST_F(Win32Files, CreateAndDeleteMapEachError) {
  const std::pair<int, OSErr> creates[] = {
      {ENOENT, fnfErr},    {EACCES, wrPermErr}, {EMFILE, tmfoErr},
      {ENFILE, tmfoErr},  // what wine reports when the handles run out
      {ENOSPC, dskFulErr}, {EEXIST, noErr},     {EINVAL, noErr},
  };
  for (const auto& [error, status] : creates) {
    InjectError(FailingCall::kCreate, static_cast<unsigned long>(error));
    EXPECT_EQ(CreateDataFile("c:\\created.xxx", 0, 0), status) << "errno " << error;
    EXPECT_FALSE(root_.Exists("created.xxx")) << "errno " << error;
  }
  root_.Write("victim.xxx", "x");
  const std::pair<unsigned long, OSErr> deletes[] = {
      {ERROR_FILE_NOT_FOUND, fnfErr},     {ERROR_PATH_NOT_FOUND, fnfErr},
      {ERROR_ACCESS_DENIED, wrPermErr},   {ERROR_SHARING_VIOLATION, fLckdErr},
      {ERROR_LOCK_VIOLATION, fLckdErr},   {ERROR_WRITE_PROTECT, vLckdErr},
      {ERROR_TOO_MANY_OPEN_FILES, noErr}, {ERROR_INVALID_PARAMETER, noErr},
      {ERROR_DISK_FULL, dskFulErr},
  };
  for (const auto& [error, status] : deletes) {
    InjectError(FailingCall::kDelete, error);
    EXPECT_EQ(DeleteDataFile("c:\\victim.xxx"), status) << "error " << error;
    EXPECT_TRUE(root_.Exists("victim.xxx")) << "error " << error;
  }
}

TEST_F(Win32Files, ReadWriteAndSeekMapEachSystemError) {
  root_.Write("io.xxx", "0123456789");
  FileGuard guard;
  ASSERT_EQ(OpenDataFile("c:\\io.xxx", &guard.file), noErr);
  char buffer[4] = {};
  for (unsigned long error : {ERROR_INVALID_HANDLE, ERROR_GEN_FAILURE, ERROR_HANDLE_EOF}) {
    InjectError(FailingCall::kRead, error);
    std::int32_t count = 4;
    EXPECT_EQ(ReadDataFile(guard.file, &count, buffer), ioErr) << error;
    EXPECT_EQ(count, 0);
  }
  const std::pair<unsigned long, OSErr> writes[] = {
      {28 /* the historical disk-full number */, dskFulErr},
      {ERROR_DISK_FULL, dskFulErr},
      {ERROR_HANDLE_DISK_FULL, dskFulErr},
      {ERROR_ACCESS_DENIED, ioErr},
      {ERROR_GEN_FAILURE, ioErr},
  };
  for (const auto& [error, status] : writes) {
    InjectError(FailingCall::kWrite, error);
    std::int32_t count = 4;
    EXPECT_EQ(WriteDataFile(guard.file, &count, "abcd"), status) << error;
    EXPECT_EQ(count, 0);
  }
  const std::pair<unsigned long, OSErr> seeks[] = {
      {ERROR_INVALID_BLOCK /* 9 */, rfNumErr}, {ERROR_INVALID_HANDLE, rfNumErr},
      {ERROR_BAD_COMMAND /* 22 */, posErr},    {ERROR_NEGATIVE_SEEK, posErr},
      {ERROR_INVALID_PARAMETER, noErr},        {ERROR_GEN_FAILURE, noErr},
  };
  for (const auto& [error, status] : seeks) {
    InjectError(FailingCall::kSeek, error);
    EXPECT_EQ(SetDataFilePosition(guard.file, kPositionFromStart, 3), status) << error;
  }
  // None of it moved the position or changed the file.
  EXPECT_EQ(Read(guard.file, 4), "0123");
  CloseDataFile(guard.file);
  guard.file = platform::kInvalidFile;
  const auto bytes = root_.Read("io.xxx");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0123456789");
}

TEST_F(Win32Files, DrivePathsLandInTheConfiguredRoot) {
  char mapped[600];
  ASSERT_TRUE(platform::MapPath("c:\\TRUXpref.xxx", mapped, sizeof mapped));
  EXPECT_EQ(std::string(mapped), Native("TRUXpref.xxx"));
  ASSERT_TRUE(platform::MapPath("C:/BestFocus.xxx", mapped, sizeof mapped));
  EXPECT_EQ(std::string(mapped), Native("BestFocus.xxx"));
  // A path without a drive is the system's to resolve: it passes unchanged.
  ASSERT_TRUE(platform::MapPath("relative\\name.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "relative\\name.txt");
  // A path that does not fit is refused, not cut short.
  EXPECT_FALSE(platform::MapPath("c:\\TRUXpref.xxx", mapped, 4));
  // A file made through the plug-in's path is the file of the mapped path.
  ASSERT_EQ(CreateDataFile("c:\\TRUXpref.xxx", 0, 0), noErr);
  EXPECT_NE(GetFileAttributesA(Native("TRUXpref.xxx").c_str()), INVALID_FILE_ATTRIBUTES);

  // Without a configured root, drive paths are the system's own.
  const std::string keep = getenv("SHARPSTACK_ROOT");
  _putenv_s("SHARPSTACK_ROOT", "");
  ASSERT_TRUE(platform::MapPath("c:\\TRUXlog.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "c:\\TRUXlog.txt");
  _putenv_s("SHARPSTACK_ROOT", keep.c_str());
}

}  // namespace
