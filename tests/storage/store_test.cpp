// Image stores in the mapped and the positioned mode, the redirect file, and
// the file access layer under them with its status codes.
#include "plugin/storage/store.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plugin/core/strings.h"
#include "plugin/platform/test_hooks.h"
#include "plugin/storage/file.h"
#include "support/temp_root.h"
#include "support/unprivileged.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using platform::kInvalidFile;
using platform::OsError;
namespace hooks = platform::test;
using hooks::Operation;
using testsupport::StoreFileHeader;

std::uint8_t Pattern(int row, int byte) {
  return std::uint8_t(row * 31 + byte * 7 + 1);
}

class FileLayer : public ::testing::Test {
 protected:
  void TearDown() override { hooks::ClearFaults(); }
  testsupport::TempRoot root_;
};

// Store tests run with whole-store mappings and with positioned file access.
class Stores : public FileLayer, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { UseMode(GetParam()); }
  void TearDown() override {
    hooks::SetMappingRefused(false);
    hooks::SetStoreAccess(hooks::StoreAccess::kSystem);
    FileLayer::TearDown();
  }
  static void UseMode(bool mapped) {
    hooks::SetStoreAccess(mapped ? hooks::StoreAccess::kMapped : hooks::StoreAccess::kPositioned);
  }
  bool Mapped() const { return GetParam(); }

  // Creates c:\<name> filled with Pattern and closes it.
  void MakeStore(int width, int height, int elementSize, const std::string& name = "buf.xxx") {
    ImageStore* store = nullptr;
    ASSERT_EQ(CreateImageStore(("c:\\" + name).c_str(), true, std::int16_t(width),
                               std::int16_t(height), std::int16_t(elementSize), &store),
              noErr);
    std::vector<std::uint8_t> row(store->rowSize);
    for (int r = 0; r < height; ++r) {
      for (std::size_t b = 0; b < row.size(); ++b) row[b] = Pattern(r, int(b));
      WriteStoreRow(store, 0, r, std::int32_t(row.size()), row.data());
    }
    CloseImageStore(store);
  }
  // The file is exactly the header and the rows of a store of the given size
  // whose first oldHeight rows and oldRow bytes hold Pattern, zeros elsewhere.
  void ExpectFile(int width, int height, int elementSize, int oldHeight, int oldRow,
                  const std::string& when, bool resizingGone = true) {
    const int row = width * elementSize;
    Bytes expected = StoreFileHeader(elementSize, width, height, std::size_t(row) * height);
    for (int r = 0; r < std::min(height, oldHeight); ++r)
      for (int b = 0; b < std::min(row, oldRow); ++b) expected[6 + r * row + b] = Pattern(r, b);
    EXPECT_EQ(root_.Read("buf.xxx"), expected) << when;
    if (resizingGone) {
      EXPECT_FALSE(root_.Exists("ResizingImage.xxx")) << when;
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Modes, Stores, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "Mapped" : "FileMode";
                         });

TEST_P(Stores, WrittenInOneModeReadsBackInEither) {
  root_.Write("buf.xxx", Bytes(5000, 0xEE));  // replaced, nothing of it left
  for (auto [w, h, e] : {std::tuple{7, 5, 3}, {3, 2, 2}, {0, 5, 2}, {500, 400, 6}}) {
    MakeStore(w, h, e);
    ExpectFile(w, h, e, h, w * e, "written");
    for (bool mapped : {Mapped(), !Mapped()}) {
      UseMode(mapped);
      ImageStore* store = nullptr;
      ASSERT_EQ(OpenImageStore("c:\\buf.xxx", &store), noErr);
      EXPECT_EQ(store->mapped, mapped ? 1 : 0);
      StoreHeader header{};
      GetStoreHeader(store, &header);
      EXPECT_EQ(std::tuple(header.elementSize, header.width, header.height), std::tuple(e, w, h));
      std::vector<std::uint8_t> row(std::size_t(w * e) + 1, 0x77);
      for (int r = 0; r < h; ++r) {
        ReadStoreRow(store, 0, r, w * e, row.data());
        for (int b = 0; b < w * e; ++b) ASSERT_EQ(row[b], Pattern(r, b)) << r << "," << b;
      }
      EXPECT_EQ(row.back(), 0x77);
      CloseImageStore(store);
    }
    UseMode(Mapped());
  }
#if !defined(_WIN32)
  // Blocks are reserved at creation, so a full disk cannot surface later.
  struct stat st;
  ASSERT_EQ(stat(root_.File("buf.xxx").c_str(), &st), 0);
  EXPECT_GE(std::int64_t(st.st_blocks) * 512, std::int64_t(st.st_size));
#endif
}

TEST_P(Stores, RowRunsAndStripsAreClippedToTheStore) {
  // firstByte, firstRow, rowCount, count over rows of 24 bytes: whole rows,
  // part rows, runs over the row end, strips cut by either end of the store,
  // negative positions, rows outside the store.
  const std::int32_t cases[][4] = {{0, 0, 5, 24},  {0, 1, 3, 24},  {6, 2, 2, 10}, {20, 0, 5, 10},
                                   {0, 3, 4, 24},  {0, -2, 4, 24}, {0, 5, 2, 24}, {0, 0, 0, 24},
                                   {-1, 0, 1, 10}, {24, 0, 1, 10}, {0, 0, 1, -5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c[0] << " " << c[1] << " " << c[2] << " " << c[3]);
    MakeStore(8, 5, 3);
    Bytes file = root_.Read("buf.xxx");  // what the file holds after the write below
    ImageStore* store = nullptr;
    ASSERT_EQ(OpenImageStore("c:\\buf.xxx", &store), noErr);
    const std::size_t size = std::size_t(c[2]) * std::size_t(std::max(c[3], 0));
    std::vector<std::uint8_t> strip(size, 0xCC), rows(size, 0xCC), expected(size, 0xCC);
    ReadStoreRows(store, c[0], c[1], c[2], c[3], strip.data());
    for (std::int32_t i = 0; i < c[2]; ++i) {
      ReadStoreRow(store, c[0], c[1] + i, c[3], rows.data() + i * c[3]);
      for (std::int32_t b = 0; b < c[3]; ++b) {
        if (c[1] + i >= 0 && c[1] + i < 5 && c[0] >= 0 && c[0] + b < 24) {
          expected[i * c[3] + b] = Pattern(c[1] + i, c[0] + b);
          file[6 + (c[1] + i) * 24 + c[0] + b] = std::uint8_t(~expected[i * c[3] + b]);
        }
      }
    }
    EXPECT_EQ(strip, expected);
    EXPECT_EQ(rows, expected);
    for (std::uint8_t& b : strip) b = std::uint8_t(~b);
    WriteStoreRows(store, c[0], c[1], c[2], c[3], strip.data());
    CloseImageStore(store);
    EXPECT_EQ(root_.Read("buf.xxx"), file);
  }
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\buf.xxx", &store), noErr);
  std::uint8_t b = 0xCC;
  ReadStoreRow(nullptr, 0, 0, 1, &b);
  EXPECT_EQ(b, 0xCC);
  EXPECT_EQ(StoreRowError(store), noErr);
  if (!Mapped()) {  // a strip that cannot be read is remembered like a row
    hooks::FailNthCall(Operation::kRead, 1, OsError::kOther);
    std::vector<std::uint8_t> strip(120);
    ReadStoreRows(store, 0, 0, 5, 24, strip.data());
    EXPECT_EQ(StoreRowError(store), ioErr);
  }
  CloseImageStore(store);
}

TEST_P(Stores, AnonymousStoresLeaveNoFile) {
  ImageStore *color = nullptr, *mask = nullptr, *opacity = nullptr;
  root_.Write("BackingS.xxx", "stale file from a crashed run");
  ASSERT_EQ(CreateColorStore(4, 4, 3, &color), noErr);
  ASSERT_EQ(CreateMaskStore(4, 4, 1, &mask), noErr);
  ASSERT_EQ(CreateTransparencyStore(4, 4, 1, &opacity), noErr);
  // Without a view the store lives in an unnamed file.
  EXPECT_EQ(color->mapped, Mapped() ? 1 : 0);
  EXPECT_TRUE(fs::is_empty(root_.dir()));
  // Each its own: all of the colour store written, the mask still all zero.
  Bytes row(12), back(12), zeros(12, 0);
  for (int r = 0; r < 4; ++r) {
    for (int b = 0; b < 12; ++b) row[b] = Pattern(r, b);
    WriteStoreRow(color, 0, r, 12, row.data());
  }
  for (auto [store, r, expected] :
       {std::tuple{color, 3, row}, {mask, 0, zeros}, {mask, 3, zeros}}) {
    Bytes got(store->rowSize, 0xCC);
    ReadStoreRow(store, 0, r, 12, got.data());
    EXPECT_EQ(got, Bytes(expected.begin(), expected.begin() + store->rowSize)) << r;
  }
  DisposeColorStore(color);
  CloseImageStore(mask);
  DisposeTransparencyStore(opacity);
  // The next run's store may get the memory these gave back: it reads as a
  // new one, whether a row is written whole, in part, or not at all.
  ASSERT_EQ(CreateColorStore(4, 4, 3, &color), noErr);
  WriteStoreRow(color, 0, 0, 12, row.data());
  WriteStoreRow(color, 4, 1, 4, row.data());
  for (int r = 0; r < 4; ++r) {
    Bytes expected = zeros;
    if (r == 0) expected = row;
    if (r == 1) std::copy(row.begin(), row.begin() + 4, expected.begin() + 4);
    ReadStoreRow(color, 0, r, 12, back.data());
    EXPECT_EQ(back, expected) << r;
  }
  DisposeColorStore(color);
  root_.Write("MaskImag.xxx", "x");  // disposing without a store deletes its path
  DisposeMaskStore(nullptr);
  EXPECT_FALSE(root_.Exists("MaskImag.xxx"));
  // A view when there is no unnamed file; neither: a clean failure.
  UseMode(false);
  for (bool refused : {false, true}) {
    hooks::FailNthCall(Operation::kCreate, 1, OsError::kTooManyFiles);
    hooks::SetMappingRefused(refused);
    color = nullptr;
    EXPECT_EQ(CreateColorStore(5, 3, 6, &color), refused ? ioErr : noErr);
    if (color != nullptr) {
      EXPECT_EQ(color->mapped, 1);
      WriteStoreRow(color, 0, 2, 12, row.data());
      ReadStoreRow(color, 0, 2, 12, back.data());
      EXPECT_EQ(back, row);
      DisposeColorStore(color);
    }
  }
  EXPECT_TRUE(fs::is_empty(root_.dir()));
}

// Store files from outside fail cleanly or open in a usable state.
TEST_P(Stores, HostileOrEmptyHeaders) {
  struct Case {
    Bytes bytes;
    bool opens;
  };
  const Case cases[] = {{{}, false},
                        {{2, 0, 3, 0, 2}, false},
                        {StoreFileHeader(-1, 3, 2, 12), false},
                        {StoreFileHeader(2, -1, 2, 12), false},
                        {StoreFileHeader(2, 3, -1, 12), false},
                        {StoreFileHeader(32767, 32767, 32767, 100), false},
                        {StoreFileHeader(2, 3, 2, 11), false},  // one row short
                        {StoreFileHeader(1, 1, 32767, 10), false},
                        {StoreFileHeader(0, 5, 5), true},
                        {StoreFileHeader(2, 0, 5), true},
                        {StoreFileHeader(2, 5, 0), true}};
  std::int16_t w = 0, h = 0, e = 0;
  for (const Case& c : cases) {
    root_.Write("bad.xxx", c.bytes);
    ImageStore* store = nullptr;
    EXPECT_EQ(OpenImageStore("c:\\bad.xxx", &store) == noErr, c.opens) << c.bytes.size();
    EXPECT_EQ(store != nullptr, c.opens);
    if (store != nullptr) {
      std::uint8_t b = 0x55;
      ReadStoreRow(store, 0, 0, 1, &b);
      WriteStoreRow(store, 0, 0, 1, &b);
      EXPECT_EQ(b, 0x55);
      CloseImageStore(store);
    }
    if (c.bytes.size() < 6 || (c.bytes[1] | c.bytes[3] | c.bytes[5]) >= 0x80) {
      EXPECT_NE(ReadImageStoreHeader("c:\\bad.xxx", &w, &h, &e), noErr);
      EXPECT_NE(EnsureImageStoreSize("c:\\bad.xxx", 8, 8, 1), noErr);  // not trusted to size a copy
    }
    EXPECT_EQ(root_.Read("bad.xxx"), c.bytes);
    EXPECT_EQ(DeleteDataFile("c:\\bad.xxx"), noErr);
  }
  EXPECT_EQ(ReadImageStoreHeader("c:\\missing.xxx", &w, &h, &e), fnfErr);
}

// A store of more than 4 GiB: offsets must not wrap at 32 bits (sparse file).
TEST_P(Stores, RowsBeyondFourGibibytes) {
  root_.Write("huge.xxx", StoreFileHeader(6, 32767, 32767));
  const std::uint64_t total = 6 + std::uint64_t(6) * 32767 * 32767;
  fs::resize_file(root_.File("huge.xxx"), total);
  std::fstream(root_.File("huge.xxx"), std::ios::in | std::ios::out | std::ios::binary)
      .seekp(std::streamoff(total - 16))
      .write("next row", 8);
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\huge.xxx", &store), noErr);
  EXPECT_EQ(store->mappedSize, total);
  char read[9] = {};
  ReadStoreRow(store, 6 * 32767 - 16, 32766, 8, read);
  EXPECT_STREQ(read, "next row");
  WriteStoreRow(store, 6 * 32767 - 8, 32766, 8, "last row");
  CloseImageStore(store);
  std::ifstream in(root_.File("huge.xxx"), std::ios::binary);
  in.seekg(std::streamoff(total - 8));
  ASSERT_TRUE(in.read(read, 8));
  EXPECT_STREQ(read, "last row");
}

// Bad sizes, failed creations and a store held open leave no file behind.
TEST_P(Stores, RefusedOrFailedStoresLeaveNoFile) {
  MakeStore(2, 2, 1);
  ImageStore *first = nullptr, *store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\buf.xxx", &first), noErr);
  EXPECT_EQ(OpenImageStore("c:\\buf.xxx", &store), ioErr);
  EXPECT_NE(CreateImageStore("c:\\buf.xxx", true, 9, 9, 1, &store), noErr);
  EXPECT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 9, 9, 1), ioErr);
  DisposeImageStore("c:\\ignored.xxx", first);  // the store's own file goes
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, -1, 2, 2, &store), filterBadParameters);
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 2, -2, 2, &store), filterBadParameters);
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 2, 2, -32768, &store), filterBadParameters);
  EXPECT_EQ(EnsureImageStoreSize("c:\\f.xxx", 2, -1, 2), filterBadParameters);
  hooks::FailNthCall(Operation::kSetSize, 2, OsError::kDiskFull);
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), dskFulErr);
  if (!Mapped()) {  // the header is written: a short write is a full disk
    hooks::FailNthCall(Operation::kShortWrite, 1, OsError::kNone);
    EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), dskFulErr);
  }
  hooks::FailNthCall(Operation::kAllocate, 1, OsError::kOther);
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), memFullErr);
  EXPECT_EQ(store, nullptr);
  EXPECT_TRUE(fs::is_empty(root_.dir()));
}

TEST_P(Stores, EnlargementKeepsRowsAndColumnsAndZeroesTheRest) {
  struct Case {
    int w0, h0, e0, w, h, e;  // w0 = 0: no store yet
  };
  const Case cases[] = {{0, 0, 0, 4, 3, 2},       {10, 8, 2, 10, 8, 2},    {10, 8, 2, 3, 1, 2},
                        {100, 50, 2, 100, 60, 2}, {100, 50, 2, 80, 60, 2}, {5, 4, 3, 9, 4, 3},
                        {6, 3, 2, 6, 3, 4},       {6, 3, 2, 6, 3, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w0 << "x" << c.h0 << " -> " << c.w << "x" << c.h);
    std::filesystem::remove(root_.File("buf.xxx"));
    // Large enough: left alone. Otherwise exactly the size asked for.
    const bool kept = c.w0 >= c.w && c.h0 >= c.h && c.e0 == c.e;
    if (c.w0 > 0) MakeStore(c.w0, c.h0, c.e0);
    if (c.w0 > 0 && !kept) root_.Write("ResizingImage.xxx", "left over from an interrupted run");
    ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", c.w, c.h, c.e), noErr);
    if (kept) {
      ExpectFile(c.w0, c.h0, c.e0, c.h0, c.w0 * c.e0, "kept");
    } else {
      ExpectFile(c.w, c.h, c.e, c.h0, c.w0 * c.e0, "enlarged");
    }
  }
}

// A real full disk, and every single failure of the platform, during an
// enlargement: it succeeds with the content carried over, or fails with the
// old store back in place.
TEST_P(Stores, EveryFailurePointOfAnEnlargementKeepsTheContent) {
  MakeStore(6, 5, 2);
  const OSErr full = EnsureImageStoreSize("c:\\buf.xxx", 32767, 32767, 32767);
#if !defined(_WIN32)
  EXPECT_EQ(full, dskFulErr);
#endif
  EXPECT_NE(full, noErr);
  ExpectFile(6, 5, 2, 5, 12, "disk full");
  int failures = 0, points = 0;
  for (int k = 0; k < hooks::kOperationCount; ++k) {
    const auto op = static_cast<Operation>(k);
    MakeStore(6, 5, 2);
    hooks::ClearFaults();
    ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 6, 7, 2), noErr);
    const int calls = hooks::CallCount(op);
    for (int n = 1; n <= calls; ++n, ++points) {
      MakeStore(6, 5, 2);
      hooks::FailNthCall(op, n,
                         op == Operation::kDiskFullWrite ? OsError::kDiskFull : OsError::kOther);
      const OSErr status = EnsureImageStoreSize("c:\\buf.xxx", 6, 7, 2);
      hooks::ClearFaults();
      failures += status != noErr;
      ExpectFile(6, status == noErr ? 7 : 5, 2, 5, 12,
                 "operation " + std::to_string(int(op)) + " call " + std::to_string(n),
                 status != noErr);
    }
  }
  EXPECT_GT(points, 20);
  EXPECT_GT(failures, 10);
}

// The redirect file replaces the drive of store paths, and every store
// operation follows it.
TEST(Redirect, PrefixReplacesTheDriveOfStorePathsAndEveryStoreOperationFollowsIt) {
  testsupport::TempRoot root;
  // A missing folder is reported as the file layer reports it.
  FileRef probe = kInvalidFile;
  const OSErr missingFolder = OpenDataFile("c:\\NoSuchFolder\\x.xxx", &probe);
  auto redirected = [&](const std::string& content, const char* path) -> std::string {
    root.Write("TRUXPath.TXT", content);
    char buffer[kStringSize] = {};
    std::strncpy(buffer, path, kStringSize - 1);
    return ApplyPathRedirect(buffer) ? buffer : "<refused>";
  };
  const std::string fills = "D:\\" + std::string(513 - 3 - 1 - 5, 'd') + "\\";
  const std::string cases[][3] = {
      {"", "c:\\f.xxx", "c:\\f.xxx"},
      {"D:\\Stack\\", kResizingStorePath, "D:\\Stack\\ResizingImage.xxx"},
      {"D:\\Stack\\", "/var/tmp/x", "/var/tmp/x"},  // no drive prefix: no store path
      {"D:\\Stack\\", "ab", "ab"},
      {std::string("e:\\d\xe9j\xe0\\") + '\0' + "ignored\xff", "c:\\f.xxx",
       "e:\\d\xe9j\xe0\\f.xxx"},
      {fills, "c:\\x.xxx", fills + "x.xxx"},
  };
  for (const auto& [content, path, expected] : cases)
    EXPECT_EQ(redirected(content, path.c_str()), expected) << content;

  fs::create_directory(root.File("Stack"));
  redirected("D:\\Stack\\", "");
  ASSERT_EQ(EnsureImageStoreSize("C:\\BestFocus.xxx", 3, 3, 6), noErr);
  EXPECT_FALSE(root.Exists("BestFocus.xxx"));
  ASSERT_EQ(EnsureImageStoreSize("C:\\BestFocus.xxx", 3, 5, 6), noErr);
  std::int16_t w = 0, h = 0, e = 0;
  ASSERT_EQ(ReadImageStoreHeader("C:\\BestFocus.xxx", &w, &h, &e), noErr);
  EXPECT_EQ(std::tuple(w, h, e), std::tuple(3, 5, 6));
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("C:\\BestFocus.xxx", &store), noErr);
  CloseImageStore(store);
  DisposeImageStore("C:\\BestFocus.xxx", nullptr);
  EXPECT_EQ(std::distance(fs::directory_iterator(root.dir()), fs::directory_iterator()), 2);
  EXPECT_TRUE(fs::is_empty(root.File("Stack")));
  // A bad name (line end, too long) or a missing folder: every store fails.
  for (auto [content, status] : {std::pair{std::string("D:\\Stack\\\r\n"), OSErr(bdNamErr)},
                                 {"D:\\" + std::string(596, 'd') + "\\", bdNamErr},
                                 {std::string("D:\\NoSuchFolder\\"), missingFolder}}) {
    redirected(content, "");
    EXPECT_EQ(CreateImageStore("c:\\x.xxx", true, 2, 2, 1, &store), status);
    EXPECT_EQ(OpenImageStore("c:\\x.xxx", &store), status);
    EXPECT_EQ(EnsureImageStoreSize("c:\\x.xxx", 2, 2, 1), status);
    EXPECT_EQ(ReadImageStoreHeader("c:\\x.xxx", &w, &h, &e), status);
  }
  EXPECT_TRUE(fs::is_empty(root.File("Stack")));
  EXPECT_FALSE(root.Exists("x.xxx"));
#if !defined(_WIN32)
  // An absolute folder outside the drive root is used as is.
  redirected(root.File("Stack").string() + "/", "");
  ASSERT_EQ(EnsureImageStoreSize("c:\\f.xxx", 2, 2, 2), noErr);
  EXPECT_TRUE(root.Exists("Stack/f.xxx"));
  // A redirect file that is a link is refused, not taken for no redirect.
  fs::rename(root.File("TRUXPath.TXT"), root.File("target.txt"));
  fs::create_symlink(root.File("target.txt"), root.File("TRUXPath.TXT"));
  EXPECT_EQ(EnsureImageStoreSize("c:\\g.xxx", 2, 2, 2), bdNamErr);
  EXPECT_FALSE(root.Exists("g.xxx") || root.Exists("Stack/g.xxx"));
  // A store path past 513 characters is refused, not cut to a shorter name.
  std::string folders, posix;
  for (int i = 0; i < 50; ++i) folders += "abcdefghi\\", posix += "abcdefghi/";
  const fs::path innermost = root.dir() / posix;
  fs::create_directories(innermost);
  fs::remove(root.File("TRUXPath.TXT"));
  const std::string fits = "c:\\" + folders + "0123456789";
  EXPECT_EQ(CreateImageStore((fits + std::string(87, 'n')).c_str(), true, 1, 1, 1, &store),
            bdNamErr);
  EXPECT_TRUE(fs::is_empty(innermost));
  ASSERT_EQ(CreateImageStore(fits.c_str(), true, 1, 1, 1, &store), noErr);
  CloseImageStore(store);
  EXPECT_TRUE(fs::exists(innermost / "0123456789"));
#endif
}

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
    hooks::FailNthCall(Operation::kOpen, 1, r.error, 0);
    EXPECT_EQ(OpenDataFile("c:\\f.xxx", &file), r.open);
    hooks::FailNthCall(Operation::kCreate, 1, r.error);
    EXPECT_EQ(CreateDataFile("c:\\g.xxx", 0, 0), r.create);
    hooks::FailNthCall(Operation::kDiskFullWrite, 1, r.error);
    std::int32_t count = 1;
    EXPECT_EQ(WriteDataFile(open, &count, "y"), r.write);
    hooks::FailNthCall(Operation::kDelete, 1, r.error);
    EXPECT_EQ(DeleteDataFile("c:\\f.xxx"), r.remove);
    hooks::FailNthCall(Operation::kMove, 1, r.error);
    EXPECT_EQ(MoveDataFile("c:\\f.xxx", "c:\\h.xxx"), r.move);
    hooks::ClearFaults();
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
  hooks::FailNthCall(Operation::kRead, 1, OsError::kOther);
  file = 0;
  EXPECT_EQ(OpenDataFileForAppend("c:\\log.txt", &file), ioErr);
  EXPECT_EQ(file, kInvalidFile);
  hooks::ClearFaults();
  ASSERT_EQ(OpenDataFile("c:\\log.txt", &file), noErr);  // closed again: it opens
  EXPECT_EQ(CloseDataFile(file), noErr);
}

}  // namespace
