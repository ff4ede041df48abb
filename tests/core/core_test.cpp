// Memory blocks, the bounded copy and join, and 4-character codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/log/text_writer.h"
#include "plugin/platform/test_hooks.h"

namespace {

using platform::test::Operation;

bool AllZero(const void* p, std::size_t n) {
  const std::vector<char> zeros(n, 0);
  return n == 0 || std::memcmp(p, zeros.data(), n) == 0;
}

// Handle blocks carry the signature behind a pointer to zeroed data; every
// block is zero-filled, and null with out of memory when refused.
TEST(Blocks, ZeroFilledAndNullWithOutOfMemoryWhenRefused) {
  for (std::int32_t size : {0, 100, 4096}) {
    Handle h = NewZeroedHandleBlock(size);
    ASSERT_NE(h, nullptr) << size;
    EXPECT_EQ(LastMemoryError(), noErr);
    ASSERT_NE(*h, nullptr);
    EXPECT_TRUE(AllZero(*h, std::size_t(size)));
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(h) + sizeof(char*), "OTOF", 4), 0);
    std::memset(*h, 0xAB, std::size_t(size));  // the whole area is writable
    DisposeHandleBlock(h);
    EXPECT_EQ(LastMemoryError(), noErr);
  }
  EXPECT_EQ(NewZeroedHandleBlock(-1), nullptr);
  EXPECT_EQ(LastMemoryError(), memFullErr);
  DisposeHandleBlock(nullptr);  // plain blocks leave the last memory error alone
  EXPECT_EQ(LastMemoryError(), nilHandleErr);
  auto* p = static_cast<unsigned char*>(NewBlock(1000));
  char* s = NewString(kStringSize);
  ASSERT_NE(p, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(AllZero(p, 1000));
  EXPECT_TRUE(AllZero(s, kStringSize));
  EXPECT_EQ(LastMemoryError(), nilHandleErr);
  DisposeBlock(p);
  DisposeString(s);
  DisposeString(nullptr);
  // A handle's master record, then its data area.
  for (int nth = 1; nth <= 2; ++nth) {
    platform::test::FailNthCall(Operation::kAllocate, nth, platform::OsError::kOther);
    EXPECT_EQ(NewHandleBlock(16), nullptr) << nth;
    EXPECT_EQ(LastMemoryError(), memFullErr) << nth;
    EXPECT_EQ(platform::test::FaultsFired(Operation::kAllocate), 1);
    platform::test::ClearFaults();
  }
}

// The bounded copy at every boundary; the join agrees with the bounded copy
// of the concatenation; a code agrees with the one read from its text.
TEST(Strings, CopyAndJoinStayInBoundsAndAgreeAsCodesDo) {
  // Exactly size - 1 characters fit; nothing is written past the terminator.
  for (int size = 1; size <= 6; ++size)
    for (int length = 0; length <= 7; ++length) {
      const std::string source(std::size_t(length), 'q');
      char buffer[16];
      std::memset(buffer, '#', sizeof buffer);
      CopyBounded(source.c_str(), buffer, size);
      const std::size_t expected = std::size_t(length < size ? length : size - 1);
      EXPECT_EQ(std::string(buffer), source.substr(0, expected)) << size << " " << length;
      EXPECT_EQ(buffer[size], '#') << size << " " << length;
    }
  char buffer[10] = "abc";
  CopyBounded(nullptr, buffer, 8);  // a null source empties
  EXPECT_STREQ(buffer, "");
  CopyBounded("abc", nullptr, 8);  // a null destination is ignored
  CopyBounded("xyz", buffer, 0);
  EXPECT_STREQ(buffer, "");
  const char* pieces[] = {nullptr, "", "a", "bc", "defgh"};
  const std::string longPiece(520, 'z');
  for (const char* a : pieces)
    for (const char* b : {pieces[0], pieces[2], pieces[4], longPiece.c_str()})
      for (int size : {1, 2, 5, 9, kStringSize}) {
        char joined[kStringSize], copied[kStringSize];
        JoinStrings(a, b, joined, size);
        CopyBounded((std::string(a ? a : "") + (b ? b : "")).c_str(), copied, size);
        EXPECT_STREQ(joined, copied) << (a ? a : "null") << "+" << (b ? b : "null") << " " << size;
      }
  // The destination may be either piece: appending and prefixing in place.
  std::strcpy(buffer, "Show:");
  JoinStrings(buffer, " 12", buffer, 10);
  JoinStrings(buffer, "345", buffer, 10);
  EXPECT_STREQ(buffer, "Show: 123");
  char tail[10] = "tail";
  JoinStrings("head-", tail, tail, 10);
  EXPECT_STREQ(tail, "head-tail");
  // A code's bytes above 0x7F are taken unsigned, as the code read back from its text.
  static_assert(FourCC("\xff\x01\x02\x03") == 0xFF010203u);
  for (const char* code : {"TYPE", "ttxt", "BFcB", "\xff\x01\x02\x03", "\x80\xfe\x7f "}) {
    char text[5];
    std::memcpy(text, code, 5);
    EXPECT_EQ(FourCC(text), TextToCode(code)) << code;
  }
}

}  // namespace
