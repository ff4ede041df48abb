// The focus buffer set: three file-backed image stores of one size that hold,
// per image pixel, the sharpest colour seen so far (on the 0..32768 scale), its
// sharpness, and how many added pictures covered the pixel. The set outlives
// every run; it is only ever deleted whole, never repaired file by file.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"

inline constexpr char kFocusBufferPath[] = "C:\\BestFocus.xxx";
inline constexpr char kVarianceBufferPath[] = "C:\\BestVariance.xxx";
inline constexpr char kCountBufferPath[] = "C:\\CountVXBuffer.xxx";

// Bytes per pixel: three unsigned 16-bit channels; one float; one unsigned 16-bit count.
inline constexpr std::int16_t kFocusElementSize = 6;
inline constexpr std::int16_t kVarianceElementSize = 4;
inline constexpr std::int16_t kCountElementSize = 2;

// Deletes the count, variance and focus files, in that order; missing files
// are no error.
void DeleteFocusBufferSet();

// True when all three headers can be read, the element sizes are 2, 4 and 6,
// the three sizes agree and the size is not empty; *width and *height then
// receive the set's size. Otherwise false and 0 x 0.
bool CheckFocusBufferSet(std::int16_t* width, std::int16_t* height);

// Gives each file at least width x height (count, then variance, then focus),
// keeping its content at the top left; stops at the first failure and returns
// its status. On an empty set this creates the three files, zero-filled.
[[nodiscard]] OSErr GrowFocusBufferSet(std::int16_t width, std::int16_t height);
