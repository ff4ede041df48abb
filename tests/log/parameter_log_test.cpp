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
  EXPECT_EQ(record.size(), 64u);
  return record;
}

struct Lookup {
  OSErr status;
  std::string label;
  std::string suffix;
};

Lookup Find(const char (&key)[5], std::int32_t unit) {
  char label[kStringSize] = "untouched";
  char suffix[kStringSize] = "untouched";
  Lookup result;
  result.status = LookupLogRule(FourCC(key), label, suffix, unit);
  result.label = label;
  result.suffix = suffix;
  return result;
}

std::string Counted(const char* counted) {
  return std::string(counted + 1, static_cast<unsigned char>(counted[0]));
}

std::string DateText(const platform::LocalTime& t) {
  char date[16];
  FormatLogDate(t, date);
  return Counted(date);
}
std::string TimeText(const platform::LocalTime& t) {
  char time[16];
  FormatLogTime(t, time);
  return Counted(time);
}

TEST(LogDateTime, Formats) {
  const platform::LocalTime evening{2005, 3, 7, 21, 5, 3};
  EXPECT_EQ(DateText(evening), "3/7/05");
  EXPECT_EQ(TimeText(evening), "9:05:03 PM");
  char out[16];
  FormatLogDate(evening, out);
  EXPECT_EQ(out[0], 6);
  EXPECT_EQ(out[7], '\0');

  EXPECT_EQ(DateText({2010, 12, 25, 0, 0, 0}), "12/25/10");
  EXPECT_EQ(DateText({2000, 1, 1, 0, 0, 0}), "1/1/00");
  EXPECT_EQ(TimeText({2026, 1, 1, 0, 0, 0}), "12:00:00 AM");   // midnight
  EXPECT_EQ(TimeText({2026, 1, 1, 12, 0, 0}), "12:00:00 PM");  // noon
  EXPECT_EQ(TimeText({2026, 1, 1, 11, 59, 59}), "11:59:59 AM");
  EXPECT_EQ(TimeText({2026, 1, 1, 13, 1, 2}), "1:01:02 PM");
  EXPECT_EQ(TimeText({2026, 1, 1, 23, 10, 0}), "11:10:00 PM");
}

TEST(LogUnits, TextsAndCode) {
  EXPECT_EQ(std::string(GetLogUnitText(1)), "\xB5m");
  EXPECT_EQ(static_cast<unsigned char>(GetLogUnitText(1)[0]), 0xB5);
  EXPECT_EQ(std::string(GetLogUnitText(4)), "m ");
  EXPECT_EQ(std::string(GetLogUnitText(10)), "nm");
  // Outside the table: the unknown unit instead of reading past it.
  EXPECT_EQ(std::string(GetLogUnitText(11)), "xx");
  EXPECT_EQ(std::string(GetLogUnitText(-1)), "xx");

  ParameterBlock block{};
  block.params[kParamCalibrationUnit] = 2.9f;
  block.params[kParamCalibrationSize] = 0.25f;
  EXPECT_EQ(GetLogUnitCode(&block), 2);
  block.params[kParamCalibrationSize] = 0.0f;
  EXPECT_EQ(GetLogUnitCode(&block), 6);  // no pixel size
  block.params[kParamCalibrationSize] = 1.0f;
  block.params[kParamCalibrationUnit] = 0.0f;
  EXPECT_EQ(GetLogUnitCode(&block), 6);  // no unit
  block.params[kParamCalibrationUnit] = std::nanf("");
  EXPECT_EQ(std::string(GetLogUnitText(GetLogUnitCode(&block))), "xx");
  block.params[kParamCalibrationUnit] = 3e30f;
  EXPECT_EQ(std::string(GetLogUnitText(GetLogUnitCode(&block))), "xx");
}

class LogRuleTest : public ::testing::Test {
 protected:
  void Rules(const std::string& bytes) { root_.Write(kRuleName, bytes); }
  testsupport::TempRoot root_;
};

TEST_F(LogRuleTest, MissingRuleFileReportsTheOpen) {
  EXPECT_EQ(Find("Rads", 2).status, fnfErr);
}

TEST_F(LogRuleTest, LabelAndPlainSuffix) {
  Rules(Rule("Cnt ", "Count", "px") + Rule("Rads", "Radius", "cur1"));
  Lookup found = Find("Cnt ", 2);
  EXPECT_EQ(found.status, noErr);
  EXPECT_EQ(found.label, "Count");
  EXPECT_EQ(found.suffix, "px");
  found = Find("Rads", 2);  // a record after the first
  EXPECT_EQ(found.status, noErr);
  EXPECT_EQ(found.label, "Radius");
  EXPECT_EQ(found.suffix, "(mm)");
}

TEST_F(LogRuleTest, MissingRecordIsReadToTheEnd) {
  Rules(Rule("Cnt ", "Count", "px") + Rule("Rads", "Radius", "cur1"));
  EXPECT_EQ(Find("Area", 2).status, fnfErr);
  // Codes compare on all four bytes.
  EXPECT_EQ(Find("Cnt_", 2).status, fnfErr);
}

TEST_F(LogRuleTest, UnitSuffixCodes) {
  Rules(Rule("Len1", "Length", "cur1") + Rule("Len2", "Area", "cur2") +
        Rule("Len3", "Volume", "cur3") + Rule("Inv ", "Density", "cur-"));
  EXPECT_EQ(Find("Len1", 2).suffix, "(mm)");
  EXPECT_EQ(Find("Len2", 2).suffix, "(mm^2)");
  EXPECT_EQ(Find("Len2", 2).suffix.size(), 6u);
  EXPECT_EQ(Find("Len3", 3).suffix, "(cm^3)");
  EXPECT_EQ(Find("Inv ", 7).suffix, "(ft^-1)");
  // Unit 4 keeps its trailing space; unit 1 is the micro sign byte.
  EXPECT_EQ(Find("Len1", 4).suffix, "(m )");
  const std::string micro = Find("Len1", 1).suffix;
  ASSERT_EQ(micro.size(), 4u);
  EXPECT_EQ(static_cast<unsigned char>(micro[1]), 0xB5);
  EXPECT_EQ(micro, "(\xB5m)");
  // Only the first four characters form the code.
  Rules(Rule("Len1", "Length", "cur1abc"));
  EXPECT_EQ(Find("Len1", 5).suffix, "(km)");
}

TEST_F(LogRuleTest, EmptySuffixCodes) {
  Rules(Rule("Blan", "Blank", "blan") + Rule("None", "Nothing", "none"));
  Lookup found = Find("Blan", 2);
  EXPECT_EQ(found.status, noErr);
  EXPECT_EQ(found.label, "Blank");
  EXPECT_EQ(found.suffix, "");
  found = Find("None", 2);
  EXPECT_EQ(found.status, noErr);
  EXPECT_EQ(found.label, "Nothing");
  EXPECT_EQ(found.suffix, "");
}

// An "omit" record ends the search: a later record for the same key is not seen.
TEST_F(LogRuleTest, OmitCountsAsNotFound) {
  Rules(Rule("Rads", "Radius", "omit") + Rule("Rads", "Radius", "cur1"));
  EXPECT_EQ(Find("Rads", 2).status, fnfErr);
  Rules(Rule("Rads", "Radius", "cur1") + Rule("Rads", "Radius", "omit"));
  EXPECT_EQ(Find("Rads", 2).status, noErr);
}

TEST_F(LogRuleTest, CrlfLabelIsDateAndTime) {
  Rules(Rule("crlf", "ignored", "crlf"));
  const platform::LocalTime before = platform::OsGetLocalTime();
  const Lookup found = Find("crlf", 2);
  const platform::LocalTime after = platform::OsGetLocalTime();
  EXPECT_EQ(found.status, noErr);
  const std::string first = DateText(before) + " " + TimeText(before);
  const std::string second = DateText(after) + " " + TimeText(after);
  EXPECT_TRUE(found.label == first || found.label == second) << found.label;
  EXPECT_EQ(found.suffix, "crlf");
}

TEST_F(LogRuleTest, LabelWithoutTerminatorRunsIntoSuffix) {
  std::string record = "Long ";
  record += std::string(43, 'L');
  record += "tail_cur1______";
  record += '_';
  ASSERT_EQ(record.size(), 64u);
  Rules(record);
  const Lookup found = Find("Long", 2);
  EXPECT_EQ(found.status, noErr);
  EXPECT_EQ(found.label, std::string(43, 'L') + "tail");
  EXPECT_EQ(found.suffix, "tail");
}

// The last byte ends the suffix even when no "_" does.
TEST_F(LogRuleTest, LastByteEndsTheSuffix) {
  std::string record = Rule("Full", "Label", "");
  record.replace(48, 16, "ABCDEFGHIJKLMNOP");
  Rules(record);
  EXPECT_EQ(Find("Full", 2).suffix, "ABCDEFGHIJKLMNO");
}

// A trailing part record (the file's length is no multiple of 64) is compared
// on its own bytes; the record before it leaks nothing into its texts.
TEST_F(LogRuleTest, TrailingPartRecord) {
  const std::string whole = Rule("Prev", "PreviousLabelIsLong", "cur2");
  Rules(whole + "Part Short");
  Lookup found = Find("Part", 2);
  EXPECT_EQ(found.status, noErr);
  EXPECT_EQ(found.label, "Short");
  EXPECT_EQ(found.suffix, "");
  // Its own suffix still counts when the part reaches it.
  Rules(whole + Rule("Part", "Short", "cur1").substr(0, 52));
  found = Find("Part", 2);
  EXPECT_EQ(found.label, "Short");
  EXPECT_EQ(found.suffix, "(mm)");
  // Fewer than four bytes name no key.
  Rules(whole + "Pa");
  EXPECT_EQ(Find("Pa__", 2).status, fnfErr);
  EXPECT_EQ(Find("Prev", 2).status, noErr);
}

TEST_F(LogRuleTest, RuleFileFollowsTheRedirect) {
  std::filesystem::create_directory(root_.File("stores"));
  root_.Write("TRUXPath.TXT", std::string("c:\\stores\\"));
  Rules(Rule("Rads", "AtRoot", "px"));
  root_.Write(std::string("stores/") + kRuleName, Rule("Rads", "Redirected", "px"));
  EXPECT_EQ(Find("Rads", 2).label, "Redirected");
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
  void Saved(const char* path) {
    document_.fileSpec = path;
    record_.documentInfo = &document_;
  }

  // The closing entry of a run, with the time read around it.
  void ExpectClosing(const std::string& text, const std::string& path,
                     const platform::LocalTime& before, const platform::LocalTime& after) {
    const std::string first = path + "\t" + DateText(before) + " " + TimeText(before) + "\r\n";
    const std::string second = path + "\t" + DateText(after) + " " + TimeText(after) + "\r\n";
    ASSERT_GE(text.size(), first.size());
    const std::string end = text.substr(text.size() - first.size());
    EXPECT_TRUE(end == first || end == second) << text;
  }

  testsupport::TempRoot root_;
  FilterRecord record_{};
  ReadImageDocumentDesc document_{};
  ParameterBlock block_{};
};

// The list: one input, then outputs of every kind.
void DeclareOutputs(logtest::List& list) {
  DescriptorList l = list.get();
  AddInputParameter(l, FourCC("EFMd"), FourCC("rB42"), 4, 6, 5);
  AddInputParameter(l, FourCC("Rads"), FourCC("doub"), 0, 0, std::bit_cast<std::uint32_t>(2.5f));
  AddInputParameter(l, FourCC("Flag"), FourCC("bool"), 0, 0, 1);
  AddInputParameter(l, FourCC("Hide"), FourCC("long"), 0, 0, 99);
  AddInputParameter(l, FourCC("Gone"), FourCC("long"), 0, 0, 98);
  const std::int32_t text = AddInputParameter(l, FourCC("Name"), FourCC("Pth "), 0, 0, 0);
  SetEntryText(l, text, "one.tif");
  AddInputParameter(l, FourCC("Path"), FourCC("Pth "), 0, 0, 0);
  AddInputParameter(l, FourCC("Cnt "), FourCC("long"), 0, 0, std::uint32_t(-12));
  AddInputParameter(l, FourCC("Mode"), FourCC("rB42"), 4, 6, 6);
  AddInputParameter(l, FourCC("crlf"), FourCC("long"), 0, 0, 0);
  list.SplitOutputs(GetInputCount(l) - 1);
}

std::string FullRules() {
  return Rule("Rads", "Radius", "cur2") + Rule("Flag", "Sharp", "") +
         Rule("Hide", "Hidden", "omit") + Rule("Name", "", "none") + Rule("Path", "File", "blan") +
         Rule("Cnt ", "Count", "px") + Rule("Mode", "Op", "") + Rule("crlf", "", "crlf") +
         Rule("EFMd", "Input", "");
}

TEST_F(ParameterLogTest, MissingLogIsCreatedWithTheLine) {
  root_.Write(kRuleName, FullRules());
  LogTo("c:\\plog.txt");
  logtest::List list;
  DeclareOutputs(list);

  const platform::LocalTime before = platform::OsGetLocalTime();
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  const platform::LocalTime after = platform::OsGetLocalTime();

  const std::string text = logtest::ReadText(root_, kLogName);
  const std::string outputs =
      "Radius\t2.50000\t(mm^2)\t"
      "Sharp\tTRUE\t"
      "one.tif\t"
      "File\tNULL\t"
      "Count\t-12\tpx\t"
      "Op\t6\t";
  EXPECT_EQ(text.substr(0, outputs.size()), outputs);
  ExpectClosing(text, "<not_saved>", before, after);
  // Exactly one line: outputs, path and time.
  EXPECT_EQ(text.find("\r\n"), text.size() - 2);

  // A second run appends a second line.
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  const std::string twice = logtest::ReadText(root_, kLogName);
  EXPECT_EQ(twice.substr(0, text.size()), text);
  EXPECT_EQ(twice.substr(text.size(), outputs.size()), outputs);
}

TEST_F(ParameterLogTest, SavedDocumentGivesItsPath) {
  root_.Write(kRuleName, Rule("crlf", "", "crlf"));
  root_.Write(kLogName, std::string("old\r\n"));
  LogTo("c:\\plog.txt");
  Saved("C:\\pictures\\stack 01.tif");
  logtest::List list;
  AddInputParameter(list.get(), FourCC("crlf"), FourCC("long"), 0, 0, 0);
  list.SplitOutputs(1);
  const platform::LocalTime before = platform::OsGetLocalTime();
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  const platform::LocalTime after = platform::OsGetLocalTime();
  const std::string text = logtest::ReadText(root_, kLogName);
  // The earlier line, then the path and the time alone.
  const std::string path = "C:\\pictures\\stack 01.tif";
  EXPECT_TRUE(text ==
                  "old\r\n" + path + "\t" + DateText(before) + " " + TimeText(before) + "\r\n" ||
              text == "old\r\n" + path + "\t" + DateText(after) + " " + TimeText(after) + "\r\n")
      << text;
}

TEST_F(ParameterLogTest, EmptyDocumentPathIsNotSaved) {
  root_.Write(kRuleName, Rule("crlf", "", "crlf"));
  LogTo("c:\\plog.txt");
  Saved("");
  logtest::List list;
  AddInputParameter(list.get(), FourCC("crlf"), FourCC("long"), 0, 0, 0);
  list.SplitOutputs(1);
  const platform::LocalTime before = platform::OsGetLocalTime();
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  const platform::LocalTime after = platform::OsGetLocalTime();
  ExpectClosing(logtest::ReadText(root_, kLogName), "<not_saved>", before, after);
}

TEST_F(ParameterLogTest, EmptySlotOpensNothing) {
  root_.Write(kRuleName, FullRules());
  logtest::List list;
  DeclareOutputs(list);
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);  // slot absent
  LogTo("");
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);  // slot empty
  EXPECT_FALSE(root_.Exists(kLogName));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_.dir()), {}), 1);
}

// This filter's own list: inputs only, so nothing is logged and no file made.
TEST_F(ParameterLogTest, ListWithoutOutputsLogsNothing) {
  root_.Write(kRuleName, FullRules());
  LogTo("c:\\plog.txt");
  logtest::List list;
  AddInputParameter(list.get(), FourCC("EFMd"), FourCC("rB42"), 4, 6, 5);
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  EXPECT_FALSE(root_.Exists(kLogName));
}

// Without a rule file every output is dropped: the log is made but stays empty.
TEST_F(ParameterLogTest, NoRulesNoEntries) {
  LogTo("c:\\plog.txt");
  logtest::List list;
  DeclareOutputs(list);
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  EXPECT_TRUE(root_.Exists(kLogName));
  EXPECT_EQ(logtest::ReadText(root_, kLogName), "");
}

// The log's path is used as given: the redirect moves the rule file only.
TEST_F(ParameterLogTest, LogPathIsNotRedirected) {
  std::filesystem::create_directory(root_.File("stores"));
  root_.Write("TRUXPath.TXT", std::string("c:\\stores\\"));
  root_.Write(std::string("stores/") + kRuleName, Rule("Cnt ", "Count", "px"));
  LogTo("c:\\plog.txt");
  logtest::List list;
  AddInputParameter(list.get(), FourCC("Cnt "), FourCC("long"), 0, 0, 7);
  list.SplitOutputs(1);
  EXPECT_EQ(WriteParameterLog(&block_, list.get()), noErr);
  EXPECT_EQ(logtest::ReadText(root_, kLogName), "Count\t7\tpx\t");
  EXPECT_FALSE(root_.Exists(std::string("stores/") + kLogName));
}

TEST_F(ParameterLogTest, UnreachableLogIsSkipped) {
  root_.Write(kRuleName, FullRules());
  LogTo("c:\\no such folder\\plog.txt");
  logtest::List list;
  DeclareOutputs(list);
  EXPECT_NE(WriteParameterLog(&block_, list.get()), noErr);
  EXPECT_FALSE(root_.Exists("no such folder"));
}

}  // namespace
