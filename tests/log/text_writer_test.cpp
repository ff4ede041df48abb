// Text pieces and the framework's number texts.
#include "plugin/log/text_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "log_test_support.h"
#include "plugin/core/memory.h"

namespace {

struct RealCase {
  float value;
  const char* text;
};

// Including the texts where the rounding term carries into the leading digit.
const RealCase kRealCases[] = {
    {0.0f, "0.0"},
    {1.0f, "1.00000"},
    {0.5f, "0.50000"},
    {6.0f, "6.00000"},
    {-2.5f, "-2.50000"},
    {100.0f, "100.000"},
    {255.0f, "255.000"},
    {1234.5f, "1234.50"},
    {9999.996f, "10000.00"},
    {9.999999f, "10.00000"},
    {0.05f, "0.05000"},
    {1.0f / 72.0f, "0.01388"},
    {-0.001234f, "-0.00123"},
    {12345.6f, "1.23456e+4"},
    {123456789.0f, "1.23457e+8"},
    {99999.99f, "10.00000e+4"},
    {0.0005f, "0.50000e-3"},
    {1e10f, "1.00000e+10"},
    // Exact powers of ten sit on the edge between two exponents.
    {1000.0f, "1000.00"},
    {1e6f, "1.00000e+6"},
    {-0.0f, "0.0"},
    // The powers of ten come from ln 10 rounded to single precision; with the
    // exact logarithm these would round up to 50.6805 and 11.7204 (checked with
    // 50-digit decimal arithmetic).
    {50.6804504f, "50.6804"},
    {11.7203503f, "11.7203"},
};

std::string Counted(const char* counted) {
  return std::string(counted + 1, static_cast<unsigned char>(counted[0]));
}

template <typename Real>
void ExpectWholeTable() {
  for (const RealCase& c : kRealCases) {
    char out[logtext::kRealTextSize];
    logtext::FormatRealAs<Real>(c.value, out);
    EXPECT_EQ(Counted(out), c.text) << "value " << c.value;
    EXPECT_EQ(out[1 + static_cast<unsigned char>(out[0])], '\0');
    EXPECT_LE(static_cast<unsigned char>(out[0]), 13);
  }
}

TEST(FormatReal, TableInExtendedPrecision) {
  for (const RealCase& c : kRealCases) {
    char out[logtext::kRealTextSize];
    FormatReal(c.value, out);
    EXPECT_EQ(Counted(out), c.text) << "value " << c.value;
  }
}

// Where long double is the 64-bit double (Windows x64), the same texts.
TEST(FormatReal, TableInDoublePrecision) {
  ExpectWholeTable<double>();
}
TEST(FormatReal, TableInLongDouble) {
  ExpectWholeTable<long double>();
}

TEST(FormatReal, NotANumberAndInfinity) {
  char out[logtext::kRealTextSize];
  FormatReal(std::numeric_limits<float>::quiet_NaN(), out);
  EXPECT_EQ(Counted(out), "0.0");
  FormatReal(-std::numeric_limits<float>::infinity(), out);
  EXPECT_EQ(Counted(out), "-inf");
}

// Every float magnitude from the smallest to the largest stays within 13 characters
// and is made of digits, point, sign and exponent only.
TEST(FormatReal, ExtremesStayShort) {
  for (float v : {std::numeric_limits<float>::max(), std::numeric_limits<float>::min(),
                  std::numeric_limits<float>::denorm_min(), -3.4e38f, 1e-38f}) {
    char out[logtext::kRealTextSize];
    FormatReal(v, out);
    const std::string text = Counted(out);
    EXPECT_LE(text.size(), 13u) << text;
    EXPECT_EQ(text.find_first_not_of("0123456789.-+e"), std::string::npos) << text;
  }
}

TEST(CodeText, CodeToTextAndBack) {
  char out[6];
  CodeToText(FourCC("BFcB"), out);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(std::string(out + 1, 4), "BFcB");
  EXPECT_EQ(TextToCode(out + 1), FourCC("BFcB"));
  // Unprintable bytes pass unchanged.
  CodeToText(0x00FF0A7Fu, out);
  EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(out[2]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(out[3]), 0x0A);
  EXPECT_EQ(static_cast<unsigned char>(out[4]), 0x7F);
  EXPECT_EQ(TextToCode(out + 1), 0x00FF0A7Fu);
}

TEST(CountedStrings, RoundTripAndLimit) {
  char buffer[kStringSize] = "Focus";
  TerminatedToCounted(buffer);
  EXPECT_EQ(buffer[0], 5);
  EXPECT_EQ(std::string(buffer + 1, 5), "Focus");
  CountedToTerminated(buffer);
  EXPECT_STREQ(buffer, "Focus");

  char longText[kStringSize];
  std::string source(300, 'a');
  source[254] = 'y';
  source[255] = 'z';
  CopyBounded(source.c_str(), longText, kStringSize);
  TerminatedToCounted(longText);
  EXPECT_EQ(static_cast<unsigned char>(longText[0]), 255);
  CountedToTerminated(longText);
  EXPECT_EQ(std::string(longText), source.substr(0, 255));

  char empty[4] = "";
  TerminatedToCounted(empty);
  EXPECT_EQ(empty[0], 0);
  CountedToTerminated(empty);
  EXPECT_STREQ(empty, "");
}

TEST(TextWriter, PiecesWithTabsAndLineEnds) {
  testsupport::TempRoot root;
  {
    logtest::OpenFile file(root, "pieces.txt");
    EXPECT_EQ(WriteText(file.get(), "abc", true, false), noErr);
    EXPECT_EQ(WriteText(file.get(), nullptr, true, true), noErr);
    EXPECT_EQ(WriteText(file.get(), "", false, true), noErr);
    const char counted[] = "\x03xyzJUNK";
    EXPECT_EQ(WriteCountedText(file.get(), counted, true, true), noErr);
    WriteInteger(file.get(), std::numeric_limits<std::int32_t>::min(), true, false);
    WriteInteger(file.get(), 0, false, false);
    WriteInteger(file.get(), 2147483647, false, true);
    WriteReal(file.get(), 1234.5f, true, true);
  }
  EXPECT_EQ(logtest::ReadText(root, "pieces.txt"),
            "abc\t"
            "\t\r\n"
            "\r\n"
            "xyz\t\r\n"
            "-2147483648\t"
            "0"
            "2147483647\r\n"
            "1234.50\t\r\n");
}

TEST(TextWriter, NullStringWithBothFlagsIsTabAndLineEnd) {
  testsupport::TempRoot root;
  {
    logtest::OpenFile file(root, "null.txt");
    EXPECT_EQ(WriteText(file.get(), nullptr, true, true), noErr);
  }
  EXPECT_EQ(logtest::ReadText(root, "null.txt"), "\t\r\n");
}

TEST(TextWriter, MostNegativeIntegerHasElevenCharacters) {
  testsupport::TempRoot root;
  {
    logtest::OpenFile file(root, "min.txt");
    WriteInteger(file.get(), -2147483647 - 1, false, false);
  }
  const std::string text = logtest::ReadText(root, "min.txt");
  EXPECT_EQ(text, "-2147483648");
  EXPECT_EQ(text.size(), 11u);
}

// A write that fails ends the piece: neither tab nor line end follow, and the
// failing status comes back.
TEST(TextWriter, FailedWriteStopsThePiece) {
  testsupport::TempRoot root;
  logtest::OpenFile file(root, "closed.txt");
  const FileRef stale = file.get();
  file.Close();
  EXPECT_NE(WriteText(stale, "abc", true, true), noErr);
  EXPECT_NE(WriteText(stale, nullptr, true, true), noErr);
  EXPECT_EQ(logtest::ReadText(root, "closed.txt"), "");
}

}  // namespace
