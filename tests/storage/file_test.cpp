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
#include "support/temp_root.h"
#include "support/unprivileged.h"

namespace {

namespace fs = std::filesystem;
using platform::kInvalidFile;

class FileLayer : public ::testing::Test {
 protected:
  void TearDown() override { platform::test::ClearFaults(); }
  testsupport::TempRoot root_;
};

// Real files: missing, a folder, a bad name, one held by another opener.
TEST_F(FileLayer, EveryOperationOnRealFilesGivesItsStatus) {
  fs::create_directory(root_.File("dir"));
  root_.Write("held.xxx", "keep");
  root_.Write("a.xxx", "A");
  FileRef held = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\held.xxx", &held), noErr);
#if defined(_WIN32)
  const OSErr missingFolder = ioErr;  // "path not found" is not singled out there
#else
  const OSErr missingFolder = fnfErr;
#endif
  struct Case {
    const char* path;
    OSErr open, remove, create;
  };
  const Case cases[] = {{"c:\\missing.xxx", fnfErr, fnfErr, noErr},
                        {"c:\\nodir\\missing.xxx", missingFolder, fnfErr, fnfErr},
                        {"c:\\dir", permErr, wrPermErr, wrPermErr},
                        {"c:\\held.xxx", ioErr, fLckdErr, opWrErr}};
  for (const Case& c : cases) {
    FileRef file = 0;
    EXPECT_EQ(OpenDataFile(c.path, &file), c.open) << c.path;
    EXPECT_EQ(file, kInvalidFile);
    if (c.open == fnfErr) {
      EXPECT_EQ(OpenDataFileForAppend(c.path, &file), fnfErr);
    }
    EXPECT_EQ(DeleteDataFile(c.path), c.remove) << c.path;
    EXPECT_EQ(CreateDataFile(c.path, FourCC("CREA"), FourCC("TYPE")), c.create) << c.path;
  }
  EXPECT_EQ(MoveDataFile("c:\\held.xxx", "c:\\moved.xxx"), fLckdErr);
  EXPECT_EQ(CloseDataFile(held), noErr);
  EXPECT_EQ(root_.Text("held.xxx"), "keep");
  // Create empties a file and leaves it closed; move only onto a free name.
  EXPECT_EQ(CreateDataFile("c:\\held.xxx", 0, 0), noErr);
  EXPECT_EQ(root_.Text("held.xxx"), "");
  EXPECT_EQ(MoveDataFile("c:\\a.xxx", "c:\\held.xxx"), ioErr);
  EXPECT_EQ(MoveDataFile("c:\\gone.xxx", "c:\\c.xxx"), fnfErr);
  EXPECT_EQ(MoveDataFile("c:\\a.xxx", "c:\\c.xxx"), noErr);
  EXPECT_EQ(root_.Text("c.xxx"), "A");
  EXPECT_EQ(DeleteDataFile("c:\\held.xxx"), noErr);
  EXPECT_FALSE(root_.Exists("held.xxx") || root_.Exists("a.xxx"));
}

// Each reason the system gives keeps its meaning through every operation.
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
      {OsError::kTooManyFiles, tmfoErr, tmfoErr, ioErr, noErr, ioErr},
      {OsError::kBadName, bdNamErr, noErr, ioErr, noErr, bdNamErr},
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
  EXPECT_EQ(root_.Text("f.xxx"), "x");
}

#if !defined(_WIN32)
TEST_F(FileLayer, LinksReadOnlyFilesAndTheOpenFileLimitAsTheSystemSetsThem) {
  // A link at a file's name is refused, never written through.
  root_.Write("target.txt", "keep");
  fs::create_symlink(root_.File("target.txt"), root_.File("TRUXlog.txt"));
  fs::create_symlink(root_.File("nowhere.txt"), root_.File("dangling.xxx"));
  FileRef file = kInvalidFile;
  EXPECT_EQ(OpenDataFileForAppend("c:\\TRUXlog.txt", &file), notAFileErr);
  EXPECT_EQ(CreateDataFile("c:\\TRUXlog.txt", 0, 0), notAFileErr);
  EXPECT_EQ(CreateDataFile("c:\\dangling.xxx", 0, 0), notAFileErr);
  EXPECT_NE(MoveDataFile("c:\\target.txt", "c:\\dangling.xxx"), noErr);  // never replaced
  EXPECT_EQ(root_.Text("target.txt"), "keep");
  EXPECT_FALSE(root_.Exists("nowhere.txt"));
  // A root an unprivileged child can read but not change.
  fs::permissions(root_.dir(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  root_.Write("ro.xxx", "read me");
  fs::permissions(root_.File("ro.xxx"),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  for (int i = 0; i < 12; ++i) root_.Write("f" + std::to_string(i), "x");
  EXPECT_EQ(testsupport::RunUnprivileged([] {
              FileRef ro = kInvalidFile;
              if (OpenDataFile("c:\\ro.xxx", &ro) != noErr) return 1;  // for reading alone
              char buffer[16] = {};
              std::int32_t count = 16;
              if (ReadDataFile(ro, &count, buffer) != noErr || count != 7) return 2;
              count = 3;
              if (WriteDataFile(ro, &count, "abc") != wrPermErr) return 3;
              if (CloseDataFile(ro) != noErr) return 4;
              if (DeleteDataFile("c:\\ro.xxx") != wrPermErr) return 5;
              if (CreateDataFile("c:\\new.xxx", 0, 0) != wrPermErr) return 6;
              ImageStore* store = nullptr;
              if (CreateImageStore("c:\\new.xxx", true, 2, 2, 2, &store) != wrPermErr) return 7;
              if (MoveDataFile("c:\\ro.xxx", "c:\\moved.xxx") != wrPermErr) return 8;
              const rlimit limit{10, 10};
              if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 9;
              OSErr last = noErr;
              for (int i = 0; i < 12 && last == noErr; ++i) {
                FileRef f = kInvalidFile;
                last = OpenDataFile(("c:\\f" + std::to_string(i)).c_str(), &f);
              }
              if (last != tmfoErr) return 10;
              return CreateDataFile("c:\\new.xxx", 0, 0) != tmfoErr ? 11 : 0;
            }),
            0);
  EXPECT_EQ(root_.Text("ro.xxx"), "read me");
}
#endif  // !_WIN32

TEST_F(FileLayer, WriteThenReadBackWithPositionsThenAppend) {
  ASSERT_EQ(CreateDataFile("c:\\rw.xxx", 0, 0), noErr);
  FileRef file = kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\rw.xxx", &file), noErr);
  std::int32_t count = 6;
  ASSERT_EQ(WriteDataFile(file, &count, "abcdef"), noErr);
  EXPECT_EQ(count, 6);
  // Mode, offset, then the byte read there ('\0': nothing, at the end).
  struct Step {
    std::int16_t mode;
    std::int32_t offset;
    char read;
  };
  const Step steps[] = {{kPositionStay, -100, '\0'},
                        {kPositionFromStart, 1, 'b'},
                        {kPositionFromMark, 1, 'd'},
                        {kPositionFromEnd, -6, 'a'},
                        {9, 0, 'b'}};  // an unknown mode moves nothing, and is no error
  for (const Step& s : steps) {
    EXPECT_EQ(SetDataFilePosition(file, s.mode, s.offset), noErr) << s.mode;
    char byte = '\0';
    count = 1;
    EXPECT_EQ(ReadDataFile(file, &count, &byte), noErr);
    EXPECT_EQ(count, s.read == '\0' ? 0 : 1);
    EXPECT_EQ(byte, s.read) << s.mode;
  }
  EXPECT_EQ(SetDataFilePosition(file, kPositionFromStart, -1), posErr);
  EXPECT_EQ(SetDataFilePosition(file, kPositionFromEnd, -7), posErr);
  EXPECT_EQ(CloseDataFile(file), noErr);
  EXPECT_EQ(root_.Text("rw.xxx"), "abcdef");
  // Closed, invalid or "no file" handles are bad references.
  for (FileRef bad : {file, kInvalidFile, FileRef(0)}) EXPECT_EQ(CloseDataFile(bad), rfNumErr);
  EXPECT_EQ(SetDataFilePosition(kInvalidFile, kPositionFromStart, 0), rfNumErr);
  char buffer[4];
  count = 4;
  EXPECT_EQ(ReadDataFile(kInvalidFile, &count, buffer), ioErr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(WriteDataFile(kInvalidFile, &count, buffer), ioErr);
  // Appending starts at the end, of a file longer than one read chunk (the
  // walk to the end takes several reads) or of an empty one.
  for (const std::string& text : {std::string(70000, 'b'), std::string()}) {
    root_.Write("log.txt", text);
    ASSERT_EQ(OpenDataFileForAppend("c:\\log.txt", &file), noErr);
    count = 3;
    ASSERT_EQ(WriteDataFile(file, &count, "END"), noErr);
    EXPECT_EQ(CloseDataFile(file), noErr);
    EXPECT_EQ(root_.Text("log.txt"), text + "END");
  }
  platform::test::FailNthCall(platform::test::Operation::kRead, 1, platform::OsError::kOther);
  file = 0;
  EXPECT_EQ(OpenDataFileForAppend("c:\\log.txt", &file), ioErr);
  EXPECT_EQ(file, kInvalidFile);
  platform::test::ClearFaults();
  ASSERT_EQ(OpenDataFile("c:\\log.txt", &file), noErr);  // closed again: it opens
  EXPECT_EQ(CloseDataFile(file), noErr);
}

}  // namespace
