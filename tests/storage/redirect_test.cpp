// The redirect file that moves every store out of the drive root.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/storage/file.h"
#include "plugin/storage/store.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;

class Redirect : public ::testing::Test {
 protected:
  void SetRedirect(const std::string& content) { root_.Write("TRUXPath.TXT", content); }
  std::string Redirected(const char* path) {
    char buffer[kStringSize];
    CopyBoundedForTest(path, buffer);
    if (!ApplyPathRedirect(buffer)) return "<refused>";
    return buffer;
  }
  static void CopyBoundedForTest(const char* path, char* buffer) {
    std::strncpy(buffer, path, kStringSize - 1);
    buffer[kStringSize - 1] = '\0';
  }
  testsupport::TempRoot root_;
};

TEST_F(Redirect, WithoutRedirectFilePathsStayAsWritten) {
  EXPECT_EQ(Redirected("C:\\BestFocus.xxx"), "C:\\BestFocus.xxx");
  ImageStore* store = nullptr;
  ASSERT_EQ(CreateImageStore("c:\\BestFocus.xxx", true, 2, 2, 6, &store), noErr);
  EXPECT_STREQ(store->path, "c:\\BestFocus.xxx");
  CloseImageStore(store);
  EXPECT_TRUE(root_.Exists("BestFocus.xxx"));
}

TEST_F(Redirect, PrefixReplacesTheDrive) {
  fs::create_directory(root_.File("Stack"));
  SetRedirect("D:\\Stack\\");
  EXPECT_EQ(Redirected("C:\\BestFocus.xxx"), "D:\\Stack\\BestFocus.xxx");
  EXPECT_EQ(Redirected(kResizingStorePath), "D:\\Stack\\ResizingImage.xxx");
  // Paths without a drive prefix are no store paths: left alone.
  EXPECT_EQ(Redirected("/var/tmp/x"), "/var/tmp/x");
  EXPECT_EQ(Redirected("ab"), "ab");

  // Every store operation follows it, the enlargement's resizing file too.
  ASSERT_EQ(EnsureImageStoreSize("C:\\BestFocus.xxx", 3, 3, 6), noErr);
  EXPECT_TRUE(root_.Exists("Stack/BestFocus.xxx"));
  EXPECT_FALSE(root_.Exists("BestFocus.xxx"));
  ASSERT_EQ(EnsureImageStoreSize("C:\\BestFocus.xxx", 3, 5, 6), noErr);
  std::int16_t w = 0, h = 0, e = 0;
  ASSERT_EQ(ReadImageStoreHeader("C:\\BestFocus.xxx", &w, &h, &e), noErr);
  EXPECT_EQ(h, 5);
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("C:\\BestFocus.xxx", &store), noErr);
  CloseImageStore(store);
  DisposeImageStore("C:\\BestFocus.xxx", nullptr);
  EXPECT_FALSE(root_.Exists("Stack/BestFocus.xxx"));
  // Only the redirect file and the empty folder remain.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_.dir()), fs::directory_iterator()), 2);
  EXPECT_TRUE(fs::is_empty(root_.File("Stack")));
}

TEST_F(Redirect, LineEndBecomesPartOfThePathAndEveryOpenFails) {
  fs::create_directory(root_.File("Stack"));
  SetRedirect("D:\\Stack\\\r\n");
  EXPECT_EQ(Redirected("c:\\x.xxx"), "D:\\Stack\\\r\nx.xxx");
  ImageStore* store = nullptr;
  EXPECT_EQ(CreateImageStore("c:\\x.xxx", true, 2, 2, 1, &store), bdNamErr);
  EXPECT_EQ(store, nullptr);
  EXPECT_EQ(OpenImageStore("c:\\x.xxx", &store), bdNamErr);
  EXPECT_EQ(EnsureImageStoreSize("c:\\x.xxx", 2, 2, 1), bdNamErr);
  EXPECT_TRUE(fs::is_empty(root_.File("Stack")));
}

TEST_F(Redirect, OverLongRedirectIsRefusedNotCut) {
  // 600 bytes: only 514 are read, and no path fits behind them.
  SetRedirect("D:\\" + std::string(596, 'd') + "\\");
  EXPECT_EQ(Redirected("c:\\x.xxx"), "<refused>");
  ImageStore* store = nullptr;
  EXPECT_EQ(CreateImageStore("c:\\x.xxx", true, 2, 2, 1, &store), bdNamErr);
  EXPECT_EQ(EnsureImageStoreSize("c:\\x.xxx", 2, 2, 1), bdNamErr);
  std::int16_t w, h, e;
  EXPECT_EQ(ReadImageStoreHeader("c:\\x.xxx", &w, &h, &e), bdNamErr);
  // A prefix that exactly fills the buffer with the name is still accepted.
  const std::string name = "x.xxx";
  SetRedirect("D:\\" + std::string(513 - 3 - 1 - name.size(), 'd') + "\\");
  EXPECT_EQ(Redirected("c:\\x.xxx").size(), 513u);
}

#if !defined(_WIN32)
TEST_F(Redirect, OverLongStorePathIsRefusedNotCut) {
  // 50 folders of 9 characters, then a name that passes 513 characters: cut
  // there, the path would name the file "0123456789" in the innermost folder.
  std::string folders;
  fs::path innermost = root_.dir();
  for (int i = 0; i < 50; ++i) {
    folders += "abcdefghi\\";
    innermost /= "abcdefghi";
  }
  fs::create_directories(innermost);
  const std::string path = "c:\\" + folders + "0123456789" + std::string(87, 'n');
  ASSERT_EQ(path.size(), 600u);
  ImageStore* store = nullptr;
  EXPECT_EQ(CreateImageStore(path.c_str(), true, 1, 1, 1, &store), bdNamErr);
  EXPECT_EQ(OpenImageStore(path.c_str(), &store), bdNamErr);
  EXPECT_EQ(EnsureImageStoreSize(path.c_str(), 1, 1, 1), bdNamErr);
  EXPECT_TRUE(fs::is_empty(innermost));
  // One character shorter than the buffer still works.
  const std::string fits = "c:\\" + folders + "0123456789";
  ASSERT_EQ(fits.size(), 513u);
  ASSERT_EQ(CreateImageStore(fits.c_str(), true, 1, 1, 1, &store), noErr);
  CloseImageStore(store);
  EXPECT_TRUE(fs::exists(innermost / "0123456789"));
}

#if !defined(_WIN32)
#endif  // !_WIN32

TEST_F(Redirect, BinaryBytesAreTakenUpToTheFirstZero) {
  fs::create_directory(root_.File("d\xe9j\xe0"));
  const std::string content = std::string("e:\\d\xe9j\xe0\\") + '\0' + "ignored\xff\x01";
  SetRedirect(content);
  EXPECT_EQ(Redirected("c:\\f.xxx"), "e:\\d\xe9j\xe0\\f.xxx");
  ImageStore* store = nullptr;
  ASSERT_EQ(CreateImageStore("c:\\f.xxx", true, 1, 1, 1, &store), noErr);
  CloseImageStore(store);
  EXPECT_TRUE(root_.Exists("d\xe9j\xe0/f.xxx"));
}

#endif  // !_WIN32

TEST_F(Redirect, MissingDirectoryMakesEveryStoreFail) {
  SetRedirect("D:\\NoSuchFolder\\");
  ImageStore* store = nullptr;
#if defined(_WIN32)
  const OSErr missingFolder = ioErr;  // "path not found" is not singled out there
#else
  const OSErr missingFolder = fnfErr;
#endif
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 1, 1, 1, &store), missingFolder);
  EXPECT_EQ(OpenImageStore("c:\\f.xxx", &store), missingFolder);
  EXPECT_EQ(EnsureImageStoreSize("c:\\f.xxx", 1, 1, 1), missingFolder);
  EXPECT_FALSE(root_.Exists("NoSuchFolder"));
  EXPECT_FALSE(root_.Exists("f.xxx"));
}

TEST_F(Redirect, EmptyRedirectFileChangesNothing) {
  SetRedirect("");
  EXPECT_EQ(Redirected("c:\\f.xxx"), "c:\\f.xxx");
}

#if !defined(_WIN32)
TEST_F(Redirect, AbsolutePrefixIsUsedAsIs) {
  // On this system a redirect may also name a directory outside the drive root.
  const fs::path elsewhere = root_.dir() / "elsewhere";
  fs::create_directory(elsewhere);
  SetRedirect(elsewhere.string() + "/");
  ASSERT_EQ(EnsureImageStoreSize("c:\\f.xxx", 2, 2, 2), noErr);
  EXPECT_TRUE(fs::exists(elsewhere / "f.xxx"));
}
#endif  // !_WIN32

}  // namespace
