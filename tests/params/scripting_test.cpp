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

DescriptorItem Operation(std::uint32_t value) {
  return DescriptorItem::Enumerated(kOperationKey, kOperationType, value);
}

struct ListGuard {
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  ListGuard() { InitDescriptorList(list, FourCC("udef"), 0, 0); }
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

class Scripting : public ::testing::Test {
 protected:
  Scripting() { scripting.Attach(&record); }
  std::vector<DescriptorItem> Recorded() {
    std::vector<DescriptorItem> items;
    EXPECT_TRUE(scripting.RecordedItems(&items));
    return items;
  }
  FilterRecord record{};
  ScriptingHost scripting;
  ListGuard g;
};

TEST(ScriptingSuites, OnlyCompleteSuitesOfKnownVersionsAreUsed) {
  EXPECT_FALSE(DescriptorSuitesAvailable(nullptr));
  EXPECT_FALSE(HandleSuiteAvailable(nullptr));
  using Change = void (*)(ScriptingHost&);
  const struct {
    const char* name;
    Change change;
    bool descriptors = false;
    bool handles = true;
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
    ScriptingHost scripting;
    FilterRecord record{};
    scripting.Attach(&record);
    c.change(scripting);
    EXPECT_EQ(DescriptorSuitesAvailable(record.descriptorParameters), c.descriptors) << c.name;
    EXPECT_EQ(HandleSuiteAvailable(record.handleProcs), c.handles) << c.name;
  }
}

// A played-back step against the operation saved as 5: the answer (1: no
// dialog), the operation the list then holds, and what is left of the host's
// descriptor.
TEST(ScriptingRead, PlayedBackOperation) {
  using Change = void (*)(ScriptingHost&, FilterRecord&);
  const Change none = [](ScriptingHost&, FilterRecord&) {};
  const struct {
    const char* name;
    std::vector<DescriptorItem> items;  // empty: nothing played back
    std::int16_t playInfo;
    Change change;
    std::uint8_t answer;
    std::int32_t operation;
    std::size_t liveHandles;  // 0: the descriptor was consumed and given back
  } cases[] = {
      {"without dialog", {Operation(6)}, plugInDialogOptional, none, 1, 6, 0},
      {"with dialog", {Operation(4)}, plugInDialogDisplay, none, 0, 4, 0},
      {"below the range", {Operation(3)}, plugInDialogOptional, none, 1, 5, 0},
      {"above the range", {Operation(7)}, plugInDialogOptional, none, 1, 5, 0},
      {"zero", {Operation(0)}, plugInDialogOptional, none, 1, 5, 0},
      {"all ones", {Operation(0xFFFFFFFFu)}, plugInDialogOptional, none, 1, 5, 0},
      {"keys the list does not declare",
       {DescriptorItem::Integer(FourCC("zzzz"), 9), DescriptorItem::Text(FourCC("Krnl"), "k"),
        Operation(6), DescriptorItem::Float(FourCC("sCAL"), 1.0)},
       plugInDialogOptional,
       none,
       1,
       6,
       0},
      // The declared type decides how a value is read: an enumeration read of
      // an integer fails, and the list keeps its value.
      {"recorded as an integer",
       {DescriptorItem::Integer(kOperationKey, 6)},
       plugInDialogOptional,
       none,
       1,
       5,
       0},
      {"nothing to read, optional", {}, plugInDialogOptional, none, 1, 5, 0},
      {"nothing to read, display", {}, plugInDialogDisplay, none, 0, 5, 0},
      {"no scripting interface",
       {Operation(6)},
       plugInDialogOptional,
       [](ScriptingHost&, FilterRecord& r) { r.descriptorParameters = nullptr; },
       0,
       5,
       1},
      // Too new: the host's descriptor is not the plug-in's to consume.
      {"newer parameters",
       {Operation(6)},
       plugInDialogOptional,
       [](ScriptingHost& s, FilterRecord&) { s.Parameters().descriptorParametersVersion = 1; },
       0,
       5,
       1},
      // Without the handle suite the descriptor is forgotten, not disposed.
      {"no handle suite",
       {Operation(6)},
       plugInDialogOptional,
       [](ScriptingHost&, FilterRecord& r) { r.handleProcs = nullptr; },
       1,
       6,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptingHost scripting;
    FilterRecord record{};
    scripting.Attach(&record);
    ListGuard g;
    DeclareOperation(g.list, 5.0f);
    scripting.SetPlayback(c.items, c.playInfo);
    if (c.items.empty()) scripting.ClearPlayback();
    scripting.Parameters().playInfo = c.playInfo;
    c.change(scripting, record);
    EXPECT_EQ(ReadScriptedParameters(&record, g.list), c.answer);
    ASSERT_EQ(GetInputCount(g.list), 1);
    EXPECT_EQ(GetEntryLong(g.list, 0), c.operation);
    EXPECT_EQ(scripting.LiveHandles(), c.liveHandles);
    EXPECT_EQ(scripting.OpenReaders(), 0u);
    EXPECT_EQ(scripting.ForeignDisposals(), 0);
    if (c.answer == 1 && !c.items.empty()) {
      // The reader asked for the list's keys.
      EXPECT_EQ(scripting.LastKeyArray(), std::vector<std::uint32_t>{kOperationKey});
    }
  }
  // A list without inputs: the same answer, and no reader is opened.
  ScriptingHost scripting;
  FilterRecord record{};
  scripting.Attach(&record);
  ListGuard empty;
  scripting.SetPlayback({Operation(6)}, plugInDialogOptional);
  EXPECT_EQ(ReadScriptedParameters(&record, empty.list), 1);
  scripting.Parameters().playInfo = plugInDialogDisplay;
  EXPECT_EQ(ReadScriptedParameters(&record, empty.list), 0);
  EXPECT_NE(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(ReadScriptedParameters(nullptr, empty.list), 0);
}

// What one run records, the next run plays back: every kind survives the trip
// at the ends of its range, and a value outside the range changes nothing.
TEST_F(Scripting, EveryKindIsReadWithinItsRangeAndRecordedAsRead) {
  AddInputParameter(g.list, FourCC("nRad"), FourCC("long"), std::uint32_t(-5), 50, 7);
  AddInputParameter(g.list, FourCC("sCAL"), FourCC("doub"), std::bit_cast<std::uint32_t>(-1.0f),
                    std::bit_cast<std::uint32_t>(2.0f), std::bit_cast<std::uint32_t>(0.5f));
  AddInputParameter(g.list, FourCC("AFlg"), FourCC("bool"), 0, 0, 0);
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  AddInputParameter(g.list, FourCC("unCd"), FourCC("long"), 1, 8, 2);
  AddInputParameter(g.list, FourCC("2LMd"), FourCC("rB41"), 1, 36, 1);
  auto items = [](std::int32_t n, double f, bool b, const char* t, std::uint32_t u,
                  std::uint32_t e) {
    return std::vector<DescriptorItem>{
        DescriptorItem::Integer(FourCC("nRad"), n),
        DescriptorItem::Float(FourCC("sCAL"), f),
        DescriptorItem::Bool(FourCC("AFlg"), b),
        DescriptorItem::Text(FourCC("Krnl"), t),
        DescriptorItem::Enumerated(FourCC("unCd"), FourCC("UniT"), u),
        DescriptorItem::Enumerated(FourCC("2LMd"), FourCC("rB41"), e)};
  };
  const auto highs = items(50, 2.0, true, "c:\\kernels\\edge.krn", 8, 36);
  const auto lows = items(-5, -1.0, false, "1 2 1\n2 4 2", 1, 1);
  for (const auto& played : {highs, lows}) {
    scripting.SetPlayback(played, plugInDialogOptional);
    EXPECT_EQ(ReadScriptedParameters(&record, g.list), 1);
    ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);
    EXPECT_EQ(Recorded(), played);
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const DescriptorItem& bad :
       {DescriptorItem::Integer(FourCC("nRad"), 51), DescriptorItem::Integer(FourCC("nRad"), -6),
        DescriptorItem::Float(FourCC("sCAL"), 2.5), DescriptorItem::Float(FourCC("sCAL"), -1.5),
        DescriptorItem::Float(FourCC("sCAL"), 1e300), DescriptorItem::Float(FourCC("sCAL"), -1e300),
        DescriptorItem::Float(FourCC("sCAL"), nan),
        DescriptorItem::Enumerated(FourCC("unCd"), FourCC("UniT"), 0),
        DescriptorItem::Enumerated(FourCC("unCd"), FourCC("UniT"), 9),
        DescriptorItem::Enumerated(FourCC("2LMd"), FourCC("rB41"), 0),
        DescriptorItem::Enumerated(FourCC("2LMd"), FourCC("rB41"), 37)}) {
    scripting.SetPlayback({bad}, plugInDialogOptional);
    ReadScriptedParameters(&record, g.list);
    ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);
    EXPECT_EQ(Recorded(), lows) << host::CodeToString(bad.key);
  }
  // The text handles of every read and write went back: only the recorded
  // descriptor lives.
  EXPECT_EQ(scripting.LiveHandles(), 1u);
}

TEST_F(Scripting, WriteLeavesOneEnumeratedOperationAndOptionalDialog) {
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({Operation(4)}, plugInDialogDisplay);
  SetEntryLong(g.list, 0, 6);  // as if the dialog changed it
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(scripting.Parameters().recordInfo, plugInDialogOptional);
  EXPECT_EQ(Recorded(), std::vector<DescriptorItem>{Operation(6)});
  // The old descriptor was given back to the host; only the new one lives.
  EXPECT_EQ(scripting.LiveHandles(), 1u);
  EXPECT_EQ(scripting.ForeignDisposals(), 0);
  EXPECT_EQ(scripting.OpenWriters(), 0u);
}

TEST_F(Scripting, NothingIsWrittenWhereNothingCanBe) {
  scripting.Parameters().recordInfo = plugInDialogDisplay;
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);  // an empty list
  DeclareOperation(g.list, 5.0f);
  EXPECT_EQ(WriteScriptedParameters(nullptr, g.list), noErr);
  scripting.Parameters().descriptorParametersVersion = 1;
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  scripting.Parameters().descriptorParametersVersion = 0;
  scripting.WriteProcs().openWriteDescriptorProc = [] { return PIWriteDescriptor(nullptr); };
  EXPECT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.Parameters().recordInfo, plugInDialogDisplay);
  EXPECT_EQ(scripting.OpenWriters(), 0u);
}

// Texts are bounded to 513 characters both ways; an absent text is recorded
// as an empty one, which plays back as an empty text, not as none; without the
// handle suite texts travel in the plug-in's own blocks.
TEST_F(Scripting, TextsTravelBoundedAndNeverAsNone) {
  AddInputParameter(g.list, FourCC("Krnl"), FourCC("Pth "), 0, 0, 0);
  ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);
  EXPECT_EQ(Recorded(), std::vector<DescriptorItem>{DescriptorItem::Text(FourCC("Krnl"), "")});
  scripting.SetPlayback(Recorded(), plugInDialogOptional);
  ReadScriptedParameters(&record, g.list);
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_STREQ(GetEntryText(g.list, 0), "");

  const std::string longText(600, 'k');
  scripting.SetPlayback({DescriptorItem::Text(FourCC("Krnl"), longText)}, plugInDialogOptional);
  ReadScriptedParameters(&record, g.list);
  ASSERT_NE(GetEntryText(g.list, 0), nullptr);
  EXPECT_EQ(std::string(GetEntryText(g.list, 0)), longText.substr(0, 513));
  SetEntryText(g.list, 0, longText.c_str());
  for (bool handleSuite : {true, false}) {
    record.handleProcs = handleSuite ? &scripting.Handles() : nullptr;
    ASSERT_EQ(WriteScriptedParameters(&record, g.list), noErr);
    EXPECT_EQ(Recorded(), std::vector<DescriptorItem>{
                              DescriptorItem::Text(FourCC("Krnl"), longText.substr(0, 513))});
  }
}

TEST_F(Scripting, AllocationsFailingDoNotLoseTheRecordedStep) {
  // The filter's own list needs no memory for the read.
  DeclareOperation(g.list, 5.0f);
  scripting.SetPlayback({Operation(6)}, plugInDialogOptional);
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther,
                              0);
  std::uint8_t answer = ReadScriptedParameters(&record, g.list);
  platform::test::ClearFaults();
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(GetEntryLong(g.list, 0), 6);

  // A list too long for that: the step goes unread, the list keeps its values
  // and the user chooses rather than the run silently doing whatever the
  // preferences hold. With memory, it reads like the short one.
  DescriptorList big = CreateDescriptorList(64);
  ASSERT_NE(big, nullptr);
  InitDescriptorList(big, FourCC("udef"), 0, 0);
  for (int i = 0; i < 40; ++i) AddInputParameter(big, FourCC("aaaa") + i, FourCC("long"), 0, 9, 1);
  AddInputParameter(big, kOperationKey, kOperationType, 4, 6, 5);
  scripting.SetPlayback({Operation(6)}, plugInDialogOptional);
  platform::test::FailNthCall(platform::test::Operation::kAllocate, 1, platform::OsError::kOther);
  answer = ReadScriptedParameters(&record, big);
  platform::test::ClearFaults();
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(GetEntryLong(big, 40), 5);
  EXPECT_NE(scripting.Parameters().descriptor, nullptr);
  EXPECT_EQ(scripting.OpenReaders(), 0u);
  EXPECT_EQ(ReadScriptedParameters(&record, big), 1);
  EXPECT_EQ(GetEntryLong(big, 40), 6);
  EXPECT_EQ(scripting.LastKeyArray().size(), 41u);
  DisposeDescriptorList(big);
}

}  // namespace
