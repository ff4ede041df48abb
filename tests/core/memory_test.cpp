// Handle blocks, plain blocks and string buffers.
#include "plugin/core/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "plugin/platform/test_hooks.h"

namespace {

bool AllZero(const void* p, std::size_t n) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

TEST(HandleBlock, MasterRecordPointsAtZeroedDataAndCarriesSignature) {
  Handle h = NewHandleBlock(100);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LastMemoryError(), noErr);
  // One dereference reaches the data; the signature follows the data pointer.
  ASSERT_NE(*h, nullptr);
  EXPECT_TRUE(AllZero(*h, 100));
  const char* signature = reinterpret_cast<const char*>(h) + sizeof(char*);
  EXPECT_EQ(std::memcmp(signature, "OTOF", 4), 0);
  std::uint32_t value = 0;
  std::memcpy(&value, signature, 4);
  EXPECT_EQ(value, 0x464F544Fu);
  std::memset(*h, 0xAB, 100);  // the whole area is writable
  DisposeHandleBlock(h);
  EXPECT_EQ(LastMemoryError(), noErr);
}

TEST(HandleBlock, DisposingNullRecordsNilHandleUntilNextSuccess) {
  DisposeHandleBlock(nullptr);
  EXPECT_EQ(LastMemoryError(), nilHandleErr);
  Handle h = NewHandleBlock(8);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LastMemoryError(), noErr);
  DisposeHandleBlock(h);
}

TEST(HandleBlock, ZeroedBlockOfZeroBytesStillHasData) {
  Handle h = NewZeroedHandleBlock(0);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(*h, nullptr);
  DisposeHandleBlock(h);
  h = NewZeroedHandleBlock(4096);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(AllZero(*h, 4096));
  DisposeHandleBlock(h);
}

TEST(HandleBlock, NegativeZeroedSizeIsRefused) {
  EXPECT_EQ(NewZeroedHandleBlock(-1), nullptr);
  EXPECT_EQ(LastMemoryError(), memFullErr);
}

TEST(HandleBlock, AllocationFailuresGiveNullAndOutOfMemory) {
  // The master record, then the data area.
  for (int nth = 1; nth <= 2; ++nth) {
    platform::test::FailNthCall(platform::test::Operation::kAllocate, nth,
                                platform::OsError::kOther);
    EXPECT_EQ(NewHandleBlock(16), nullptr) << nth;
    EXPECT_EQ(LastMemoryError(), memFullErr) << nth;
    EXPECT_EQ(platform::test::FaultsFired(platform::test::Operation::kAllocate), 1);
    platform::test::ClearFaults();
  }
}

TEST(PlainBlock, ZeroFilledAndDisposable) {
  DisposeHandleBlock(nullptr);  // plain blocks leave the last memory error alone
  auto* p = static_cast<unsigned char*>(NewBlock(1000));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(AllZero(p, 1000));
  void* q = NewZeroedBlock(0);
  EXPECT_NE(q, nullptr);
  EXPECT_EQ(LastMemoryError(), nilHandleErr);
  DisposeBlock(p);
  DisposeBlock(q);
  DisposeBlock(nullptr);
}

TEST(PlainBlock, FailedAllocationIsNull) {
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  EXPECT_EQ(NewZeroedBlock(64), nullptr);
  char* s = NewString(kStringSize);  // only the first call failed
  EXPECT_NE(s, nullptr);
  DisposeString(s);
  platform::test::ClearFaults();
}

TEST(StringBuffer, AllZeroOfFullCapacity) {
  char* s = NewString(kStringSize);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(AllZero(s, kStringSize));
  std::memset(s, 'x', kStringSize - 1);
  DisposeString(s);
  DisposeString(nullptr);
}

}  // namespace
