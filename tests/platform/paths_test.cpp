// Where plug-in paths land on this system: the drive root from the
// environment, drive prefixes, separators, and the paths that are refused.
// The drive root and the path rules checked here are those of the POSIX side.
#if !defined(_WIN32)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "plugin/platform/platform.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;

// Sets or clears one environment variable for the life of the object.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvVar() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string Mapped(const char* path) {
  char out[4096];
  if (!platform::MapPath(path, out, sizeof out)) return "<refused>";
  return out;
}

TEST(MapPath, DrivePrefixOfAnyLetterGoesToTheRoot) {
  testsupport::TempRoot root;
  const std::string dir = root.dir().string();
  EXPECT_EQ(Mapped("c:\\BestFocus.xxx"), dir + "/BestFocus.xxx");
  EXPECT_EQ(Mapped("C:\\BestFocus.xxx"), dir + "/BestFocus.xxx");
  EXPECT_EQ(Mapped("D:\\Stack\\BestFocus.xxx"), dir + "/Stack/BestFocus.xxx");
  EXPECT_EQ(Mapped("z:/a/b"), dir + "/a/b");
  EXPECT_EQ(Mapped("q:\\"), dir + "/");
}

TEST(MapPath, OtherPathsPassWithBackslashesAsSeparators) {
  testsupport::TempRoot root;
  EXPECT_EQ(Mapped("/tmp/some/file.txt"), "/tmp/some/file.txt");
  EXPECT_EQ(Mapped("relative\\dir\\file"), "relative/dir/file");
  // Not a drive prefix: no separator after the colon, or no letter before it.
  EXPECT_EQ(Mapped("c:file"), "c:file");
  EXPECT_EQ(Mapped("1:\\x"), "1:/x");
  EXPECT_EQ(Mapped(""), "");
}

TEST(MapPath, ControlCharactersAreRefused) {
  testsupport::TempRoot root;
  EXPECT_EQ(Mapped("c:\\Stack\r\n\\BestFocus.xxx"), "<refused>");
  EXPECT_EQ(Mapped("/tmp/a\tb"), "<refused>");
  EXPECT_EQ(Mapped("c:\\\x01"), "<refused>");
  // Bytes above 0x7F are ordinary name bytes.
  EXPECT_NE(Mapped("c:\\caf\xc3\xa9"), "<refused>");
  platform::FileHandle file = platform::kInvalidFile;
  EXPECT_EQ(platform::OsOpenFile("c:\\a\nb", true, false, &file), platform::OsError::kBadName);
  EXPECT_EQ(platform::OsCreateFile("c:\\a\nb"), platform::OsError::kBadName);
  EXPECT_TRUE(fs::is_empty(root.dir()));
}

TEST(MapPath, ResultMustFitTheCapacity) {
  testsupport::TempRoot root;
  const std::string expected = root.dir().string() + "/ab";
  char out[256];
  EXPECT_TRUE(platform::MapPath("c:\\ab", out, expected.size() + 1));
  EXPECT_EQ(std::string(out), expected);
  EXPECT_FALSE(platform::MapPath("c:\\ab", out, expected.size()));
  EXPECT_FALSE(platform::MapPath(nullptr, out, sizeof out));
  EXPECT_FALSE(platform::MapPath("x", out, 0));
}

TEST(MapPath, OverLongPathsAreBadNames) {
  testsupport::TempRoot root;
  const std::string path = "c:\\" + std::string(5000, 'n');
  platform::FileHandle file = platform::kInvalidFile;
  EXPECT_EQ(platform::OsOpenFile(path.c_str(), true, false, &file), platform::OsError::kBadName);
  EXPECT_EQ(file, platform::kInvalidFile);
  EXPECT_EQ(platform::OsCreateFile(path.c_str()), platform::OsError::kBadName);
  EXPECT_EQ(platform::OsDeleteFile(path.c_str()), platform::OsError::kBadName);
}

class DriveRootFallbacks : public ::testing::Test {
 protected:
  testsupport::TempRoot scratch_;  // a private place for the fake homes
  EnvVar noRoot_{"SHARPSTACK_ROOT", nullptr};
};

TEST_F(DriveRootFallbacks, XdgDataHomeIsUsedAndTheRootCreatedPrivate) {
  const fs::path data = scratch_.dir() / "data";
  EnvVar xdg("XDG_DATA_HOME", data.c_str());
  EnvVar home("HOME", (scratch_.dir() / "home").c_str());
  EXPECT_EQ(Mapped("c:\\x.xxx"), (data / "sharpstack" / "x.xxx").string());
  struct stat st;
  ASSERT_EQ(stat((data / "sharpstack").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(fs::exists(scratch_.dir() / "home"));
}

TEST_F(DriveRootFallbacks, HomeIsUsedWhenXdgDataHomeIsUnsetOrRelative) {
  const fs::path home = scratch_.dir() / "home";
  EnvVar homeVar("HOME", home.c_str());
  const std::string expected = (home / ".local/share/sharpstack/x.xxx").string();
  {
    EnvVar xdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(Mapped("c:\\x.xxx"), expected);
  }
  {
    // The XDG rules ignore a relative value.
    EnvVar xdg("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(Mapped("c:\\x.xxx"), expected);
  }
  struct stat st;
  ASSERT_EQ(stat((home / ".local/share/sharpstack").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(DriveRootFallbacks, SharpstackRootWinsOverTheOthers) {
  const fs::path root = scratch_.dir() / "explicit";
  EnvVar rootVar("SHARPSTACK_ROOT", root.c_str());
  EnvVar xdg("XDG_DATA_HOME", (scratch_.dir() / "data").c_str());
  EXPECT_EQ(Mapped("c:\\x.xxx"), (root / "x.xxx").string());
  EXPECT_TRUE(fs::is_directory(root));
  // A file made through the mapped path really lands there.
  EXPECT_EQ(platform::OsCreateFile("C:\\made.xxx"), platform::OsError::kNone);
  EXPECT_TRUE(fs::exists(root / "made.xxx"));
  EXPECT_FALSE(fs::exists(scratch_.dir() / "data"));
}

TEST_F(DriveRootFallbacks, EmptySharpstackRootCountsAsUnset) {
  EnvVar rootVar("SHARPSTACK_ROOT", "");
  const fs::path data = scratch_.dir() / "data";
  EnvVar xdg("XDG_DATA_HOME", data.c_str());
  EXPECT_EQ(Mapped("c:\\x.xxx"), (data / "sharpstack" / "x.xxx").string());
}

}  // namespace

#endif  // !_WIN32
