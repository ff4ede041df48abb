// Bounded copy and join: every path and text the plug-in takes over passes
// through these, so no buffer is ever overrun whatever the source's length.
#include "plugin/core/strings.h"

#include <cstring>

void CopyBounded(const char* source, char* destination, std::int32_t size) {
  if (destination == nullptr || size <= 0) return;
  if (source == nullptr) {
    destination[0] = '\0';
    return;
  }
  std::int32_t i = 0;
  for (; i < size; ++i) {
    destination[i] = source[i];
    if (source[i] == '\0') return;
  }
  destination[size - 1] = '\0';
}

void JoinStrings(const char* first, const char* second, char* destination, std::int32_t size) {
  if (destination == nullptr || size <= 0) return;
  const auto room = static_cast<std::size_t>(size - 1);
  const std::size_t firstLength = first != nullptr ? strnlen(first, room) : 0;
  const std::size_t secondLength = second != nullptr ? strnlen(second, room - firstLength) : 0;
  // The second piece goes in before the first, and both by memmove: either may
  // be the destination itself (appending in place, or prefixing in place).
  if (secondLength > 0) std::memmove(destination + firstLength, second, secondLength);
  if (firstLength > 0 && first != destination) std::memmove(destination, first, firstLength);
  destination[firstLength + secondLength] = '\0';
}

void SetRectangle(Rect* r, std::int16_t left, std::int16_t top, std::int16_t right,
                  std::int16_t bottom) {
  if (r == nullptr) return;
  r->left = left;
  r->top = top;
  r->right = right;
  r->bottom = bottom;
}
