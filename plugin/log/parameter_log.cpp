// The rule-driven parameter log and its rule lookup.
#include "plugin/log/parameter_log.h"

#include <cmath>
#include <cstring>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/log/text_writer.h"
#include "plugin/params/parameter_block.h"
#include "plugin/storage/file.h"
#include "plugin/storage/store.h"

namespace {

constexpr std::int32_t kDefaultUnitCode = 6;  // inches
constexpr char kNotSaved[] = "<not_saved>";
// The output whose entry closes the line with the document path and the time.
constexpr std::uint32_t kClosingKey = FourCC("crlf");

// Index = unit code. "\xB5" is the micro sign of the Windows Latin-1 code page.
constexpr const char* kUnitTexts[] = {"xx", "\xB5m", "mm", "cm", "m ", "km",
                                      "in", "ft",    "mi", "th", "nm"};
constexpr std::int32_t kUnitCount = sizeof kUnitTexts / sizeof kUnitTexts[0];

// Appends the decimal digits of a non-negative value, zero-padded to `width`,
// to the counted string in `out` (a NUL follows).
void AppendNumber(char* out, int value, int width) {
  char digits[12];
  int n = 0;
  unsigned magnitude = value < 0 ? 0u : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0 || n < width);
  int length = static_cast<unsigned char>(out[0]);
  while (n > 0) out[1 + length++] = digits[--n];
  out[0] = static_cast<char>(length);
  out[1 + length] = '\0';
}

void AppendText(char* out, const char* text) {
  int length = static_cast<unsigned char>(out[0]);
  while (*text != '\0') out[1 + length++] = *text++;
  out[0] = static_cast<char>(length);
  out[1 + length] = '\0';
}

// "(" unit power ")" into the suffix buffer.
void MakeUnitSuffix(char* suffix, std::int32_t unitCode, const char* power) {
  char text[16] = "(";
  JoinStrings(text, GetLogUnitText(unitCode), text, sizeof text);
  JoinStrings(text, power, text, sizeof text);
  JoinStrings(text, ")", text, sizeof text);
  CopyBounded(text, suffix, kStringSize);
}

// The label of a "crlf" rule: the local date, a space and the time.
void MakeDateTimeLabel(char* label) {
  const platform::LocalTime now = platform::OsGetLocalTime();
  char date[16];
  char time[16];
  FormatLogDate(now, date);
  FormatLogTime(now, time);
  JoinStrings(date + 1, " ", label, kStringSize);
  JoinStrings(label, time + 1, label, kStringSize);
}

// Reads the next record. False at the end of the file or on a failed read.
bool ReadRuleRecord(FileRef file, char* record) {
  std::int32_t count = kLogRuleRecordSize;
  if (ReadDataFile(file, &count, record) != noErr || count <= 0) return false;
  // A trailing part record is compared on its own bytes: what it lacks counts
  // as padding, so no bytes of the record before it can leak into its texts.
  // Without its whole code it cannot name a key.
  if (count < kLogRuleRecordSize) {
    if (count < 4) return false;
    std::memset(record + count, '_', std::size_t(kLogRuleRecordSize - count));
  }
  return true;
}

// One output's part of the line: label, value and suffix, each with a tab.
void WriteOutput(FileRef file, DescriptorList list, std::int32_t index, const char* label,
                 const char* suffix) {
  if (label[0] != '\0') WriteText(file, label, true, false);
  const std::uint32_t type = GetEntryType(list, index);
  if (type == FourCC("Pth ")) {
    const char* text = GetEntryText(list, index);
    WriteText(file, text != nullptr ? text : "NULL", true, false);
  } else if (type == FourCC("bool")) {
    WriteText(file, GetEntryBool(list, index) != 0 ? "TRUE" : "FALSE", true, false);
  } else if (type == FourCC("doub")) {
    WriteReal(file, GetEntryFloat(list, index), true, false);
  } else {
    WriteInteger(file, GetEntryLong(list, index), true, false);
  }
  if (suffix[0] != '\0') WriteText(file, suffix, true, false);
}

// The closing entry: the document's path (or "<not_saved>") and the label,
// which a "crlf" rule has made the date and time, then the line end.
void WriteClosing(FileRef file, ParameterBlock* block, const char* label) {
  char* path = NewString(kStringSize);
  StringGuard guard(path);
  const bool saved =
      path != nullptr && GetDocumentPath(block, path, kStringSize) != fnfErr && path[0] != '\0';
  WriteText(file, saved ? path : kNotSaved, true, false);
  WriteText(file, label, false, true);
}

// Opens the log for appending, creating it when it does not exist yet.
OSErr OpenParameterLog(const char* path, FileRef* file) {
  OSErr status = OpenDataFileForAppend(path, file);
  if (status != fnfErr) return status;
  if (CreateDataFile(path, FourCC("ttxt"), FourCC("TEXT")) != noErr) {
    DeleteDataFile(path);
    CreateDataFile(path, FourCC("ttxt"), FourCC("TEXT"));
  }
  status = OpenDataFile(path, file);
  if (status != noErr) *file = platform::kInvalidFile;
  return status;
}

}  // namespace

std::int32_t GetLogUnitCode(const ParameterBlock* block) {
  if (block == nullptr) return kDefaultUnitCode;
  const float unit = block->params[kParamCalibrationUnit];
  // Anything that is no unit code at all (not a number, or beyond any integer)
  // stays outside the table rather than making the conversion undefined.
  std::int32_t code = -1;
  if (std::isfinite(unit) && std::fabs(unit) < 1e9f) code = static_cast<std::int32_t>(unit);
  if (code == 0 || block->params[kParamCalibrationSize] == 0) return kDefaultUnitCode;
  return code;
}

const char* GetLogUnitText(std::int32_t unitCode) {
  if (unitCode < 0 || unitCode >= kUnitCount) return kUnitTexts[0];
  return kUnitTexts[unitCode];
}

void FormatLogDate(const platform::LocalTime& time, char* out) {
  out[0] = 0;
  out[1] = '\0';
  AppendNumber(out, time.month, 1);
  AppendText(out, "/");
  AppendNumber(out, time.day, 1);
  AppendText(out, "/");
  AppendNumber(out, ((time.year % 100) + 100) % 100, 2);
}

void FormatLogTime(const platform::LocalTime& time, char* out) {
  int hour = time.hour % 12;
  if (hour == 0) hour = 12;
  out[0] = 0;
  out[1] = '\0';
  AppendNumber(out, hour, 1);
  AppendText(out, ":");
  AppendNumber(out, time.minute, 2);
  AppendText(out, ":");
  AppendNumber(out, time.second, 2);
  AppendText(out, time.hour < 12 ? " AM" : " PM");
}

OSErr LookupLogRule(std::uint32_t key, char* label, char* suffix, std::int32_t unitCode) {
  char path[kStringSize];
  CopyBounded(kLogRulePath, path, kStringSize);
  // Reading the unredirected path would pick up some other rule file.
  if (!ApplyPathRedirect(path)) return bdNamErr;

  FileGuard rules;
  if (OSErr status = OpenDataFile(path, &rules.file); status != noErr) {
    rules.file = platform::kInvalidFile;
    return status;
  }
  // One byte more than a record so that the texts always end inside the buffer.
  char record[kLogRuleRecordSize + 1] = {};
  for (;;) {
    if (!ReadRuleRecord(rules.file, record)) return fnfErr;
    if (TextToCode(record) == key) break;
  }

  record[kLogRuleRecordSize - 1] = '\0';
  for (int i = 0; i < kLogRuleRecordSize; ++i) {
    if (record[i] == '_') record[i] = '\0';
  }
  CopyBounded(record + kLogRuleLabelOffset, label, kLogRuleRecordSize);
  CopyBounded(record + kLogRuleSuffixOffset, suffix, kLogRuleRecordSize);

  if (std::strncmp(suffix, "cur1", 4) == 0) {
    MakeUnitSuffix(suffix, unitCode, "");
  } else if (std::strncmp(suffix, "cur2", 4) == 0) {
    MakeUnitSuffix(suffix, unitCode, "^2");
  } else if (std::strncmp(suffix, "cur3", 4) == 0) {
    MakeUnitSuffix(suffix, unitCode, "^3");
  } else if (std::strncmp(suffix, "cur-", 4) == 0) {
    MakeUnitSuffix(suffix, unitCode, "^-1");
  } else if (std::strncmp(suffix, "omit", 4) == 0) {
    return fnfErr;
  } else if (std::strncmp(suffix, "blan", 4) == 0 || std::strncmp(suffix, "none", 4) == 0) {
    suffix[0] = '\0';
  } else if (std::strncmp(suffix, "crlf", 4) == 0) {
    MakeDateTimeLabel(label);
  }
  return noErr;
}

OSErr WriteParameterLog(ParameterBlock* block, DescriptorList list) {
  if (block == nullptr || list == nullptr) return noErr;
  const std::int32_t unitCode = GetLogUnitCode(block);
  const std::int32_t outputs = GetOutputCount(list);
  const std::int32_t inputs = GetInputCount(list);
  const char* logPath = GetStringSlot(block, kSlotParameterLogPath);
  if (logPath == nullptr || logPath[0] == '\0' || outputs <= 0) return noErr;

  FileRef file = platform::kInvalidFile;
  if (OSErr status = OpenParameterLog(logPath, &file); status != noErr) return status;

  char* label = NewString(kStringSize);
  StringGuard labelGuard(label);
  char* suffix = NewString(kStringSize);
  StringGuard suffixGuard(suffix);
  if (label != nullptr && suffix != nullptr) {
    for (std::int32_t index = inputs; index < inputs + outputs; ++index) {
      const std::uint32_t key = GetEntryKey(list, index);
      if (LookupLogRule(key, label, suffix, unitCode) != noErr) continue;
      if (key == kClosingKey) {
        WriteClosing(file, block, label);
      } else {
        WriteOutput(file, list, index, label, suffix);
      }
    }
  }
  return CloseDataFile(file);
}
