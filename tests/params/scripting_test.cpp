// The scripting read and write against the host's scripting suites.
#include "plugin/params/scripting.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/hostlib/scripting_host.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/test_hooks.h"
#include "support/owned_list.h"

namespace {

using namespace host;
using testsupport::OwnedList;

constexpr std::uint32_t kOperationKey = FourCC("EFMd");
constexpr std::int16_t kOptional = plugInDialogOptional;
constexpr std::int16_t kDisplay = plugInDialogDisplay;

DescriptorItem Op(std::uint32_t value) {
  return DescriptorItem::Enumerated(kOperationKey, FourCC("rB42"), value);
}

// This filter's list, starting at the operation saved in the preferences.
void DeclareOperation(DescriptorList list, float saved) {
  ParameterBlock block{};
  block.params[kParamOperation] = saved;
  DeclareFilterParameters(list, &block);
}

// A filter record with the host's suites attached, and a list of its own.
struct Attached {
  Attached() { scripting.Attach(&record); }
  std::vector<DescriptorItem> Recorded() {
    std::vector<DescriptorItem> items;
    EXPECT_TRUE(scripting.RecordedItems(&items));
    return items;
  }
  FilterRecord record{};
  ScriptingHost scripting;
  OwnedList g{64};
};
class Scripting : public ::testing::Test, public Attached {};

TEST(ScriptingSuites, OnlyCompleteSuitesOfKnownVersionsAreUsed) {
  using Change = void (*)(ScriptingHost&);
  const struct {
    const char* name;
    Change change;
    bool descriptors = false, handles = true;
  } cases[] = {
      {"as made", [](ScriptingHost&) {}, true, true},
      {"parameters -1", [](ScriptingHost& s) { s.Parameters().descriptorParametersVersion = -1; }},
      {"parameters 1", [](ScriptingHost& s) { s.Parameters().descriptorParametersVersion = 1; }},
      {"no reader", [](ScriptingHost& s) { s.Parameters().readDescriptorProcs = nullptr; }},
      {"no writer", [](ScriptingHost& s) { s.Parameters().writeDescriptorProcs = nullptr; }},
      {"17 read", [](ScriptingHost& s) { s.ReadProcs().numReadDescriptorProcs = 17; }},
      {"read -1", [](ScriptingHost& s) { s.ReadProcs().readDescriptorProcsVersion = -1; }},
      {"read 3", [](ScriptingHost& s) { s.ReadProcs().readDescriptorProcsVersion = 3; }, true},
      {"15 write", [](ScriptingHost& s) { s.WriteProcs().numWriteDescriptorProcs = 15; }},
      {"write -1", [](ScriptingHost& s) { s.WriteProcs().writeDescriptorProcsVersion = -1; }},
      // A procedure that is counted but missing would be called through null.
      {"no get", [](ScriptingHost& s) { s.ReadProcs().getEnumeratedProc = nullptr; }},
      {"no put", [](ScriptingHost& s) { s.WriteProcs().putEnumeratedProc = nullptr; }},
      {"handles 0", [](ScriptingHost& s) { s.Handles().handleProcsVersion = 0; }, true, false},
      {"handles 2", [](ScriptingHost& s) { s.Handles().handleProcsVersion = 2; }, true, false},
      {"3 handles", [](ScriptingHost& s) { s.Handles().numHandleProcs = 3; }, true, false},
      {"no resize", [](ScriptingHost& s) { s.Handles().setSizeProc = nullptr; }, true, false},
  };
  for (const auto& c : cases) {
    Attached a;
    c.change(a.scripting);
    EXPECT_EQ(DescriptorSuitesAvailable(a.record.descriptorParameters), c.descriptors) << c.name;
    EXPECT_EQ(HandleSuiteAvailable(a.record.handleProcs), c.handles) << c.name;
  }
}

// A played-back step against the operation saved as 5: the answer (1: no
// dialog), the operation the list then holds, and the host handles still live
// (0: the descriptor was consumed and given back).
TEST(ScriptingRead, PlayedBackOperation) {
  enum Change { kNone, kNoSuites, kNewer, kNoHandleSuite, kManyKeys, kNoMemory };
  const auto other = {DescriptorItem::Integer(FourCC("zzzz"), 9),
                      DescriptorItem::Text(FourCC("Krnl"), "k"), Op(6),
                      DescriptorItem::Float(FourCC("sCAL"), 1.0)};
  const struct {
    std::vector<DescriptorItem> items;  // empty: nothing played back
    std::int16_t playInfo;
    Change change;
    std::uint8_t answer;
    std::int32_t operation;
    std::size_t liveHandles;
  } cases[] = {
      {{Op(6)}, kOptional, kNone, 1, 6, 0},
      {{Op(4)}, kDisplay, kNone, 0, 4, 0},
      // Outside the range: unchanged (the ends of a range: the every-kind trip).
      {{Op(0xFFFFFFFFu)}, kOptional, kNone, 1, 5, 0},
      {other, kOptional, kNone, 1, 6, 0},  // keys the list does not declare
      // The declared type decides the read: an integer is no enumeration.
      {{DescriptorItem::Integer(kOperationKey, 6)}, kOptional, kNone, 1, 5, 0},
      {{}, kOptional, kNone, 1, 5, 0},
      {{}, kDisplay, kNone, 0, 5, 0},
      {{Op(6)}, kOptional, kNoSuites, 0, 5, 1},
      {{Op(6)}, kOptional, kNewer, 0, 5, 1},          // not the plug-in's to consume
      {{Op(6)}, kOptional, kNoHandleSuite, 1, 6, 1},  // forgotten, not disposed
      // More keys than fit on the stack; without memory for them the step goes unread
      // and the user chooses, rather than the run doing whatever the preferences hold.
      {{Op(6)}, kOptional, kManyKeys, 1, 6, 0},
      {{Op(6)}, kOptional, kNoMemory, 0, 5, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.items.size() << " items, change " << c.change);
    Attached a;
    auto& [record, scripting, g] = a;
    DeclareOperation(g.get(), 5.0f);
    scripting.SetPlayback(c.items, c.playInfo);
    if (c.items.empty()) scripting.ClearPlayback();
    scripting.Parameters().playInfo = c.playInfo;
    if (c.change == kNoSuites) record.descriptorParameters = nullptr;
    if (c.change == kNewer) scripting.Parameters().descriptorParametersVersion = 1;
    if (c.change == kNoHandleSuite) record.handleProcs = nullptr;
    for (int i = 0; c.change >= kManyKeys && i < 40; ++i)
      AddInputParameter(g.get(), FourCC("aaaa") + i, FourCC("long"), 0, 9, 1);
    if (c.change == kNoMemory)
      platform::test::FailNthCall(platform::test::Operation::kAllocate, 1,
                                  platform::OsError::kOther);
    EXPECT_EQ(ReadScriptedParameters(&record, g.get()), c.answer);
    platform::test::ClearFaults();
    EXPECT_EQ(GetEntryLong(g.get(), 0), c.operation);
    EXPECT_EQ(scripting.LiveHandles(), c.liveHandles);
    EXPECT_EQ(scripting.OpenReaders(), 0u);
    EXPECT_EQ(scripting.ForeignDisposals(), 0);
    if (c.answer == 1 && !c.items.empty()) {
      std::vector<std::uint32_t> keys;  // every input's, in the list's order
      for (int i = 0; i < GetInputCount(g.get()); ++i) keys.push_back(GetEntryKey(g.get(), i));
      EXPECT_EQ(scripting.LastKeyArray(), keys);
    }
  }
  EXPECT_EQ(ReadScriptedParameters(nullptr, OwnedList().get()), 0);
}

// What one run records, the next plays back: every kind at the ends of its range;
// a value outside it changes nothing. Texts are cut at 513 characters both ways,
// with or without the handle suite; an absent text is recorded empty.
TEST_F(Scripting, EveryKindIsReadWithinItsRangeAndRecordedAsRead) {
  DescriptorList l = g.get();
  AddInputParameter(l, FourCC("nRad"), FourCC("long"), std::uint32_t(-5), 50, 7);
  AddInputParameter(l, FourCC("sCAL"), FourCC("doub"), std::bit_cast<std::uint32_t>(-1.0f),
                    std::bit_cast<std::uint32_t>(2.0f), std::bit_cast<std::uint32_t>(0.5f));
  AddInputParameter(l, FourCC("AFlg"), FourCC("bool"), 0, 0, 0);
  AddInputParameter(l, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  AddInputParameter(l, FourCC("unCd"), FourCC("long"), 1, 8, 2);
  AddInputParameter(l, FourCC("2LMd"), FourCC("rB41"), 1, 36, 1);
  auto items = [](std::int32_t n, double f, bool b, const std::string& t, std::uint32_t u,
                  std::uint32_t e) {
    return std::vector<DescriptorItem>{
        DescriptorItem::Integer(FourCC("nRad"), n),
        DescriptorItem::Float(FourCC("sCAL"), f),
        DescriptorItem::Bool(FourCC("AFlg"), b),
        DescriptorItem::Text(FourCC("Krnl"), t),
        DescriptorItem::Enumerated(FourCC("unCd"), FourCC("UniT"), u),
        DescriptorItem::Enumerated(FourCC("2LMd"), FourCC("rB41"), e)};
  };
  ASSERT_EQ(WriteScriptedParameters(&record, l), noErr);
  const auto none = items(7, 0.5, false, "", 2, 1);
  EXPECT_EQ(Recorded(), none);
  const std::string longText(600, 'k');
  const auto highs = items(50, 2.0, true, longText.substr(0, 513), 8, 36);
  const std::string text = "1 2 1\n2 4 2";
  const auto lows = items(-5, -1.0, false, text, 1, 1);
  for (const auto& [played, recorded] :
       {std::pair{none, none}, {items(50, 2.0, true, longText, 8, 36), highs}, {lows, lows}}) {
    scripting.SetPlayback(played, kOptional);
    EXPECT_EQ(ReadScriptedParameters(&record, l), 1);
    ASSERT_NE(GetEntryText(l, 3), nullptr);
    EXPECT_LE(std::strlen(GetEntryText(l, 3)), 513u);
    ASSERT_EQ(WriteScriptedParameters(&record, l), noErr);
    EXPECT_EQ(Recorded(), recorded);
  }
  // Out-of-range values change nothing (any one accepted would show in the record).
  for (const auto& bad : {items(51, 2.5, false, text, 9, 37), items(-6, -1.5, false, text, 0, 0),
                          items(-5, 1e300, false, text, 1, 1), items(-5, -1e300, false, text, 1, 1),
                          items(-5, std::nan(""), false, text, 1, 1)}) {
    scripting.SetPlayback(bad, kOptional);
    ReadScriptedParameters(&record, l);
    ASSERT_EQ(WriteScriptedParameters(&record, l), noErr);
    EXPECT_EQ(Recorded(), lows) << bad[1].real;
  }
  // A step played back but never read (the user saw the dialog) goes back to the
  // host when the run records its own, which asks for no dialog.
  scripting.SetPlayback(highs, kDisplay);
  ASSERT_EQ(WriteScriptedParameters(&record, l), noErr);
  EXPECT_EQ(scripting.Parameters().recordInfo, kOptional);
  EXPECT_EQ(Recorded(), lows);
  EXPECT_EQ(scripting.LiveHandles(), 1u);  // only the recorded descriptor lives
  EXPECT_EQ(scripting.ForeignDisposals(), 0);
  EXPECT_EQ(scripting.OpenWriters(), 0u);
  SetEntryText(l, 3, longText.c_str());
  for (bool handleSuite : {true, false}) {
    record.handleProcs = handleSuite ? &scripting.Handles() : nullptr;
    ASSERT_EQ(WriteScriptedParameters(&record, l), noErr);
    EXPECT_EQ(Recorded()[3], highs[3]) << handleSuite;
  }
}

TEST_F(Scripting, NothingIsRecordedWhereTheHostCannotTakeIt) {
  scripting.Parameters().recordInfo = kDisplay;
  EXPECT_EQ(WriteScriptedParameters(&record, g.get()), noErr);  // an empty list
  DeclareOperation(g.get(), 5.0f);
  EXPECT_EQ(WriteScriptedParameters(nullptr, g.get()), noErr);
  scripting.Parameters().descriptorParametersVersion = 1;
  EXPECT_EQ(WriteScriptedParameters(&record, g.get()), noErr);
  scripting.Parameters().descriptorParametersVersion = 0;
  scripting.WriteProcs().openWriteDescriptorProc = [] { return PIWriteDescriptor(nullptr); };
  EXPECT_EQ(WriteScriptedParameters(&record, g.get()), noErr);
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.Parameters().recordInfo, kDisplay);
}

}  // namespace
