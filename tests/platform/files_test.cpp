// The platform's files: exclusive opens, error kinds, no-replace moves,
// 64-bit positions, sizes with allocated blocks, and memory mappings.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks.h"
#include "support/temp_root.h"
#include "support/unprivileged.h"

namespace {

namespace fs = std::filesystem;
using platform::FileHandle;
using platform::kInvalidFile;
using platform::OsError;

class PlatformFiles : public ::testing::Test {
 protected:
  // Opens c:\<name> for reading and writing; kInvalidFile on failure.
  FileHandle Open(const char* path, OsError* error = nullptr) {
    FileHandle file = kInvalidFile;
    const OsError e = platform::OsOpenFile(path, true, false, &file);
    if (error != nullptr) *error = e;
    return file;
  }
  testsupport::TempRoot root_;
};

TEST_F(PlatformFiles, MissingFileAndMissingDirectoryAreNotFound) {
  OsError error = OsError::kNone;
  EXPECT_EQ(Open("c:\\missing.xxx", &error), kInvalidFile);
  EXPECT_EQ(error, OsError::kNotFound);
  EXPECT_EQ(Open("c:\\nodir\\file.xxx", &error), kInvalidFile);
  EXPECT_EQ(platform::OsCreateFile("c:\\nodir\\file.xxx"), OsError::kNotFound);
#if !defined(_WIN32)
  EXPECT_EQ(error, OsError::kNotFound);  // Windows: "path not found", another kind
#endif
  EXPECT_EQ(platform::OsDeleteFile("c:\\missing.xxx"), OsError::kNotFound);
  EXPECT_EQ(platform::OsMoveFile("c:\\missing.xxx", "c:\\other.xxx"), OsError::kNotFound);
}

TEST_F(PlatformFiles, DirectoriesAndReadOnlyFilesRefuseWriting) {
  fs::create_directory(root_.File("folder"));
  OsError error = OsError::kNone;
  EXPECT_EQ(Open("c:\\folder", &error), kInvalidFile);
  EXPECT_EQ(error, OsError::kAccessDenied);
  FileHandle folder = kInvalidFile;
  EXPECT_EQ(platform::OsOpenFile("c:\\folder", false, true, &folder), OsError::kAccessDenied);
  EXPECT_EQ(platform::OsCreateFile("c:\\folder"), OsError::kAccessDenied);

#if !defined(_WIN32)
  // Permissions bind only without root's privileges: check in such a child.
  fs::permissions(root_.dir(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  root_.Write("ro.xxx", "data");
  fs::permissions(root_.File("ro.xxx"),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const int result = testsupport::RunUnprivileged([] {
    FileHandle file = kInvalidFile;
    if (platform::OsOpenFile("c:\\ro.xxx", true, false, &file) != OsError::kAccessDenied) {
      return 1;
    }
    if (platform::OsOpenFile("c:\\ro.xxx", false, true, &file) != OsError::kNone) return 2;
    char buffer[8] = {};
    std::int32_t count = 8;
    if (platform::OsReadFile(file, buffer, &count) != OsError::kNone || count != 4) return 3;
    count = 2;
    if (platform::OsWriteFile(file, "zz", &count) == OsError::kNone) return 4;
    if (platform::OsCloseFile(file) != OsError::kNone) return 5;
    if (platform::OsDeleteFile("c:\\ro.xxx") != OsError::kAccessDenied) return 6;
    return 0;
  });
  EXPECT_EQ(result, 0);
#endif
}

TEST_F(PlatformFiles, SecondOpenIsRefusedUntilTheFirstCloses) {
  root_.Write("held.xxx", "content");
  FileHandle first = Open("c:\\held.xxx");
  ASSERT_NE(first, kInvalidFile);
  OsError error = OsError::kNone;
  EXPECT_EQ(Open("c:\\held.xxx", &error), kInvalidFile);
  EXPECT_EQ(error, OsError::kSharingViolation);
  FileHandle reader = kInvalidFile;
  EXPECT_EQ(platform::OsOpenFile("c:\\held.xxx", false, true, &reader), OsError::kSharingViolation);
  // Neither emptied, deleted nor moved while held, and said so on both sides
  // (Windows' runtime library says access denied; the system's error tells).
  EXPECT_EQ(platform::OsCreateFile("c:\\held.xxx"), OsError::kSharingViolation);
  EXPECT_EQ(platform::OsDeleteFile("c:\\held.xxx"), OsError::kSharingViolation);
  EXPECT_EQ(platform::OsMoveFile("c:\\held.xxx", "c:\\moved.xxx"), OsError::kSharingViolation);
  EXPECT_FALSE(root_.Exists("moved.xxx"));

  ASSERT_EQ(platform::OsCloseFile(first), OsError::kNone);
  EXPECT_EQ(root_.Read("held.xxx").size(), 7u);
  FileHandle again = Open("c:\\held.xxx");
  EXPECT_NE(again, kInvalidFile);
  EXPECT_EQ(platform::OsCloseFile(again), OsError::kNone);
}

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

TEST_F(PlatformFiles, MoveNeverReplacesAnExistingTarget) {
  root_.Write("from.xxx", "source");
  root_.Write("to.xxx", "target");
  EXPECT_NE(platform::OsMoveFile("c:\\from.xxx", "c:\\to.xxx"), OsError::kNone);
  const std::vector<unsigned char> target = root_.Read("to.xxx");
  EXPECT_EQ(std::string(target.begin(), target.end()), "target");
  EXPECT_TRUE(root_.Exists("from.xxx"));
#if !defined(_WIN32)
  // A dangling symbolic link is an existing target too.
  fs::create_symlink(root_.File("nowhere"), root_.File("link.xxx"));
  EXPECT_NE(platform::OsMoveFile("c:\\from.xxx", "c:\\link.xxx"), OsError::kNone);
#endif

  EXPECT_EQ(platform::OsMoveFile("c:\\from.xxx", "c:\\new.xxx"), OsError::kNone);
  EXPECT_FALSE(root_.Exists("from.xxx"));
  const std::vector<unsigned char> moved = root_.Read("new.xxx");
  EXPECT_EQ(std::string(moved.begin(), moved.end()), "source");
}

// Positioned reads and writes meet the same bytes as a seek followed by a
// plain read or write, beyond 4 GiB too; a read past the end comes up short.
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
  EXPECT_EQ(count, 3);
  EXPECT_EQ(std::string(buffer, 3), "cde");

  platform::test::FailNthCall(platform::test::Operation::kRead, 1, OsError::kOther);
  count = 2;
  EXPECT_EQ(platform::OsReadFileAt(file, 200, buffer, &count), OsError::kOther);
  EXPECT_EQ(count, 0);
  platform::test::FailNthCall(platform::test::Operation::kDiskFullWrite, 1, OsError::kDiskFull);
  count = 2;
  EXPECT_EQ(platform::OsWriteFileAt(file, 300, "no", &count), OsError::kDiskFull);
  EXPECT_EQ(count, 0);
  platform::test::ClearFaults();
  EXPECT_EQ(fs::file_size(root_.File("at.xxx")), far + 5);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
}

#if !defined(_WIN32)
TEST_F(PlatformFiles, BadHandlesAndTheStandardStreams) {
  char buffer[4];
  std::int32_t count = 4;
  EXPECT_EQ(platform::OsReadFile(kInvalidFile, buffer, &count), OsError::kBadHandle);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(platform::OsCloseFile(kInvalidFile), OsError::kBadHandle);
  EXPECT_EQ(platform::OsSeekFile(kInvalidFile, 0, 0), OsError::kBadHandle);
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

#if !defined(_WIN32)
TEST_F(PlatformFiles, SetFileSizeAllocatesTheBlocks) {
  ASSERT_EQ(platform::OsCreateFile("c:\\sized.xxx"), OsError::kNone);
  FileHandle file = Open("c:\\sized.xxx");
  ASSERT_NE(file, kInvalidFile);
  ASSERT_EQ(platform::OsSetFileSize(file, 1 << 20), OsError::kNone);
  struct stat st;
  ASSERT_EQ(stat(root_.File("sized.xxx").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1 << 20);
  EXPECT_GE(std::int64_t(st.st_blocks) * 512, std::int64_t(1) << 20);  // not sparse
  ASSERT_EQ(platform::OsSetFileSize(file, 100), OsError::kNone);
  EXPECT_EQ(fs::file_size(root_.File("sized.xxx")), 100u);
  // Far more than any disk holds: refused at once, the size unchanged.
  EXPECT_EQ(platform::OsSetFileSize(file, std::uint64_t(1) << 60), OsError::kDiskFull);
  EXPECT_EQ(fs::file_size(root_.File("sized.xxx")), 100u);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
}

#endif  // !_WIN32

TEST_F(PlatformFiles, MappedFileIsSharedWithTheFileAndExtendsIt) {
  root_.Write("map.xxx", "abc");
  FileHandle file = Open("c:\\map.xxx");
  ASSERT_NE(file, kInvalidFile);
  platform::Mapping mapping;
  ASSERT_TRUE(platform::OsMapFile(file, 8192, &mapping));
  ASSERT_NE(mapping.view, nullptr);
  EXPECT_EQ(mapping.size, 8192u);
  auto* bytes = static_cast<unsigned char*>(mapping.view);
  EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
  EXPECT_EQ(bytes[8191], 0);  // the extension reads as zeros, no fault
  bytes[8191] = 0x5A;
  platform::OsFlushMapping(mapping);
  platform::OsUnmapFile(&mapping);
  EXPECT_EQ(mapping.view, nullptr);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
  const std::vector<unsigned char> content = root_.Read("map.xxx");
  ASSERT_EQ(content.size(), 8192u);
  EXPECT_EQ(content[8191], 0x5A);
}

TEST_F(PlatformFiles, AnonymousMappingIsZeroedAndRefusalIsHonoured) {
  platform::Mapping mapping;
  ASSERT_TRUE(platform::OsMapFile(kInvalidFile, 1 << 20, &mapping));
  const auto* bytes = static_cast<const unsigned char*>(mapping.view);
  bool zero = true;
  for (std::size_t i = 0; i < (1u << 20); i += 4093) zero = zero && bytes[i] == 0;
  EXPECT_TRUE(zero);
  platform::OsUnmapFile(&mapping);

  EXPECT_FALSE(platform::OsMapFile(kInvalidFile, 0, &mapping));
  platform::test::SetMappingRefused(true);
  EXPECT_FALSE(platform::OsMapFile(kInvalidFile, 4096, &mapping));
  EXPECT_EQ(mapping.view, nullptr);
  platform::test::SetMappingRefused(false);
  EXPECT_TRUE(platform::OsMapFile(kInvalidFile, 4096, &mapping));
  platform::OsUnmapFile(&mapping);
}

// Two unnamed files are separate, start empty, keep what is written at any
// position, leave nothing in the drive root and survive only while open.
TEST_F(PlatformFiles, UnnamedFilesArePrivateAndPositioned) {
  FileHandle a = kInvalidFile, b = kInvalidFile;
  ASSERT_EQ(platform::OsCreateAnonymousFile(&a), OsError::kNone);
  ASSERT_EQ(platform::OsCreateAnonymousFile(&b), OsError::kNone);
  EXPECT_NE(a, b);
  EXPECT_GT(a, 2);  // never a standard stream
  ASSERT_EQ(platform::OsSetFileSize(a, 3 << 20), OsError::kNone);
  const char text[] = "row 1000";
  ASSERT_EQ(platform::OsSeekFile(a, 1000 * 3000, 0), OsError::kNone);
  std::int32_t count = sizeof text;
  ASSERT_EQ(platform::OsWriteFile(a, text, &count), OsError::kNone);
  ASSERT_EQ(count, std::int32_t(sizeof text));

  char back[sizeof text] = {};
  count = sizeof back;
  ASSERT_EQ(platform::OsSeekFile(b, 1000 * 3000, 0), OsError::kNone);
  ASSERT_EQ(platform::OsReadFile(b, back, &count), OsError::kNone);
  EXPECT_EQ(count, 0);  // b is empty: nothing of a shows through
  count = sizeof back;
  ASSERT_EQ(platform::OsSeekFile(a, 1000 * 3000, 0), OsError::kNone);
  ASSERT_EQ(platform::OsReadFile(a, back, &count), OsError::kNone);
  EXPECT_STREQ(back, text);
  unsigned char zeros[64];
  count = sizeof zeros;
  ASSERT_EQ(platform::OsSeekFile(a, (3 << 20) - 64, 0), OsError::kNone);
  ASSERT_EQ(platform::OsReadFile(a, zeros, &count), OsError::kNone);
  EXPECT_EQ(count, 64);
  EXPECT_EQ(std::vector<unsigned char>(zeros, zeros + 64), std::vector<unsigned char>(64, 0));
  EXPECT_TRUE(std::filesystem::is_empty(root_.dir()));
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
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(p[i], 0);
  platform::OsFree(p);
  void* q = platform::OsAllocZeroed(0);
  EXPECT_NE(q, nullptr);
  platform::OsFree(q);
  platform::OsFree(nullptr);
}

}  // namespace
