// The run log record, written piece by piece.
#include "plugin/log/run_log.h"

#include <bit>

#include "plugin/core/strings.h"
#include "plugin/log/text_writer.h"
#include "plugin/storage/file.h"

namespace {

// Only the first 255 characters of a text parameter are logged.
constexpr int kLoggedTextSize = 256;

void WriteCode(FileRef file, std::uint32_t code, bool tab) {
  char text[6];
  CodeToText(code, text);
  WriteCountedText(file, text, tab, false);
}

void WriteParameterLine(FileRef file, DescriptorList list, std::int32_t index) {
  const std::uint32_t key = GetEntryKey(list, index);
  const std::uint32_t type = GetEntryType(list, index);
  WriteInteger(file, index, false, false);
  WriteText(file, ": ", false, false);

  auto write_key = [&] {
    WriteText(file, "Key = ", false, false);
    WriteCode(file, key, true);
  };
  auto write_integer_range = [&] {
    WriteText(file, "Min = ", false, false);
    WriteInteger(file, static_cast<std::int32_t>(GetEntryMinimum(list, index)), true, false);
    WriteText(file, "Max = ", false, false);
    WriteInteger(file, static_cast<std::int32_t>(GetEntryMaximum(list, index)), true, false);
    WriteText(file, "Value = ", false, false);
    WriteInteger(file, GetEntryLong(list, index), false, true);
  };

  if (type == FourCC("doub")) {
    WriteText(file, "Type = FLOAT", true, false);
    write_key();
    WriteText(file, "Min = ", false, false);
    WriteReal(file, std::bit_cast<float>(GetEntryMinimum(list, index)), true, false);
    WriteText(file, "Max = ", false, false);
    WriteReal(file, std::bit_cast<float>(GetEntryMaximum(list, index)), true, false);
    WriteText(file, "Value = ", false, false);
    WriteReal(file, GetEntryFloat(list, index), false, true);
  } else if (type == FourCC("long")) {
    WriteText(file, "Type = LONG", true, false);
    write_key();
    write_integer_range();
  } else if (type == FourCC("bool")) {
    WriteText(file, "Type = BOOLEAN", true, false);
    write_key();
    WriteText(file, GetEntryBool(list, index) != 0 ? "Value = TRUE" : "Value = FALSE", false, true);
  } else if (type == FourCC("Pth ")) {
    WriteText(file, "Type = STRING", true, false);
    write_key();
    WriteText(file, "Value = ", false, false);
    const char* text = GetEntryText(list, index);
    if (text == nullptr) {
      WriteText(file, "NULL", false, true);
    } else {
      char cut[kLoggedTextSize];
      CopyBounded(text, cut, kLoggedTextSize);
      WriteText(file, cut, false, true);
    }
  } else {
    // Enumerations: the type names the enumeration.
    WriteText(file, "Type = RADIO/", false, false);
    WriteCode(file, type, true);
    write_key();
    write_integer_range();
  }
}

}  // namespace

OSErr WriteRunLog(std::int16_t result, DescriptorList list) {
  if (list == nullptr) return filterBadParameters;  // nothing to describe
  const std::int32_t inputs = GetInputCount(list);
  const std::int32_t outputs = GetOutputCount(list);
  const bool needsMask = GetNeedsMaskFlag(list) != 0;
  const bool noWriteback = GetNoWritebackFlag(list) != 0;
  const std::uint32_t signature = GetListSignature(list);

  FileRef file = platform::kInvalidFile;
  // Opens an existing log only: a missing log means the log is switched off.
  if (OSErr status = OpenDataFileForAppend(kRunLogPath, &file); status != noErr) return status;

  WriteText(file, "-----------------------------", false, true);
  WriteText(file, "Signature = ", false, false);
  WriteCode(file, signature, true);
  WriteText(file, noWriteback ? "No Writeback" : "WRITEBACK", true, false);
  WriteText(file, needsMask ? "NEEDS MASK IMAGE" : "No Mask Image", false, true);
  if (inputs > 0) {
    WriteText(file, "# Inputs = ", false, false);
    WriteInteger(file, inputs, false, true);
    for (std::int32_t i = 0; i < inputs; ++i) WriteParameterLine(file, list, i);
  }
  if (outputs > 0) {
    WriteText(file, "# Outputs = ", false, false);
    WriteInteger(file, outputs, false, true);
    for (std::int32_t i = inputs; i < inputs + outputs; ++i) WriteParameterLine(file, list, i);
  }
  WriteText(file, "Result = ", false, false);
  WriteInteger(file, result, false, true);
  return CloseDataFile(file);
}
