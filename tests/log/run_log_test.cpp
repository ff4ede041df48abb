// The run log record, byte for byte.
#include "plugin/log/run_log.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "log_test_support.h"

namespace {

const char kLogName[] = "TRUXlog.txt";

const char kAddRecord[] =
    "-----------------------------\r\n"
    "Signature = BFcB\tWRITEBACK\tNo Mask Image\r\n"
    "# Inputs = 1\r\n"
    "0: Type = RADIO/rB42\tKey = EFMd\tMin = 4\tMax = 6\tValue = 5\r\n"
    "Result = 0\r\n";

// Each run appends one record to what the log holds. The log is on its own
// path: the redirect file that moves the stores does not move it.
TEST(RunLog, RunsAppendToTheExistingLogOnly) {
  testsupport::TempRoot root;
  logtest::List list;
  AddInputParameter(list.get(), FourCC("EFMd"), FourCC("rB42"), 4, 6, 5);
  // No log: neither written nor created.
  EXPECT_EQ(WriteRunLog(0, list.get()), fnfErr);
  EXPECT_TRUE(std::filesystem::is_empty(root.dir()));

  std::filesystem::create_directory(root.File("elsewhere"));
  root.Write("TRUXPath.TXT", std::string("c:\\elsewhere\\"));
  root.Write("elsewhere/TRUXlog.txt", std::string());
  root.Write(kLogName, std::string("earlier\r\n"));
  EXPECT_EQ(WriteRunLog(0, list.get()), noErr);
  EXPECT_EQ(WriteRunLog(0, list.get()), noErr);
  EXPECT_EQ(logtest::ReadText(root, kLogName),
            std::string("earlier\r\n") + kAddRecord + kAddRecord);
  EXPECT_EQ(logtest::ReadText(root, "elsewhere/TRUXlog.txt"), "");

  // A log held open elsewhere is skipped without harm.
  logtest::OpenFile holder(root, kLogName);
  EXPECT_NE(WriteRunLog(0, list.get()), noErr);
  holder.Close();
  EXPECT_EQ(logtest::ReadText(root, kLogName), "");
}

TEST(RunLog, EveryTypeAndOutputsAndFlags) {
  testsupport::TempRoot root;
  root.Write(kLogName, std::string());
  logtest::List list;
  InitDescriptorList(list.get(), FourCC("udef"), 1, 1);
  AddInputParameter(list.get(), FourCC("Rads"), FourCC("doub"), std::bit_cast<std::uint32_t>(0.5f),
                    std::bit_cast<std::uint32_t>(100.0f), std::bit_cast<std::uint32_t>(-2.5f));
  AddInputParameter(list.get(), FourCC("Cnt "), FourCC("long"), std::uint32_t(-10), 20,
                    std::uint32_t(-7));
  AddInputParameter(list.get(), FourCC("Flag"), FourCC("bool"), 0, 0, 0x100);
  AddInputParameter(list.get(), FourCC("Off "), FourCC("bool"), 0, 0, 0);
  // Only the first 255 characters of a text are logged.
  std::string text;
  for (int i = 0; i < 300; ++i) text += char('a' + i % 26);
  SetEntryText(list.get(), AddInputParameter(list.get(), FourCC("Name"), FourCC("Pth "), 0, 0, 0),
               text.c_str());
  AddInputParameter(list.get(), FourCC("None"), FourCC("Pth "), 0, 0, 0);
  AddInputParameter(list.get(), FourCC("Area"), FourCC("long"), 0, 1000, 640);
  list.SplitOutputs(1);

  EXPECT_EQ(WriteRunLog(-43, list.get()), noErr);
  EXPECT_EQ(logtest::ReadText(root, kLogName),
            "-----------------------------\r\n"
            "Signature = udef\tNo Writeback\tNEEDS MASK IMAGE\r\n"
            "# Inputs = 6\r\n"
            "0: Type = FLOAT\tKey = Rads\tMin = 0.50000\tMax = 100.000\tValue = -2.50000\r\n"
            "1: Type = LONG\tKey = Cnt \tMin = -10\tMax = 20\tValue = -7\r\n"
            "2: Type = BOOLEAN\tKey = Flag\tValue = TRUE\r\n"
            "3: Type = BOOLEAN\tKey = Off \tValue = FALSE\r\n"
            "4: Type = STRING\tKey = Name\tValue = " +
                text.substr(0, 255) +
                "\r\n"
                "5: Type = STRING\tKey = None\tValue = NULL\r\n"
                "# Outputs = 1\r\n"
                "6: Type = LONG\tKey = Area\tMin = 0\tMax = 1000\tValue = 640\r\n"
                "Result = -43\r\n");

  // A list without entries has neither section.
  root.Write(kLogName, std::string());
  logtest::List empty;
  EXPECT_EQ(WriteRunLog(-128, empty.get()), noErr);
  EXPECT_EQ(logtest::ReadText(root, kLogName),
            "-----------------------------\r\n"
            "Signature = BFcB\tWRITEBACK\tNo Mask Image\r\n"
            "Result = -128\r\n");
}

}  // namespace
