// The platform's files where the file layer cannot see: the fault-injection
// hook that every failure walk relies on, and the standard streams.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks.h"
#include "support/temp_root.h"

namespace {

using platform::FileHandle;
using platform::kInvalidFile;
using platform::OsError;
using platform::test::Operation;

class PlatformFiles : public ::testing::Test {
 protected:
  void SetUp() override { platform::test::ClearFaults(); }
  void TearDown() override { platform::test::ClearFaults(); }
  FileHandle Open(const char* path) {
    FileHandle file = kInvalidFile;
    return platform::OsOpenFile(path, true, false, &file) == OsError::kNone ? file : kInvalidFile;
  }
  testsupport::TempRoot root_;
};

// The armed calls of one operation fail, counted from arming; other
// operations, and the calls before and after, go on untouched. A failed call
// changes nothing: no emptied, moved or grown file, no moved position, no
// consumed bytes. Writes fail whole, or short with half written.
TEST_F(PlatformFiles, OnlyTheArmedCallsFailAndTheyChangeNothing) {
  const OsError a = OsError::kAccessDenied, nf = OsError::kNotFound;
  const struct {
    int n, repeat;
    OsError error;
    std::vector<OsError> results;  // of five deletes of a missing file
  } cases[] = {{2, 1, a, {nf, a, nf, nf, nf}},
               {2, 2, a, {nf, a, a, nf, nf}},
               {4, 0, a, {nf, nf, nf, a, a}},                               // from the 4th call on
               {0, 1, a, {nf, nf, nf, nf, nf}},                             // disarmed
               {1, 1, OsError::kNone, {OsError::kOther, nf, nf, nf, nf}}};  // never invisible
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n * 10 + c.repeat);
    platform::test::FailNthCall(Operation::kCreate, 1, OsError::kOther);
    platform::test::FailNthCall(Operation::kDelete, c.n, c.error, c.repeat);
    std::vector<OsError> results;
    for (int i = 0; i < 5; ++i) results.push_back(platform::OsDeleteFile("c:\\missing.xxx"));
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(platform::test::CallCount(Operation::kDelete), 5);
    EXPECT_EQ(platform::test::FaultsFired(Operation::kDelete),
              int(5 - std::count(c.results.begin(), c.results.end(), nf)));
    EXPECT_EQ(platform::test::CallCount(Operation::kCreate), 0);
    platform::test::ClearFaults();
    EXPECT_EQ(platform::OsCreateFile("c:\\a.xxx"), OsError::kNone);
  }
  root_.Write("f.xxx", "0123456789");
  platform::test::FailNthCall(Operation::kCreate, 1, OsError::kAccessDenied);
  EXPECT_EQ(platform::OsCreateFile("c:\\f.xxx"), OsError::kAccessDenied);
  platform::test::FailNthCall(Operation::kMove, 1, OsError::kOther);
  EXPECT_EQ(platform::OsMoveFile("c:\\f.xxx", "c:\\g.xxx"), OsError::kOther);
  EXPECT_FALSE(root_.Exists("g.xxx"));
  FileHandle file = Open("c:\\f.xxx");
  ASSERT_NE(file, kInvalidFile);
  platform::test::FailNthCall(Operation::kSeek, 1, OsError::kBadPosition);
  EXPECT_EQ(platform::OsSeekFile(file, 5, 0), OsError::kBadPosition);
  platform::test::FailNthCall(Operation::kRead, 1, OsError::kOther);
  char buffer[4] = {};
  std::int32_t count = 2;
  EXPECT_EQ(platform::OsReadFile(file, buffer, &count), OsError::kOther);
  EXPECT_EQ(count, 0);
  count = 2;
  ASSERT_EQ(platform::OsReadFile(file, buffer, &count), OsError::kNone);
  EXPECT_EQ(std::string(buffer, 2), "01");
  platform::test::FailNthCall(Operation::kSetSize, 1, OsError::kDiskFull);
  EXPECT_EQ(platform::OsSetFileSize(file, 100000), OsError::kDiskFull);
  // Both write faults count every write; a short one may report an error too.
  platform::test::FailNthCall(Operation::kShortWrite, 2, OsError::kNone);
  platform::test::FailNthCall(Operation::kDiskFullWrite, 3, OsError::kDiskFull);
  const struct {
    const char* text;
    OsError error;
    std::int32_t written;
  } writes[] = {{"AAAA", OsError::kNone, 4},
                {"BBBBB", OsError::kNone, 2},  // silent and short
                {"CCCC", OsError::kDiskFull, 0},
                {"D", OsError::kNone, 1}};
  for (const auto& w : writes) {
    count = std::int32_t(std::strlen(w.text));
    EXPECT_EQ(platform::OsWriteFile(file, w.text, &count), w.error) << w.text;
    EXPECT_EQ(count, w.written) << w.text;
  }
  platform::test::FailNthCall(Operation::kShortWrite, 1, OsError::kDiskFull);
  count = 4;
  EXPECT_EQ(platform::OsWriteFile(file, "EEEE", &count), OsError::kDiskFull);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
  EXPECT_EQ(root_.Text("f.xxx"), "01AAAABBDEE");
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
  FileHandle unnamed = kInvalidFile;
  const OsError made = platform::OsCreateAnonymousFile(&unnamed);
  dup2(saved, 0);
  close(saved);
  EXPECT_GE(file, 3);
  EXPECT_EQ(made, OsError::kNone);
  EXPECT_GE(unnamed, 3);
  EXPECT_EQ(platform::OsCloseFile(file), OsError::kNone);
  EXPECT_EQ(platform::OsCloseFile(unnamed), OsError::kNone);
}
#endif  // !_WIN32

}  // namespace
