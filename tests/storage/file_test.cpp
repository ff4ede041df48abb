// The file access layer: every operation with its status codes.
#include "plugin/storage/file.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "plugin/core/strings.h"
#include "plugin/platform/test_hooks.h"
#include "plugin/storage/store.h"
#include "storage/unprivileged.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using platform::kInvalidFile;

class FileLayer : public ::testing::Test {
 protected:
  void TearDown() override { platform::test::ClearFaults(); }
  std::string Text(const char* name) {
    const std::vector<unsigned char> bytes = root_.Read(name);
    return std::string(bytes.begin(), bytes.end());
  }
  // A root that an unprivileged child can reach and read, but not change.
  void OpenUpRoot() {
    fs::permissions(root_.dir(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  }
  testsupport::TempRoot root_;
};

TEST_F(FileLayer, OpenMissingFileOrDirectoryIsFileNotFound) {
  FileRef file = 0;
  EXPECT_EQ(OpenDataFile("c:\\missing.xxx", &file), fnfErr);
  EXPECT_EQ(file, kInvalidFile);
  // A missing folder: the same condition here; Windows reports it as an error
  // of its own (path not found), which the layer does not single out.
#if defined(_WIN32)
  EXPECT_EQ(OpenDataFile("c:\\nodir\\missing.xxx", &file), ioErr);
#else
  EXPECT_EQ(OpenDataFile("c:\\nodir\\missing.xxx", &file), fnfErr);
#endif
  EXPECT_EQ(OpenDataFileForAppend("c:\\missing.xxx", &file), fnfErr);
  EXPECT_EQ(file, kInvalidFile);
}

TEST_F(FileLayer, OpenRefusalsMapToTheirCodes) {
  FileRef file = 0;
  EXPECT_EQ(OpenDataFile("c:\\line\r\n", &file), bdNamErr);
  fs::create_directory(root_.File("dir"));
  EXPECT_EQ(OpenDataFile("c:\\dir", &file), permErr);
  EXPECT_EQ(file, kInvalidFile);
  root_.Write("held.xxx", "x");
  FileRef held = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\held.xxx", &held), noErr);
  EXPECT_EQ(OpenDataFile("c:\\held.xxx", &file), ioErr);  // a sharing violation
  EXPECT_EQ(CloseDataFile(held), noErr);
}

// Each reason the system gives keeps its meaning through every operation: a
// refused permission, a read-only volume, a link, a file held by another run.
TEST_F(FileLayer, EveryOperationNamesTheReasonOfARefusal) {
  using platform::OsError;
  using platform::test::Operation;
  root_.Write("f.xxx", "x");
  FileRef open = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\f.xxx", &open), noErr);
  struct Row {
    OsError error;
    OSErr open, create, write, remove, move;
  };
  const Row rows[] = {
      {OsError::kAccessDenied, permErr, wrPermErr, wrPermErr, wrPermErr, wrPermErr},
      {OsError::kReadOnlyVolume, wrPermErr, vLckdErr, vLckdErr, vLckdErr, vLckdErr},
      {OsError::kLink, notAFileErr, notAFileErr, notAFileErr, notAFileErr, notAFileErr},
      {OsError::kSharingViolation, ioErr, opWrErr, ioErr, fLckdErr, fLckdErr},
      {OsError::kNotFound, fnfErr, fnfErr, ioErr, fnfErr, fnfErr},
      {OsError::kDiskFull, ioErr, dskFulErr, dskFulErr, dskFulErr, dskFulErr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.error));
    FileRef file = kInvalidFile;
    platform::test::FailNthCall(Operation::kOpen, 1, r.error, 0);
    EXPECT_EQ(OpenDataFile("c:\\f.xxx", &file), r.open);
    platform::test::FailNthCall(Operation::kCreate, 1, r.error);
    EXPECT_EQ(CreateDataFile("c:\\g.xxx", 0, 0), r.create);
    platform::test::FailNthCall(Operation::kDiskFullWrite, 1, r.error);
    std::int32_t count = 1;
    EXPECT_EQ(WriteDataFile(open, &count, "y"), r.write);
    platform::test::FailNthCall(Operation::kDelete, 1, r.error);
    EXPECT_EQ(DeleteDataFile("c:\\f.xxx"), r.remove);
    platform::test::FailNthCall(Operation::kMove, 1, r.error);
    EXPECT_EQ(MoveDataFile("c:\\f.xxx", "c:\\h.xxx"), r.move);
    platform::test::ClearFaults();
  }
  EXPECT_EQ(CloseDataFile(open), noErr);
  EXPECT_EQ(Text("f.xxx"), "x");
}

#if !defined(_WIN32)
// A link at a file's name is refused, never written through.
TEST_F(FileLayer, SymbolicLinksAreNotFollowed) {
  root_.Write("target.txt", "keep");
  fs::create_symlink(root_.File("target.txt"), root_.File("TRUXlog.txt"));
  fs::create_symlink(root_.File("nowhere.txt"), root_.File("dangling.xxx"));
  FileRef file = kInvalidFile;
  EXPECT_EQ(OpenDataFileForAppend("c:\\TRUXlog.txt", &file), notAFileErr);
  EXPECT_EQ(CreateDataFile("c:\\TRUXlog.txt", 0, 0), notAFileErr);
  EXPECT_EQ(CreateDataFile("c:\\dangling.xxx", 0, 0), notAFileErr);
  EXPECT_EQ(Text("target.txt"), "keep");
  EXPECT_FALSE(root_.Exists("nowhere.txt"));
}

TEST_F(FileLayer, TooManyOpenFiles) {
  OpenUpRoot();
  for (int i = 0; i < 12; ++i) root_.Write("f" + std::to_string(i), "x");
  const int result = storagetest::RunUnprivileged([] {
    const rlimit limit{10, 10};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    OSErr last = noErr;
    for (int i = 0; i < 12 && last == noErr; ++i) {
      FileRef file = kInvalidFile;
      last = OpenDataFile(("c:\\f" + std::to_string(i)).c_str(), &file);
    }
    if (last != tmfoErr) return 2;
    if (CreateDataFile("c:\\new.xxx", FourCC("CREA"), FourCC("TYPE")) != tmfoErr) return 3;
    return 0;
  });
  EXPECT_EQ(result, 0);
}

#endif  // !_WIN32

#if !defined(_WIN32)
TEST_F(FileLayer, ReadOnlyFileOpensForReadingAndRefusesWrites) {
  OpenUpRoot();
  root_.Write("ro.xxx", "read me");
  fs::permissions(root_.File("ro.xxx"),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const int result = storagetest::RunUnprivileged([] {
    FileRef file = kInvalidFile;
    if (OpenDataFile("c:\\ro.xxx", &file) != noErr) return 1;
    char buffer[16] = {};
    std::int32_t count = 16;
    if (ReadDataFile(file, &count, buffer) != noErr || count != 7) return 2;
    count = 3;
    if (WriteDataFile(file, &count, "abc") != wrPermErr) return 3;
    if (CloseDataFile(file) != noErr) return 4;
    // Deleting needs the directory's permission, which the child lacks; so
    // does making a file there, which the open after it cannot tell.
    if (DeleteDataFile("c:\\ro.xxx") != wrPermErr) return 5;
    if (CreateDataFile("c:\\new.xxx", 0, 0) != wrPermErr) return 6;
    ImageStore* store = nullptr;
    if (CreateImageStore("c:\\new.xxx", true, 2, 2, 2, &store) != wrPermErr) return 7;
    if (MoveDataFile("c:\\ro.xxx", "c:\\moved.xxx") != wrPermErr) return 8;
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Text("ro.xxx"), "read me");
}

#endif  // !_WIN32

TEST_F(FileLayer, CreateEmptiesAndLeavesClosed) {
  root_.Write("c.xxx", "previous content");
  EXPECT_EQ(CreateDataFile("c:\\c.xxx", FourCC("CREA"), FourCC("TYPE")), noErr);
  EXPECT_EQ(fs::file_size(root_.File("c.xxx")), 0u);
  FileRef file = kInvalidFile;
  EXPECT_EQ(OpenDataFile("c:\\c.xxx", &file), noErr);  // not held by the create
  // While held it is neither emptied nor replaced.
  root_.Write("held.xxx", "keep");
  FileRef held = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\held.xxx", &held), noErr);
  EXPECT_EQ(CreateDataFile("c:\\held.xxx", FourCC("ttxt"), FourCC("TEXT")), opWrErr);
  EXPECT_EQ(CreateDataFile("c:\\nodir\\x.xxx", 0, 0), fnfErr);
  fs::create_directory(root_.File("dir"));
  EXPECT_EQ(CreateDataFile("c:\\dir", 0, 0), wrPermErr);
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(CloseDataFile(held), noErr);
  EXPECT_EQ(Text("held.xxx"), "keep");
}

TEST_F(FileLayer, WriteThenReadBackWithPositions) {
  ASSERT_EQ(CreateDataFile("c:\\rw.xxx", 0, 0), noErr);
  FileRef file = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\rw.xxx", &file), noErr);
  std::int32_t count = 6;
  ASSERT_EQ(WriteDataFile(file, &count, "abcdef"), noErr);
  EXPECT_EQ(count, 6);
  char buffer[8] = {};
  // Mode 0 moves nothing, even with an offset.
  EXPECT_EQ(SetDataFilePosition(file, kPositionStay, -100), noErr);
  count = 8;
  EXPECT_EQ(ReadDataFile(file, &count, buffer), noErr);
  EXPECT_EQ(count, 0);  // still at the end: nothing to read, and no error
  EXPECT_EQ(SetDataFilePosition(file, kPositionFromStart, 1), noErr);
  count = 2;
  EXPECT_EQ(ReadDataFile(file, &count, buffer), noErr);
  EXPECT_EQ(std::string(buffer, 2), "bc");
  EXPECT_EQ(SetDataFilePosition(file, kPositionFromMark, 1), noErr);
  count = 1;
  EXPECT_EQ(ReadDataFile(file, &count, buffer), noErr);
  EXPECT_EQ(buffer[0], 'e');
  EXPECT_EQ(SetDataFilePosition(file, kPositionFromEnd, -6), noErr);
  count = 1;
  EXPECT_EQ(ReadDataFile(file, &count, buffer), noErr);
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_EQ(SetDataFilePosition(file, kPositionFromStart, -1), posErr);
  EXPECT_EQ(SetDataFilePosition(file, kPositionFromEnd, -7), posErr);
  // Any other mode goes to the platform, which has no such method: no error.
  EXPECT_EQ(SetDataFilePosition(file, 9, 0), noErr);
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(Text("rw.xxx"), "abcdef");
}

TEST_F(FileLayer, BadReferences) {
  EXPECT_EQ(CloseDataFile(kInvalidFile), rfNumErr);
  EXPECT_EQ(CloseDataFile(0), rfNumErr);  // "no file" never closes a stream
  EXPECT_EQ(SetDataFilePosition(kInvalidFile, kPositionFromStart, 0), rfNumErr);
  char buffer[4];
  std::int32_t count = 4;
  EXPECT_EQ(ReadDataFile(kInvalidFile, &count, buffer), ioErr);
  EXPECT_EQ(count, 0);
  count = 4;
  EXPECT_EQ(WriteDataFile(kInvalidFile, &count, buffer), ioErr);
  // A closed handle is a bad reference too.
  root_.Write("x.xxx", "x");
  FileRef file = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\x.xxx", &file), noErr);
  ASSERT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(CloseDataFile(file), rfNumErr);
}

TEST_F(FileLayer, DiskFullWriteReportsWhatArrived) {
  ASSERT_EQ(CreateDataFile("c:\\full.xxx", 0, 0), noErr);
  FileRef file = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\full.xxx", &file), noErr);
  platform::test::FailNthCall(platform::test::Operation::kDiskFullWrite, 1,
                              platform::OsError::kDiskFull);
  std::int32_t count = 4;
  EXPECT_EQ(WriteDataFile(file, &count, "data"), dskFulErr);
  EXPECT_EQ(count, 0);
  platform::test::FailNthCall(platform::test::Operation::kShortWrite, 1, platform::OsError::kNone);
  count = 4;
  EXPECT_EQ(WriteDataFile(file, &count, "data"), noErr);  // short, yet a success
  EXPECT_EQ(count, 2);
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(Text("full.xxx"), "da");
}

TEST_F(FileLayer, DeleteAndItsCodes) {
  EXPECT_EQ(DeleteDataFile("c:\\missing.xxx"), fnfErr);
  root_.Write("d.xxx", "x");
  FileRef file = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\d.xxx", &file), noErr);
  EXPECT_EQ(DeleteDataFile("c:\\d.xxx"), fLckdErr);
  EXPECT_TRUE(root_.Exists("d.xxx"));
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(DeleteDataFile("c:\\d.xxx"), noErr);
  EXPECT_FALSE(root_.Exists("d.xxx"));
}

TEST_F(FileLayer, MoveSucceedsOnlyOntoAFreeName) {
  root_.Write("a.xxx", "A");
  root_.Write("b.xxx", "B");
  EXPECT_EQ(MoveDataFile("c:\\a.xxx", "c:\\b.xxx"), ioErr);
  EXPECT_EQ(Text("b.xxx"), "B");
  EXPECT_EQ(MoveDataFile("c:\\missing.xxx", "c:\\c.xxx"), fnfErr);
  EXPECT_EQ(MoveDataFile("c:\\a.xxx", "c:\\c.xxx"), noErr);
  EXPECT_FALSE(root_.Exists("a.xxx"));
  EXPECT_EQ(Text("c.xxx"), "A");
}

TEST_F(FileLayer, AppendStartsAtTheEnd) {
  // Longer than one read chunk, so the walk to the end takes several reads.
  const std::string big(70000, 'b');
  root_.Write("log.txt", big);
  FileRef file = kInvalidFile;
  ASSERT_EQ(OpenDataFileForAppend("c:\\log.txt", &file), noErr);
  std::int32_t count = 3;
  ASSERT_EQ(WriteDataFile(file, &count, "END"), noErr);
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(Text("log.txt"), big + "END");

  root_.Write("empty.txt", "");
  ASSERT_EQ(OpenDataFileForAppend("c:\\empty.txt", &file), noErr);
  count = 2;
  ASSERT_EQ(WriteDataFile(file, &count, "hi"), noErr);
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(Text("empty.txt"), "hi");
}

TEST_F(FileLayer, AppendThatCannotReachTheEndGivesNoHandle) {
  root_.Write("log.txt", "abc");
  platform::test::FailNthCall(platform::test::Operation::kRead, 1, platform::OsError::kOther);
  FileRef file = 0;
  EXPECT_EQ(OpenDataFileForAppend("c:\\log.txt", &file), ioErr);
  EXPECT_EQ(file, kInvalidFile);
  platform::test::ClearFaults();
  // ... and the file was closed again: it opens.
  ASSERT_EQ(OpenDataFile("c:\\log.txt", &file), noErr);
  EXPECT_EQ(CloseDataFile(file), noErr);
}

}  // namespace
