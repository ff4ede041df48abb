// The fault-injection hook: which call fails, how, and that everything else
// goes on untouched.
#include <gtest/gtest.h>

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
using platform::test::Operation;

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override { platform::test::ClearFaults(); }
  void TearDown() override { platform::test::ClearFaults(); }
  FileHandle OpenRW(const char* path) {
    FileHandle file = kInvalidFile;
    return platform::OsOpenFile(path, true, false, &file) == OsError::kNone ? file : kInvalidFile;
  }
  std::string Text(const char* name) {
    const std::vector<unsigned char> bytes = root_.Read(name);
    return std::string(bytes.begin(), bytes.end());
  }
  testsupport::TempRoot root_;
};

TEST_F(FaultInjection, OnlyTheNthCallFailsWithTheChosenError) {
  root_.Write("f.xxx", "x");
  platform::test::FailNthCall(Operation::kOpen, 2, OsError::kTooManyFiles);
  std::vector<OsError> results;
  for (int i = 0; i < 4; ++i) {
    FileHandle file = kInvalidFile;
    results.push_back(platform::OsOpenFile("c:\\f.xxx", true, false, &file));
    if (i == 1) {
      EXPECT_EQ(file, kInvalidFile);
    }
    if (file != kInvalidFile) platform::OsCloseFile(file);
  }
  EXPECT_EQ(results, (std::vector<OsError>{OsError::kNone, OsError::kTooManyFiles, OsError::kNone,
                                           OsError::kNone}));
  EXPECT_EQ(platform::test::CallCount(Operation::kOpen), 4);
  EXPECT_EQ(platform::test::FaultsFired(Operation::kOpen), 1);
  // Other operations were counted on their own.
  EXPECT_EQ(platform::test::CallCount(Operation::kClose), 3);
}

TEST_F(FaultInjection, RepeatPersistentAndClearedFaults) {
  root_.Write("f.xxx", "x");
  auto deleteMissing = [] { return platform::OsDeleteFile("c:\\missing.xxx"); };
  platform::test::FailNthCall(Operation::kDelete, 2, OsError::kAccessDenied, 2);
  EXPECT_EQ(deleteMissing(), OsError::kNotFound);
  EXPECT_EQ(deleteMissing(), OsError::kAccessDenied);
  EXPECT_EQ(deleteMissing(), OsError::kAccessDenied);
  EXPECT_EQ(deleteMissing(), OsError::kNotFound);
  EXPECT_EQ(platform::test::FaultsFired(Operation::kDelete), 2);

  platform::test::FailNthCall(Operation::kDelete, 1, OsError::kAccessDenied, 0);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(platform::OsDeleteFile("c:\\f.xxx"), OsError::kAccessDenied);
  EXPECT_TRUE(root_.Exists("f.xxx"));
  EXPECT_EQ(platform::test::CallCount(Operation::kDelete), 5);

  // n of 0 disarms, and re-arming restarts the count.
  platform::test::FailNthCall(Operation::kDelete, 0, OsError::kAccessDenied);
  EXPECT_EQ(platform::OsDeleteFile("c:\\f.xxx"), OsError::kNone);
  EXPECT_EQ(platform::test::CallCount(Operation::kDelete), 1);
  // Off after clearing; a fault armed with kNone still fails, or it would be invisible.
  platform::test::FailNthCall(Operation::kCreate, 1, OsError::kNotFound);
  platform::test::ClearFaults();
  EXPECT_EQ(platform::OsCreateFile("c:\\a.xxx"), OsError::kNone);
  EXPECT_EQ(platform::test::FaultsFired(Operation::kCreate), 0);
  EXPECT_EQ(platform::test::CallCount(Operation::kCreate), 1);
  platform::test::FailNthCall(Operation::kCreate, 1, OsError::kNone);
  EXPECT_NE(platform::OsCreateFile("c:\\a.xxx"), OsError::kNone);
}

TEST_F(FaultInjection, FailedFileCallsChangeNothing) {
  root_.Write("f.xxx", "0123456789");
  platform::test::FailNthCall(Operation::kCreate, 1, OsError::kAccessDenied);
  EXPECT_EQ(platform::OsCreateFile("c:\\f.xxx"), OsError::kAccessDenied);
  EXPECT_EQ(Text("f.xxx"), "0123456789");  // not emptied

  platform::test::FailNthCall(Operation::kMove, 1, OsError::kOther);
  EXPECT_EQ(platform::OsMoveFile("c:\\f.xxx", "c:\\g.xxx"), OsError::kOther);
  EXPECT_TRUE(root_.Exists("f.xxx"));
  EXPECT_FALSE(root_.Exists("g.xxx"));

  FileHandle file = OpenRW("c:\\f.xxx");
  ASSERT_NE(file, kInvalidFile);
  platform::test::FailNthCall(Operation::kSeek, 1, OsError::kBadPosition);
  EXPECT_EQ(platform::OsSeekFile(file, 5, 0), OsError::kBadPosition);
  char buffer[4] = {};
  std::int32_t count = 2;
  ASSERT_EQ(platform::OsReadFile(file, buffer, &count), OsError::kNone);
  EXPECT_EQ(std::string(buffer, 2), "01");  // the failed seek did not move

  platform::test::FailNthCall(Operation::kRead, 1, OsError::kOther);
  count = 2;
  EXPECT_EQ(platform::OsReadFile(file, buffer, &count), OsError::kOther);
  EXPECT_EQ(count, 0);
  count = 2;
  ASSERT_EQ(platform::OsReadFile(file, buffer, &count), OsError::kNone);
  EXPECT_EQ(std::string(buffer, 2), "23");  // the failed read consumed nothing

  platform::test::FailNthCall(Operation::kSetSize, 1, OsError::kDiskFull);
  EXPECT_EQ(platform::OsSetFileSize(file, 100000), OsError::kDiskFull);
  EXPECT_EQ(fs::file_size(root_.File("f.xxx")), 10u);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
}

TEST_F(FaultInjection, ShortAndDiskFullWrites) {
  ASSERT_EQ(platform::OsCreateFile("c:\\w.xxx"), OsError::kNone);
  FileHandle file = OpenRW("c:\\w.xxx");
  ASSERT_NE(file, kInvalidFile);
  // Both write faults count every write.
  platform::test::FailNthCall(Operation::kShortWrite, 2, OsError::kNone);
  platform::test::FailNthCall(Operation::kDiskFullWrite, 3, OsError::kDiskFull);
  std::int32_t count = 4;
  EXPECT_EQ(platform::OsWriteFile(file, "AAAA", &count), OsError::kNone);
  EXPECT_EQ(count, 4);
  count = 5;
  EXPECT_EQ(platform::OsWriteFile(file, "BBBBB", &count), OsError::kNone);  // silent and short
  EXPECT_EQ(count, 2);
  count = 4;
  EXPECT_EQ(platform::OsWriteFile(file, "CCCC", &count), OsError::kDiskFull);
  EXPECT_EQ(count, 0);
  count = 1;
  EXPECT_EQ(platform::OsWriteFile(file, "D", &count), OsError::kNone);
  EXPECT_EQ(platform::test::CallCount(Operation::kShortWrite), 4);
  EXPECT_EQ(platform::test::CallCount(Operation::kDiskFullWrite), 4);
  // A short write that also reports an error.
  platform::test::FailNthCall(Operation::kShortWrite, 1, OsError::kDiskFull);
  count = 4;
  EXPECT_EQ(platform::OsWriteFile(file, "EEEE", &count), OsError::kDiskFull);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
  EXPECT_EQ(Text("w.xxx"), "AAAABBDEE");
}

TEST_F(FaultInjection, FailedCloseStillReleasesTheFile) {
  root_.Write("c.xxx", "x");
  FileHandle file = OpenRW("c:\\c.xxx");
  ASSERT_NE(file, kInvalidFile);
  platform::test::FailNthCall(Operation::kClose, 1, OsError::kOther);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kOther);
  FileHandle again = OpenRW("c:\\c.xxx");  // no lock left behind
  EXPECT_NE(again, kInvalidFile);
  EXPECT_EQ(platform::OsCloseFile(again), OsError::kNone);
}

}  // namespace
