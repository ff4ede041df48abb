// The bounded copy and join, the Rect filler and 4-character codes.
#include "plugin/core/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin/core/memory.h"
#include "plugin/log/text_writer.h"

namespace {

TEST(CopyBounded, LimitsAtEveryBoundary) {
  // Exactly size - 1 characters fit; nothing is written past the terminator.
  for (int size = 1; size <= 6; ++size) {
    for (int length = 0; length <= 7; ++length) {
      const std::string source(std::size_t(length), 'q');
      char buffer[16];
      std::memset(buffer, '#', sizeof buffer);
      CopyBounded(source.c_str(), buffer, size);
      const std::size_t expected = std::size_t(length < size ? length : size - 1);
      EXPECT_EQ(std::string(buffer), source.substr(0, expected)) << size << " " << length;
      EXPECT_EQ(buffer[size], '#') << size << " " << length;
    }
  }
  char buffer[8] = "abc";
  CopyBounded(nullptr, buffer, 8);  // a null source empties
  EXPECT_STREQ(buffer, "");
  CopyBounded("abc", nullptr, 8);  // a null destination is ignored
  char untouched[4] = "xyz";
  CopyBounded("abc", untouched, 0);
  EXPECT_STREQ(untouched, "xyz");
}

TEST(JoinStrings, AgreesWithBoundedCopyOfTheConcatenation) {
  // Two routes to one answer: join, or copy the whole concatenation bounded.
  const char* pieces[] = {nullptr, "", "a", "bc", "defgh"};
  const std::string longPiece(520, 'z');
  for (const char* a : pieces) {
    for (const char* b : {pieces[0], pieces[2], pieces[4], longPiece.c_str()}) {
      for (int size : {1, 2, 5, 9, kStringSize}) {
        char joined[kStringSize];
        char copied[kStringSize];
        JoinStrings(a, b, joined, size);
        CopyBounded((std::string(a ? a : "") + (b ? b : "")).c_str(), copied, size);
        EXPECT_STREQ(joined, copied)
            << (a ? a : "null") << "+" << (b ? b : "null") << " in " << size;
      }
    }
  }
  // The destination may be either piece: appending and prefixing in place.
  char buffer[10] = "Show:";
  JoinStrings(buffer, " 12", buffer, 10);
  JoinStrings(buffer, "345", buffer, 10);
  EXPECT_STREQ(buffer, "Show: 123");
  char tail[10] = "tail";
  JoinStrings("head-", tail, tail, 10);
  EXPECT_STREQ(tail, "head-tail");
}

TEST(SetRectangle, ArgumentOrderIsLeftTopRightBottom) {
  Rect r{};
  SetRectangle(&r, 1, 2, 3, 4);
  EXPECT_EQ(r.left, 1);
  EXPECT_EQ(r.top, 2);
  EXPECT_EQ(r.right, 3);
  EXPECT_EQ(r.bottom, 4);
  SetRectangle(nullptr, 1, 2, 3, 4);  // ignored
}

TEST(FourCC, AgreesWithTheCodeReadFromItsText) {
  static_assert(FourCC("CREA") == 0x43524541u);
  // Bytes above 0x7F are taken unsigned, not sign-extended into the others.
  for (const char* code : {"TYPE", "ttxt", "BFcB", "\xff\x01\x02\x03", "\x80\xfe\x7f "}) {
    char text[5];
    std::memcpy(text, code, 5);
    EXPECT_EQ(FourCC(text), TextToCode(code)) << code;
  }
  EXPECT_EQ(FourCC("\xff\x01\x02\x03"), 0xFF010203u);
}

}  // namespace
