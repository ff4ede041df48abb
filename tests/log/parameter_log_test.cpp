// The rule lookup, the date and time texts and the parameter log line.
#include "plugin/log/parameter_log.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>

#include "log_test_support.h"
#include "plugin/core/memory.h"
#include "plugin/log/text_writer.h"
#include "plugin/params/parameter_block.h"

namespace {

const char kRuleName[] = "QZLogDef.rul";
const char kLogName[] = "plog.txt";

// One 64-byte rule record: code, a separator, the label padded to byte 48, the
// suffix padded to byte 63, and the closing byte.
std::string Rule(const std::string& code, const std::string& label, const std::string& suffix) {
  std::string record = code + " " + label;
  record.resize(48, '_');
  record += suffix;
  record.resize(64, '_');
  return record;
}

std::string Counted(const char* counted) {
  return std::string(counted + 1, static_cast<unsigned char>(counted[0]));
}

std::string DateAndTime(const platform::LocalTime& t) {
  char date[16];
  char time[16];
  FormatLogDate(t, date);
  FormatLogTime(t, time);
  EXPECT_EQ(date[1 + date[0]], '\0');
  EXPECT_EQ(time[1 + time[0]], '\0');
  return Counted(date) + " " + Counted(time);
}

// `text` is `head`, the date and time read before or after the call that
// wrote it, and `tail`.
void ExpectStamped(const std::string& text, const std::string& head,
                   const platform::LocalTime& before, const platform::LocalTime& after,
                   const std::string& tail = "") {
  EXPECT_TRUE(text == head + DateAndTime(before) + tail || text == head + DateAndTime(after) + tail)
      << text;
}

TEST(LogDateTime, Formats) {
  const struct {
    platform::LocalTime time;
    const char* text;
  } cases[] = {
      {{2005, 3, 7, 21, 5, 3}, "3/7/05 9:05:03 PM"},
      {{2010, 12, 25, 0, 0, 0}, "12/25/10 12:00:00 AM"},  // midnight
      {{2000, 1, 1, 12, 0, 0}, "1/1/00 12:00:00 PM"},     // noon
      {{2026, 1, 1, 11, 59, 59}, "1/1/26 11:59:59 AM"},
      {{2026, 1, 1, 13, 1, 2}, "1/1/26 1:01:02 PM"},
      {{2026, 1, 1, 23, 10, 0}, "1/1/26 11:10:00 PM"},
  };
  for (const auto& c : cases) EXPECT_EQ(DateAndTime(c.time), c.text);
}

TEST(LogUnits, CodeFromTheCalibrationAndItsText) {
  const struct {
    float unit;
    float size;
    const char* text;
  } cases[] = {
      {2.9f, 0.25f, "mm"},
      {1, 1, "\xB5m"},
      {4, 1, "m "},
      {10, 1, "nm"},
      {2, 0, "in"},  // no pixel size
      {0, 1, "in"},  // no unit
      // Outside the table: the unknown unit instead of reading past it.
      {11, 1, "xx"},
      {-1, 1, "xx"},
      {std::nanf(""), 1, "xx"},
      {3e30f, 1, "xx"},
  };
  for (const auto& c : cases) {
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
    std::string label = "";
    std::string suffix = "";
  } cases[] = {
      {two, "Cnt ", 2, noErr, "Count", "px"},
      {two, "Rads", 2, noErr, "Radius", "(mm)"},  // a record after the first
      {two, "Area", 2, fnfErr},                   // read to the end
      {two, "Cnt_", 2, fnfErr},                   // codes compare on all four bytes
      {Rule("Len2", "Area", "cur2"), "Len2", 2, noErr, "Area", "(mm^2)"},
      {Rule("Len3", "Volume", "cur3"), "Len3", 3, noErr, "Volume", "(cm^3)"},
      {Rule("Inv ", "Density", "cur-"), "Inv ", 7, noErr, "Density", "(ft^-1)"},
      {Rule("Len1", "Length", "cur1"), "Len1", 4, noErr, "Length", "(m )"},
      {Rule("Len1", "Length", "cur1"), "Len1", 1, noErr, "Length", "(\xB5m)"},
      // Only the first four characters form the code.
      {Rule("Len1", "Length", "cur1abc"), "Len1", 5, noErr, "Length", "(km)"},
      {Rule("Blan", "Blank", "blan"), "Blan", 2, noErr, "Blank", ""},
      {Rule("None", "Nothing", "none"), "None", 2, noErr, "Nothing", ""},
      // An "omit" record ends the search: a later record for the key is not seen.
      {Rule("Rads", "R", "omit") + Rule("Rads", "R", "cur1"), "Rads", 2, fnfErr},
      {Rule("Rads", "R", "cur1") + Rule("Rads", "R", "omit"), "Rads", 2, noErr, "R", "(mm)"},
      // A label without terminator runs into the suffix.
      {"Long " + std::string(43, 'L') + "tail_cur1_______", "Long", 2, noErr,
       std::string(43, 'L') + "tail", "tail"},
      // The last byte ends the suffix even when no "_" does.
      {full, "Full", 2, noErr, "Label", "ABCDEFGHIJKLMNO"},
      // A trailing part record (the file's length is no multiple of 64) is
      // compared on its own bytes; the record before it leaks nothing into it.
      {previous + "Part Short", "Part", 2, noErr, "Short", ""},
      {previous + Rule("Part", "Short", "cur1").substr(0, 52), "Part", 2, noErr, "Short", "(mm)"},
      // Fewer than four bytes name no key.
      {previous + "Pa", "Pa__", 2, fnfErr},
      {previous + "Pa", "Prev", 2, noErr, "PreviousLabelIsLong", "(mm^2)"},
  };
  testsupport::TempRoot root;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rules);
    root.Write(kRuleName, c.rules);
    char label[kStringSize] = "untouched";
    char suffix[kStringSize] = "untouched";
    ASSERT_EQ(LookupLogRule(TextToCode(c.key), label, suffix, c.unit), c.status) << c.key;
    if (c.status != noErr) continue;
    EXPECT_EQ(label, c.label);
    EXPECT_EQ(std::string(suffix), c.suffix);
  }
}

TEST(LogRule, RuleFileFollowsTheRedirectAndCrlfIsDateAndTime) {
  testsupport::TempRoot root;
  char label[kStringSize];
  char suffix[kStringSize];
  EXPECT_EQ(LookupLogRule(FourCC("Rads"), label, suffix, 2), fnfErr);  // no rule file
  std::filesystem::create_directory(root.File("stores"));
  root.Write("TRUXPath.TXT", std::string("c:\\stores\\"));
  root.Write(kRuleName, Rule("Rads", "AtRoot", "px"));
  root.Write(std::string("stores/") + kRuleName,
             Rule("Rads", "Redirected", "px") + Rule("crlf", "ignored", "crlf"));
  EXPECT_EQ(LookupLogRule(FourCC("Rads"), label, suffix, 2), noErr);
  EXPECT_STREQ(label, "Redirected");

  const platform::LocalTime before = platform::OsGetLocalTime();
  EXPECT_EQ(LookupLogRule(FourCC("crlf"), label, suffix, 2), noErr);
  const platform::LocalTime after = platform::OsGetLocalTime();
  ExpectStamped(label, "", before, after);
  EXPECT_STREQ(suffix, "crlf");
}

// --- The log line -----------------------------------------------------------

class ParameterLogTest : public ::testing::Test {
 protected:
  ParameterLogTest() {
    block_.filterRecord = &record_;
    block_.params[kParamCalibrationUnit] = 2;  // mm
    block_.params[kParamCalibrationSize] = 0.01f;
  }
  ~ParameterLogTest() override {
    for (char*& slot : block_.strings) {
      DisposeString(slot);
      slot = nullptr;
    }
  }
  void LogTo(const char* path) { SetStringSlot(&block_, kSlotParameterLogPath, path); }
  std::string Log() const { return logtest::ReadText(root_, kLogName); }

  // The list: one input, then outputs of every kind.
  static void DeclareOutputs(logtest::List& list) {
    DescriptorList l = list.get();
    AddInputParameter(l, FourCC("EFMd"), FourCC("rB42"), 4, 6, 5);
    AddInputParameter(l, FourCC("Rads"), FourCC("doub"), 0, 0, std::bit_cast<std::uint32_t>(2.5f));
    AddInputParameter(l, FourCC("Flag"), FourCC("bool"), 0, 0, 1);
    AddInputParameter(l, FourCC("Hide"), FourCC("long"), 0, 0, 99);
    AddInputParameter(l, FourCC("Gone"), FourCC("long"), 0, 0, 98);
    SetEntryText(l, AddInputParameter(l, FourCC("Name"), FourCC("Pth "), 0, 0, 0), "one.tif");
    AddInputParameter(l, FourCC("Path"), FourCC("Pth "), 0, 0, 0);
    AddInputParameter(l, FourCC("Cnt "), FourCC("long"), 0, 0, std::uint32_t(-12));
    AddInputParameter(l, FourCC("Mode"), FourCC("rB42"), 4, 6, 6);
    AddInputParameter(l, FourCC("crlf"), FourCC("long"), 0, 0, 0);
    list.SplitOutputs(GetInputCount(l) - 1);
  }
  static std::string FullRules() {
    return Rule("Rads", "Radius", "cur2") + Rule("Flag", "Sharp", "") +
           Rule("Hide", "Hidden", "omit") + Rule("Name", "", "none") +
           Rule("Path", "File", "blan") + Rule("Cnt ", "Count", "px") + Rule("Mode", "Op", "") +
           Rule("crlf", "", "crlf") + Rule("EFMd", "Input", "");
  }

  testsupport::TempRoot root_;
  FilterRecord record_{};
  ReadImageDocumentDesc document_{};
  ParameterBlock block_{};
};

TEST_F(ParameterLogTest, MissingLogIsCreatedAndEachRunAppendsItsLine) {
  root_.Write(kRuleName, FullRules());
  LogTo("c:\\plog.txt");
  logtest::List list;
  DeclareOutputs(list);
  const std::string outputs =
      "Radius\t2.50000\t(mm^2)\tSharp\tTRUE\tone.tif\tFile\tNULL\tCount\t-12\tpx\tOp\t6\t";
  // One line a run: outputs, the path of an unsaved document and the time.
  std::string earlier;
  for (int run = 1; run <= 2; ++run) {
    const platform::LocalTime before = platform::OsGetLocalTime();
    EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
    const platform::LocalTime after = platform::OsGetLocalTime();
    ExpectStamped(Log(), earlier + outputs + "<not_saved>\t", before, after, "\r\n");
    earlier = Log();
  }
}

TEST_F(ParameterLogTest, SavedDocumentGivesItsPath) {
  root_.Write(kRuleName, Rule("crlf", "", "crlf"));
  LogTo("c:\\plog.txt");
  logtest::List list;
  AddInputParameter(list.get(), FourCC("crlf"), FourCC("long"), 0, 0, 0);
  list.SplitOutputs(1);
  record_.documentInfo = &document_;
  for (const char* path : {"C:\\pictures\\stack 01.tif", ""}) {
    root_.Write(kLogName, std::string("old\r\n"));
    document_.fileSpec = path;
    const platform::LocalTime before = platform::OsGetLocalTime();
    EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
    const platform::LocalTime after = platform::OsGetLocalTime();
    // The earlier line, then the path and the time alone.
    const std::string shown = path[0] != '\0' ? path : "<not_saved>";
    ExpectStamped(Log(), "old\r\n" + shown + "\t", before, after, "\r\n");
  }
}

TEST_F(ParameterLogTest, NothingToLogOpensNothing) {
  root_.Write(kRuleName, FullRules());
  logtest::List outputs;
  DeclareOutputs(outputs);
  // This filter's own list: inputs only.
  logtest::List inputsOnly;
  AddInputParameter(inputsOnly.get(), FourCC("EFMd"), FourCC("rB42"), 4, 6, 5);
  EXPECT_EQ(WriteParameterLog(&block_, outputs.get()), noErr);  // slot absent
  LogTo("");
  EXPECT_EQ(WriteParameterLog(&block_, outputs.get()), noErr);  // slot empty
  LogTo("c:\\plog.txt");
  EXPECT_EQ(WriteParameterLog(&block_, inputsOnly.get()), noErr);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_.dir()), {}), 1);

  // An unreachable log is skipped with its status.
  LogTo("c:\\no such folder\\plog.txt");
  EXPECT_NE(WriteParameterLog(&block_, outputs.get()), noErr);
  EXPECT_FALSE(root_.Exists("no such folder"));
}

// The redirect moves the rule file only: the log's path is used as given.
// Without a rule for an output the output is dropped.
TEST_F(ParameterLogTest, LogPathIsNotRedirected) {
  std::filesystem::create_directory(root_.File("stores"));
  root_.Write("TRUXPath.TXT", std::string("c:\\stores\\"));
  LogTo("c:\\plog.txt");
  logtest::List list;
  AddInputParameter(list.get(), FourCC("Cnt "), FourCC("long"), 0, 0, 7);
  list.SplitOutputs(1);
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  EXPECT_EQ(Log(), "");  // made, but no rules: empty
  root_.Write(std::string("stores/") + kRuleName, Rule("Cnt ", "Count", "px"));
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  EXPECT_EQ(Log(), "Count\t7\tpx\t");
  EXPECT_FALSE(root_.Exists(std::string("stores/") + kLogName));
}

}  // namespace
