// Handle blocks, plain blocks and string buffers.
#include "plugin/core/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plugin/platform/test_hooks.h"

namespace {

bool AllZero(const void* p, std::size_t n) {
  const std::vector<char> zeros(n, 0);
  return std::memcmp(p, zeros.data(), n) == 0;
}

TEST(HandleBlock, MasterRecordPointsAtZeroedDataAndCarriesSignature) {
  for (std::int32_t size : {0, 100, 4096}) {
    Handle h = NewZeroedHandleBlock(size);
    ASSERT_NE(h, nullptr) << size;
    EXPECT_EQ(LastMemoryError(), noErr);
    // One dereference reaches the data; the signature follows the data pointer.
    ASSERT_NE(*h, nullptr);
    EXPECT_TRUE(AllZero(*h, std::size_t(size)));
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(h) + sizeof(char*), "OTOF", 4), 0);
    std::memset(*h, 0xAB, std::size_t(size));  // the whole area is writable
    DisposeHandleBlock(h);
    EXPECT_EQ(LastMemoryError(), noErr);
  }
  // Null is reported until the next success; a negative size is refused.
  DisposeHandleBlock(nullptr);
  EXPECT_EQ(LastMemoryError(), nilHandleErr);
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

TEST(PlainBlock, ZeroFilledDisposableAndNullWhenRefused) {
  DisposeHandleBlock(nullptr);  // plain blocks leave the last memory error alone
  auto* p = static_cast<unsigned char*>(NewBlock(1000));
  void* q = NewZeroedBlock(0);
  char* s = NewString(kStringSize);
  ASSERT_NE(p, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_NE(q, nullptr);
  EXPECT_TRUE(AllZero(p, 1000));
  EXPECT_TRUE(AllZero(s, kStringSize));
  EXPECT_EQ(LastMemoryError(), nilHandleErr);
  DisposeBlock(p);
  DisposeBlock(q);
  DisposeBlock(nullptr);
  DisposeString(s);
  DisposeString(nullptr);

  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  EXPECT_EQ(NewZeroedBlock(64), nullptr);
  s = NewString(kStringSize);  // only the first call failed
  EXPECT_NE(s, nullptr);
  DisposeString(s);
  platform::test::ClearFaults();
}

}  // namespace
