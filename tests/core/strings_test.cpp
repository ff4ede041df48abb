// The bounded copy and join, the Rect filler and 4-character codes.
#include "plugin/core/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin/core/memory.h"

namespace {

TEST(CopyBounded, ShortStringArrivesWhole) {
  char buffer[kStringSize];
  std::memset(buffer, 'x', sizeof buffer);
  CopyBounded("c:\\BestFocus.xxx", buffer, kStringSize);
  EXPECT_STREQ(buffer, "c:\\BestFocus.xxx");
  EXPECT_EQ(buffer[17], 'x');  // nothing written past the terminator
}

TEST(CopyBounded, LongStringIsCutToSizeLessOne) {
  const std::string source(600, 'a');
  char buffer[kStringSize + 1];
  buffer[kStringSize] = '!';  // guard byte just beyond the buffer
  CopyBounded(source.c_str(), buffer, kStringSize);
  EXPECT_EQ(std::strlen(buffer), 513u);
  EXPECT_EQ(std::string(buffer), source.substr(0, 513));
  EXPECT_EQ(buffer[kStringSize], '!');
}

TEST(CopyBounded, LimitsAtEveryBoundary) {
  // Exactly size - 1 characters fit; size characters lose the last one.
  for (int size = 1; size <= 6; ++size) {
    for (int length = 0; length <= 7; ++length) {
      const std::string source(std::size_t(length), 'q');
      char buffer[16];
      std::memset(buffer, '#', sizeof buffer);
      CopyBounded(source.c_str(), buffer, size);
      const std::size_t expected = std::size_t(length < size ? length : size - 1);
      EXPECT_EQ(std::strlen(buffer), expected) << size << " " << length;
      EXPECT_EQ(buffer[size], '#') << size << " " << length;
    }
  }
}

TEST(CopyBounded, NullSourceEmptiesNullDestinationIsIgnored) {
  char buffer[8] = "abc";
  CopyBounded(nullptr, buffer, 8);
  EXPECT_STREQ(buffer, "");
  CopyBounded("abc", nullptr, 8);  // must not crash
  char untouched[4] = "xyz";
  CopyBounded("abc", untouched, 0);
  EXPECT_STREQ(untouched, "xyz");
}

TEST(JoinStrings, CutsFromTheEnd) {
  char buffer[16];
  JoinStrings("abc", "defg", buffer, 6);
  EXPECT_STREQ(buffer, "abcde");
  JoinStrings("abcdefgh", "ij", buffer, 6);
  EXPECT_STREQ(buffer, "abcde");
  JoinStrings("abc", "defg", buffer, 16);
  EXPECT_STREQ(buffer, "abcdefg");
}

TEST(JoinStrings, NullPiecesCountAsEmpty) {
  char buffer[16] = "old";
  JoinStrings(nullptr, "x", buffer, 16);
  EXPECT_STREQ(buffer, "x");
  JoinStrings("y", nullptr, buffer, 16);
  EXPECT_STREQ(buffer, "y");
  JoinStrings(nullptr, nullptr, buffer, 16);
  EXPECT_STREQ(buffer, "");
}

TEST(JoinStrings, AppendsInPlace) {
  char buffer[10] = "Show:";
  JoinStrings(buffer, " 12", buffer, 10);
  EXPECT_STREQ(buffer, "Show: 12");
  JoinStrings(buffer, "345", buffer, 10);
  EXPECT_STREQ(buffer, "Show: 123");
}

TEST(JoinStrings, PrefixesInPlaceWhenSecondIsTheDestination) {
  char buffer[10] = "tail";
  JoinStrings("head-", buffer, buffer, 10);
  EXPECT_STREQ(buffer, "head-tail");
}

TEST(JoinStrings, AgreesWithBoundedCopyOfTheConcatenation) {
  // Two routes to one answer: join, or copy the whole concatenation bounded.
  const std::string pieces[] = {"", "a", "bc", "defgh", std::string(520, 'z')};
  for (const std::string& a : pieces) {
    for (const std::string& b : pieces) {
      for (int size : {1, 2, 5, 9, kStringSize}) {
        char joined[kStringSize];
        char copied[kStringSize];
        JoinStrings(a.c_str(), b.c_str(), joined, size);
        CopyBounded((a + b).c_str(), copied, size);
        EXPECT_STREQ(joined, copied) << a.size() << "+" << b.size() << " in " << size;
      }
    }
  }
}

TEST(SetRectangle, ArgumentOrderIsLeftTopRightBottom) {
  Rect r{};
  SetRectangle(&r, 1, 2, 3, 4);
  EXPECT_EQ(r.top, 2);
  EXPECT_EQ(r.left, 1);
  EXPECT_EQ(r.bottom, 4);
  EXPECT_EQ(r.right, 3);
  SetRectangle(&r, 0, 0, 0, 0);
  EXPECT_EQ(r.top | r.left | r.bottom | r.right, 0);
  SetRectangle(nullptr, 1, 2, 3, 4);  // ignored
}

TEST(FourCC, FirstCharacterIsMostSignificant) {
  static_assert(FourCC("CREA") == 0x43524541u);
  EXPECT_EQ(FourCC("TYPE"), 0x54595045u);
  EXPECT_EQ(FourCC("ttxt"), 0x74747874u);
  EXPECT_EQ(FourCC("BFcB"), (std::uint32_t('B') << 24) | (std::uint32_t('F') << 16) |
                                (std::uint32_t('c') << 8) | std::uint32_t('B'));
  // Bytes above 0x7F are taken unsigned, not sign-extended into the others.
  EXPECT_EQ(FourCC("\xff\x01\x02\x03"), 0xFF010203u);
}

}  // namespace
