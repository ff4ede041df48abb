// Enlarging a file-backed store in place, and what survives when it fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plugin/platform/test_hooks.h"
#include "plugin/storage/file.h"
#include "plugin/storage/store.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using platform::test::Operation;

std::uint8_t Pattern(int row, int byte) {
  return std::uint8_t(row * 13 + byte * 5 + 3);
}

class EnsureSize : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    platform::test::SetStoreAccess(GetParam() ? platform::test::StoreAccess::kMapped
                                              : platform::test::StoreAccess::kPositioned);
  }
  void TearDown() override {
    platform::test::SetStoreAccess(platform::test::StoreAccess::kSystem);
    platform::test::ClearFaults();
  }

  void MakeStore(int width, int height, int elementSize) {
    ImageStore* store = nullptr;
    ASSERT_EQ(CreateImageStore("c:\\buf.xxx", true, std::int16_t(width), std::int16_t(height),
                               std::int16_t(elementSize), &store),
              noErr);
    std::vector<std::uint8_t> row(store->rowSize);
    for (int r = 0; r < height; ++r) {
      for (std::size_t b = 0; b < row.size(); ++b) row[b] = Pattern(r, int(b));
      WriteStoreRow(store, 0, r, std::int32_t(row.size()), row.data());
    }
    CloseImageStore(store);
  }

  // Reads the store file back: header fields and every row.
  struct Content {
    int elementSize = -1, width = -1, height = -1;
    std::vector<std::vector<std::uint8_t>> rows;
  };
  Content ReadBack() {
    Content c;
    ImageStore* store = nullptr;
    if (OpenImageStore("c:\\buf.xxx", &store) != noErr) return c;
    c.elementSize = store->elementSize;
    c.width = store->width;
    c.height = store->height;
    for (int r = 0; r < store->height; ++r) {
      std::vector<std::uint8_t> row(store->rowSize);
      ReadStoreRow(store, 0, r, std::int32_t(row.size()), row.data());
      c.rows.push_back(row);
    }
    CloseImageStore(store);
    return c;
  }

  // The store still holds exactly what MakeStore(width, height, elementSize) wrote.
  void ExpectOriginal(int width, int height, int elementSize, const std::string& when) {
    const Content c = ReadBack();
    ASSERT_EQ(c.width, width) << when;
    ASSERT_EQ(c.height, height) << when;
    ASSERT_EQ(c.elementSize, elementSize) << when;
    for (int r = 0; r < height; ++r) {
      for (int b = 0; b < width * elementSize; ++b) {
        ASSERT_EQ(c.rows[std::size_t(r)][std::size_t(b)], Pattern(r, b)) << when;
      }
    }
    EXPECT_FALSE(root_.Exists("ResizingImage.xxx")) << when;
  }

  testsupport::TempRoot root_;
};

INSTANTIATE_TEST_SUITE_P(Modes, EnsureSize, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "Mapped" : "FileMode";
                         });

TEST_P(EnsureSize, MissingStoreIsCreatedZeroed) {
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 4, 3, 2), noErr);
  const Content c = ReadBack();
  EXPECT_EQ(c.width, 4);
  EXPECT_EQ(c.height, 3);
  EXPECT_EQ(c.elementSize, 2);
  for (const auto& row : c.rows) EXPECT_EQ(row, std::vector<std::uint8_t>(8, 0));
}

TEST_P(EnsureSize, LargeEnoughStoreIsLeftAlone) {
  MakeStore(10, 8, 2);
  const auto before = fs::last_write_time(root_.File("buf.xxx"));
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 10, 8, 2), noErr);
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 3, 1, 2), noErr);
  EXPECT_EQ(fs::last_write_time(root_.File("buf.xxx")), before);
  ExpectOriginal(10, 8, 2, "no change");
}

TEST_P(EnsureSize, TallerKeepsRowsAndZeroesTheNewOnes) {
  MakeStore(100, 50, 2);
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 100, 60, 2), noErr);
  const Content c = ReadBack();
  ASSERT_EQ(c.width, 100);
  ASSERT_EQ(c.height, 60);
  for (int r = 0; r < 60; ++r) {
    for (int b = 0; b < 200; ++b) {
      ASSERT_EQ(c.rows[std::size_t(r)][std::size_t(b)], r < 50 ? Pattern(r, b) : 0) << r;
    }
  }
  EXPECT_FALSE(root_.Exists("ResizingImage.xxx"));
}

TEST_P(EnsureSize, NarrowerRequestGivesExactlyThatSize) {
  MakeStore(100, 50, 2);
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 80, 60, 2), noErr);
  const Content c = ReadBack();
  ASSERT_EQ(c.width, 80);
  ASSERT_EQ(c.height, 60);
  for (int r = 0; r < 60; ++r) {
    for (int b = 0; b < 160; ++b) {
      ASSERT_EQ(c.rows[std::size_t(r)][std::size_t(b)], r < 50 ? Pattern(r, b) : 0) << r;
    }
  }
  EXPECT_EQ(fs::file_size(root_.File("buf.xxx")), 6u + 160u * 60u);
}

TEST_P(EnsureSize, WiderKeepsColumnsAtTheLeft) {
  MakeStore(5, 4, 3);
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 9, 4, 3), noErr);
  const Content c = ReadBack();
  ASSERT_EQ(c.width, 9);
  for (int r = 0; r < 4; ++r) {
    for (int b = 0; b < 27; ++b) {
      ASSERT_EQ(c.rows[std::size_t(r)][std::size_t(b)], b < 15 ? Pattern(r, b) : 0);
    }
  }
}

TEST_P(EnsureSize, OtherElementSizeRebuildsCopyingBytes) {
  MakeStore(6, 3, 2);
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 6, 3, 4), noErr);
  Content c = ReadBack();
  ASSERT_EQ(c.elementSize, 4);
  for (int r = 0; r < 3; ++r) {
    for (int b = 0; b < 24; ++b) {
      ASSERT_EQ(c.rows[std::size_t(r)][std::size_t(b)], b < 12 ? Pattern(r, b) : 0);
    }
  }
  // And back to the smaller element: the first row-size bytes survive.
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 6, 3, 1), noErr);
  c = ReadBack();
  ASSERT_EQ(c.elementSize, 1);
  for (int r = 0; r < 3; ++r) {
    for (int b = 0; b < 6; ++b) ASSERT_EQ(c.rows[std::size_t(r)][std::size_t(b)], Pattern(r, b));
  }
}

TEST_P(EnsureSize, HeldOrDamagedStoreIsNotReplaced) {
  MakeStore(4, 4, 1);
  FileRef held = platform::kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\buf.xxx", &held), noErr);
  EXPECT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 8, 8, 1), ioErr);
  EXPECT_EQ(CloseDataFile(held), noErr);
  ExpectOriginal(4, 4, 1, "held");

  // A header with negative fields is not trusted to size a copy.
  const std::vector<unsigned char> bad = {1, 0, 0xFF, 0xFF, 4, 0};
  root_.Write("buf.xxx", bad);
  EXPECT_NE(EnsureImageStoreSize("c:\\buf.xxx", 8, 8, 1), noErr);
  EXPECT_EQ(root_.Read("buf.xxx"), bad);
}

TEST_P(EnsureSize, ResizingFileInTheWayIsReplaced) {
  MakeStore(4, 4, 1);
  root_.Write("ResizingImage.xxx", "left over from an interrupted run");
  ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 4, 6, 1), noErr);
  EXPECT_EQ(ReadBack().height, 6);
  EXPECT_FALSE(root_.Exists("ResizingImage.xxx"));
}

TEST_P(EnsureSize, MoveRefusedLeavesTheStoreAlone) {
  MakeStore(4, 4, 1);
  // A resizing file that someone holds can be neither deleted nor replaced.
  root_.Write("ResizingImage.xxx", "held");
  FileRef held = platform::kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\ResizingImage.xxx", &held), noErr);
  EXPECT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 8, 8, 1), ioErr);  // the name is taken
  EXPECT_EQ(CloseDataFile(held), noErr);
  EXPECT_EQ(DeleteDataFile("c:\\ResizingImage.xxx"), noErr);
  ExpectOriginal(4, 4, 1, "move refused");
}

TEST_P(EnsureSize, FullDiskPutsTheOldFileBack) {
  MakeStore(10, 10, 2);
  // Far more than the disk holds: creating the enlarged file fails after the
  // old one was moved aside.
#if defined(_WIN32)
  EXPECT_NE(EnsureImageStoreSize("c:\\buf.xxx", 32767, 32767, 32767), noErr);
#else
  EXPECT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 32767, 32767, 32767), dskFulErr);
#endif
  ExpectOriginal(10, 10, 2, "disk full");
}

// Every single failure of the platform during an enlargement either succeeds
// with the content carried over, or fails with the old store back in place.
TEST_P(EnsureSize, EveryFailurePointKeepsTheContent) {
  const Operation ops[] = {Operation::kOpen,       Operation::kCreate,        Operation::kRead,
                           Operation::kShortWrite, Operation::kDiskFullWrite, Operation::kSeek,
                           Operation::kClose,      Operation::kDelete,        Operation::kMove,
                           Operation::kMap,        Operation::kAllocate,      Operation::kSetSize};
  int failures = 0;
  int points = 0;
  for (Operation op : ops) {
    MakeStore(6, 5, 2);
    platform::test::ClearFaults();
    ASSERT_EQ(EnsureImageStoreSize("c:\\buf.xxx", 6, 7, 2), noErr);
    const int calls = platform::test::CallCount(op);
    for (int n = 1; n <= calls; ++n) {
      const std::string when = "operation " + std::to_string(int(op)) + " call " +
                               std::to_string(n) + " of " + std::to_string(calls);
      MakeStore(6, 5, 2);
      platform::test::FailNthCall(op, n,
                                  op == Operation::kDiskFullWrite ? platform::OsError::kDiskFull
                                                                  : platform::OsError::kOther);
      const OSErr status = EnsureImageStoreSize("c:\\buf.xxx", 6, 7, 2);
      platform::test::ClearFaults();
      ++points;
      if (status != noErr) {
        ++failures;
        ExpectOriginal(6, 5, 2, when);
        continue;
      }
      // Success despite the fault (a status nobody needs, a fallback): the
      // enlarged store must still carry the old rows.
      const Content c = ReadBack();
      ASSERT_EQ(c.height, 7) << when;
      for (int r = 0; r < 7; ++r) {
        for (int b = 0; b < 12; ++b) {
          ASSERT_EQ(c.rows[std::size_t(r)][std::size_t(b)], r < 5 ? Pattern(r, b) : 0) << when;
        }
      }
    }
  }
  // The walk reached the enlargement itself, where most faults are failures.
  EXPECT_GT(points, 20);
  EXPECT_GT(failures, 10);
}

}  // namespace
