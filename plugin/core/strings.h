// The bounded string routines that every subsystem uses, and the Rect filler.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"

// Copies a NUL-terminated string into a buffer of `size` bytes: at most size - 1
// characters arrive and the result is always terminated. A null source gives an
// empty destination; a null destination does nothing.
void CopyBounded(const char* source, char* destination, std::int32_t size);

// destination = first + second, at most size - 1 characters. The destination may
// be `first` itself (second is then appended in place). Null counts as empty.
void JoinStrings(const char* first, const char* second, char* destination, std::int32_t size);

void SetRectangle(Rect* r, std::int16_t left, std::int16_t top, std::int16_t right,
                  std::int16_t bottom);

// A 4-character code: the first character in the most significant byte.
constexpr std::uint32_t FourCC(const char (&code)[5]) {
  return (std::uint32_t(std::uint8_t(code[0])) << 24) |
         (std::uint32_t(std::uint8_t(code[1])) << 16) |
         (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}
