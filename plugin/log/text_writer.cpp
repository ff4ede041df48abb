// Text pieces for the logs and the framework's number texts.
#include "plugin/log/text_writer.h"

#include <cstring>

namespace {

const char kTab[] = "\t";
const char kLineEnd[] = "\r\n";

OSErr WriteBytes(FileRef file, const char* bytes, std::int32_t count) {
  if (count <= 0) return noErr;
  std::int32_t written = count;
  return WriteDataFile(file, &written, bytes);
}

// The tab and line end that may follow a piece, each a write of its own.
OSErr WriteEnding(FileRef file, bool tab, bool lineEnd) {
  if (tab) {
    if (OSErr status = WriteBytes(file, kTab, 1); status != noErr) return status;
  }
  if (lineEnd) return WriteBytes(file, kLineEnd, 2);
  return noErr;
}

}  // namespace

OSErr WriteText(FileRef file, const char* text, bool tab, bool lineEnd) {
  if (text != nullptr) {
    const auto length = static_cast<std::int32_t>(std::strlen(text));
    if (OSErr status = WriteBytes(file, text, length); status != noErr) return status;
  }
  return WriteEnding(file, tab, lineEnd);
}

OSErr WriteCountedText(FileRef file, const char* counted, bool tab, bool lineEnd) {
  if (counted != nullptr) {
    const std::int32_t length = static_cast<unsigned char>(counted[0]);
    if (OSErr status = WriteBytes(file, counted + 1, length); status != noErr) return status;
  }
  return WriteEnding(file, tab, lineEnd);
}

void WriteInteger(FileRef file, std::int32_t value, bool tab, bool lineEnd) {
  // Digits from the magnitude in unsigned arithmetic, so that -2147483648 has
  // one too.
  char digits[12];
  int n = 0;
  std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  char text[12];
  int length = 0;
  if (value < 0) text[length++] = '-';
  while (n > 0) text[length++] = digits[--n];
  text[length] = '\0';
  WriteText(file, text, tab, lineEnd);
}

void WriteReal(FileRef file, float value, bool tab, bool lineEnd) {
  char text[logtext::kRealTextSize];
  FormatReal(value, text);
  CountedToTerminated(text);
  WriteText(file, text, tab, lineEnd);
}

void FormatReal(float value, char* out) {
  logtext::FormatRealAs<long double>(value, out);
}

void CodeToText(std::uint32_t code, char* out) {
  out[0] = 4;
  for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
  out[5] = '\0';
}

std::uint32_t TextToCode(const char* text) {
  std::uint32_t code = 0;
  for (int i = 0; i < 4; ++i) code = (code << 8) | static_cast<unsigned char>(text[i]);
  return code;
}

void CountedToTerminated(char* buffer) {
  const std::size_t length = static_cast<unsigned char>(buffer[0]);
  std::memmove(buffer, buffer + 1, length);
  buffer[length] = '\0';
}
