// The per-run record that the host keeps for the plug-in between selector
// calls. It lives in a handle block whose handle sits in the host's data slot.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"

struct ImageStore;

// Phases of the image transfer driver.
inline constexpr std::uint16_t kPhaseIdle = 0;
inline constexpr std::uint16_t kPhaseReadRows = 1;
inline constexpr std::uint16_t kPhaseProcess = 2;
inline constexpr std::uint16_t kPhaseWriteRows = 3;
inline constexpr std::uint16_t kPhaseCleanUp = 4;

struct RunState {
  std::uint16_t phase;            // kPhaseIdle .. kPhaseCleanUp
  std::int16_t result;            // result of the current call; cleared at every call
  ImageStore* colorStore;         // colour samples, fully transparent pixels whitened
  Handle operationChoice;         // the operation chosen for this run
  FilterRecord* filterRecord;     // set anew at every call
  void* rowBuffer;                // scratch row, allocated at filterSelectorStart
  ImageStore* transparencyStore;  // extra planes; only when the image has some
  ImageStore* maskStore;          // selection mask; only when the host gives one
  std::uint8_t haveMask;          // the host supplies a selection mask for this run
  std::int32_t filterLeft;        // filterRect.left at filterSelectorStart
  std::int32_t filterTop;         // filterRect.top at filterSelectorStart
  std::uint8_t maskAnd;           // AND of every mask byte read; 255: all selected
  std::int16_t bitsPerChannel;    // 8 or 16
};
