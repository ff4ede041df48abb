// Image stores in the mapped and the positioned mode, and the redirect file.
#include "plugin/storage/store.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plugin/platform/test_hooks.h"
#include "plugin/storage/file.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using platform::test::Operation;

using testsupport::StoreFileHeader;

std::uint8_t Pattern(int row, int byte) {
  return std::uint8_t(row * 31 + byte * 7 + 1);
}

// Store tests run with whole-store mappings and with positioned file access.
class Stores : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { UseMode(GetParam()); }
  void TearDown() override {
    platform::test::SetMappingRefused(false);
    platform::test::SetStoreAccess(platform::test::StoreAccess::kSystem);
    platform::test::ClearFaults();
  }
  static void UseMode(bool mapped) {
    platform::test::SetStoreAccess(mapped ? platform::test::StoreAccess::kMapped
                                          : platform::test::StoreAccess::kPositioned);
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

  testsupport::TempRoot root_;
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
    ASSERT_EQ(file.size(), 6u + 120u);
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
    platform::test::FailNthCall(Operation::kRead, 1, platform::OsError::kOther);
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
  EXPECT_TRUE(fs::is_empty(root_.dir()));
  // The next run's store may get the memory these gave back: it starts zero.
  ASSERT_EQ(CreateColorStore(4, 4, 3, &color), noErr);
  for (int r = 0; r < 4; ++r) {
    ReadStoreRow(color, 0, r, 12, back.data());
    EXPECT_EQ(back, zeros) << r;
  }
  DisposeColorStore(color);
  root_.Write("MaskImag.xxx", "x");  // disposing without a store deletes its path
  DisposeMaskStore(nullptr);
  EXPECT_FALSE(root_.Exists("MaskImag.xxx"));
  // A view when there is no unnamed file; neither: a clean failure.
  UseMode(false);
  for (bool refused : {false, true}) {
    platform::test::FailNthCall(Operation::kCreate, 1, platform::OsError::kTooManyFiles);
    platform::test::SetMappingRefused(refused);
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
      EXPECT_EQ(root_.Read("bad.xxx"), c.bytes);
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
  platform::test::FailNthCall(Operation::kSetSize, 2, platform::OsError::kDiskFull);
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), dskFulErr);
  if (!Mapped()) {  // the header is written: a short write is a full disk
    platform::test::FailNthCall(Operation::kShortWrite, 1, platform::OsError::kNone);
    EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), dskFulErr);
  }
  platform::test::FailNthCall(Operation::kAllocate, 1, platform::OsError::kOther);
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
  for (int k = 0; k < platform::test::kOperationCount; ++k) {
    const auto op = static_cast<Operation>(k);
    MakeStore(6, 5, 2);
    platform::test::ClearFaults();
    ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 6, 7, 2), noErr);
    const int calls = platform::test::CallCount(op);
    for (int n = 1; n <= calls; ++n, ++points) {
      MakeStore(6, 5, 2);
      platform::test::FailNthCall(op, n,
                                  op == Operation::kDiskFullWrite ? platform::OsError::kDiskFull
                                                                  : platform::OsError::kOther);
      const OSErr status = EnsureImageStoreSize("c:\\buf.xxx", 6, 7, 2);
      platform::test::ClearFaults();
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
  FileRef probe = platform::kInvalidFile;
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

}  // namespace
