// Plain-text pieces for the logs: a string, an integer, a real number or a
// 4-character code, each optionally followed by a tab and then by a line end
// (CR LF). Also the framework's real-number text, the code <-> text conversions
// and the counted (length byte first) <-> terminated string conversions.
//
// Every piece is one small write of its own; the logs are short and a write
// that fails only stops the rest of its own piece.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/log/format_real.h"
#include "plugin/storage/file.h"

// Writes the string up to its NUL (nothing for null), then a tab and a line end
// as asked. The first failing write ends the call; its status is returned.
OSErr WriteText(FileRef file, const char* text, bool tab, bool lineEnd);
// The same for a counted string (length byte 0 to 255, then the characters).
OSErr WriteCountedText(FileRef file, const char* counted, bool tab, bool lineEnd);
// Decimal, "-" for negatives, no padding or grouping.
void WriteInteger(FileRef file, std::int32_t value, bool tab, bool lineEnd);
// The text of FormatReal.
void WriteReal(FileRef file, float value, bool tab, bool lineEnd);

// Counted text of a real number (at most 13 characters) into a buffer of at
// least logtext::kRealTextSize bytes; a NUL follows the characters.
void FormatReal(float value, char* out);

// A 4-character code as a counted string of length 4, first character first,
// bytes unchanged. `out` holds at least 6 bytes (a NUL follows).
void CodeToText(std::uint32_t code, char* out);
// Four bytes of text as a code, the first byte most significant.
std::uint32_t TextToCode(const char* text);

// In place: length byte and characters become the characters and a NUL.
void CountedToTerminated(char* buffer);
