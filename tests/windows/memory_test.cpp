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

// A pointer that the layer handed out, seen by the system's global memory.
void ExpectLockedGlobalBlock(const void* p, std::size_t size) {
  HGLOBAL h = GlobalHandle(p);
  ASSERT_NE(h, nullptr);
  EXPECT_GE(GlobalSize(h), size);
  // Movable memory, locked once and never unlocked while in use.
  EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 1u);
}

TEST(Win32Memory, BlocksAreLockedZeroedGlobalMemory) {
  for (std::size_t size : {std::size_t(1), std::size_t(514), std::size_t(1) << 20}) {
    auto* p = static_cast<std::uint8_t*>(platform::OsAllocZeroed(size));
    ASSERT_NE(p, nullptr);
    ExpectLockedGlobalBlock(p, size);
    std::vector<std::uint8_t> zeros(size, 0);
    EXPECT_EQ(std::memcmp(p, zeros.data(), size), 0);
    std::memset(p, 0xAB, size);  // the whole block is ours to write
    platform::OsFree(p);
  }
  platform::OsFree(nullptr);  // harmless
}

TEST(Win32Memory, HandleBlocksKeepBothPartsInGlobalMemory) {
  Handle h = NewHandleBlock(100);
  ASSERT_NE(h, nullptr);
  ExpectLockedGlobalBlock(h, 2 * sizeof(void*));
  ExpectLockedGlobalBlock(*h, 100);
  // The master record carries its signature right after the data pointer.
  const auto* master = reinterpret_cast<const std::uint8_t*>(h);
  EXPECT_EQ(std::memcmp(master + sizeof(void*), "OTOF", 4), 0);
  DisposeHandleBlock(h);
}

TEST(Win32Memory, FreedBlocksGoBackToTheSystem) {
  // Many rounds of allocation and release of a large block must not run out:
  // each release really frees.
  for (int i = 0; i < 64; ++i) {
    void* p = NewBlock(64 << 20);
    ASSERT_NE(p, nullptr) << "round " << i;
    DisposeBlock(p);
  }
}

TEST(Win32Mapping, AnonymousMemoryComesZeroedAndWritable) {
  platform::Mapping m;
  const std::uint64_t size = 3 * 65536 + 17;
  ASSERT_TRUE(platform::OsMapFile(platform::kInvalidFile, size, &m));
  ASSERT_NE(m.view, nullptr);
  EXPECT_NE(m.object, 0);  // the paging-file section
  EXPECT_EQ(m.size, size);
  auto* bytes = static_cast<std::uint8_t*>(m.view);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[size - 1], 0);
  bytes[0] = 1;
  bytes[size - 1] = 2;
  platform::OsFlushMapping(m);
  EXPECT_EQ(bytes[size - 1], 2);
  platform::OsUnmapFile(&m);
  EXPECT_EQ(m.view, nullptr);
  EXPECT_EQ(m.object, 0);
}

TEST(Win32Mapping, AMappedFileGrowsAndKeepsWhatWasWrittenThroughTheView) {
  testsupport::TempRoot root;
  root.Write("mapped.xxx", std::string("head"));
  FileGuard guard;
  ASSERT_EQ(OpenDataFile("c:\\mapped.xxx", &guard.file), noErr);
  platform::Mapping m;
  ASSERT_TRUE(platform::OsMapFile(guard.file, 8192, &m));
  auto* bytes = static_cast<std::uint8_t*>(m.view);
  EXPECT_EQ(std::memcmp(bytes, "head", 4), 0);  // the file's own bytes
  EXPECT_EQ(bytes[8191], 0);                    // the grown part is zero
  std::memcpy(bytes + 8188, "tail", 4);
  platform::OsFlushMapping(m);
  platform::OsUnmapFile(&m);

  // The positioned calls see what the view wrote.
  ASSERT_EQ(SetDataFilePosition(guard.file, kPositionFromEnd, -4), noErr);
  char tail[4] = {};
  std::int32_t count = 4;
  ASSERT_EQ(ReadDataFile(guard.file, &count, tail), noErr);
  EXPECT_EQ(std::string(tail, 4), "tail");
  CloseDataFile(guard.file);
  guard.file = platform::kInvalidFile;
  EXPECT_EQ(root.Read("mapped.xxx").size(), 8192u);
}

TEST(Win32Mapping, AFileOpenedForReadingOnlyCannotBeMappedForWriting) {
  testsupport::TempRoot root;
  root.Write("plain.xxx", std::string(100, 'x'));
  FileRef file = platform::kInvalidFile;
  ASSERT_EQ(platform::OsOpenFile("c:\\plain.xxx", false, true, &file), platform::OsError::kNone);
  platform::Mapping m;
  // The store then works through positioned reads and writes.
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
    const std::time_t after = std::time(nullptr);
    if (before != after) continue;
    std::tm local{};
    localtime_s(&local, &before);
    EXPECT_EQ(t.year, local.tm_year + 1900);
    EXPECT_EQ(t.month, local.tm_mon + 1);
    EXPECT_EQ(t.day, local.tm_mday);
    EXPECT_EQ(t.hour, local.tm_hour);
    EXPECT_EQ(t.minute, local.tm_min);
    EXPECT_EQ(t.second, local.tm_sec);
    return;
  }
  FAIL() << "the clock kept changing seconds";
}

}  // namespace
