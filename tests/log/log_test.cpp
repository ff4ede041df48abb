// Number texts, the rule lookup and both logs, byte for byte.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>

#include "plugin/core/memory.h"
#include "plugin/log/parameter_log.h"
#include "plugin/log/run_log.h"
#include "plugin/log/text_writer.h"
#include "plugin/params/parameter_block.h"
#include "support/owned_list.h"
#include "support/temp_root.h"

namespace {

using namespace testsupport;

std::string Counted(const char* counted) {
  EXPECT_EQ(counted[1 + static_cast<unsigned char>(counted[0])], '\0');
  return std::string(counted + 1, static_cast<unsigned char>(counted[0]));
}

// A 64-byte rule record: code, space, label padded to byte 48, suffix to byte 63, a last byte.
std::string Rule(const std::string& code, const std::string& label, const std::string& suffix) {
  std::string record = code + " " + label;
  record.resize(48, '_');
  record += suffix;
  record.resize(64, '_');
  return record;
}

std::string DateAndTime(const platform::LocalTime& t) {
  char date[16], time[16];
  FormatLogDate(t, date);
  FormatLogTime(t, time);
  return Counted(date) + " " + Counted(time);
}

TEST(FormatReal, TableInEveryPrecision) {
  // With the rounding term carrying into the leading digit, exact powers of ten
  // on the edge between two exponents, and powers of ten from ln 10 in single
  // precision (the exact logarithm would round 50.6804 and 11.7203 up).
  const struct {
    float value;
    const char* text;
  } cases[] = {{0.0f, "0.0"},
               {-0.0f, "0.0"},
               {std::nanf(""), "0.0"},
               {-INFINITY, "-inf"},
               {1234.5f, "1234.50"},
               {1.0f / 72.0f, "0.01388"},
               {-0.001234f, "-0.00123"},
               {12345.6f, "1.23456e+4"},
               {0.0005f, "0.50000e-3"},
               {1e10f, "1.00000e+10"},
               {9999.996f, "10000.00"},
               {9.999999f, "10.00000"},
               {99999.99f, "10.00000e+4"},
               {1000.0f, "1000.00"},
               {1e6f, "1.00000e+6"},
               {50.6804504f, "50.6804"},
               {11.7203503f, "11.7203"},
               {3.40282347e38f, "3.40282e+38"},  // the largest and the smallest
               {-1e-38f, "-1.00000e-38"},
               {1e-45f, "0.14013e-44"}};  // its exponent truncated toward zero
  // The plug-in's route (long double) against the same arithmetic in double.
  for (const auto& c : cases) {
    char out[2][logtext::kRealTextSize];
    FormatReal(c.value, out[0]);
    logtext::FormatRealAs<double>(c.value, out[1]);
    for (const char* text : out) EXPECT_EQ(Counted(text), c.text) << c.value;
  }
}

TEST(LogRule, DateTimeAndUnitTexts) {
  const struct {
    platform::LocalTime time;
    const char* text;
  } times[] = {{{2005, 3, 7, 21, 5, 3}, "3/7/05 9:05:03 PM"},
               {{2010, 12, 25, 0, 0, 0}, "12/25/10 12:00:00 AM"},  // midnight
               {{2000, 1, 1, 12, 0, 0}, "1/1/00 12:00:00 PM"},     // noon
               {{2026, 1, 1, 23, 10, 0}, "1/1/26 11:10:00 PM"}};
  for (const auto& c : times) EXPECT_EQ(DateAndTime(c.time), c.text);
  const struct {
    float unit, size;
    const char* text;
  } units[] = {{2.9f, 0.25f, "mm"}, {1, 1, "\xB5m"}, {10, 1, "nm"},
               {2, 0, "in"},        {0, 1, "in"},  // no pixel size, no unit
               {11, 1, "xx"},       {-1, 1, "xx"},   {std::nanf(""), 1, "xx"},
               {3e30f, 1, "xx"}};
  for (const auto& c : units) {
    ParameterBlock block{};
    block.params[kParamCalibrationUnit] = c.unit;
    block.params[kParamCalibrationSize] = c.size;
    EXPECT_EQ(std::string(GetLogUnitText(GetLogUnitCode(&block))), c.text) << c.unit;
  }
}

TEST(LogRule, LookupInTheRuleFile) {
  const std::string two = Rule("Cnt ", "Count", "px") + Rule("Rads", "Radius", "cur1");
  const std::string previous = Rule("Prev", "PreviousLabelIsLong", "cur2");
  std::string full = Rule("Full", "Label", "");
  full.replace(48, 16, "ABCDEFGHIJKLMNOP");
  const struct {
    std::string rules;
    const char* key;
    std::int32_t unit;
    OSErr status;
    std::string label = "", suffix = "";
  } cases[] = {
      {two, "Cnt ", 2, noErr, "Count", "px"},
      {two, "Rads", 2, noErr, "Radius", "(mm)"},  // a record after the first
      {two, "Area", 2, fnfErr},                   // read to the end
      {two, "Cnt_", 2, fnfErr},                   // codes compare on all four bytes
      {Rule("Len3", "Volume", "cur3"), "Len3", 3, noErr, "Volume", "(cm^3)"},
      {Rule("Inv ", "Density", "cur-"), "Inv ", 7, noErr, "Density", "(ft^-1)"},
      {Rule("Len1", "Length", "cur1abc"), "Len1", 5, noErr, "Length", "(km)"},  // 4 characters
      // An "omit" record ends the search: a later record for the key is not seen.
      {Rule("Rads", "R", "omit") + Rule("Rads", "R", "cur1"), "Rads", 2, fnfErr},
      {Rule("Rads", "R", "cur1") + Rule("Rads", "R", "omit"), "Rads", 2, noErr, "R", "(mm)"},
      // A label without terminator runs into the suffix; the last byte ends the suffix.
      {"Long " + std::string(43, 'L') + "tail_cur1_______", "Long", 2, noErr,
       std::string(43, 'L') + "tail", "tail"},
      {full, "Full", 2, noErr, "Label", "ABCDEFGHIJKLMNO"},
      // A trailing part record counts on its own bytes; under four it names no key.
      {previous + "Part Short", "Part", 2, noErr, "Short", ""},
      {previous + Rule("Part", "Short", "cur1").substr(0, 52), "Part", 2, noErr, "Short", "(mm)"},
      {previous + "Pa_", "Pa__", 2, fnfErr},
      {previous + "Pa", "Prev", 2, noErr, "PreviousLabelIsLong", "(mm^2)"},
  };
  TempRoot root;
  char label[kStringSize], suffix[kStringSize];
  EXPECT_EQ(LookupLogRule(FourCC("Rads"), label, suffix, 2), fnfErr);  // no rule file
  for (const auto& c : cases) {
    root.Write("QZLogDef.rul", c.rules);
    ASSERT_EQ(LookupLogRule(TextToCode(c.key), label, suffix, c.unit), c.status) << c.rules;
    if (c.status != noErr) continue;
    EXPECT_EQ(label, c.label) << c.rules;
    EXPECT_EQ(std::string(suffix), c.suffix) << c.rules;
  }
}

// An entry of every kind: an enumeration, a real, a long, both booleans, a text and none.
void AddEveryKind(DescriptorList l, const std::string& text) {
  AddInputParameter(l, FourCC("EFMd"), FourCC("rB42"), 4, 6, 5);
  AddInputParameter(l, FourCC("Rads"), FourCC("doub"), std::bit_cast<std::uint32_t>(0.5f),
                    std::bit_cast<std::uint32_t>(100.0f), std::bit_cast<std::uint32_t>(-2.5f));
  AddInputParameter(l, FourCC("Cnt "), FourCC("long"), std::uint32_t(INT32_MIN), 20,
                    std::uint32_t(-7));
  AddInputParameter(l, FourCC("Flag"), FourCC("bool"), 0, 0, 0x100);
  AddInputParameter(l, FourCC("Off "), FourCC("bool"), 0, 0, 0);
  SetEntryText(l, AddInputParameter(l, FourCC("Name"), FourCC("Pth "), 0, 0, 0), text.c_str());
  AddInputParameter(l, FourCC("None"), FourCC("Pth "), 0, 0, 0);
}

TEST(ParameterLog, EachRunAppendsTheOutputsThePathAndTheTime) {
  TempRoot root;
  FilterRecord record{};
  ParameterBlock block{};
  block.filterRecord = &record;
  block.params[kParamCalibrationUnit] = 2;  // mm
  block.params[kParamCalibrationSize] = 0.01f;
  OwnedList list;  // every kind ("Off " has no rule: dropped), then the closing entry
  DescriptorList l = list.get();
  AddEveryKind(l, "one.tif");
  AddInputParameter(l, FourCC("Hide"), FourCC("long"), 0, 0, 99);
  AddInputParameter(l, FourCC("crlf"), FourCC("long"), 0, 0, 0);
  // Nothing to log (slot absent, slot empty, inputs only) opens nothing.
  EXPECT_EQ(WriteParameterLog(&block, l), noErr);
  SetStringSlot(&block, kSlotParameterLogPath, "");
  EXPECT_EQ(WriteParameterLog(&block, l), noErr);
  SetStringSlot(&block, kSlotParameterLogPath, "c:\\plog.txt");
  EXPECT_EQ(WriteParameterLog(&block, l), noErr);
  EXPECT_TRUE(std::filesystem::is_empty(root.dir()));
  list.SplitOutputs(GetInputCount(l));
  EXPECT_EQ(WriteParameterLog(&block, l), noErr);
  EXPECT_EQ(root.Text("plog.txt"), "");  // made, but no rules: empty

  // The redirect moves the rule file, not the log; "crlf" is the date and time.
  std::filesystem::create_directory(root.File("stores"));
  root.Write("TRUXPath.TXT", std::string("c:\\stores\\"));
  root.Write("QZLogDef.rul", Rule("Rads", "AtRoot", "px"));
  root.Write("stores/QZLogDef.rul", Rule("Rads", "Radius", "cur2") + Rule("Flag", "Sharp", "") +
                                        Rule("Hide", "Hidden", "omit") + Rule("Name", "", "none") +
                                        Rule("None", "File", "blan") + Rule("Cnt ", "Count", "px") +
                                        Rule("EFMd", "Op", "") + Rule("crlf", "", "crlf"));
  const std::string outputs =
      "Op\t5\tRadius\t-2.50000\t(mm^2)\tCount\t-7\tpx\tSharp\tTRUE\tone.tif\tFile\tNULL\t";
  ReadImageDocumentDesc document{};
  std::string earlier;
  for (const char* path : {"", "C:\\pictures\\stack 01.tif", "-"}) {
    record.documentInfo = path[0] != '-' ? &document : nullptr;  // "-": no document information
    document.fileSpec = path;
    const std::string shown = path[0] == '\0' || path[0] == '-' ? "<not_saved>" : path;
    const platform::LocalTime before = platform::OsGetLocalTime();
    EXPECT_EQ(WriteParameterLog(&block, l), noErr);
    const platform::LocalTime after = platform::OsGetLocalTime();
    const std::string head = earlier + outputs + shown + "\t", log = root.Text("plog.txt");
    EXPECT_TRUE(log == head + DateAndTime(before) + "\r\n" ||
                log == head + DateAndTime(after) + "\r\n")
        << log;
    earlier = log;
  }
  EXPECT_FALSE(root.Exists("stores/plog.txt"));
  SetStringSlot(&block, kSlotParameterLogPath, "c:\\no such folder\\plog.txt");
  EXPECT_NE(WriteParameterLog(&block, l), noErr);  // unreachable: skipped
  EXPECT_FALSE(root.Exists("no such folder"));
  for (char* slot : block.strings) DisposeString(slot);
}

TEST(RunLog, RecordsAppendToTheExistingLogOnly) {
  TempRoot root;
  OwnedList list;
  EXPECT_EQ(WriteRunLog(0, list.get()), fnfErr);  // no log: neither written nor created
  EXPECT_TRUE(std::filesystem::is_empty(root.dir()));
  // A list without entries has neither section.
  root.Write("TRUXlog.txt", std::string("earlier\r\n"));
  InitDescriptorList(list.get(), FourCC("BFcB"), 0, 1);  // no mask, no writeback
  EXPECT_EQ(WriteRunLog(-128, list.get()), noErr);
  // The redirect that moves the stores does not move the log. Every type,
  // outputs and flags; only the first 255 characters of a text.
  std::filesystem::create_directory(root.File("elsewhere"));
  root.Write("TRUXPath.TXT", std::string("c:\\elsewhere\\"));
  root.Write("elsewhere/TRUXlog.txt", std::string());
  InitDescriptorList(list.get(), FourCC("udef"), 1, 0);  // needs a mask, writes back
  const std::string text = std::string(255, 'a') + "bcdef";
  AddEveryKind(list.get(), text);
  AddInputParameter(list.get(), FourCC("Area"), FourCC("long"), 0, 1000, 640);
  list.SplitOutputs(1);
  EXPECT_EQ(WriteRunLog(-43, list.get()), noErr);
  EXPECT_EQ(root.Text("TRUXlog.txt"),
            "earlier\r\n-----------------------------\r\nSignature = BFcB\tNo Writeback\tNo Mask "
            "Image\r\nResult = -128\r\n"
            "-----------------------------\r\nSignature = udef\tWRITEBACK\tNEEDS MASK IMAGE\r\n"
            "# Inputs = 7\r\n"
            "0: Type = RADIO/rB42\tKey = EFMd\tMin = 4\tMax = 6\tValue = 5\r\n"
            "1: Type = FLOAT\tKey = Rads\tMin = 0.50000\tMax = 100.000\tValue = -2.50000\r\n"
            "2: Type = LONG\tKey = Cnt \tMin = -2147483648\tMax = 20\tValue = -7\r\n"
            "3: Type = BOOLEAN\tKey = Flag\tValue = TRUE\r\n"
            "4: Type = BOOLEAN\tKey = Off \tValue = FALSE\r\n"
            "5: Type = STRING\tKey = Name\tValue = " +
                text.substr(0, 255) +
                "\r\n6: Type = STRING\tKey = None\tValue = NULL\r\n# Outputs = 1\r\n"
                "7: Type = LONG\tKey = Area\tMin = 0\tMax = 1000\tValue = 640\r\nResult = -43\r\n");
  // A log held open is skipped.
  FileRef holder = platform::kInvalidFile;
  ASSERT_EQ(OpenDataFile("c:\\TRUXlog.txt", &holder), noErr);
  EXPECT_NE(WriteRunLog(0, list.get()), noErr);
  CloseDataFile(holder);
  EXPECT_NE(WriteText(holder, "abc", true, true), noErr);  // a closed file's failure comes back
}

}  // namespace
