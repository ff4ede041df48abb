// The platform's files where the file layer cannot see: other processes,
// positioned access, standard streams, unnamed files and allocations.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using platform::FileHandle;
using platform::kInvalidFile;
using platform::OsError;

class PlatformFiles : public ::testing::Test {
 protected:
  FileHandle Open(const char* path) {
    FileHandle file = kInvalidFile;
    return platform::OsOpenFile(path, true, false, &file) == OsError::kNone ? file : kInvalidFile;
  }
  testsupport::TempRoot root_;
};

#if !defined(_WIN32)
TEST_F(PlatformFiles, AnotherProcessCannotOpenAHeldFile) {
  root_.Write("shared.xxx", "x");
  FileHandle held = Open("c:\\shared.xxx");
  ASSERT_NE(held, kInvalidFile);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileHandle file = kInvalidFile;
    const OsError e = platform::OsOpenFile("c:\\shared.xxx", true, false, &file);
    _exit(e == OsError::kSharingViolation ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(platform::OsCloseFile(held), OsError::kNone);
}

#endif  // !_WIN32

// Positioned and seek-then-read/write routes meet the same bytes, beyond 4 GiB.
TEST_F(PlatformFiles, PositionedAccessAgreesWithSeekThenReadOrWrite) {
  ASSERT_EQ(platform::OsCreateFile("c:\\at.xxx"), OsError::kNone);
  FileHandle file = Open("c:\\at.xxx");
  ASSERT_NE(file, kInvalidFile);
  const std::uint64_t far = (std::uint64_t(1) << 32) + 7;
  std::int32_t count = 5;
  ASSERT_EQ(platform::OsWriteFileAt(file, far, "abcde", &count), OsError::kNone);
  EXPECT_EQ(count, 5);
  count = 3;
  ASSERT_EQ(platform::OsWriteFileAt(file, 100, "xyz", &count), OsError::kNone);
  EXPECT_EQ(fs::file_size(root_.File("at.xxx")), far + 5);

  char buffer[8] = {};
  ASSERT_EQ(platform::OsSeekFile(file, std::int64_t(far) + 1, 0), OsError::kNone);
  count = 3;
  ASSERT_EQ(platform::OsReadFile(file, buffer, &count), OsError::kNone);
  EXPECT_EQ(std::string(buffer, 3), "bcd");
  ASSERT_EQ(platform::OsSeekFile(file, 200, 0), OsError::kNone);
  count = 2;
  ASSERT_EQ(platform::OsWriteFile(file, "PQ", &count), OsError::kNone);
  count = 8;
  ASSERT_EQ(platform::OsReadFileAt(file, 99, buffer, &count), OsError::kNone);
  EXPECT_EQ(std::string(buffer, 8), std::string("\0xyz\0\0\0\0", 8));
  count = 2;
  ASSERT_EQ(platform::OsReadFileAt(file, 200, buffer, &count), OsError::kNone);
  EXPECT_EQ(std::string(buffer, 2), "PQ");
  count = 8;
  ASSERT_EQ(platform::OsReadFileAt(file, far + 2, buffer, &count), OsError::kNone);
  EXPECT_EQ(std::string(buffer, std::size_t(count)), "cde");  // short at the end
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
}

#if !defined(_WIN32)
TEST_F(PlatformFiles, NeverTheStandardStreams) {
  // 0 means "no file" to the callers: it must never close standard input.
  EXPECT_EQ(platform::OsCloseFile(0), OsError::kBadHandle);
  EXPECT_NE(fcntl(0, F_GETFD), -1);

  // With standard input closed the next descriptor would be 0; files still
  // get one above the standard streams.
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  root_.Write("low.xxx", "x");
  FileHandle file = Open("c:\\low.xxx");
  dup2(saved, 0);
  close(saved);
  ASSERT_NE(file, kInvalidFile);
  EXPECT_GE(file, 3);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
}

#endif  // !_WIN32

// Two unnamed files are separate, keep what is written at any position and
// leave nothing in the drive root.
TEST_F(PlatformFiles, UnnamedFilesArePrivateAndPositioned) {
  FileHandle a = kInvalidFile, b = kInvalidFile;
  ASSERT_EQ(platform::OsCreateAnonymousFile(&a), OsError::kNone);
  ASSERT_EQ(platform::OsCreateAnonymousFile(&b), OsError::kNone);
  EXPECT_GT(std::min(a, b), 2);  // never a standard stream
  ASSERT_EQ(platform::OsSetFileSize(a, 3 << 20), OsError::kNone);
  std::int32_t count = 8;
  ASSERT_EQ(platform::OsWriteFileAt(a, 3000000, "row 1000", &count), OsError::kNone);
  char back[8] = {};
  ASSERT_EQ(platform::OsReadFileAt(b, 3000000, back, &count), OsError::kNone);
  EXPECT_EQ(count, 0);  // b is empty: nothing of a shows through
  for (auto [at, text] :
       {std::pair{3000000, std::string("row 1000")}, {(3 << 20) - 8, std::string(8, '\0')}}) {
    count = 8;
    ASSERT_EQ(platform::OsReadFileAt(a, std::uint64_t(at), back, &count), OsError::kNone);
    EXPECT_EQ(std::string(back, std::size_t(count)), text);
  }
  EXPECT_TRUE(fs::is_empty(root_.dir()));
  EXPECT_EQ(platform::OsCloseFile(a), OsError::kNone);
  EXPECT_EQ(platform::OsCloseFile(b), OsError::kNone);
  platform::test::FailNthCall(platform::test::Operation::kCreate, 1, OsError::kTooManyFiles);
  EXPECT_EQ(platform::OsCreateAnonymousFile(&a), OsError::kTooManyFiles);
  EXPECT_EQ(a, kInvalidFile);
  platform::test::ClearFaults();
}

TEST(PlatformMemory, ZeroedAllocations) {
  auto* p = static_cast<unsigned char*>(platform::OsAllocZeroed(3000));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(p, p + 3000), std::vector<unsigned char>(3000, 0));
  platform::OsFree(p);
  void* q = platform::OsAllocZeroed(0);
  EXPECT_NE(q, nullptr);
  platform::OsFree(q);
  platform::OsFree(nullptr);
}

}  // namespace
