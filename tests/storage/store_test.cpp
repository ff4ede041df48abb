// Image stores: the file format, create, open, row access, enlargement and
// release, each in the mapped and in the positioned-file mode.
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

Bytes Header(int elementSize, int width, int height) {
  const auto e = std::uint16_t(elementSize), w = std::uint16_t(width), h = std::uint16_t(height);
  return {std::uint8_t(e),      std::uint8_t(e >> 8), std::uint8_t(w),
          std::uint8_t(w >> 8), std::uint8_t(h),      std::uint8_t(h >> 8)};
}

// A recognisable byte for every position of every store.
std::uint8_t Pattern(int row, int byte) {
  return std::uint8_t(row * 31 + byte * 7 + 1);
}

// Fills every row of a store with Pattern.
void FillPattern(ImageStore* store) {
  std::vector<std::uint8_t> row(store->rowSize);
  for (int r = 0; r < store->height; ++r) {
    for (std::size_t b = 0; b < row.size(); ++b) row[b] = Pattern(r, int(b));
    WriteStoreRow(store, 0, r, std::int32_t(row.size()), row.data());
  }
}

// Store tests run twice: with whole-store mappings, and in file mode.
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

  // Creates a file-backed store at c:\<name> filled with Pattern and closes it.
  void MakePatternStore(const std::string& name, int width, int height, int elementSize) {
    ImageStore* store = nullptr;
    ASSERT_EQ(CreateImageStore(("c:\\" + name).c_str(), true, std::int16_t(width),
                               std::int16_t(height), std::int16_t(elementSize), &store),
              noErr);
    FillPattern(store);
    CloseImageStore(store);
  }

  testsupport::TempRoot root_;
};

INSTANTIATE_TEST_SUITE_P(Modes, Stores, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "Mapped" : "FileMode";
                         });

TEST_P(Stores, NewStoreFileIsHeaderThenZeros) {
  ImageStore* store = nullptr;
  ASSERT_EQ(CreateImageStore("c:\\s.xxx", true, 3, 2, 2, &store), noErr);
  EXPECT_EQ(store->mapped, Mapped() ? 1 : 0);
  EXPECT_EQ(store->rowSize, 6u);
  EXPECT_EQ(store->mappedSize, 18u);
  StoreHeader header{};
  GetStoreHeader(store, &header);
  EXPECT_EQ(header.elementSize, 2);
  EXPECT_EQ(header.width, 3);
  EXPECT_EQ(header.height, 2);
  CloseImageStore(store);
  Bytes expected = Header(2, 3, 2);
  expected.resize(18, 0);
  EXPECT_EQ(root_.Read("s.xxx"), expected);
}

TEST_P(Stores, CreationReplacesAnOldFileAndAllocatesItsBlocks) {
  root_.Write("s.xxx", Bytes(5000, 0xEE));
  ImageStore* store = nullptr;
  ASSERT_EQ(CreateImageStore("c:\\s.xxx", true, 500, 400, 6, &store), noErr);
  std::vector<std::uint8_t> row(3000, 0xAA);
  ReadStoreRow(store, 0, 0, 3000, row.data());
  EXPECT_EQ(row, std::vector<std::uint8_t>(3000, 0));  // nothing of the old file
  CloseImageStore(store);
  EXPECT_EQ(fs::file_size(root_.File("s.xxx")), 6u + 500u * 400u * 6u);
#if !defined(_WIN32)
  struct stat st;
  ASSERT_EQ(stat(root_.File("s.xxx").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 6 + 500 * 400 * 6);
  // Blocks are reserved now, so a full disk cannot surface later as a fault.
  EXPECT_GE(std::int64_t(st.st_blocks) * 512, std::int64_t(st.st_size));
#endif
}

TEST_P(Stores, WrittenThenReopenedReadsBack) {
  MakePatternStore("p.xxx", 7, 5, 3);
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\p.xxx", &store), noErr);
  EXPECT_EQ(store->fileBacked, 1);
  EXPECT_EQ(store->width, 7);
  EXPECT_EQ(store->height, 5);
  EXPECT_EQ(store->elementSize, 3);
  for (int r = 0; r < 5; ++r) {
    std::uint8_t row[21];
    ReadStoreRow(store, 0, r, 21, row);
    for (int b = 0; b < 21; ++b) ASSERT_EQ(row[b], Pattern(r, b)) << r << "," << b;
  }
  CloseImageStore(store);
  // The file holds exactly the rows in order, after the header.
  const Bytes file = root_.Read("p.xxx");
  ASSERT_EQ(file.size(), 6u + 105u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), Header(3, 7, 5));
  for (int r = 0; r < 5; ++r) {
    for (int b = 0; b < 21; ++b) ASSERT_EQ(file[6 + r * 21 + b], Pattern(r, b));
  }
}

TEST_P(Stores, MappedAndFileModeAgree) {
  // Written in this mode, read in the other one.
  MakePatternStore("x.xxx", 9, 4, 2);
  UseMode(!Mapped());
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\x.xxx", &store), noErr);
  EXPECT_EQ(store->mapped, Mapped() ? 0 : 1);
  for (int r = 0; r < 4; ++r) {
    std::uint8_t row[18];
    ReadStoreRow(store, 0, r, 18, row);
    for (int b = 0; b < 18; ++b) ASSERT_EQ(row[b], Pattern(r, b));
  }
  CloseImageStore(store);
}

TEST_P(Stores, RowRunsAreClippedToTheRow) {
  ImageStore* store = nullptr;
  ASSERT_EQ(CreateImageStore("c:\\r.xxx", true, 40, 3, 3, &store), noErr);  // rows of 120
  FillPattern(store);
  std::uint8_t buffer[100];
  std::memset(buffer, 0xCC, sizeof buffer);
  ReadStoreRow(store, 50, 1, 100, buffer);
  for (int i = 0; i < 70; ++i) ASSERT_EQ(buffer[i], Pattern(1, 50 + i));
  for (int i = 70; i < 100; ++i) ASSERT_EQ(buffer[i], 0xCC);  // untouched

  // A write spilling over the row end lands only in this row.
  std::uint8_t ones[30];
  std::memset(ones, 0x11, sizeof ones);
  WriteStoreRow(store, 110, 0, 30, ones);
  std::uint8_t row[120];
  ReadStoreRow(store, 0, 0, 120, row);
  for (int b = 0; b < 120; ++b) ASSERT_EQ(row[b], b >= 110 ? 0x11 : Pattern(0, b));
  ReadStoreRow(store, 0, 1, 1, row);
  EXPECT_EQ(row[0], Pattern(1, 0));

  // Negative positions, rows outside the store, runs beyond the row: nothing.
  std::memset(buffer, 0xCC, sizeof buffer);
  ReadStoreRow(store, -1, 0, 10, buffer);
  ReadStoreRow(store, 0, -1, 10, buffer);
  ReadStoreRow(store, 0, 3, 10, buffer);
  ReadStoreRow(store, 120, 0, 10, buffer);
  ReadStoreRow(store, 0, 0, -5, buffer);
  ReadStoreRow(nullptr, 0, 0, 10, buffer);
  for (std::uint8_t b : buffer) ASSERT_EQ(b, 0xCC);
  WriteStoreRow(store, 0, 3, 10, ones);
  WriteStoreRow(store, -3, 0, 10, ones);
  CloseImageStore(store);
  EXPECT_EQ(root_.Read("r.xxx").size(), 6u + 360u);
}

TEST_P(Stores, RowStripsMoveWhatSingleRowsMove) {
  // Whole rows (one call), part rows, strips cut by either end of the store.
  struct Case {
    std::int32_t firstByte, firstRow, rowCount, count;
  };
  const Case cases[] = {{0, 0, 5, 24}, {0, 1, 3, 24},  {6, 2, 2, 10}, {20, 0, 5, 10},
                        {0, 3, 4, 24}, {0, -2, 4, 24}, {0, 5, 2, 24}, {0, 0, 0, 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.firstByte << " " << c.firstRow << " " << c.rowCount << " " << c.count);
    MakePatternStore("s.xxx", 8, 5, 3);  // rows of 24 bytes
    ImageStore* store = nullptr;
    ASSERT_EQ(OpenImageStore("c:\\s.xxx", &store), noErr);
    const std::size_t size = std::size_t(c.rowCount) * std::size_t(c.count);
    std::vector<std::uint8_t> strip(size, 0xCC), rows(size, 0xCC);
    ReadStoreRows(store, c.firstByte, c.firstRow, c.rowCount, c.count, strip.data());
    for (std::int32_t i = 0; i < c.rowCount; ++i)
      ReadStoreRow(store, c.firstByte, c.firstRow + i, c.count, rows.data() + i * c.count);
    EXPECT_EQ(strip, rows);
    // Written back inverted, then read row by row.
    for (std::uint8_t& b : strip) b = std::uint8_t(~b);
    WriteStoreRows(store, c.firstByte, c.firstRow, c.rowCount, c.count, strip.data());
    std::vector<std::uint8_t> after(size, 0xCC);
    for (std::int32_t i = 0; i < c.rowCount; ++i)
      ReadStoreRow(store, c.firstByte, c.firstRow + i, c.count, after.data() + i * c.count);
    for (std::size_t i = 0; i < size; ++i)
      ASSERT_EQ(after[i], rows[i] == 0xCC ? 0xCC : std::uint8_t(~rows[i])) << i;
    EXPECT_EQ(StoreRowError(store), noErr);
    CloseImageStore(store);
  }
  if (Mapped()) return;
  // A strip that cannot be read is remembered like a row.
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\s.xxx", &store), noErr);
  platform::test::FailNthCall(platform::test::Operation::kRead, 1, platform::OsError::kOther);
  std::vector<std::uint8_t> strip(120);
  ReadStoreRows(store, 0, 0, 5, 24, strip.data());
  EXPECT_EQ(StoreRowError(store), ioErr);
  CloseImageStore(store);
}

TEST_P(Stores, AnonymousStoresLeaveNoFile) {
  ImageStore* color = nullptr;
  ImageStore* mask = nullptr;
  ImageStore* opacity = nullptr;
  root_.Write("BackingS.xxx", "stale file from a crashed run");
  ASSERT_EQ(CreateColorStore(4, 4, 3, &color), noErr);
  ASSERT_EQ(CreateMaskStore(4, 4, 1, &mask), noErr);
  ASSERT_EQ(CreateTransparencyStore(4, 4, 1, &opacity), noErr);
  EXPECT_FALSE(root_.Exists("BackingS.xxx"));  // deleted at creation
  EXPECT_EQ(color->fileBacked, 0);
  // Without a view the store lives in an unnamed file.
  EXPECT_EQ(color->mapped, Mapped() ? 1 : 0);
  EXPECT_EQ(color->file == platform::kInvalidFile, Mapped());
  EXPECT_TRUE(fs::is_empty(root_.dir()));
  std::uint8_t zeros[12];
  ReadStoreRow(color, 0, 2, 12, zeros);
  EXPECT_EQ(Bytes(zeros, zeros + 12), Bytes(12, 0));
  FillPattern(color);
  std::uint8_t row[12];
  ReadStoreRow(color, 0, 3, 12, row);
  for (int b = 0; b < 12; ++b) EXPECT_EQ(row[b], Pattern(3, b));
  StoreHeader header{};
  GetStoreHeader(mask, &header);
  EXPECT_EQ(header.elementSize, 1);
  EXPECT_EQ(header.width, 4);
  DisposeColorStore(color);
  CloseImageStore(mask);
  DisposeTransparencyStore(opacity);
  EXPECT_TRUE(fs::is_empty(root_.dir()));
  // Disposing without a store deletes what lies at the fixed path.
  root_.Write("MaskImag.xxx", "x");
  DisposeMaskStore(nullptr);
  EXPECT_FALSE(root_.Exists("MaskImag.xxx"));
}

TEST_P(Stores, CloseKeepsAFileBackedStoreDisposeDeletesIt) {
  MakePatternStore("k.xxx", 2, 2, 1);
  EXPECT_TRUE(root_.Exists("k.xxx"));
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\k.xxx", &store), noErr);
  DisposeImageStore("c:\\ignored.xxx", store);
  EXPECT_FALSE(root_.Exists("k.xxx"));
  MakePatternStore("k.xxx", 2, 2, 1);
  DisposeImageStore("c:\\k.xxx", nullptr);
  EXPECT_FALSE(root_.Exists("k.xxx"));
}

TEST_P(Stores, OpenStoreIsHeldExclusively) {
  MakePatternStore("h.xxx", 2, 2, 1);
  ImageStore* first = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\h.xxx", &first), noErr);
  ImageStore* second = nullptr;
  EXPECT_EQ(OpenImageStore("c:\\h.xxx", &second), ioErr);
  EXPECT_EQ(second, nullptr);
  // Neither recreated nor enlarged under its holder.
  EXPECT_NE(CreateImageStore("c:\\h.xxx", true, 9, 9, 1, &second), noErr);
  EXPECT_NE(EnsureImageStoreSize("c:\\h.xxx", 9, 9, 1), noErr);
  CloseImageStore(first);
  EXPECT_EQ(root_.Read("h.xxx").size(), 10u);
}

TEST_P(Stores, ReadHeaderWithoutOpeningTheStore) {
  MakePatternStore("hd.xxx", 11, 13, 4);
  std::int16_t width = 0, height = 0, elementSize = 0;
  ASSERT_EQ(ReadImageStoreHeader("c:\\hd.xxx", &width, &height, &elementSize), noErr);
  EXPECT_EQ(width, 11);
  EXPECT_EQ(height, 13);
  EXPECT_EQ(elementSize, 4);
  EXPECT_EQ(ReadImageStoreHeader("c:\\missing.xxx", &width, &height, &elementSize), fnfErr);
}

TEST_P(Stores, BadSizesAreRefusedBeforeTouchingTheDisk) {
  ImageStore* store = nullptr;
  EXPECT_NE(CreateImageStore("c:\\n.xxx", true, -1, 2, 2, &store), noErr);
  EXPECT_NE(CreateImageStore("c:\\n.xxx", true, 2, -2, 2, &store), noErr);
  EXPECT_NE(CreateImageStore("c:\\n.xxx", true, 2, 2, -32768, &store), noErr);
  EXPECT_EQ(store, nullptr);
  EXPECT_NE(EnsureImageStoreSize("c:\\n.xxx", 2, -1, 2), noErr);
  EXPECT_TRUE(fs::is_empty(root_.dir()));
}

TEST_P(Stores, EmptyStoresHaveAHeaderAndNoRows) {
  ImageStore* store = nullptr;
  ASSERT_EQ(CreateImageStore("c:\\e.xxx", true, 0, 5, 2, &store), noErr);
  std::uint8_t b = 0x77;
  ReadStoreRow(store, 0, 0, 1, &b);
  EXPECT_EQ(b, 0x77);
  CloseImageStore(store);
  EXPECT_EQ(root_.Read("e.xxx"), Header(2, 0, 5));
  ASSERT_EQ(OpenImageStore("c:\\e.xxx", &store), noErr);
  EXPECT_EQ(store->rowSize, 0u);
  CloseImageStore(store);
}

// Store files from outside: every one must fail cleanly or open in a usable
// state, never crash or map beyond the file.
TEST_P(Stores, HostileHeadersAreRefused) {
  struct Case {
    const char* what;
    Bytes bytes;
  };
  auto withData = [](Bytes header, std::size_t data) {
    header.resize(header.size() + data, 0);
    return header;
  };
  const Case cases[] = {
      {"empty file", {}},
      {"shorter than the header", {2, 0, 3, 0, 2}},
      {"negative element size", withData(Header(-2, 3, 2), 12)},
      {"negative width", withData(Header(2, -3, 2), 12)},
      {"negative height", withData(Header(2, 3, -2), 12)},
      {"all fields -1", withData(Header(-1, -1, -1), 12)},
      {"huge fields in a small file", withData(Header(32767, 32767, 32767), 100)},
      {"one row short", withData(Header(2, 3, 2), 11)},
      {"huge height", withData(Header(1, 1, 32767), 10)},
  };
  for (const Case& c : cases) {
    root_.Write("bad.xxx", c.bytes);
    ImageStore* store = nullptr;
    EXPECT_NE(OpenImageStore("c:\\bad.xxx", &store), noErr) << c.what;
    EXPECT_EQ(store, nullptr) << c.what;
    std::int16_t w = 0, h = 0, e = 0;
    if (c.bytes.size() < 6 || c.what[0] == 'n' || c.what[0] == 'a') {
      EXPECT_NE(ReadImageStoreHeader("c:\\bad.xxx", &w, &h, &e), noErr) << c.what;
    }
    // The failed open let go of the file.
    EXPECT_EQ(DeleteDataFile("c:\\bad.xxx"), noErr) << c.what;
  }
}

TEST_P(Stores, ZeroFieldsOpenAsStoresWithoutData) {
  for (const Bytes& header : {Header(0, 5, 5), Header(2, 0, 5), Header(2, 5, 0)}) {
    root_.Write("z.xxx", header);
    ImageStore* store = nullptr;
    ASSERT_EQ(OpenImageStore("c:\\z.xxx", &store), noErr);
    std::uint8_t b = 0x55;
    ReadStoreRow(store, 0, 0, 1, &b);
    WriteStoreRow(store, 0, 0, 1, &b);
    EXPECT_EQ(b, 0x55);
    CloseImageStore(store);
    EXPECT_EQ(root_.Read("z.xxx"), header);
  }
}

// A store of more than 4 GiB: offsets must not wrap at 32 bits. The file is
// sparse, so this costs a few pages of disk.
TEST_P(Stores, RowsBeyondFourGibibytes) {
  root_.Write("huge.xxx", Header(6, 32767, 32767));
  const std::uint64_t total = 6 + std::uint64_t(6) * 32767 * 32767;
  ASSERT_GT(total, std::uint64_t(1) << 32);
  fs::resize_file(root_.File("huge.xxx"), total);
  ImageStore* store = nullptr;
  ASSERT_EQ(OpenImageStore("c:\\huge.xxx", &store), noErr);
  EXPECT_EQ(store->mappedSize, total);
  const char text[] = "last row";
  WriteStoreRow(store, 6 * 32767 - 8, 32766, 8, text);
  char back[8] = {};
  ReadStoreRow(store, 6 * 32767 - 8, 32766, 8, back);
  EXPECT_EQ(std::memcmp(back, text, 8), 0);
  CloseImageStore(store);
  EXPECT_EQ(fs::file_size(root_.File("huge.xxx")), total);
  // The bytes are the last eight of the file, not somewhere 4 GiB earlier.
  std::ifstream in(root_.File("huge.xxx"), std::ios::binary);
  in.seekg(std::streamoff(total - 8));
  char tail[8] = {};
  ASSERT_TRUE(in.read(tail, 8));
  EXPECT_EQ(std::memcmp(tail, text, 8), 0);
}

TEST_P(Stores, FailedCreationLeavesNoFile) {
  using platform::test::Operation;
  ImageStore* store = nullptr;
  // A full disk when the blocks are reserved.
  platform::test::FailNthCall(Operation::kSetSize, 2, platform::OsError::kDiskFull);
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), dskFulErr);
  EXPECT_EQ(store, nullptr);
  EXPECT_FALSE(root_.Exists("f.xxx"));
  if (!Mapped()) {
    // In file mode the header is written: a short write is a full disk.
    platform::test::FailNthCall(Operation::kShortWrite, 1, platform::OsError::kNone);
    EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), dskFulErr);
    EXPECT_FALSE(root_.Exists("f.xxx"));
  }
  // No record, no store.
  platform::test::FailNthCall(Operation::kAllocate, 1, platform::OsError::kOther);
  EXPECT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), memFullErr);
  EXPECT_EQ(OpenImageStore("c:\\f.xxx", &store), fnfErr);
  platform::test::ClearFaults();
  // The same store is made fine once the fault is gone.
  ASSERT_EQ(CreateImageStore("c:\\f.xxx", true, 8, 8, 2, &store), noErr);
  CloseImageStore(store);
  EXPECT_EQ(root_.Read("f.xxx").size(), 6u + 128u);
}

}  // namespace

// An anonymous store takes a view when it cannot have its unnamed file, and
// fails cleanly when it can have neither.
TEST(AnonymousStoreFallbacks, ViewWhenNoUnnamedFileAndFailureWithoutEither) {
  testsupport::TempRoot root;
  using platform::test::Operation;
  platform::test::SetStoreAccess(platform::test::StoreAccess::kPositioned);
  platform::test::FailNthCall(Operation::kCreate, 1, platform::OsError::kTooManyFiles);
  ImageStore* color = nullptr;
  ASSERT_EQ(CreateColorStore(5, 3, 6, &color), noErr);
  EXPECT_EQ(color->mapped, 1);
  std::uint8_t row[30] = {};
  for (int b = 0; b < 30; ++b) row[b] = std::uint8_t(b + 1);
  WriteStoreRow(color, 0, 2, 30, row);
  std::uint8_t back[30] = {};
  ReadStoreRow(color, 0, 2, 30, back);
  EXPECT_EQ(Bytes(back, back + 30), Bytes(row, row + 30));
  DisposeColorStore(color);

  platform::test::FailNthCall(Operation::kCreate, 1, platform::OsError::kTooManyFiles);
  platform::test::SetMappingRefused(true);
  color = nullptr;
  EXPECT_EQ(CreateColorStore(5, 3, 6, &color), ioErr);
  EXPECT_EQ(color, nullptr);
  EXPECT_TRUE(fs::is_empty(root.dir()));

  platform::test::SetMappingRefused(false);
  platform::test::SetStoreAccess(platform::test::StoreAccess::kSystem);
  platform::test::ClearFaults();
}
