// Memory, mappings and time on the Win32 calls: blocks are locked, movable,
// zero-initialised global memory that the system can trace back from the
// pointer; stores map files and the paging file; local time is the system's.
#define WIN32_LEAN_AND_MEAN
#include "plugin/core/memory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "plugin/platform/platform.h"
#include "plugin/storage/file.h"
#include "support/temp_root.h"

namespace {

// A pointer that the layer handed out, seen by the system's global memory:
// movable memory, locked once and never unlocked while in use.
void ExpectLockedGlobalBlock(const void* p, std::size_t size) {
  HGLOBAL h = GlobalHandle(p);
  ASSERT_NE(h, nullptr);
  EXPECT_GE(GlobalSize(h), size);
  EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 1u);
}

TEST(Win32Memory, BlocksAreLockedZeroedGlobalMemoryAndGoBack) {
  for (std::size_t size : {std::size_t(1), std::size_t(514), std::size_t(1) << 20}) {
    auto* p = static_cast<std::uint8_t*>(platform::OsAllocZeroed(size));
    ASSERT_NE(p, nullptr);
    ExpectLockedGlobalBlock(p, size);
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + size), std::vector<std::uint8_t>(size, 0));
    std::memset(p, 0xAB, size);  // the whole block is ours to write
    platform::OsFree(p);
  }
  platform::OsFree(nullptr);  // harmless
  // Both parts of a handle block.
  Handle h = NewHandleBlock(100);
  ASSERT_NE(h, nullptr);
  ExpectLockedGlobalBlock(h, 2 * sizeof(void*));
  ExpectLockedGlobalBlock(*h, 100);
  DisposeHandleBlock(h);
  // Many rounds of a large block must not run out: each release really frees.
  for (int i = 0; i < 64; ++i) {
    void* p = NewBlock(64 << 20);
    ASSERT_NE(p, nullptr) << "round " << i;
    DisposeBlock(p);
  }
}

TEST(Win32Mapping, PagingFileAndFileSectionsAreZeroedWritableAndShared) {
  platform::Mapping m;
  const std::uint64_t size = 3 * 65536 + 17;
  ASSERT_TRUE(platform::OsMapFile(platform::kInvalidFile, size, &m));
  EXPECT_NE(m.object, 0);  // the paging-file section
  EXPECT_EQ(m.size, size);
  auto* bytes = static_cast<std::uint8_t*>(m.view);
  EXPECT_EQ(bytes[0] | bytes[size - 1], 0);
  bytes[size - 1] = 2;
  platform::OsFlushMapping(m);
  platform::OsUnmapFile(&m);
  EXPECT_EQ(m.view, nullptr);
  EXPECT_EQ(m.object, 0);

  // A mapped file grows, and the positioned calls see what the view wrote.
  testsupport::TempRoot root;
  root.Write("mapped.xxx", std::string("head"));
  FileGuard guard;
  ASSERT_EQ(OpenDataFile("c:\\mapped.xxx", &guard.file), noErr);
  ASSERT_TRUE(platform::OsMapFile(guard.file, 8192, &m));
  bytes = static_cast<std::uint8_t*>(m.view);
  EXPECT_EQ(std::memcmp(bytes, "head", 4), 0);
  EXPECT_EQ(bytes[8191], 0);
  std::memcpy(bytes + 8188, "tail", 4);
  platform::OsFlushMapping(m);
  platform::OsUnmapFile(&m);
  ASSERT_EQ(SetDataFilePosition(guard.file, kPositionFromEnd, -4), noErr);
  char tail[4] = {};
  std::int32_t count = 4;
  ASSERT_EQ(ReadDataFile(guard.file, &count, tail), noErr);
  EXPECT_EQ(std::string(tail, 4), "tail");

  // A file opened for reading only cannot be mapped for writing: the store
  // then works through positioned reads and writes.
  root.Write("plain.xxx", std::string(100, 'x'));
  FileRef file = platform::kInvalidFile;
  ASSERT_EQ(platform::OsOpenFile("c:\\plain.xxx", false, true, &file), platform::OsError::kNone);
  EXPECT_FALSE(platform::OsMapFile(file, 100, &m));
  EXPECT_EQ(m.view, nullptr);
  platform::OsCloseFile(file);
}

TEST(Win32Time, LocalTimeIsTheSystemsLocalTime) {
  // Two routes to the same clock: the layer's GetLocalTime and the runtime
  // library's local time. Read until both fall within the same second.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::time_t before = std::time(nullptr);
    const platform::LocalTime t = platform::OsGetLocalTime();
    if (std::time(nullptr) != before) continue;
    std::tm local{};
    localtime_s(&local, &before);
    const platform::LocalTime expected{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                       local.tm_hour,        local.tm_min,     local.tm_sec};
    EXPECT_EQ(std::memcmp(&t, &expected, sizeof t), 0);
    return;
  }
  FAIL() << "the clock kept changing seconds";
}

}  // namespace
