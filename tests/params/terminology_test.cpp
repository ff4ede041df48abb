// The terminology resource walked as the host reads it (16-bit little-endian
// numbers, 4-character codes with their bytes reversed, length-prefixed
// strings): its structure, and the operation's terms against what the filter
// declares.
#include "plugin/params/terminology.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "plugin/core/strings.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"
#include "support/temp_root.h"

namespace {

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t Byte() {
    if (position_ < bytes_.size()) return bytes_[position_++];
    overrun_ = true;
    return 0;
  }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return std::uint16_t(low | (Byte() << 8));
  }
  std::uint32_t Number() {
    const std::uint32_t low = Word();
    return low | (std::uint32_t(Word()) << 16);
  }
  // A code in reading order: its characters stored last first.
  std::string Code() {
    std::string code(4, ' ');
    for (int i = 3; i >= 0; --i) code[std::size_t(i)] = char(Byte());
    return code;
  }
  std::string Text() {
    std::string s(Byte(), ' ');
    for (char& c : s) c = char(Byte());
    return s;
  }
  bool AtEnd() const { return position_ == bytes_.size() && !overrun_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  bool overrun_ = false;
};

std::string Text(std::uint32_t code) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(char(code >> shift));
  return s;
}

TEST(Terminology, OneEventWhoseParametersAndEnumerationsTheHostCanRead) {
  Reader r(TerminologyResource());
  // Reserved word, version 1.0, language, script, one suite.
  for (std::uint16_t expected : {1, 1, 0, 0, 1}) EXPECT_EQ(r.Word(), expected);
  EXPECT_FALSE(r.Text().empty()) << "the suite has a name";
  r.Text();
  EXPECT_EQ(r.Code(), "xURt");
  for (std::uint16_t expected : {1, 1, 1}) EXPECT_EQ(r.Word(), expected);  // level, version, events
  EXPECT_EQ(r.Text(), "Sharpstack");
  EXPECT_EQ(r.Text(), "abcd");
  EXPECT_EQ(r.Code(), "xURt");
  EXPECT_EQ(r.Code(), "BFcB");
  // The reply, then the direct parameter: type, description, flags.
  for (const auto& [type, flags] : {std::pair<std::string, int>{"null", 0}, {"#ImR", 0xB000}}) {
    EXPECT_EQ(r.Code(), type);
    EXPECT_EQ(r.Text(), "");
    EXPECT_EQ(r.Word(), flags);
  }

  // Every parameter: a name, its key, its type, no description, and the
  // enumerated flag exactly for the framework's enumerations.
  std::map<std::string, std::string> types;
  for (int n = r.Word(); n > 0; --n) {
    const std::string name = r.Text();
    const std::string key = r.Code();
    const std::string type = r.Code();
    EXPECT_FALSE(name.empty()) << key;
    EXPECT_EQ(r.Text(), "") << key;
    EXPECT_EQ(r.Word(), type.rfind("rB", 0) == 0 ? 0x2000 : 0) << key;
    EXPECT_TRUE(types.emplace(key, type).second) << "key " << key << " twice";
  }
  EXPECT_EQ(types.size(), 23u);
  EXPECT_EQ(r.Word(), 0);  // classes
  EXPECT_EQ(r.Word(), 0);  // comparison operators

  // Every enumeration a parameter names, with increasing codes.
  std::map<std::string, std::vector<std::pair<std::string, std::uint32_t>>> enumerations;
  for (int e = r.Word(); e > 0; --e) {
    auto& values = enumerations[r.Code()];
    for (int n = r.Word(); n > 0; --n) {
      const std::string name = r.Text();
      values.emplace_back(name, r.Number());
      EXPECT_EQ(r.Text(), "") << name;
      EXPECT_TRUE(values.size() == 1 || values.back().second > values[values.size() - 2].second);
    }
  }
  // Nothing padded, nothing left over.
  EXPECT_TRUE(r.AtEnd());
  for (const auto& [key, type] : types) {
    EXPECT_TRUE(type.rfind("rB", 0) != 0 || enumerations.count(type) == 1) << key;
  }
  EXPECT_EQ(enumerations.size(), 5u);

  // What the host is told about the operation agrees with what the filter
  // declares: the key's type names the enumeration, whose codes are exactly
  // the accepted range.
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  ASSERT_NE(list, nullptr);
  ParameterBlock block{};
  DeclareFilterParameters(list, &block);
  EXPECT_EQ(Text(GetListSignature(list)), "BFcB");
  const std::string type = types[Text(GetEntryKey(list, 0))];
  EXPECT_EQ(type, Text(GetEntryType(list, 0)));
  std::vector<std::pair<std::string, std::uint32_t>> range;
  const char* names[] = {"Clear Buffer", "Add To Buffer", "Show Buffer"};
  for (std::uint32_t c = GetEntryMinimum(list, 0); c <= GetEntryMaximum(list, 0); ++c) {
    range.emplace_back(names[(c - 4) % 3], c);
  }
  EXPECT_EQ(enumerations[type], range);
  DisposeDescriptorList(list);
}

TEST(Terminology, WrittenFileHoldsExactlyTheResourceBytes) {
  testsupport::TempRoot root;
  ASSERT_TRUE(WriteTerminologyResource(root.File("terminology.bin").string().c_str()));
  const auto bytes = TerminologyResource();
  EXPECT_EQ(root.Read("terminology.bin"), std::vector<unsigned char>(bytes.begin(), bytes.end()));
  EXPECT_FALSE(WriteTerminologyResource(nullptr));
  EXPECT_FALSE(WriteTerminologyResource(root.File("no-such-folder/t.bin").string().c_str()));
}

}  // namespace
