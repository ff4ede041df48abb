// The descriptor list: its bytes are big-endian whatever the processor, entries
// land where the logs and the dialog look for them, and texts are owned copies.
#include "plugin/params/descriptor_list.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "plugin/core/strings.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/test_hooks.h"

namespace {

// The four bytes at `offset` of the list, first byte first.
std::string BytesAt(DescriptorList list, int offset) {
  char text[12];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", list[offset], list[offset + 1],
                list[offset + 2], list[offset + 3]);
  return text;
}

struct ListGuard {
  DescriptorList list;
  explicit ListGuard(std::int32_t slots) : list(CreateDescriptorList(slots)) {}
  ~ListGuard() { DisposeDescriptorList(list); }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;
};

TEST(DescriptorList, CreationGivesZeroedSlotsOrReportsFailure) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  for (int i = 0; i < kDescriptorListSlots * kDescriptorSlotBytes; ++i) {
    ASSERT_EQ(g.list[i], 0) << "byte " << i;
  }
  // Too few slots for the header cannot be used at all: reported, not handed out.
  EXPECT_EQ(CreateDescriptorList(1), nullptr);
  EXPECT_EQ(CreateDescriptorList(-5), nullptr);
  // A size the allocator cannot even be asked for.
  EXPECT_EQ(CreateDescriptorList(std::numeric_limits<std::int32_t>::max()), nullptr);
  // Disposing of nothing is harmless.
  DisposeDescriptorList(nullptr);
}

TEST(DescriptorList, OutOfMemoryIsReportedAsNoList) {
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  const int fired = platform::test::FaultsFired(platform::test::Operation::kAllocate);
  platform::test::ClearFaults();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(list, nullptr);
  DisposeDescriptorList(list);
}

TEST(DescriptorList, ATextThatCannotBeCopiedLeavesNone) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  InitDescriptorList(g.list, FourCC("udef"), 0, 0);
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  SetEntryText(g.list, 0, "old");
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  SetEntryText(g.list, 0, "new");
  platform::test::ClearFaults();
  // Neither a dangling pointer to the freed old text nor a claim to hold one.
  EXPECT_EQ(GetEntryText(g.list, 0), nullptr);
  EXPECT_EQ(GetEntryLong(g.list, 0), 0);
}

TEST(DescriptorList, InitialisedHeaderIsBigEndianAndLeavesReservedBytesZero) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  // Dirty the counts first so that initialisation has to reset them.
  AddInputParameter(g.list, FourCC("abcd"), FourCC("long"), 0, 9, 3);
  InitDescriptorList(g.list, FourCC("BFcB"), 1, 0);

  EXPECT_EQ(GetInputCount(g.list), 0);
  EXPECT_EQ(GetOutputCount(g.list), 0);
  EXPECT_EQ(GetListSignature(g.list), FourCC("BFcB"));
  EXPECT_EQ(GetNeedsMaskFlag(g.list), 1u);
  EXPECT_EQ(GetNoWritebackFlag(g.list), 0u);

  for (int i = 0; i < 12; ++i) EXPECT_EQ(g.list[i], 0) << "byte " << i;
  for (int i = 32; i < 48; ++i) EXPECT_EQ(g.list[i], 0) << "byte " << i;
  EXPECT_EQ(BytesAt(g.list, 12), "00000000");
  EXPECT_EQ(BytesAt(g.list, 16), "00000000");
  // A code's characters stand in reading order.
  EXPECT_EQ(std::memcmp(g.list + 20, "BFcB", 4), 0);
  EXPECT_EQ(BytesAt(g.list, 24), "00000001");
  EXPECT_EQ(BytesAt(g.list, 28), "00000000");
}

TEST(DescriptorList, EntriesAreNumberedFromZeroAndStoredBigEndian) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  InitDescriptorList(g.list, FourCC("udef"), 0, 0);

  EXPECT_EQ(AddInputParameter(g.list, FourCC("EFMd"), FourCC("rB42"), 4, 6, 5), 0);
  EXPECT_EQ(AddInputParameter(g.list, FourCC("sCAL"), FourCC("long"), std::uint32_t(-10), 300,
                              std::uint32_t(-2)),
            1);
  EXPECT_EQ(GetInputCount(g.list), 2);
  EXPECT_EQ(BytesAt(g.list, 12), "00000002");

  // Entry 0 at byte 48: key, type, marker, minimum, maximum, value.
  EXPECT_EQ(std::memcmp(g.list + 48, "EFMd", 4), 0);
  EXPECT_EQ(std::memcmp(g.list + 52, "rB42", 4), 0);
  EXPECT_EQ(BytesAt(g.list, 56), "00000001");
  EXPECT_EQ(BytesAt(g.list, 60), "00000004");
  EXPECT_EQ(BytesAt(g.list, 64), "00000006");
  EXPECT_EQ(BytesAt(g.list, 68), "00000005");
  EXPECT_EQ(GetEntryLong(g.list, 0), 5);

  // Entry 1 at byte 72: negative words keep their sign through the byte order.
  EXPECT_EQ(std::memcmp(g.list + 72, "sCAL", 4), 0);
  EXPECT_EQ(BytesAt(g.list, 84), "FFFFFFF6");
  EXPECT_EQ(BytesAt(g.list, 92), "FFFFFFFE");
  EXPECT_EQ(GetEntryLong(g.list, 1), -2);
  EXPECT_EQ(std::int32_t(GetEntryMinimum(g.list, 1)), -10);
  EXPECT_EQ(GetEntryMaximum(g.list, 1), 300u);

  SetEntryLong(g.list, 0, 0x01020304);
  EXPECT_EQ(BytesAt(g.list, 68), "01020304");
  EXPECT_EQ(GetEntryLong(g.list, 0), 0x01020304);
}

TEST(DescriptorList, BooleanIsTrueForABitInAnyByte) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  InitDescriptorList(g.list, FourCC("udef"), 0, 0);
  AddInputParameter(g.list, FourCC("AFlg"), FourCC("bool"), 0, 0, 0);
  EXPECT_EQ(GetEntryBool(g.list, 0), 0);
  for (int byte = 0; byte < 4; ++byte) {
    for (int bit = 0; bit < 8; bit += 7) {
      SetEntryLong(g.list, 0, std::int32_t(std::uint32_t(1) << (8 * byte + bit)));
      EXPECT_EQ(GetEntryBool(g.list, 0), 1) << "byte " << byte << " bit " << bit;
    }
  }
}

TEST(DescriptorList, FloatValuesTravelAsSinglePrecisionBits) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  InitDescriptorList(g.list, FourCC("udef"), 0, 0);
  AddInputParameter(g.list, FourCC("sCAL"), FourCC("doub"), std::bit_cast<std::uint32_t>(-1.0f),
                    std::bit_cast<std::uint32_t>(2.5f), std::bit_cast<std::uint32_t>(1.5f));
  EXPECT_EQ(GetEntryFloat(g.list, 0), 1.5f);
  EXPECT_EQ(BytesAt(g.list, 68), "3FC00000");  // 1.5f
  SetEntryFloat(g.list, 0, -0.25f);
  EXPECT_EQ(GetEntryFloat(g.list, 0), -0.25f);
  EXPECT_EQ(BytesAt(g.list, 68), "BE800000");
  // The conversion helpers turn a stored word into the native one.
  std::uint32_t stored;
  std::memcpy(&stored, g.list + 68, 4);
  EXPECT_EQ(SwapWordToFloat(stored), -0.25f);
  EXPECT_EQ(SwapWord(SwapWord(0x12345678u)), 0x12345678u);
  std::memcpy(&stored, g.list + 56, 4);  // the marker
  EXPECT_EQ(SwapWord(stored), 1u);
}

TEST(DescriptorList, TextsAreOwnedCopiesAndNullFreesTheOldOne) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  InitDescriptorList(g.list, FourCC("udef"), 0, 0);
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  EXPECT_EQ(GetEntryText(g.list, 0), nullptr);

  char source[] = "c:\\first.txt";
  SetEntryText(g.list, 0, source);
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_NE(GetEntryText(g.list, 0), source);
  source[0] = 'X';
  EXPECT_STREQ(GetEntryText(g.list, 0), "c:\\first.txt");
  EXPECT_NE(GetEntryLong(g.list, 0), 0);  // the value word says a text is held

  SetEntryText(g.list, 0, "second");
  EXPECT_STREQ(GetEntryText(g.list, 0), "second");

  // The sanitizer build catches a text that null forgets to free.
  SetEntryText(g.list, 0, nullptr);
  EXPECT_EQ(GetEntryText(g.list, 0), nullptr);
  EXPECT_EQ(GetEntryLong(g.list, 0), 0);

  SetEntryText(g.list, 0, "");
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_STREQ(GetEntryText(g.list, 0), "");
  // Disposing of the list with a text held frees it (checked by the sanitizer build).
}

TEST(DescriptorList, AFullListRefusesFurtherEntriesWithoutTouchingMemory) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  InitDescriptorList(g.list, FourCC("udef"), 0, 0);
  const int capacity = kDescriptorListSlots - kDescriptorHeaderBytes / kDescriptorSlotBytes;
  for (int i = 0; i < capacity; ++i) {
    ASSERT_EQ(AddInputParameter(g.list, std::uint32_t(i + 1), FourCC("long"), 0, 100, i), i);
  }
  EXPECT_EQ(AddInputParameter(g.list, FourCC("over"), FourCC("long"), 0, 1, 1), -1);
  EXPECT_EQ(GetInputCount(g.list), capacity);
  EXPECT_EQ(GetEntryKey(g.list, capacity - 1), std::uint32_t(capacity));
  EXPECT_EQ(GetEntryLong(g.list, capacity - 1), capacity - 1);
}

TEST(DescriptorList, FilterDeclaresTheOperationFromTheSavedSetting) {
  ListGuard g(kDescriptorListSlots);
  ASSERT_NE(g.list, nullptr);
  InitDescriptorList(g.list, FourCC("udef"), 0, 0);
  ParameterBlock block{};
  block.params[kParamOperation] = 5.9f;  // truncated, not rounded
  DeclareFilterParameters(g.list, &block);

  EXPECT_EQ(GetListSignature(g.list), FourCC("BFcB"));
  EXPECT_EQ(GetNeedsMaskFlag(g.list), 0u);
  EXPECT_EQ(GetNoWritebackFlag(g.list), 0u);
  ASSERT_EQ(GetInputCount(g.list), 1);
  EXPECT_EQ(GetOutputCount(g.list), 0);
  EXPECT_EQ(GetEntryKey(g.list, 0), FourCC("EFMd"));
  EXPECT_EQ(GetEntryType(g.list, 0), FourCC("rB42"));
  EXPECT_EQ(GetEntryMinimum(g.list, 0), 4u);
  EXPECT_EQ(GetEntryMaximum(g.list, 0), 6u);
  EXPECT_EQ(GetEntryLong(g.list, 0), 5);

  // Declaring again starts over: still one entry.
  block.params[kParamOperation] = 0.0f;  // nothing saved yet
  DeclareFilterParameters(g.list, &block);
  ASSERT_EQ(GetInputCount(g.list), 1);
  EXPECT_EQ(GetEntryLong(g.list, 0), 0);

  // A damaged preferences value does not make the conversion undefined.
  for (float bad :
       {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e20f}) {
    block.params[kParamOperation] = bad;
    DeclareFilterParameters(g.list, &block);
    EXPECT_EQ(GetEntryLong(g.list, 0), 0) << bad;
  }
}

}  // namespace
