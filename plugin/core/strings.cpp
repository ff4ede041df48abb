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
  std::int32_t length = 0;
  if (destination == first) {
    length = static_cast<std::int32_t>(strnlen(destination, static_cast<std::size_t>(size - 1)));
  } else {
    destination[0] = '\0';
    if (first != nullptr) {
      while (length < size - 1 && first[length] != '\0') {
        destination[length] = first[length];
        ++length;
      }
    }
  }
  if (second != nullptr) {
    for (std::int32_t j = 0; length < size - 1 && second[j] != '\0'; ++j) {
      destination[length++] = second[j];
    }
  }
  destination[length] = '\0';
}

void SetRectangle(Rect* r, std::int16_t left, std::int16_t top, std::int16_t right,
                  std::int16_t bottom) {
  r->left = left;
  r->top = top;
  r->right = right;
  r->bottom = bottom;
}
