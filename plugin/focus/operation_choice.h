// The record that carries the chosen operation from the operation selection to
// the dispatcher: the data of a zero-filled handle block, kept in the run
// state between the processing phase and filterSelectorFinish.
#pragma once

#include <cstdint>

// Operation codes. The dialog's radio buttons carry these same numbers as ids.
inline constexpr std::int32_t kOperationClearBuffer = 4;
inline constexpr std::int32_t kOperationAddToBuffer = 5;
inline constexpr std::int32_t kOperationShowBuffer = 6;

struct OperationChoice {
  std::int32_t operation;  // 4, 5 or 6; any other code selects nothing
};
