// The scripting read and write against the host-side scripting suites: what a
// played-back step puts into the descriptor list, what the list leaves for the
// host to record, and how unusable suites are recognised.
#include "plugin/params/scripting.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "cli/hostlib/scripting_host.h"
#include "plugin/core/strings.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/test_hooks.h"

namespace {

using host::DescriptorItem;
using host::ScriptingHost;

constexpr std::uint32_t kOperationKey = FourCC("EFMd");
constexpr std::uint32_t kOperationType = FourCC("rB42");

std::uint32_t FloatWord(float f) {
  return std::bit_cast<std::uint32_t>(f);
}

struct ListGuard {
  DescriptorList list;
  ListGuard() : list(CreateDescriptorList(kDescriptorListSlots)) {
    InitDescriptorList(list, FourCC("udef"), 0, 0);
  }
  ~ListGuard() { DisposeDescriptorList(list); }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;
};

// This filter's list, starting at the operation saved in the preferences.
void DeclareOperation(DescriptorList list, float saved) {
  ParameterBlock block{};
  block.params[kParamOperation] = saved;
  DeclareFilterParameters(list, &block);
}

// A list with one entry of every kind the exchange knows.
enum Entry { kLong, kFloat, kBool, kText, kUnit, kEnum, kEntryCount };
void DeclareEveryKind(DescriptorList list) {
  AddInputParameter(list, FourCC("nRad"), FourCC("long"), std::uint32_t(-5), 50, 7);
  AddInputParameter(list, FourCC("sCAL"), FourCC("doub"), FloatWord(-1.0f), FloatWord(2.0f),
                    FloatWord(0.5f));
  AddInputParameter(list, FourCC("AFlg"), FourCC("bool"), 0, 0, 0);
  AddInputParameter(list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  AddInputParameter(list, FourCC("unCd"), FourCC("long"), 1, 8, 2);
  AddInputParameter(list, FourCC("2LMd"), FourCC("rB41"), 1, 36, 1);
}

class Scripting : public ::testing::Test {
 protected:
  Scripting() { scripting.Attach(&record); }
  FilterRecord record{};
  ScriptingHost scripting;
  ListGuard g;
};

// ---------------------------------------------------------------------------
// Availability

TEST_F(Scripting, CompleteSuitesAreAvailable) {
  EXPECT_TRUE(DescriptorSuitesAvailable(record.descriptorParameters));
  EXPECT_TRUE(HandleSuiteAvailable(record.handleProcs));
}

TEST_F(Scripting, DescriptorSuitesOfTheWrongShapeAreUnavailable) {
  PIDescriptorParameters& p = scripting.Parameters();
  EXPECT_FALSE(DescriptorSuitesAvailable(nullptr));

  for (std::int16_t version : {-1, 1}) {
    p.descriptorParametersVersion = version;
    EXPECT_FALSE(DescriptorSuitesAvailable(&p)) << version;
  }
  p.descriptorParametersVersion = 0;

  p.readDescriptorProcs = nullptr;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
  p.readDescriptorProcs = &scripting.ReadProcs();
  p.writeDescriptorProcs = nullptr;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
  p.writeDescriptorProcs = &scripting.WriteProcs();

  scripting.ReadProcs().numReadDescriptorProcs = 17;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
  scripting.ReadProcs().numReadDescriptorProcs = 18;
  scripting.ReadProcs().readDescriptorProcsVersion = -1;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
  scripting.ReadProcs().readDescriptorProcsVersion = 3;  // newer suites are fine
  EXPECT_TRUE(DescriptorSuitesAvailable(&p));

  scripting.WriteProcs().numWriteDescriptorProcs = 15;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
  scripting.WriteProcs().numWriteDescriptorProcs = 16;
  scripting.WriteProcs().writeDescriptorProcsVersion = -1;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
  scripting.WriteProcs().writeDescriptorProcsVersion = 0;

  // A procedure that is counted but missing would be called through null.
  const GetEnumeratedProc getEnumerated = scripting.ReadProcs().getEnumeratedProc;
  scripting.ReadProcs().getEnumeratedProc = nullptr;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
  scripting.ReadProcs().getEnumeratedProc = getEnumerated;
  EXPECT_TRUE(DescriptorSuitesAvailable(&p));
  scripting.WriteProcs().putEnumeratedProc = nullptr;
  EXPECT_FALSE(DescriptorSuitesAvailable(&p));
}

TEST_F(Scripting, HandleSuiteOfTheWrongShapeIsUnavailable) {
  HandleProcs& h = scripting.Handles();
  EXPECT_FALSE(HandleSuiteAvailable(nullptr));
  for (std::int16_t version : {0, 2}) {
    h.handleProcsVersion = version;
    EXPECT_FALSE(HandleSuiteAvailable(&h)) << version;
  }
  h.handleProcsVersion = 1;
  h.numHandleProcs = 3;
  EXPECT_FALSE(HandleSuiteAvailable(&h));
  h.numHandleProcs = 4;
  EXPECT_TRUE(HandleSuiteAvailable(&h));
  h.setSizeProc = nullptr;
  EXPECT_FALSE(HandleSuiteAvailable(&h));
}

// ---------------------------------------------------------------------------
// Reading a played-back step

TEST_F(Scripting, NoScriptingInterfaceShowsTheDialogAndWritesNothing) {
  DeclareOperation(g.list, 5.0f);
  record.descriptorParameters = nullptr;
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 0);
  EXPECT_EQ(GetEntryLong(g.list, 0), 5);
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.OpenWriters(), 0u);
  // Nor does a null record trouble either side.
  EXPECT_EQ(ReadScriptedParameters(nullptr, g.list), 0);
  EXPECT_EQ(WriteScriptedParameters(nullptr, g.list), noErr);
}

TEST_F(Scripting, TooNewParametersAreTreatedAsNoInterface) {
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 6)},
                        plugInDialogOptional);
  scripting.Parameters().descriptorParametersVersion = 1;
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 0);
  EXPECT_EQ(GetEntryLong(g.list, 0), 5);
  // The host's descriptor is not the plug-in's to consume then.
  EXPECT_NE(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(scripting.OpenWriters(), 0u);
}

TEST_F(Scripting, PlaybackWithoutDialogTakesTheRecordedOperation) {
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 6)},
                        plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
  EXPECT_EQ(GetEntryLong(g.list, 0), 6);

  // The reader asked for the list's keys, and the descriptor was consumed.
  EXPECT_EQ(scripting.LastKeyArray(), std::vector<std::uint32_t>{kOperationKey});
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.OpenReaders(), 0u);
  EXPECT_EQ(scripting.LiveHandles(), 0u);
  EXPECT_EQ(scripting.ForeignDisposals(), 0);
}

TEST_F(Scripting, PlaybackWithDialogReadsTheValueAndShowsTheDialog) {
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 4)},
                        plugInDialogDisplay);
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 0);
  EXPECT_EQ(GetEntryLong(g.list, 0), 4);
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
}

TEST_F(Scripting, RecordedOperationsOutsideTheRangeAreIgnored) {
  for (std::uint32_t recorded : {3u, 7u, 0u, 0xFFFFFFFFu}) {
    DeclareOperation(g.list, 5.0f);
    scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, recorded)},
                          plugInDialogOptional);
    EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1) << recorded;
    EXPECT_EQ(GetEntryLong(g.list, 0), 5) << recorded;
  }
}

TEST_F(Scripting, KeysTheListDoesNotDeclareArePassedOver) {
  DeclareOperation(g.list, 4.0f);
  scripting.SetPlayback(
      {DescriptorItem::Integer(FourCC("zzzz"), 9), DescriptorItem::Text(FourCC("Krnl"), "k"),
       DescriptorItem::Enumerated(kOperationKey, kOperationType, 6),
       DescriptorItem::Float(FourCC("sCAL"), 1.0)},
      plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
  ASSERT_EQ(GetInputCount(g.list), 1);
  EXPECT_EQ(GetEntryLong(g.list, 0), 6);
  EXPECT_EQ(scripting.LiveHandles(), 0u);
}

TEST_F(Scripting, TheDeclaredTypeDecidesHowAValueIsRead) {
  DeclareOperation(g.list, 5.0f);
  // Recorded as a plain integer: an enumeration read of it fails, and the list
  // keeps its value rather than taking whatever the failed call left.
  scripting.SetPlayback({DescriptorItem::Integer(kOperationKey, 6)}, plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
  EXPECT_EQ(GetEntryLong(g.list, 0), 5);
}

TEST_F(Scripting, EveryKindIsReadWithItsRangeTest) {
  DeclareEveryKind(g.list);
  scripting.SetPlayback(
      {DescriptorItem::Integer(FourCC("nRad"), -5), DescriptorItem::Float(FourCC("sCAL"), 1.75),
       DescriptorItem::Bool(FourCC("AFlg"), true),
       DescriptorItem::Text(FourCC("Krnl"), "1 2 1\n2 4 2"),
       DescriptorItem::Enumerated(FourCC("unCd"), FourCC("UniT"), 8),
       DescriptorItem::Enumerated(FourCC("2LMd"), FourCC("rB41"), 36)},
      plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
  EXPECT_EQ(GetEntryLong(g.list, kLong), -5);
  EXPECT_EQ(GetEntryFloat(g.list, kFloat), 1.75f);
  EXPECT_EQ(GetEntryBool(g.list, kBool), 1);
  ASSERT_NE(GetEntryText(g.list, kText), nullptr);
  EXPECT_STREQ(GetEntryText(g.list, kText), "1 2 1\n2 4 2");
  EXPECT_EQ(GetEntryLong(g.list, kUnit), 8);
  EXPECT_EQ(GetEntryLong(g.list, kEnum), 36);
  // The text handle the host made for the read was released.
  EXPECT_EQ(scripting.LiveHandles(), 0u);
}

TEST_F(Scripting, OutOfRangeValuesOfEveryKindKeepTheListsValues) {
  DeclareEveryKind(g.list);
  scripting.SetPlayback(
      {DescriptorItem::Integer(FourCC("nRad"), 51), DescriptorItem::Float(FourCC("sCAL"), 2.5),
       DescriptorItem::Enumerated(FourCC("unCd"), FourCC("UniT"), 0),
       DescriptorItem::Enumerated(FourCC("2LMd"), FourCC("rB41"), 37)},
      plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
  EXPECT_EQ(GetEntryLong(g.list, kLong), 7);
  EXPECT_EQ(GetEntryFloat(g.list, kFloat), 0.5f);
  EXPECT_EQ(GetEntryLong(g.list, kUnit), 2);
  EXPECT_EQ(GetEntryLong(g.list, kEnum), 1);

  // Beyond single precision, and not a number at all.
  for (double bad : {1e300, -1e300, std::numeric_limits<double>::quiet_NaN()}) {
    scripting.SetPlayback({DescriptorItem::Float(FourCC("sCAL"), bad)}, plugInDialogOptional);
    ReadScriptedParameters(&record, g.list);
    EXPECT_EQ(GetEntryFloat(g.list, kFloat), 0.5f) << bad;
  }
}

TEST_F(Scripting, AnswerFollowsPlayInfoWhenThereIsNothingToRead) {
  // No reader (no descriptor to play back): the answer still follows playInfo.
  DeclareOperation(g.list, 5.0f);
  scripting.ClearPlayback();
  scripting.Parameters().playInfo = plugInDialogOptional;
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
  scripting.Parameters().playInfo = plugInDialogDisplay;
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 0);
  EXPECT_EQ(GetEntryLong(g.list, 0), 5);

  // A list without inputs: the same answer, and no reader is opened.
  ListGuard empty;
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 6)},
                        plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, empty.list), 1);
  EXPECT_NE(scripting.Parameters().descriptor, nullptr);
  scripting.Parameters().playInfo = plugInDialogDisplay;
  EXPECT_EQ(ReadScriptedParameters(&record, empty.list), 0);
  scripting.Parameters().descriptorParametersVersion = 1;
  scripting.Parameters().playInfo = plugInDialogOptional;
  EXPECT_EQ(ReadScriptedParameters(&record, empty.list), 0);
}

TEST_F(Scripting, WithoutTheHandleSuiteTheDescriptorIsForgottenNotDisposed) {
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 6)},
                        plugInDialogOptional);
  record.handleProcs = nullptr;
  EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
  EXPECT_EQ(GetEntryLong(g.list, 0), 6);
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.LiveHandles(), 1u);  // still the host's
}

TEST_F(Scripting, AllocationsFailingDoNotLoseTheRecordedStep) {
  // The filter's own list needs no memory for the read.
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 6)},
                        plugInDialogOptional);
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther,
                              0);
  std::uint8_t answer = ReadScriptedParameters(&record, g.list);
  platform::test::ClearFaults();
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(GetEntryLong(g.list, 0), 6);

  // A list too long for that: the step goes unread, the list keeps its values
  // and the user chooses rather than the run silently doing whatever the
  // preferences hold.
  DescriptorList big = CreateDescriptorList(64);
  ASSERT_NE(big, nullptr);
  InitDescriptorList(big, FourCC("udef"), 0, 0);
  for (int i = 0; i < 40; ++i) AddInputParameter(big, FourCC("aaaa") + i, FourCC("long"), 0, 9, 1);
  AddInputParameter(big, kOperationKey, kOperationType, 4, 6, 5);
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 6)},
                        plugInDialogOptional);
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  answer = ReadScriptedParameters(&record, big);
  platform::test::ClearFaults();
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(GetEntryLong(big, 40), 5);
  EXPECT_NE(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.OpenReaders(), 0u);

  // With memory, the long list reads like the short one.
  EXPECT_EQ(ReadScriptedParameters(&record, big), 1);
  EXPECT_EQ(GetEntryLong(big, 40), 6);
  EXPECT_EQ(scripting.LastKeyArray().size(), 41u);
  DisposeDescriptorList(big);
}

// ---------------------------------------------------------------------------
// Writing the step to record

TEST_F(Scripting, WriteLeavesOneEnumeratedOperationAndOptionalDialog) {
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({DescriptorItem::Enumerated(kOperationKey, kOperationType, 4)},
                        plugInDialogDisplay);
  const Handle played = scripting.Parameters().descriptor;
  ASSERT_NE(played, nullptr);
  SetEntryLong(g.list, 0, 6);  // as if the dialog changed it

  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(scripting.Parameters().recordInfo, plugInDialogOptional);
  std::vector<DescriptorItem> items;
  ASSERT_TRUE(scripting.RecordedItems(&items));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], DescriptorItem::Enumerated(kOperationKey, kOperationType, 6));
  // The old descriptor was given back to the host; only the new one lives.
  EXPECT_EQ(scripting.LiveHandles(), 1u);
  EXPECT_EQ(scripting.ForeignDisposals(), 0);
  EXPECT_EQ(scripting.OpenWriters(), 0u);
}

TEST_F(Scripting, AWriterThatCannotBeOpenedChangesNothing) {
  DeclareOperation(g.list, 5.0f);
  scripting.Parameters().recordInfo = plugInDialogDisplay;
  scripting.WriteProcs().openWriteDescriptorProc = [] { return PIWriteDescriptor(nullptr); };
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.Parameters().recordInfo, plugInDialogDisplay);
}

TEST_F(Scripting, AnEmptyListWritesNothing) {
  scripting.Parameters().recordInfo = plugInDialogDisplay;
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.Parameters().recordInfo, plugInDialogDisplay);
}

// What one run records, the next run plays back: every kind survives the trip.
TEST_F(Scripting, RecordedStepPlaysBackIntoAFreshList) {
  DeclareEveryKind(g.list);
  SetEntryLong(g.list, kLong, -3);
  SetEntryFloat(g.list, kFloat, -0.125f);
  SetEntryLong(g.list, kBool, 1);
  SetEntryText(g.list, kText, "c:\\kernels\\edge.krn");
  SetEntryLong(g.list, kUnit, 5);
  SetEntryLong(g.list, kEnum, 27);
  ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);

  std::vector<DescriptorItem> recorded;
  ASSERT_TRUE(scripting.RecordedItems(&recorded));
  ASSERT_EQ(recorded.size(), std::size_t(kEntryCount));
  EXPECT_EQ(recorded[kFloat], DescriptorItem::Float(FourCC("sCAL"), -0.125));
  EXPECT_EQ(recorded[kText], DescriptorItem::Text(FourCC("Krnl"), "c:\\kernels\\edge.krn"));
  EXPECT_EQ(recorded[kUnit], DescriptorItem::Enumerated(FourCC("unCd"), FourCC("UniT"), 5));

  ListGuard fresh;
  DeclareEveryKind(fresh.list);
  scripting.SetPlayback(recorded, plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, fresh.list), 1);
  for (int i = 0; i < kEntryCount; ++i) {
    if (i == kText) continue;
    EXPECT_EQ(GetEntryLong(fresh.list, i), GetEntryLong(g.list, i)) << "entry " << i;
  }
  ASSERT_NE(GetEntryText(fresh.list, kText), nullptr);
  EXPECT_STREQ(GetEntryText(fresh.list, kText), GetEntryText(g.list, kText));
}

TEST_F(Scripting, AnAbsentTextIsWrittenAsAnEmptyOne) {
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  std::vector<DescriptorItem> recorded;
  ASSERT_TRUE(scripting.RecordedItems(&recorded));
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0], DescriptorItem::Text(FourCC("Krnl"), ""));
  EXPECT_EQ(scripting.LiveHandles(), 1u);  // the text's handle went back

  // And an empty recorded text reads back as an empty text, not as none.
  scripting.SetPlayback(recorded, plugInDialogOptional);
  ReadScriptedParameters(&record, g.list);
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_STREQ(GetEntryText(g.list, 0), "");
}

TEST_F(Scripting, WithoutTheHandleSuiteTextsTravelInThePluginsOwnBlocks) {
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  SetEntryText(g.list, 0, "plain");
  record.handleProcs = nullptr;
  ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  std::vector<DescriptorItem> recorded;
  ASSERT_TRUE(scripting.RecordedItems(&recorded));
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0], DescriptorItem::Text(FourCC("Krnl"), "plain"));
}

TEST_F(Scripting, TextsAreBoundedTo513CharactersBothWays) {
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  const std::string longText(600, 'k');
  scripting.SetPlayback({DescriptorItem::Text(FourCC("Krnl"), longText)}, plugInDialogOptional);
  ReadScriptedParameters(&record, g.list);
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_EQ(std::string(GetEntryText(g.list, 0)), longText.substr(0, 513));

  SetEntryText(g.list, 0, longText.c_str());
  ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  std::vector<DescriptorItem> recorded;
  ASSERT_TRUE(scripting.RecordedItems(&recorded));
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].text, longText.substr(0, 513));
}

}  // namespace
