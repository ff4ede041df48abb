// Where plug-in paths land on the POSIX side: the drive root from the
// environment, drive prefixes, separators, and the paths that are refused.
#if !defined(_WIN32)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "plugin/platform/platform.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;

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
    platform::FileHandle file = platform::kInvalidFile;
    EXPECT_EQ(platform::OsOpenFile(bad.c_str(), true, false, &file), platform::OsError::kBadName);
    EXPECT_EQ(file, platform::kInvalidFile);
    EXPECT_EQ(platform::OsCreateFile(bad.c_str()), platform::OsError::kBadName);
    EXPECT_EQ(platform::OsDeleteFile(bad.c_str()), platform::OsError::kBadName);
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
    EXPECT_EQ(platform::OsCreateFile("C:\\made.xxx"), platform::OsError::kNone);
    EXPECT_TRUE(fs::exists(c.expected / "made.xxx"));
    struct stat st;
    ASSERT_EQ(stat(c.expected.c_str(), &st), 0);
    if (c.root == nullptr || *c.root == '\0') {
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    EXPECT_EQ(fs::exists(s / "home"), c.expected.string().find("/home/") != std::string::npos);
  }
}

}  // namespace

#endif  // !_WIN32
