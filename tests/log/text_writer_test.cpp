// Text pieces and the framework's number texts.
#include "plugin/log/text_writer.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "log_test_support.h"
#include "plugin/core/memory.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

struct RealCase {
  float value;
  const char* text;
};

// Including the texts where the rounding term carries into the leading digit.
const RealCase kRealCases[] = {
    {0.0f, "0.0"},
    {-0.0f, "0.0"},
    {std::numeric_limits<float>::quiet_NaN(), "0.0"},
    {-kInf, "-inf"},
    {1.0f, "1.00000"},
    {0.5f, "0.50000"},
    {-2.5f, "-2.50000"},
    {100.0f, "100.000"},
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
    // The powers of ten come from ln 10 rounded to single precision; with the
    // exact logarithm these would round up to 50.6805 and 11.7204 (checked with
    // 50-digit decimal arithmetic).
    {50.6804504f, "50.6804"},
    {11.7203503f, "11.7203"},
};

std::string Counted(const char* counted) {
  return std::string(counted + 1, static_cast<unsigned char>(counted[0]));
}

// The plug-in's own route and the same arithmetic in double and long double
// (where long double is the 64-bit double, as on Windows x64): one table.
TEST(FormatReal, TableInEveryPrecision) {
  for (const RealCase& c : kRealCases) {
    char out[3][logtext::kRealTextSize];
    FormatReal(c.value, out[0]);
    logtext::FormatRealAs<double>(c.value, out[1]);
    logtext::FormatRealAs<long double>(c.value, out[2]);
    for (const char* text : out) {
      EXPECT_EQ(Counted(text), c.text) << "value " << c.value;
      EXPECT_EQ(text[1 + static_cast<unsigned char>(text[0])], '\0');
    }
  }
  // Every float magnitude stays within 13 characters of digits, point, sign
  // and exponent.
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
  // Unprintable bytes pass unchanged.
  for (std::uint32_t code : {FourCC("BFcB"), 0x00FF0A7Fu}) {
    char out[6];
    CodeToText(code, out);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(TextToCode(out + 1), code);
  }
}

TEST(CountedStrings, RoundTripAndLimit) {
  for (const std::string& source : {std::string(""), std::string("Focus"),
                                   std::string(254, 'a') + "yz" + std::string(44, 'a')}) {
    char buffer[kStringSize];
    CopyBounded(source.c_str(), buffer, kStringSize);
    TerminatedToCounted(buffer);
    const std::size_t length = std::min<std::size_t>(source.size(), 255);
    EXPECT_EQ(static_cast<unsigned char>(buffer[0]), length);
    CountedToTerminated(buffer);
    EXPECT_EQ(std::string(buffer), source.substr(0, length));
  }
}

TEST(TextWriter, PiecesWithTabsAndLineEnds) {
  testsupport::TempRoot root;
  {
    logtest::OpenFile file(root, "pieces.txt");
    EXPECT_EQ(WriteText(file.get(), "abc", true, false), noErr);
    EXPECT_EQ(WriteText(file.get(), nullptr, true, true), noErr);
    EXPECT_EQ(WriteText(file.get(), "", false, true), noErr);
    EXPECT_EQ(WriteCountedText(file.get(), "\x03xyzJUNK", true, true), noErr);
    WriteInteger(file.get(), std::numeric_limits<std::int32_t>::min(), true, false);
    WriteInteger(file.get(), 0, false, false);
    WriteInteger(file.get(), 2147483647, false, true);
    WriteReal(file.get(), 1234.5f, true, true);
  }
  EXPECT_EQ(logtest::ReadText(root, "pieces.txt"),
            "abc\t\t\r\n\r\nxyz\t\r\n-2147483648\t02147483647\r\n1234.50\t\r\n");

  // A write that fails ends the piece: neither tab nor line end follow, and
  // the failing status comes back.
  logtest::OpenFile file(root, "closed.txt");
  const FileRef stale = file.get();
  file.Close();
  EXPECT_NE(WriteText(stale, "abc", true, true), noErr);
  EXPECT_NE(WriteText(stale, nullptr, true, true), noErr);
  EXPECT_EQ(logtest::ReadText(root, "closed.txt"), "");
}

}  // namespace
