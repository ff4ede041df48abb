// The terminology resource read back byte by byte with an independent reader
// and compared with the layout and the names the host expects.
#include "plugin/params/terminology.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "plugin/core/strings.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"
#include "support/temp_root.h"

namespace {

// Walks the bytes as the host reads them: 16-bit little-endian numbers,
// 4-character codes with their bytes reversed, length-prefixed strings.
class AeteReader {
 public:
  explicit AeteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint8_t Byte() {
    if (position_ >= bytes_.size()) {
      overrun_ = true;
      return 0;
    }
    return bytes_[position_++];
  }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return std::uint16_t(low | (Byte() << 8));
  }
  // The code as text in reading order.
  std::string Code() {
    std::string reversed;
    for (int i = 0; i < 4; ++i) reversed.push_back(char(Byte()));
    return std::string(reversed.rbegin(), reversed.rend());
  }
  // An enumerator's integer, held in a code.
  std::uint32_t CodeNumber() {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t(Byte()) << shift;
    return value;
  }
  std::string Text() {
    const std::uint8_t length = Byte();
    std::string s;
    for (int i = 0; i < length; ++i) s.push_back(char(Byte()));
    return s;
  }
  bool AtEnd() const { return position_ == bytes_.size() && !overrun_; }
  bool Overrun() const { return overrun_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  bool overrun_ = false;
};

struct ExpectedParameter {
  const char* name;
  const char* key;
  const char* type;
  std::uint16_t flags;
};

const ExpectedParameter kExpectedParameters[] = {
    {"Scale Factor", "sCAL", "doub", 0},
    {"Offset", "oFST", "doub", 0},
    {"Noise Removing (Blur) Radius", "DOGa", "doub", 0},
    {"Edge Sharpening Radius", "DOGb", "doub", 0},
    {"Add Edge Emphasis %", "DOGd", "doub", 0},
    {"Horizontal Shift", "DtnX", "doub", 0},
    {"Vertical Shift", "DtnY", "doub", 0},
    {"Autoscale Result", "AFlg", "bool", 0},
    {"Custom_Kernel", "Krnl", "TEXT", 0},
    {"Enhance", "eTyp", "rB37", 0x2000},
    {"Noise Type", "nTyp", "rB39", 0x2000},
    {"Neighborhood Radius", "nRad", "doub", 0},
    {"Cutoff", "cOFF", "doub", 0},
    {"Histogram Midpoint", "50pt", "rB40", 0x2000},
    {"Custom Midpoint Value", "CptV", "doub", 0},
    {"Layer Mode", "2LMd", "rB41", 0x2000},
    {"Operation", "EFMd", "rB42", 0x2000},
    {"Enable Nudge", "eShf", "bool", 0},
    {"Opacity", "Opct", "doub", 0},
    {"Color Noise Suppression", "CNos", "bool", 0},
    {"Add Detail Emphasis %", "epsE", "doub", 0},
    {"Neighborhood Radius", "epsN", "doub", 0},
    {"Color Tolerance", "epsT", "doub", 0},
};

struct ExpectedEnumeration {
  const char* type;
  std::vector<std::pair<std::string, std::uint32_t>> enumerators;
};

const std::vector<ExpectedEnumeration>& ExpectedEnumerations() {
  static const std::vector<ExpectedEnumeration> kEnumerations = {
      {"rB37", {{"Both Light and Dark Edges", 1}, {"Light Edges", 2}, {"Dark Edges", 3}}},
      {"rB39", {{"Lightest", 1}, {"Darkest", 2}, {"Normal", 3}}},
      {"rB40",
       {{"Linear", 1},
        {"EV -2", 3},
        {"EV -1 2/3", 4},
        {"EV -1 1/3", 5},
        {"EV -1", 6},
        {"EV -2/3", 7},
        {"EV -1/3", 8},
        {"EV 0", 9},
        {"EV +1/3", 10},
        {"EV +2/3", 11},
        {"EV +1", 12},
        {"EV +1 1/3", 13},
        {"EV +1 2/3", 14},
        {"EV +2", 15},
        {"Match Pen Color Intensity", 17},
        {"Custom EV", 19}}},
      {"rB41",
       {{"Normal", 1},          {"Dissolve", 2},      {"Darken", 4},        {"Multiply", 5},
        {"Color Burn", 6},      {"Linear Burn", 7},   {"Lighten", 9},       {"Screen", 10},
        {"Color Dodge", 11},    {"Linear Dodge", 12}, {"Overlay", 14},      {"Soft Light", 15},
        {"Hard Light", 16},     {"Vivid Light", 17},  {"Linear Light", 18}, {"Pin Light", 19},
        {"Difference", 21},     {"Exclusion", 22},    {"Hue", 24},          {"Saturation", 25},
        {"Color", 26},          {"Luminosity", 27},   {"Highlight", 29},    {"Shadow", 30},
        {"Subtract", 31},       {"Remove", 32},       {"Ratio", 33},        {"Compare", 34},
        {"Blend Exposures", 36}}},
      {"rB42", {{"Clear Buffer", 4}, {"Add To Buffer", 5}, {"Show Buffer", 6}}},
  };
  return kEnumerations;
}

TEST(Terminology, LayoutMatchesTheHostsReadingFromFirstByteToLast) {
  AeteReader r(TerminologyResource());

  // Header.
  EXPECT_EQ(r.Word(), 1);  // reserved
  EXPECT_EQ(r.Byte(), 1);  // major version
  EXPECT_EQ(r.Byte(), 0);  // minor version
  EXPECT_EQ(r.Word(), 0);  // language
  EXPECT_EQ(r.Word(), 0);  // script
  ASSERT_EQ(r.Word(), 1);  // suites

  // Suite: name and description are free text, but must be present.
  EXPECT_FALSE(r.Text().empty());
  r.Text();
  EXPECT_EQ(r.Code(), "xURt");
  EXPECT_EQ(r.Word(), 1);  // level
  EXPECT_EQ(r.Word(), 1);  // version
  ASSERT_EQ(r.Word(), 1);  // events

  // Event.
  EXPECT_EQ(r.Text(), "Sharpstack");
  EXPECT_EQ(r.Text(), "abcd");
  EXPECT_EQ(r.Code(), "xURt");
  EXPECT_EQ(r.Code(), "BFcB");
  EXPECT_EQ(r.Code(), "null");
  EXPECT_EQ(r.Text(), "");
  EXPECT_EQ(r.Word(), 0);
  EXPECT_EQ(r.Code(), "#ImR");
  EXPECT_EQ(r.Text(), "");
  EXPECT_EQ(r.Word(), 0xB000);
  ASSERT_EQ(r.Word(), std::size(kExpectedParameters));
  for (const ExpectedParameter& p : kExpectedParameters) {
    SCOPED_TRACE(p.key);
    EXPECT_EQ(r.Text(), p.name);
    EXPECT_EQ(r.Code(), p.key);
    EXPECT_EQ(r.Code(), p.type);
    EXPECT_EQ(r.Text(), "");
    EXPECT_EQ(r.Word(), p.flags);
  }

  EXPECT_EQ(r.Word(), 0);  // classes
  EXPECT_EQ(r.Word(), 0);  // comparison operators
  ASSERT_EQ(r.Word(), ExpectedEnumerations().size());
  for (const ExpectedEnumeration& e : ExpectedEnumerations()) {
    SCOPED_TRACE(e.type);
    EXPECT_EQ(r.Code(), e.type);
    ASSERT_EQ(r.Word(), e.enumerators.size());
    for (const auto& [name, value] : e.enumerators) {
      EXPECT_EQ(r.Text(), name);
      EXPECT_EQ(r.CodeNumber(), value);
      EXPECT_EQ(r.Text(), "");
    }
  }
  // Nothing padded, nothing left over.
  EXPECT_TRUE(r.AtEnd());
  EXPECT_FALSE(r.Overrun());
}

// Spot checks of the raw bytes, independent of the reader above.
TEST(Terminology, CodesAreReversedAndEnumeratorsHoldTheirIntegers) {
  const std::span<const std::uint8_t> bytes = TerminologyResource();
  const std::vector<std::uint8_t> all(bytes.begin(), bytes.end());
  const std::vector<std::uint8_t> header = {0x01, 0x00, 0x01, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x01, 0x00};
  ASSERT_GE(all.size(), header.size());
  EXPECT_TRUE(std::equal(header.begin(), header.end(), all.begin()));

  auto find = [&all](const std::vector<std::uint8_t>& needle) {
    return std::search(all.begin(), all.end(), needle.begin(), needle.end()) != all.end();
  };
  // "BFcB" is stored as the bytes of "BcFB", and never in reading order.
  EXPECT_TRUE(find({'B', 'c', 'F', 'B'}));
  EXPECT_FALSE(find({'B', 'F', 'c', 'B'}));
  // "Clear Buffer" is followed by the code 00 00 00 04 reversed and an empty description.
  std::vector<std::uint8_t> clear = {12};
  for (char c : std::string("Clear Buffer")) clear.push_back(std::uint8_t(c));
  for (std::uint8_t b : {0x04, 0x00, 0x00, 0x00, 0x00}) clear.push_back(b);
  EXPECT_TRUE(find(clear));
}

TEST(Terminology, WrittenFileHoldsExactlyTheResourceBytes) {
  testsupport::TempRoot root;
  const std::string path = root.File("terminology.bin").string();
  ASSERT_TRUE(WriteTerminologyResource(path.c_str()));
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> read((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  const std::span<const std::uint8_t> bytes = TerminologyResource();
  EXPECT_EQ(read, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));

  EXPECT_FALSE(WriteTerminologyResource(nullptr));
  EXPECT_FALSE(
      WriteTerminologyResource((root.File("no-such-folder") / "terminology.bin").string().c_str()));
}

// What the host is told about the operation must agree with what the filter
// declares: the key's type names the enumeration, whose codes are exactly the
// accepted range.
TEST(Terminology, OperationTermsAgreeWithTheFiltersDeclaration) {
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  ASSERT_NE(list, nullptr);
  ParameterBlock block{};
  DeclareFilterParameters(list, &block);
  const std::uint32_t key = GetEntryKey(list, 0);
  const std::uint32_t type = GetEntryType(list, 0);
  const std::uint32_t minimum = GetEntryMinimum(list, 0);
  const std::uint32_t maximum = GetEntryMaximum(list, 0);
  const std::uint32_t event = GetListSignature(list);
  DisposeDescriptorList(list);
  auto text = [](std::uint32_t code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(char(code >> shift));
    return s;
  };

  AeteReader r(TerminologyResource());
  // Header: reserved, versions, language, script, suite count.
  r.Word(), r.Byte(), r.Byte(), r.Word(), r.Word(), r.Word();
  // Suite: name, description, code, level, version, event count.
  r.Text(), r.Text(), r.Code(), r.Word(), r.Word(), r.Word();
  // Event: name, description, class, then its id.
  r.Text(), r.Text(), r.Code();
  EXPECT_EQ(r.Code(), text(event));
  // Reply and direct parameter: type, description, flags.
  r.Code(), r.Text(), r.Word();
  r.Code(), r.Text(), r.Word();
  std::string declaredType;
  for (int i = r.Word(); i > 0; --i) {
    r.Text();
    const std::string k = r.Code();
    const std::string t = r.Code();
    r.Text();
    r.Word();
    if (k == text(key)) declaredType = t;
  }
  EXPECT_EQ(declaredType, text(type));

  r.Word();
  r.Word();
  std::vector<std::uint32_t> codes;
  for (int e = r.Word(); e > 0; --e) {
    const std::string t = r.Code();
    for (int n = r.Word(); n > 0; --n) {
      r.Text();
      const std::uint32_t value = r.CodeNumber();
      r.Text();
      if (t == text(type)) codes.push_back(value);
    }
  }
  ASSERT_FALSE(r.Overrun());
  std::vector<std::uint32_t> range;
  for (std::uint32_t c = minimum; c <= maximum; ++c) range.push_back(c);
  EXPECT_EQ(codes, range);
}

}  // namespace
