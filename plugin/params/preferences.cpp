// Loading and saving the preferences file. No failure here stops a run or
// reaches the user: a file that cannot be used leaves the settings cleared, and
// write failures are silent.
#include "plugin/params/preferences.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/params/parameter_block.h"
#include "plugin/storage/store.h"

namespace {

constexpr std::int32_t kParamsBytes = kParamCount * 4;  // 1020
// Only the first 1020 bytes of a slot are read: a stored string has at most
// 513 characters, so nothing beyond them can matter.
constexpr std::int32_t kSlotReadBytes = 1020;

// Any transfer count the file layer reports, clamped to what was asked for.
std::int32_t Transferred(OSErr status, std::int32_t count, std::int32_t asked) {
  if (status != noErr) return 0;
  return std::clamp(count, std::int32_t{0}, asked);
}

void EmptyStringSlots(ParameterBlock* block) {
  for (char*& slot : block->strings) {
    DisposeString(slot);
    slot = nullptr;
  }
}

// params travel as little-endian IEEE singles whatever the processor.
void DecodeParams(const std::uint8_t* bytes, float* params) {
  for (int i = 0; i < kParamCount; ++i) {
    const std::uint8_t* b = bytes + 4 * i;
    const std::uint32_t bits = std::uint32_t(b[0]) | (std::uint32_t(b[1]) << 8) |
                               (std::uint32_t(b[2]) << 16) | (std::uint32_t(b[3]) << 24);
    params[i] = std::bit_cast<float>(bits);
  }
}

void EncodeParams(const float* params, std::uint8_t* bytes) {
  for (int i = 0; i < kParamCount; ++i) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(params[i]);
    for (int k = 0; k < 4; ++k) bytes[4 * i + k] = std::uint8_t(bits >> (8 * k));
  }
}

void ReadSettings(ParameterBlock* block, FileRef file) {
  std::uint8_t header[kParamsBytes] = {};
  std::int32_t count = kParamsBytes;
  const OSErr status = ReadDataFile(file, &count, header);
  const std::int32_t arrived = Transferred(status, count, kParamsBytes);
  // A short file loads what it has; the rest of params stays zero.
  DecodeParams(header, block->params);
  if (arrived < kParamsBytes) return;

  std::uint8_t slot[kPreferencesSlotBytes];
  for (int s = 0; s < kStringSlotCount; ++s) {
    slot[0] = 0;
    if (SetDataFilePosition(file, kPositionFromStart, kPreferencesSlotBytes * (s + 1)) != noErr) {
      continue;
    }
    std::int32_t n = kSlotReadBytes;
    const OSErr read = ReadDataFile(file, &n, slot);
    if (read != noErr) continue;
    // Terminate at what arrived: a slot cut short by the end of the file must
    // not run on into the previous slot's bytes still in the buffer.
    slot[Transferred(read, n, kSlotReadBytes)] = 0;
    if (slot[0] != 0) SetStringSlot(block, s, reinterpret_cast<const char*>(slot));
  }
}

// The file for a save when the load had none. Only a missing file is created:
// a file that exists but could not be opened at the start of the phase (held by
// another run, unreadable) holds settings this run never saw, and must not be
// overwritten with cleared ones.
bool OpenForFirstSave(const char* path, FileRef* file) {
  if (path == nullptr) return false;
  FileRef probe = platform::kInvalidFile;
  const OSErr status = OpenDataFile(path, &probe);
  if (status == noErr) {
    CloseDataFile(probe);
    return false;
  }
  if (status != fnfErr) return false;
  CreateDataFile(path, FourCC("CREA"), FourCC("TYPE"));
  return OpenDataFile(path, file) == noErr;
}

void WriteSettings(ParameterBlock* block, FileRef file) {
  // Writing at an unknown position would scatter the settings over the file.
  if (SetDataFilePosition(file, kPositionFromStart, 0) != noErr) return;

  std::uint8_t buffer[kPreferencesSlotBytes] = {};
  EncodeParams(block->params, buffer);
  std::int32_t written = kParamsBytes;
  const OSErr status = WriteDataFile(file, &written, buffer);
  // Pad so that the slots begin at 1024 (4 zero bytes when params went out whole).
  std::int32_t pad = kPreferencesSlotBytes - Transferred(status, written, kParamsBytes);
  std::memset(buffer, 0, sizeof buffer);
  (void)WriteDataFile(file, &pad, buffer);

  for (char*& text : block->strings) {
    std::memset(buffer, 0, sizeof buffer);
    if (text != nullptr) CopyBounded(text, reinterpret_cast<char*>(buffer), kStringSize);
    buffer[kStringSize - 1] = 0;
    std::int32_t n = kPreferencesSlotBytes;
    (void)WriteDataFile(file, &n, buffer);
  }
}

}  // namespace

void LoadPreferences(ParameterBlock* block, char** path, FileRef* file) {
  if (path != nullptr) *path = nullptr;
  if (file != nullptr) *file = kNoPreferencesFile;
  if (block == nullptr || path == nullptr || file == nullptr) return;

  std::memset(block->params, 0, sizeof block->params);
  EmptyStringSlots(block);

  char* redirected = NewString(kStringSize);
  if (redirected == nullptr) return;
  CopyBounded(kPreferencesPath, redirected, kStringSize);
  ApplyPathRedirect(redirected);
  *path = redirected;

  FileRef opened = platform::kInvalidFile;
  const OSErr status = OpenDataFile(redirected, &opened);
  if (status != noErr) {
    // Only a missing file is made anew; any other failure (another run holds
    // the file, it cannot be read) leaves it alone and runs without settings.
    if (status != fnfErr) return;
    CreateDataFile(redirected, FourCC("CREA"), FourCC("TYPE"));
    if (OpenDataFile(redirected, &opened) != noErr) return;
    if (opened == kNoPreferencesFile) {
      CloseDataFile(opened);
      return;
    }
    *file = opened;  // new and empty: nothing to read
    return;
  }
  // A handle that equals the "none" value could never be closed by the save.
  if (opened == kNoPreferencesFile) {
    CloseDataFile(opened);
    return;
  }
  *file = opened;
  ReadSettings(block, opened);
}

void SavePreferences(ParameterBlock* block, const char* path, FileRef file) {
  FileRef target = file;
  bool open = file != kNoPreferencesFile;
  if (!open) open = OpenForFirstSave(path, &target);
  if (open) {
    if (block != nullptr) WriteSettings(block, target);
    CloseDataFile(target);
  }
  if (block != nullptr) EmptyStringSlots(block);
}
