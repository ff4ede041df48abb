// Memory and time on the Win32 calls: blocks are locked, movable, zeroed global
// memory that the system traces back from the pointer; local time is the system's.
#define WIN32_LEAN_AND_MEAN
#include "plugin/core/memory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "plugin/platform/platform.h"

namespace {

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
    platform::OsFree(p);
  }
  Handle h = NewHandleBlock(100);  // both parts of a handle block
  ASSERT_NE(h, nullptr);
  ExpectLockedGlobalBlock(h, 2 * sizeof(void*));
  ExpectLockedGlobalBlock(*h, 100);
  DisposeHandleBlock(h);
  for (int i = 0; i < 64; ++i) {  // each release really frees
    void* p = NewBlock(64 << 20);
    ASSERT_NE(p, nullptr) << "round " << i;
    DisposeBlock(p);
  }
}

// Two routes to one clock: GetLocalTime and the runtime library's local time.
TEST(Win32Time, LocalTimeIsTheSystemsLocalTime) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::time_t before = std::time(nullptr);
    const platform::LocalTime t = platform::OsGetLocalTime();
    if (std::time(nullptr) != before) continue;  // a second passed in between
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
