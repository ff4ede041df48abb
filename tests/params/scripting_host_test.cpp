// The host-side scripting pieces on their own: handles, the suites' answers to
// calls a plug-in should not make, and the JSON form of a recorded step (the
// steps an action may not hold are refused in tests/cli).
#include "cli/hostlib/scripting_host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cli/hostlib/action_file.h"

namespace {

using host::CodeFromText;
using host::DescriptorFromJson;
using host::DescriptorItem;
using host::DescriptorToJson;
using host::ScriptingHost;

TEST(ScriptingHostHandles, SizeDataAndDisposalAreTracked) {
  ScriptingHost scripting;
  HandleProcs& procs = scripting.Handles();
  Handle h = procs.newProc(5);
  ASSERT_NE(h, nullptr);
  ASSERT_NE(*h, nullptr);
  EXPECT_EQ(procs.getSizeProc(h), 5);
  std::memcpy(*h, "abcde", 5);
  ASSERT_EQ(procs.setSizeProc(h, 8), noErr);
  EXPECT_EQ(procs.getSizeProc(h), 8);
  EXPECT_EQ(std::memcmp(*h, "abcde", 5), 0);  // resizing keeps the contents
  EXPECT_EQ(procs.lockProc(h, 0), *h);
  EXPECT_EQ(procs.newProc(-1), nullptr);
  EXPECT_EQ(scripting.LiveHandles(), 1u);

  procs.disposeProc(h);
  EXPECT_EQ(scripting.LiveHandles(), 0u);
  EXPECT_EQ(procs.getSizeProc(h), -1);
  EXPECT_EQ(procs.setSizeProc(h, 1), host::kHandleUnknown);
  // Disposing twice, or of something that never was a handle here, is counted.
  procs.disposeProc(h);
  char* data = nullptr;
  procs.disposeProc(&data);
  EXPECT_EQ(scripting.ForeignDisposals(), 2);
  procs.disposeProc(nullptr);
  EXPECT_EQ(scripting.ForeignDisposals(), 2);
}

TEST(ScriptingHostHandles, TheNewestHostAnswersTheContextFreeProcedures) {
  ScriptingHost outer;
  {
    ScriptingHost inner;
    Handle h = outer.Handles().newProc(1);  // the procedures are shared: inner answers
    EXPECT_EQ(inner.LiveHandles(), 1u);
    EXPECT_EQ(outer.LiveHandles(), 0u);
    inner.Handles().disposeProc(h);
  }
  Handle h = outer.Handles().newProc(1);
  EXPECT_EQ(outer.LiveHandles(), 1u);
  outer.DisposeHandle(h);
}

TEST(ScriptingHostSuites, ReaderWalksItemsAndRefusesWrongCalls) {
  ScriptingHost scripting;
  scripting.SetPlayback({DescriptorItem::Integer(CodeFromText("aaaa"), -4),
                         DescriptorItem::Text(CodeFromText("bbbb"), "xyz")},
                        plugInDialogOptional);
  ReadDescriptorProcs& r = scripting.ReadProcs();
  const DescriptorKeyID keys[] = {CodeFromText("aaaa"), 0};
  PIReadDescriptor reader = r.openReadDescriptorProc(scripting.Parameters().descriptor,
                                                     const_cast<DescriptorKeyID*>(keys));
  ASSERT_NE(reader, nullptr);

  std::int32_t integer = 0;
  EXPECT_EQ(r.getIntegerProc(reader, &integer), host::kDescriptorNoItem);  // no key read yet

  DescriptorKeyID key = 0;
  DescType type = 0;
  std::int32_t flags = -1;
  ASSERT_TRUE(r.getKeyProc(reader, &key, &type, &flags));
  EXPECT_EQ(key, CodeFromText("aaaa"));
  EXPECT_EQ(type, CodeFromText("long"));
  EXPECT_EQ(flags, 0);
  Boolean boolean = 7;
  EXPECT_EQ(r.getBooleanProc(reader, &boolean), host::kDescriptorWrongType);
  EXPECT_EQ(boolean, 7);
  EXPECT_EQ(r.getIntegerProc(reader, &integer), noErr);
  EXPECT_EQ(integer, -4);
  double real = 0;
  EXPECT_EQ(r.getFloatProc(reader, &real), noErr);  // integers widen to numbers
  EXPECT_EQ(real, -4.0);
  EXPECT_EQ(r.getPinnedIntegerProc(reader, 0, 10, &integer), noErr);
  EXPECT_EQ(integer, 0);

  ASSERT_TRUE(r.getKeyProc(reader, &key, &type, &flags));
  EXPECT_EQ(type, CodeFromText("TEXT"));
  Handle text = nullptr;
  ASSERT_EQ(r.getTextProc(reader, &text), noErr);
  ASSERT_EQ(scripting.HandleSize(text), 3);  // no terminator
  EXPECT_EQ(std::string(*text, 3), "xyz");
  scripting.DisposeHandle(text);
  unsigned char pascal[256];
  ASSERT_EQ(r.getStringProc(reader, pascal), noErr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pascal + 1), pascal[0]), "xyz");

  EXPECT_FALSE(r.getKeyProc(reader, &key, &type, &flags));
  EXPECT_EQ(r.getTextProc(reader, &text), host::kDescriptorNoItem);
  EXPECT_EQ(r.closeReadDescriptorProc(reader), noErr);
  EXPECT_EQ(r.closeReadDescriptorProc(reader), host::kDescriptorNoItem);
  EXPECT_FALSE(r.getKeyProc(reader, &key, &type, &flags));  // a closed reader is dead
  EXPECT_EQ(scripting.OpenReaders(), 0u);

  // Nothing to read: no reader.
  EXPECT_EQ(r.openReadDescriptorProc(nullptr, const_cast<DescriptorKeyID*>(keys)), nullptr);
  char* notADescriptor = nullptr;
  EXPECT_EQ(r.openReadDescriptorProc(&notADescriptor, nullptr), nullptr);
}

TEST(ScriptingHostSuites, WriterBuildsADescriptorInPutOrder) {
  ScriptingHost scripting;
  WriteDescriptorProcs& w = scripting.WriteProcs();
  PIWriteDescriptor writer = w.openWriteDescriptorProc();
  ASSERT_NE(writer, nullptr);
  const double half = 0.5;
  EXPECT_EQ(w.putFloatProc(writer, CodeFromText("ffff"), &half), noErr);
  EXPECT_EQ(w.putBooleanProc(writer, CodeFromText("bbbb"), 1), noErr);
  const unsigned char pascal[] = {2, 'h', 'i'};
  EXPECT_EQ(w.putStringProc(writer, CodeFromText("ssss"), pascal), noErr);
  EXPECT_EQ(w.putFloatProc(writer, CodeFromText("nnnn"), nullptr), host::kDescriptorNoItem);
  EXPECT_EQ(w.putClassProc(writer, CodeFromText("cccc"), 0), host::kDescriptorUnsupported);

  PIDescriptorHandle descriptor = nullptr;
  ASSERT_EQ(w.closeWriteDescriptorProc(writer, &descriptor), noErr);
  EXPECT_EQ(w.putIntegerProc(writer, CodeFromText("late"), 1), host::kDescriptorNoItem);
  std::vector<DescriptorItem> items;
  ASSERT_TRUE(scripting.DecodeDescriptor(descriptor, &items));
  const std::vector<DescriptorItem> expected = {DescriptorItem::Float(CodeFromText("ffff"), 0.5),
                                                DescriptorItem::Bool(CodeFromText("bbbb"), true),
                                                DescriptorItem::Text(CodeFromText("ssss"), "hi")};
  EXPECT_EQ(items, expected);
  EXPECT_EQ(scripting.OpenWriters(), 0u);
}

TEST(ScriptingHostSuites, DescriptorsDecodeOnlyWhenWellFormed) {
  ScriptingHost scripting;
  const std::vector<DescriptorItem> items = {
      DescriptorItem::Text(CodeFromText("tttt"), std::string("a\0b", 3)),
      DescriptorItem::Enumerated(CodeFromText("EFMd"), CodeFromText("rB42"), 5)};
  Handle h = scripting.EncodeDescriptor(items);
  std::vector<DescriptorItem> decoded;
  ASSERT_TRUE(scripting.DecodeDescriptor(h, &decoded));
  EXPECT_EQ(decoded, items);
  // Every cut short of the whole is refused, and so is a byte too many.
  const std::int32_t size = scripting.HandleSize(h);
  for (std::int32_t cut = size - 1; cut >= 0; --cut) {
    ASSERT_EQ(scripting.SetHandleSize(h, cut), noErr);
    EXPECT_FALSE(scripting.DecodeDescriptor(h, &decoded)) << cut;
  }
  scripting.DisposeHandle(h);
  h = scripting.EncodeDescriptor(items);
  ASSERT_EQ(scripting.SetHandleSize(h, size + 1), noErr);
  EXPECT_FALSE(scripting.DecodeDescriptor(h, &decoded));
  scripting.DisposeHandle(h);
}

// ---------------------------------------------------------------------------
// JSON

std::vector<DescriptorItem> EveryKind() {
  return {DescriptorItem::Enumerated(CodeFromText("EFMd"), CodeFromText("rB42"), 5),
          DescriptorItem::Integer(CodeFromText("nRad"), std::numeric_limits<std::int32_t>::min()),
          DescriptorItem::Integer(CodeFromText("long"), std::numeric_limits<std::int32_t>::max()),
          DescriptorItem::Float(CodeFromText("sCAL"), 0.1),
          DescriptorItem::Float(CodeFromText("tiny"), -4.9406564584124654e-324),
          DescriptorItem::Float(CodeFromText("inf "), -std::numeric_limits<double>::infinity()),
          DescriptorItem::Bool(CodeFromText("AFlg"), true),
          DescriptorItem::Bool(CodeFromText("eShf"), false),
          DescriptorItem::Text(CodeFromText("Krnl"), "c:\\k \"q\"\n\t\x01 caf\xC3\xA9"),
          DescriptorItem::Text(CodeFromText("Pth "), ""),
          DescriptorItem::Enumerated(CodeFromText("unCd"), CodeFromText("UniT"), 0xFFFFFFFFu),
          // Codes may hold bytes outside printable text.
          DescriptorItem::Integer(0x00FF0A22u, 1)};
}

TEST(DescriptorJson, EveryKindSurvivesTheRoundTrip) {
  const std::vector<DescriptorItem> items = EveryKind();
  const std::string json = DescriptorToJson(CodeFromText("BFcB"), items);
  std::uint32_t event = 0;
  std::vector<DescriptorItem> parsed;
  std::string error;
  ASSERT_TRUE(DescriptorFromJson(json, &event, &parsed, &error)) << error << "\n" << json;
  EXPECT_EQ(event, CodeFromText("BFcB"));
  EXPECT_EQ(parsed, items);
  // Written again, the same text.
  EXPECT_EQ(DescriptorToJson(event, parsed), json);

  // Not a number travels as text.
  const std::vector<DescriptorItem> nan = {
      DescriptorItem::Float(CodeFromText("nan "), std::numeric_limits<double>::quiet_NaN())};
  ASSERT_TRUE(DescriptorFromJson(DescriptorToJson(0, nan), &event, &parsed, &error)) << error;
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_TRUE(std::isnan(parsed[0].real));

  // The form the documentation shows, written by hand, is the step that
  // `--op add` plays.
  ASSERT_TRUE(DescriptorFromJson(
      R"({"event": "BFcB", "items": [{"key": "EFMd", "type": "enum", "enumType": "rB42",
          "value": 5}]})",
      &event, &parsed, &error))
      << error;
  EXPECT_EQ(parsed, host::OperationStep(5));
  EXPECT_EQ(host::OperationStepProblem(event, parsed), "");
}

}  // namespace
