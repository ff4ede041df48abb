// The file layer on the Win32 calls: sharing mode 0, the read-only retry of an
// open refused with access denied, and every mapping of a system error number
// to a status. Conditions that cannot be provoked here (or that wine reports
// with other numbers than Windows, such as ENFILE for running out of handles,
// or that an administrator never meets, such as a refused create over a
// read-only file) are injected as the number the system would give.
#define WIN32_LEAN_AND_MEAN
#include <errno.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
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

  // A file of the drive root with `text` in it.
  void MakeFile(const char* name, const std::string& text) { root_.Write(name, text); }
  std::string Native(const char* name) const { return root_.File(name).string(); }

  testsupport::TempRoot root_;
};

// --- Sharing mode 0 ------------------------------------------------------------

TEST_F(Win32Files, AnOpenFileCannotBeOpenedDeletedOrRecreatedByAnyone) {
  MakeFile("held.xxx", "data");
  FileGuard held;
  ASSERT_EQ(OpenDataFile("c:\\held.xxx", &held.file), noErr);

  FileRef second = platform::kInvalidFile;
  EXPECT_EQ(OpenDataFile("c:\\held.xxx", &second), ioErr);  // a sharing violation
  EXPECT_EQ(second, platform::kInvalidFile);
  EXPECT_EQ(DeleteDataFile("c:\\held.xxx"), fLckdErr);
  EXPECT_EQ(CreateDataFile("c:\\held.xxx", 0, 0), opWrErr);

  // Another program's open is refused the same way: the system itself keeps
  // the file to its one opener.
  HANDLE other =
      CreateFileA(Native("held.xxx").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);

  // Nothing of that touched the data.
  char buffer[8] = {};
  std::int32_t count = 8;
  ASSERT_EQ(ReadDataFile(held.file, &count, buffer), noErr);
  EXPECT_EQ(std::string(buffer, std::size_t(count)), "data");
}

TEST_F(Win32Files, AFileHeldByAnotherOpenerCannotBeOpened) {
  MakeFile("shared.xxx", "x");
  HANDLE other = CreateFileA(Native("shared.xxx").c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  FileRef file = platform::kInvalidFile;
  EXPECT_EQ(OpenDataFile("c:\\shared.xxx", &file), ioErr);
  CloseHandle(other);
  FileGuard guard;
  EXPECT_EQ(OpenDataFile("c:\\shared.xxx", &guard.file), noErr);
}

TEST_F(Win32Files, ClosingReleasesTheFile) {
  MakeFile("released.xxx", "x");
  FileRef file = platform::kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\released.xxx", &file), noErr);
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(DeleteDataFile("c:\\released.xxx"), noErr);
  EXPECT_FALSE(root_.Exists("released.xxx"));
}

// --- Errors the system really gives --------------------------------------------

TEST_F(Win32Files, RealFailuresMapToTheirStatus) {
  FileRef file = platform::kInvalidFile;
  EXPECT_EQ(OpenDataFile("c:\\missing.xxx", &file), fnfErr);
  EXPECT_EQ(file, platform::kInvalidFile);
  EXPECT_EQ(DeleteDataFile("c:\\missing.xxx"), fnfErr);
  EXPECT_EQ(CloseDataFile(platform::kInvalidFile), rfNumErr);

  MakeFile("seek.xxx", "0123456789");
  FileGuard guard;
  ASSERT_EQ(OpenDataFile("c:\\seek.xxx", &guard.file), noErr);
  EXPECT_EQ(SetDataFilePosition(guard.file, kPositionFromStart, -1), posErr);
  // A mode that is no move method of the system is handed over and refused
  // there; that refusal is not one the layer reports.
  EXPECT_EQ(SetDataFilePosition(guard.file, 7, 0), noErr);
  // The position did not move: the next read starts at the beginning.
  char first = 0;
  std::int32_t count = 1;
  ASSERT_EQ(ReadDataFile(guard.file, &count, &first), noErr);
  EXPECT_EQ(first, '0');
}

TEST_F(Win32Files, ADirectoryIsRefusedAndNotOpenedForReading) {
  CreateDirectoryA(Native("folder.xxx").c_str(), nullptr);
  FileRef file = platform::kInvalidFile;
  // Access denied, and the read-only retry cannot open a directory either.
  EXPECT_EQ(OpenDataFile("c:\\folder.xxx", &file), wrPermErr);
}

// --- Open: injected GetLastError values ----------------------------------------

TEST_F(Win32Files, OpenMapsEachSystemError) {
  MakeFile("present.xxx", "x");
  struct Case {
    unsigned long error;
    OSErr status;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, fnfErr},
      {ERROR_INVALID_DATA /* 13 */, wrPermErr},
      {ERROR_BAD_COMMAND /* 22 */, bdNamErr},
      {ERROR_INVALID_NAME, bdNamErr},
      {ERROR_BAD_LENGTH /* 24 */, tmfoErr},
      {ERROR_TOO_MANY_OPEN_FILES, tmfoErr},
      {ERROR_SHARING_VIOLATION, ioErr},
      {ERROR_PATH_NOT_FOUND, ioErr},
      {ERROR_GEN_FAILURE, ioErr},
  };
  for (const Case& c : cases) {
    InjectError(FailingCall::kOpen, c.error);
    // 13 leads through the read-only retry: make that fail the same way.
    if (c.error == ERROR_INVALID_DATA) InjectError(FailingCall::kOpen, c.error);
    FileRef file = platform::kInvalidFile;
    EXPECT_EQ(OpenDataFile("c:\\present.xxx", &file), c.status) << "error " << c.error;
    EXPECT_EQ(file, platform::kInvalidFile) << "error " << c.error;
    platform::test::ClearInjectedErrors();
  }
}

TEST_F(Win32Files, AccessDeniedOpensReadOnlyAndLaterWritesFail) {
  MakeFile("readonly.xxx", "kept");
  InjectError(FailingCall::kOpen, ERROR_ACCESS_DENIED);
  FileGuard guard;
  ASSERT_EQ(OpenDataFile("c:\\readonly.xxx", &guard.file), noErr);
  ASSERT_NE(guard.file, platform::kInvalidFile);

  char buffer[8] = {};
  std::int32_t count = 8;
  ASSERT_EQ(ReadDataFile(guard.file, &count, buffer), noErr);
  EXPECT_EQ(std::string(buffer, std::size_t(count)), "kept");
  // Opened for reading only (the retry really reached the system): writing fails.
  count = 4;
  EXPECT_EQ(WriteDataFile(guard.file, &count, "gone"), ioErr);
  EXPECT_EQ(count, 0);
  // Still opened without sharing.
  FileRef second = platform::kInvalidFile;
  EXPECT_EQ(OpenDataFile("c:\\readonly.xxx", &second), ioErr);
}

TEST_F(Win32Files, AccessDeniedTwiceIsWritePermissionRefused) {
  MakeFile("denied.xxx", "x");
  InjectError(FailingCall::kOpen, ERROR_ACCESS_DENIED);
  InjectError(FailingCall::kOpen, ERROR_ACCESS_DENIED);
  FileRef file = platform::kInvalidFile;
  EXPECT_EQ(OpenDataFile("c:\\denied.xxx", &file), wrPermErr);
}

TEST_F(Win32Files, AReadOnlyFileOpensForReadingOnlyAndCannotBeRecreated) {
  // Windows refuses writing a read-only file even to an administrator; so
  // does the layer under wine, which would let one write it.
  MakeFile("attribute.xxx", "abc");
  ASSERT_TRUE(SetFileAttributesA(Native("attribute.xxx").c_str(), FILE_ATTRIBUTE_READONLY));
  FileRef file = platform::kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\attribute.xxx", &file), noErr);
  char buffer[4] = {};
  std::int32_t count = 3;
  EXPECT_EQ(ReadDataFile(file, &count, buffer), noErr);
  EXPECT_STREQ(buffer, "abc");
  count = 3;
  EXPECT_EQ(WriteDataFile(file, &count, "xyz"), ioErr);
  CloseDataFile(file);
  EXPECT_EQ(CreateDataFile("c:\\attribute.xxx", 0, 0), opWrErr);
  const auto bytes = root_.Read("attribute.xxx");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abc");
  SetFileAttributesA(Native("attribute.xxx").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// --- Create and delete: the runtime library's error numbers ---------------------

TEST_F(Win32Files, CreateMapsEachRuntimeError) {
  struct Case {
    int error;
    OSErr status;
  };
  const Case cases[] = {
      {ENOENT, fnfErr},
      {EACCES, opWrErr},
      {EMFILE, tmfoErr},
      // What wine reports when the handles run out: the same condition.
      {ENFILE, tmfoErr},
      // Anything else is not reported; the open that follows finds out.
      {ENOSPC, noErr},
      {EEXIST, noErr},
      {EINVAL, noErr},
  };
  for (const Case& c : cases) {
    InjectError(FailingCall::kCreate, static_cast<unsigned long>(c.error));
    EXPECT_EQ(CreateDataFile("c:\\created.xxx", 0, 0), c.status) << "errno " << c.error;
    EXPECT_FALSE(root_.Exists("created.xxx")) << "errno " << c.error;
  }
}

TEST_F(Win32Files, CreateEmptiesAnExistingFileAndLeavesItClosed) {
  MakeFile("full.xxx", "some bytes");
  EXPECT_EQ(CreateDataFile("c:\\full.xxx", 0, 0), noErr);
  EXPECT_TRUE(root_.Read("full.xxx").empty());
  EXPECT_EQ(DeleteDataFile("c:\\full.xxx"), noErr);  // closed: deletable
}

TEST_F(Win32Files, DeleteMapsEachSystemErrorThroughTheRuntimeNumbers) {
  MakeFile("victim.xxx", "x");
  struct Case {
    unsigned long error;
    OSErr status;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, fnfErr},     {ERROR_PATH_NOT_FOUND, fnfErr},
      {ERROR_ACCESS_DENIED, fLckdErr},    {ERROR_SHARING_VIOLATION, fLckdErr},
      {ERROR_LOCK_VIOLATION, fLckdErr},   {ERROR_WRITE_PROTECT, fLckdErr},
      {ERROR_TOO_MANY_OPEN_FILES, noErr}, {ERROR_INVALID_PARAMETER, noErr},
      {ERROR_DISK_FULL, noErr},
  };
  for (const Case& c : cases) {
    InjectError(FailingCall::kDelete, c.error);
    EXPECT_EQ(DeleteDataFile("c:\\victim.xxx"), c.status) << "error " << c.error;
    EXPECT_TRUE(root_.Exists("victim.xxx")) << "error " << c.error;
  }
}

// --- Read, write and position -------------------------------------------------

TEST_F(Win32Files, ReadWriteAndSeekMapEachSystemError) {
  MakeFile("io.xxx", "0123456789");
  FileGuard guard;
  ASSERT_EQ(OpenDataFile("c:\\io.xxx", &guard.file), noErr);
  char buffer[4] = {};

  for (unsigned long error : {ERROR_INVALID_HANDLE, ERROR_GEN_FAILURE, ERROR_HANDLE_EOF}) {
    InjectError(FailingCall::kRead, error);
    std::int32_t count = 4;
    EXPECT_EQ(ReadDataFile(guard.file, &count, buffer), ioErr) << error;
    EXPECT_EQ(count, 0);
  }

  struct Case {
    unsigned long error;
    OSErr status;
  };
  const Case writes[] = {
      {28 /* the historical disk-full number */, dskFulErr},
      {ERROR_DISK_FULL, dskFulErr},
      {ERROR_HANDLE_DISK_FULL, dskFulErr},
      {ERROR_ACCESS_DENIED, ioErr},
      {ERROR_GEN_FAILURE, ioErr},
  };
  for (const Case& c : writes) {
    InjectError(FailingCall::kWrite, c.error);
    std::int32_t count = 4;
    EXPECT_EQ(WriteDataFile(guard.file, &count, "abcd"), c.status) << c.error;
    EXPECT_EQ(count, 0);
  }

  const Case seeks[] = {
      {ERROR_INVALID_BLOCK /* 9 */, rfNumErr}, {ERROR_INVALID_HANDLE, rfNumErr},
      {ERROR_BAD_COMMAND /* 22 */, posErr},    {ERROR_NEGATIVE_SEEK, posErr},
      {ERROR_INVALID_PARAMETER, noErr},        {ERROR_GEN_FAILURE, noErr},
  };
  for (const Case& c : seeks) {
    InjectError(FailingCall::kSeek, c.error);
    EXPECT_EQ(SetDataFilePosition(guard.file, kPositionFromStart, 3), c.status) << c.error;
  }
  // None of it moved the position or changed the file.
  std::int32_t count = 4;
  ASSERT_EQ(ReadDataFile(guard.file, &count, buffer), noErr);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  CloseDataFile(guard.file);
  guard.file = platform::kInvalidFile;
  const auto bytes = root_.Read("io.xxx");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0123456789");
}

TEST_F(Win32Files, WrittenBytesReadBackAtEveryPositioningMode) {
  ASSERT_EQ(CreateDataFile("c:\\modes.xxx", 0, 0), noErr);
  FileGuard guard;
  ASSERT_EQ(OpenDataFile("c:\\modes.xxx", &guard.file), noErr);
  std::int32_t count = 10;
  ASSERT_EQ(WriteDataFile(guard.file, &count, "abcdefghij"), noErr);
  ASSERT_EQ(count, 10);
  char c = 0;
  ASSERT_EQ(SetDataFilePosition(guard.file, kPositionFromEnd, -3), noErr);
  count = 1;
  ASSERT_EQ(ReadDataFile(guard.file, &count, &c), noErr);
  EXPECT_EQ(c, 'h');
  ASSERT_EQ(SetDataFilePosition(guard.file, kPositionFromMark, -5), noErr);
  count = 1;
  ASSERT_EQ(ReadDataFile(guard.file, &count, &c), noErr);
  EXPECT_EQ(c, 'd');
  ASSERT_EQ(SetDataFilePosition(guard.file, kPositionStay, 100), noErr);
  count = 1;
  ASSERT_EQ(ReadDataFile(guard.file, &count, &c), noErr);
  EXPECT_EQ(c, 'e');
  ASSERT_EQ(SetDataFilePosition(guard.file, kPositionFromStart, 10), noErr);
  count = 1;
  EXPECT_EQ(ReadDataFile(guard.file, &count, &c), noErr);
  EXPECT_EQ(count, 0);  // at the end: success with nothing read
}

// --- Paths --------------------------------------------------------------------

TEST_F(Win32Files, DrivePathsLandInTheConfiguredRoot) {
  char mapped[600];
  ASSERT_TRUE(platform::MapPath("c:\\TRUXpref.xxx", mapped, sizeof mapped));
  EXPECT_EQ(std::string(mapped), (root_.dir() / "TRUXpref.xxx").string());
  ASSERT_TRUE(platform::MapPath("C:/BestFocus.xxx", mapped, sizeof mapped));
  EXPECT_EQ(std::string(mapped), (root_.dir() / "BestFocus.xxx").string());
  // A path without a drive is the system's to resolve: it passes unchanged.
  ASSERT_TRUE(platform::MapPath("relative\\name.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "relative\\name.txt");
  // A path that does not fit is refused, not cut short.
  EXPECT_FALSE(platform::MapPath("c:\\TRUXpref.xxx", mapped, 4));

  // A file made through the plug-in's path is the file of the mapped path.
  ASSERT_EQ(CreateDataFile("c:\\TRUXpref.xxx", 0, 0), noErr);
  EXPECT_NE(GetFileAttributesA(Native("TRUXpref.xxx").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Win32PathsWithoutRoot, DrivePathsAreTheSystemsOwn) {
  const char* saved = getenv("SHARPSTACK_ROOT");
  const std::string keep = saved != nullptr ? saved : "";
  _putenv_s("SHARPSTACK_ROOT", "");
  char mapped[600];
  ASSERT_TRUE(platform::MapPath("c:\\TRUXlog.txt", mapped, sizeof mapped));
  EXPECT_STREQ(mapped, "c:\\TRUXlog.txt");
  if (!keep.empty()) _putenv_s("SHARPSTACK_ROOT", keep.c_str());
}

}  // namespace
