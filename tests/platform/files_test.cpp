// The platform's files where the file layer cannot see: the fault-injection
// hook that every failure walk relies on, the standard streams, and where
// plug-in paths land on the POSIX side (the drive root from the environment,
// drive prefixes, separators, and the paths that are refused).
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
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
// changes nothing: no emptied or grown file (a moved or deleted one shows in
// the file layer's tests), no moved position, no consumed bytes. Writes fail
// whole, or short with half written.
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
  // With standard input closed the next descriptor would be 0 (which the file
  // layer takes for "no file"); files still get one above the standard streams.
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

std::string Mapped(const char* path) {
  char out[4096];
  if (!platform::MapPath(path, out, sizeof out)) return "<refused>";
  return out;
}

TEST(MapPath, DrivePrefixesSeparatorsAndRefusals) {
  testsupport::TempRoot root;
  const std::string dir = root.dir().string();
  const std::pair<const char*, std::string> cases[] = {
      {"c:\\BestFocus.xxx", dir + "/BestFocus.xxx"},
      {"C:\\BestFocus.xxx", dir + "/BestFocus.xxx"},
      {"D:\\Stack\\BestFocus.xxx", dir + "/Stack/BestFocus.xxx"},
      {"z:/a/b", dir + "/a/b"},
      {"q:\\", dir + "/"},
      {"/tmp/some/file.txt", "/tmp/some/file.txt"},
      {"relative\\dir\\file", "relative/dir/file"},
      {"c:file", "c:file"},  // not a drive prefix: no separator, or no letter
      {"1:\\x", "1:/x"},
      {"", ""},
      {"c:\\caf\xc3\xa9", dir + "/caf\xc3\xa9"},  // bytes above 0x7F are name bytes
      {"c:\\Stack\r\n\\BestFocus.xxx", "<refused>"},
      {"/tmp/a\tb", "<refused>"},
      {"c:\\\x01", "<refused>"}};
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(Mapped(path), expected) << path;
  }
  char out[256];
  EXPECT_TRUE(platform::MapPath("c:\\ab", out, dir.size() + 4));
  EXPECT_EQ(std::string(out), dir + "/ab");
  EXPECT_FALSE(platform::MapPath("c:\\ab", out, dir.size() + 3));  // one short
  EXPECT_FALSE(platform::MapPath(nullptr, out, sizeof out));
  EXPECT_FALSE(platform::MapPath("x", out, 0));
  // Refused names reach no file call.
  for (const std::string& bad : {std::string("c:\\a\nb"), "c:\\" + std::string(5000, 'n')}) {
    FileHandle file = kInvalidFile;
    EXPECT_EQ(platform::OsOpenFile(bad.c_str(), true, false, &file), OsError::kBadName);
    EXPECT_EQ(file, kInvalidFile);
    EXPECT_EQ(platform::OsCreateFile(bad.c_str()), OsError::kBadName);
    EXPECT_EQ(platform::OsDeleteFile(bad.c_str()), OsError::kBadName);
  }
  EXPECT_TRUE(fs::is_empty(root.dir()));
}

// SHARPSTACK_ROOT, else an absolute XDG_DATA_HOME, else HOME; the root is
// created private.
TEST(MapPath, DriveRootFallbacks) {
  testsupport::TempRoot scratch;
  const fs::path s = scratch.dir();
  const std::string explicitRoot = (s / "explicit").string(), data = (s / "data").string(),
                    home = (s / "home").string();
  struct Case {
    const char *root, *xdg;
    fs::path expected;
  };
  const Case cases[] = {{explicitRoot.c_str(), data.c_str(), s / "explicit"},
                        {"", data.c_str(), s / "data/sharpstack"},
                        {nullptr, data.c_str(), s / "data/sharpstack"},
                        {nullptr, nullptr, s / "home/.local/share/sharpstack"},
                        {nullptr, "relative/data", s / "home/.local/share/sharpstack"}};
  testsupport::ScopedVariable xdg("XDG_DATA_HOME", ""), homeVariable("HOME", home);
  auto set = [](const char* name, const char* value) {
    value ? setenv(name, value, 1) : unsetenv(name);
  };
  for (const Case& c : cases) {
    for (const char* made : {"explicit", "data", "home"}) fs::remove_all(s / made);
    set("SHARPSTACK_ROOT", c.root);
    set("XDG_DATA_HOME", c.xdg);
    EXPECT_EQ(Mapped("c:\\x.xxx"), (c.expected / "x.xxx").string()) << c.expected;
    EXPECT_EQ(platform::OsCreateFile("C:\\made.xxx"), OsError::kNone);
    EXPECT_TRUE(fs::exists(c.expected / "made.xxx"));
    struct stat st;
    ASSERT_EQ(stat(c.expected.c_str(), &st), 0);
    if (c.root == nullptr || *c.root == '\0') {
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    EXPECT_EQ(fs::exists(s / "home"), c.expected.string().find("/home/") != std::string::npos);
  }
}
#endif  // !_WIN32

}  // namespace
