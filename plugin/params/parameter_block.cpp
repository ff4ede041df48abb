// Parameter block accessors and the host services it carries.
#include "plugin/params/parameter_block.h"

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"

void SetStringSlot(ParameterBlock* block, std::int32_t slot, const char* text) {
  if (block == nullptr || slot < 0 || slot >= kStringSlotCount) return;
  DisposeString(block->strings[slot]);
  block->strings[slot] = nullptr;
  char* buffer = NewString(kStringSize);
  if (buffer == nullptr) return;
  CopyBounded(text, buffer, kStringSize);
  block->strings[slot] = buffer;
}

char* GetStringSlot(ParameterBlock* block, std::int32_t slot) {
  if (block == nullptr || slot < 0 || slot >= kStringSlotCount) return nullptr;
  return block->strings[slot];
}

OSErr GetDocumentPath(ParameterBlock* block, char* buffer, std::int32_t capacity) {
  if (buffer == nullptr) return noErr;
  const FilterRecord* record = block != nullptr ? block->filterRecord : nullptr;
  if (record == nullptr || record->documentInfo == nullptr) {
    if (capacity > 0) buffer[0] = '\0';
    return fnfErr;
  }
  CopyBounded(record->documentInfo->fileSpec, buffer, capacity);
  return noErr;
}

void ReportProgress(ParameterBlock* block, std::int32_t done, std::int32_t total) {
  if (block == nullptr || block->filterRecord == nullptr) return;
  ProgressProc progress = block->filterRecord->progressProc;
  if (progress == nullptr) return;
  // Widened so that a large total cannot overflow; the host takes 32-bit values.
  const std::int64_t shown = std::int64_t(total) + 4 * std::int64_t(done);
  const std::int64_t whole = 6 * std::int64_t(total);
  progress(static_cast<std::int32_t>(shown), static_cast<std::int32_t>(whole));
}

bool TestAbort(ParameterBlock* block) {
  if (block == nullptr || block->filterRecord == nullptr) return false;
  TestAbortProc abort_proc = block->filterRecord->abortProc;
  return abort_proc != nullptr && abort_proc() != 0;
}
