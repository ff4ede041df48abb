// The parameter block: everything an operation receives (geometry, stores, the
// mask to honour, the host) and the filter's persistent settings (255 floats and
// 16 text slots, saved in the preferences file). Also the two host services an
// operation calls on every row: progress and the cancel test.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"

struct ImageStore;

inline constexpr int kParamCount = 255;
inline constexpr int kStringSlotCount = 16;

// Indices into params.
inline constexpr int kParamCalibrationUnit = 2;
inline constexpr int kParamCalibrationSize = 3;
inline constexpr int kParamOperation = 205;
// String slot that names the parameter log.
inline constexpr int kSlotParameterLogPath = 2;

struct ParameterBlock {
  std::int16_t width;
  std::int16_t height;
  std::uint16_t colorPlanes;
  std::int32_t extraPlanes;
  ImageStore* transparencyStore;
  FilterRecord* filterRecord;
  float params[kParamCount];
  ImageStore* maskStore;  // null: every pixel is treated
  char* strings[kStringSlotCount];
  std::int32_t filterLeft;
  std::int32_t filterTop;
};

void SetStringSlot(ParameterBlock* block, std::int32_t slot, const char* text);
char* GetStringSlot(ParameterBlock* block, std::int32_t slot);
// Copies the document's file path (empty when never saved). -43 when the host
// gives no document information.
OSErr GetDocumentPath(ParameterBlock* block, char* buffer, std::int32_t capacity);
// An operation's own (done, total) becomes (total + 4 x done, 6 x total) on the
// host's bar: the middle four sixths.
void ReportProgress(ParameterBlock* block, std::int32_t done, std::int32_t total);
bool TestAbort(ParameterBlock* block);
