// The descriptor list and the terminology that declares its entries to the host.
#include "plugin/params/descriptor_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "cli/hostlib/descriptor_item.h"
#include "plugin/params/parameter_block.h"
#include "plugin/params/terminology.h"
#include "plugin/platform/test_hooks.h"
#include "support/owned_list.h"

namespace {

using platform::test::Operation;
using testsupport::OwnedList;

// A new list is zeroed, or none; Init starts the counts over; a boolean is true for
// a bit in any byte. (The getters: the run log's records, the scripting round trips.)
TEST(DescriptorList, CreationInitAndBooleans) {
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  ASSERT_NE(list, nullptr);
  const std::vector<std::uint8_t> zeros(kDescriptorListSlots * kDescriptorSlotBytes, 0);
  EXPECT_EQ(std::memcmp(list, zeros.data(), zeros.size()), 0);
  DisposeDescriptorList(list);
  // Too few slots for the header, a size too big to ask for, and no memory.
  for (std::int32_t slots : {1, -5, std::numeric_limits<std::int32_t>::max()})
    EXPECT_EQ(CreateDescriptorList(slots), nullptr) << slots;
  platform::test::FailNthCall(Operation::kAllocate, 1, platform::OsError::kOther);
  EXPECT_EQ(CreateDescriptorList(kDescriptorListSlots), nullptr);
  platform::test::ClearFaults();
  OwnedList g;
  AddInputParameter(g.get(), FourCC("abcd"), FourCC("long"), 0, 9, 3);
  InitDescriptorList(g.get(), FourCC("BFcB"), 1, 0);
  EXPECT_EQ(GetInputCount(g.get()), 0);
  EXPECT_EQ(AddInputParameter(g.get(), FourCC("AFlg"), FourCC("bool"), 0, 0, 0), 0);
  EXPECT_EQ(GetEntryBool(g.get(), 0), 0);
  for (int bit : {0, 7, 8, 15, 16, 23, 24, 31}) {
    SetEntryLong(g.get(), 0, std::int32_t(std::uint32_t(1) << bit));
    EXPECT_EQ(GetEntryBool(g.get(), 0), 1) << "bit " << bit;
  }
}

TEST(DescriptorList, TextsAreOwnedCopiesAndAFullListRefusesMore) {
  OwnedList g;
  const int capacity = kDescriptorListSlots - kDescriptorHeaderBytes / kDescriptorSlotBytes;
  for (int i = 0; i < capacity; ++i)
    ASSERT_EQ(AddInputParameter(g.get(), std::uint32_t(i + 1), FourCC("Pth "), 0, 0, 0), i);
  EXPECT_EQ(AddInputParameter(g.get(), FourCC("over"), FourCC("long"), 0, 1, 1), -1);
  EXPECT_EQ(GetInputCount(g.get()), capacity);
  const int last = capacity - 1;  // the last slot holds a text like any other
  EXPECT_EQ(GetEntryText(g.get(), last), nullptr);
  char source[] = "c:\\first.txt";
  SetEntryText(g.get(), last, source);
  source[0] = 'X';
  EXPECT_STREQ(GetEntryText(g.get(), last), "c:\\first.txt");
  EXPECT_NE(GetEntryLong(g.get(), last), 0);  // the value word says a text is held
  SetEntryText(g.get(), capacity, "beyond");
  EXPECT_EQ(GetEntryText(g.get(), capacity), nullptr);
  SetEntryText(g.get(), last, nullptr);  // frees the old text (the sanitizer build checks)
  EXPECT_EQ(GetEntryText(g.get(), last), nullptr);
  EXPECT_EQ(GetEntryLong(g.get(), last), 0);
  // A text that cannot be copied leaves none, not the freed old one.
  SetEntryText(g.get(), last, "old");
  platform::test::FailNthCall(Operation::kAllocate, 1, platform::OsError::kOther);
  SetEntryText(g.get(), last, "new");
  platform::test::ClearFaults();
  EXPECT_EQ(GetEntryText(g.get(), last), nullptr);
  EXPECT_EQ(GetEntryLong(g.get(), last), 0);
  SetEntryText(g.get(), 0, "");  // freed with the list
  EXPECT_STREQ(GetEntryText(g.get(), 0), "");
}

// The resource as the host reads it: 16-bit little-endian numbers, codes with
// their bytes reversed, length-prefixed strings.
struct Reader {
  std::span<const std::uint8_t> bytes;
  std::size_t position = 0;
  int over = 0;
  std::uint8_t Byte() { return position < bytes.size() ? bytes[position++] : (++over, 0); }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return std::uint16_t(low | (Byte() << 8));
  }
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
  bool AtEnd() const { return position == bytes.size() && over == 0; }
};

TEST(Terminology, TheHostReadsTheOperationThatTheFilterDeclares) {
  Reader r{TerminologyResource()};
  // Reserved word, version, language, script, one suite: name, description,
  // code, level, version, one event: name, description, class, id.
  for (int i = 0; i < 5; ++i) r.Word();
  r.Text(), r.Text(), r.Code(), r.Word(), r.Word();
  EXPECT_EQ(r.Word(), 1);
  r.Text(), r.Text(), r.Code();
  const std::string event = r.Code();
  // The reply, then the direct parameter: type, description, flags.
  for (int i = 0; i < 2; ++i) r.Code(), r.Text(), r.Word();
  // Every parameter: name, key, type, no description, the enumerated flag.
  std::map<std::string, std::string> types;
  for (int n = r.Word(); n > 0; --n) {
    const std::string name = r.Text(), key = r.Code(), type = r.Code();
    EXPECT_FALSE(name.empty()) << key;
    EXPECT_EQ(r.Text(), "") << key;
    EXPECT_EQ(r.Word(), type.rfind("rB", 0) == 0 ? 0x2000 : 0) << key;
    EXPECT_TRUE(types.emplace(key, type).second) << "key " << key << " twice";
  }
  EXPECT_EQ(r.Word(), 0);  // classes
  EXPECT_EQ(r.Word(), 0);  // comparison operators
  std::map<std::string, std::vector<std::pair<std::string, std::uint32_t>>> enumerations;
  for (int e = r.Word(); e > 0; --e) {
    auto& values = enumerations[r.Code()];
    for (int n = r.Word(); n > 0; --n) {
      const std::string name = r.Text();
      const std::uint32_t low = r.Word();
      values.emplace_back(name, low | (std::uint32_t(r.Word()) << 16));
      EXPECT_EQ(r.Text(), "") << name;
    }
  }
  EXPECT_TRUE(r.AtEnd());  // nothing padded, nothing left over
  for (const auto& [key, type] : types)
    EXPECT_TRUE(type.rfind("rB", 0) != 0 || enumerations.count(type) == 1) << key;

  // The declared operation's type names the enumeration whose codes are its
  // range; the saved setting is truncated, and a damaged one gives 0.
  const std::pair<float, std::int32_t> saved[] = {{5.9f, 5},     {0.0f, 0},  {9.0f, 9}, {NAN, 0},
                                                  {INFINITY, 0}, {1e20f, 0}, {-3e9f, 0}};
  OwnedList list;
  for (const auto& [setting, declared] : saved) {
    ParameterBlock block{};
    block.params[kParamOperation] = setting;
    DeclareFilterParameters(list.get(), &block);
    EXPECT_EQ(host::CodeToString(GetListSignature(list.get())), event);
    EXPECT_EQ(GetNeedsMaskFlag(list.get()) | GetNoWritebackFlag(list.get()), 0u);
    ASSERT_EQ(GetInputCount(list.get()), 1);
    EXPECT_EQ(GetOutputCount(list.get()), 0);
    EXPECT_EQ(GetEntryLong(list.get(), 0), declared) << setting;
  }
  const std::string type = types[host::CodeToString(GetEntryKey(list.get(), 0))];
  EXPECT_EQ(type, host::CodeToString(GetEntryType(list.get(), 0)));
  EXPECT_EQ(enumerations[type], (std::vector<std::pair<std::string, std::uint32_t>>{
                                    {"Clear Buffer", GetEntryMinimum(list.get(), 0)},
                                    {"Add To Buffer", 5},
                                    {"Show Buffer", GetEntryMaximum(list.get(), 0)}}));
}

}  // namespace
