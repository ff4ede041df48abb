// The descriptor list: its bytes are big-endian whatever the processor, entries
// land where the logs and the dialog look for them, and texts are owned copies.
#include "plugin/params/descriptor_list.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "plugin/core/strings.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/test_hooks.h"

namespace {

struct ListGuard {
  DescriptorList list;
  explicit ListGuard(std::int32_t slots = kDescriptorListSlots)
      : list(CreateDescriptorList(slots)) {
    EXPECT_NE(list, nullptr);
    if (list != nullptr) InitDescriptorList(list, FourCC("udef"), 0, 0);
  }
  ~ListGuard() { DisposeDescriptorList(list); }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;
};

std::uint32_t Bits(float f) {
  return std::bit_cast<std::uint32_t>(f);
}

TEST(DescriptorList, CreationGivesZeroedSlotsOrReportsFailure) {
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  ASSERT_NE(list, nullptr);
  const std::vector<std::uint8_t> zeros(kDescriptorListSlots * kDescriptorSlotBytes, 0);
  EXPECT_EQ(std::memcmp(list, zeros.data(), zeros.size()), 0);
  DisposeDescriptorList(list);
  // Too few slots for the header, a size the allocator cannot even be asked
  // for, and no memory: reported, not handed out.
  EXPECT_EQ(CreateDescriptorList(1), nullptr);
  EXPECT_EQ(CreateDescriptorList(-5), nullptr);
  EXPECT_EQ(CreateDescriptorList(std::numeric_limits<std::int32_t>::max()), nullptr);
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  EXPECT_EQ(CreateDescriptorList(kDescriptorListSlots), nullptr);
  EXPECT_EQ(platform::test::FaultsFired(platform::test::Operation::kAllocate), 1);
  platform::test::ClearFaults();
  DisposeDescriptorList(nullptr);
}

// The bytes, written out here word by word, against the getters.
TEST(DescriptorList, BytesAreBigEndianWordsAndTheGettersReadThemBack) {
  ListGuard g;
  // Dirty the counts first so that initialisation has to reset them.
  AddInputParameter(g.list, FourCC("abcd"), FourCC("long"), 0, 9, 3);
  InitDescriptorList(g.list, FourCC("BFcB"), 1, 0);
  EXPECT_EQ(AddInputParameter(g.list, FourCC("EFMd"), FourCC("rB42"), 4, 6, 5), 0);
  EXPECT_EQ(AddInputParameter(g.list, FourCC("sCAL"), FourCC("long"), std::uint32_t(-10), 300,
                              std::uint32_t(-2)),
            1);
  EXPECT_EQ(AddInputParameter(g.list, FourCC("Opct"), FourCC("doub"), Bits(-1.0f), Bits(2.5f),
                              Bits(1.5f)),
            2);
  SetEntryFloat(g.list, 2, -0.25f);
  SetEntryLong(g.list, 0, 0x01020304);

  std::vector<std::uint8_t> expected;
  auto word = [&expected](std::uint32_t w) {
    for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(std::uint8_t(w >> shift));
  };
  for (std::uint32_t w : {0u, 0u, 0u, 3u, 0u, FourCC("BFcB"), 1u, 0u, 0u, 0u, 0u, 0u}) word(w);
  for (std::uint32_t w : {FourCC("EFMd"), FourCC("rB42"), 1u, 4u, 6u, 0x01020304u}) word(w);
  for (std::uint32_t w : {FourCC("sCAL"), FourCC("long"), 1u, 0xFFFFFFF6u, 300u, 0xFFFFFFFEu}) {
    word(w);
  }
  for (std::uint32_t w :
       {FourCC("Opct"), FourCC("doub"), 1u, Bits(-1.0f), Bits(2.5f), 0xBE800000u}) {
    word(w);
  }
  EXPECT_EQ(std::vector<std::uint8_t>(g.list, g.list + expected.size()), expected);

  EXPECT_EQ(GetInputCount(g.list), 3);
  EXPECT_EQ(GetOutputCount(g.list), 0);
  EXPECT_EQ(GetListSignature(g.list), FourCC("BFcB"));
  EXPECT_EQ(GetNeedsMaskFlag(g.list), 1u);
  EXPECT_EQ(GetNoWritebackFlag(g.list), 0u);
  EXPECT_EQ(GetEntryKey(g.list, 1), FourCC("sCAL"));
  EXPECT_EQ(GetEntryType(g.list, 1), FourCC("long"));
  EXPECT_EQ(std::int32_t(GetEntryMinimum(g.list, 1)), -10);
  EXPECT_EQ(GetEntryMaximum(g.list, 1), 300u);
  EXPECT_EQ(GetEntryLong(g.list, 0), 0x01020304);
  EXPECT_EQ(GetEntryLong(g.list, 1), -2);
  EXPECT_EQ(GetEntryFloat(g.list, 2), -0.25f);
  // The conversion helpers turn a stored word into the native one.
  std::uint32_t stored;
  std::memcpy(&stored, g.list + 48 + 2 * 24 + 20, 4);
  EXPECT_EQ(SwapWordToFloat(stored), -0.25f);
  std::memcpy(&stored, g.list + 48 + 20, 4);
  EXPECT_EQ(SwapWord(stored), 0x01020304u);
}

TEST(DescriptorList, BooleanIsTrueForABitInAnyByte) {
  ListGuard g;
  AddInputParameter(g.list, FourCC("AFlg"), FourCC("bool"), 0, 0, 0);
  EXPECT_EQ(GetEntryBool(g.list, 0), 0);
  for (int bit : {0, 7, 8, 15, 16, 23, 24, 31}) {
    SetEntryLong(g.list, 0, std::int32_t(std::uint32_t(1) << bit));
    EXPECT_EQ(GetEntryBool(g.list, 0), 1) << "bit " << bit;
  }
}

TEST(DescriptorList, TextsAreOwnedCopiesAndNullFreesTheOldOne) {
  ListGuard g;
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  EXPECT_EQ(GetEntryText(g.list, 0), nullptr);
  char source[] = "c:\\first.txt";
  SetEntryText(g.list, 0, source);
  source[0] = 'X';
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_STREQ(GetEntryText(g.list, 0), "c:\\first.txt");
  EXPECT_NE(GetEntryLong(g.list, 0), 0);  // the value word says a text is held
  SetEntryText(g.list, 0, "");
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_STREQ(GetEntryText(g.list, 0), "");
  // The sanitizer build catches a text that null forgets to free.
  SetEntryText(g.list, 0, nullptr);
  EXPECT_EQ(GetEntryText(g.list, 0), nullptr);
  EXPECT_EQ(GetEntryLong(g.list, 0), 0);

  // A text that cannot be copied leaves none: neither a dangling pointer to
  // the freed old text nor a claim to hold one.
  SetEntryText(g.list, 0, "old");
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  SetEntryText(g.list, 0, "new");
  platform::test::ClearFaults();
  EXPECT_EQ(GetEntryText(g.list, 0), nullptr);
  EXPECT_EQ(GetEntryLong(g.list, 0), 0);
  SetEntryText(g.list, 0, "held at disposal");  // freed with the list
}

TEST(DescriptorList, AFullListRefusesFurtherEntriesWithoutTouchingMemory) {
  ListGuard g;
  const int capacity = kDescriptorListSlots - kDescriptorHeaderBytes / kDescriptorSlotBytes;
  for (int i = 0; i < capacity; ++i) {
    ASSERT_EQ(AddInputParameter(g.list, std::uint32_t(i + 1), FourCC("long"), 0, 100, i), i);
  }
  EXPECT_EQ(AddInputParameter(g.list, FourCC("over"), FourCC("long"), 0, 1, 1), -1);
  EXPECT_EQ(GetInputCount(g.list), capacity);
  EXPECT_EQ(GetEntryLong(g.list, capacity - 1), capacity - 1);
  // The last slot holds a text like any other.
  SetEntryText(g.list, capacity - 1, "last");
  EXPECT_STREQ(GetEntryText(g.list, capacity - 1), "last");
  EXPECT_EQ(GetEntryText(g.list, capacity), nullptr);
}

TEST(DescriptorList, FilterDeclaresTheOperationFromTheSavedSetting) {
  ListGuard g;
  // Truncated, not rounded; a damaged value does not make the conversion
  // undefined. Declaring again starts over.
  const std::pair<float, std::int32_t> cases[] = {{5.9f, 5},
                                                  {0.0f, 0},
                                                  {9.0f, 9},
                                                  {std::numeric_limits<float>::quiet_NaN(), 0},
                                                  {std::numeric_limits<float>::infinity(), 0},
                                                  {1e20f, 0},
                                                  {-3e9f, 0}};
  for (const auto& [saved, declared] : cases) {
    ParameterBlock block{};
    block.params[kParamOperation] = saved;
    DeclareFilterParameters(g.list, &block);
    EXPECT_EQ(GetListSignature(g.list), FourCC("BFcB"));
    EXPECT_EQ(GetNeedsMaskFlag(g.list) | GetNoWritebackFlag(g.list), 0u);
    ASSERT_EQ(GetInputCount(g.list), 1);
    EXPECT_EQ(GetOutputCount(g.list), 0);
    EXPECT_EQ(GetEntryKey(g.list, 0), FourCC("EFMd"));
    EXPECT_EQ(GetEntryType(g.list, 0), FourCC("rB42"));
    EXPECT_EQ(GetEntryMinimum(g.list, 0), 4u);
    EXPECT_EQ(GetEntryMaximum(g.list, 0), 6u);
    EXPECT_EQ(GetEntryLong(g.list, 0), declared) << saved;
  }
}

}  // namespace
