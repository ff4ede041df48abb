// The preferences file: the filter's persistent settings (the 255 floats and 16
// text slots of the parameter block) carried from one run to the next.
//
// Layout, 17408 bytes, little-endian: params at offset 0 (255 floats, 1020
// bytes), 4 zero bytes, then 16 text slots of 1024 bytes from offset 1024, each
// a NUL-terminated string of at most 513 characters. A longer file keeps its
// excess bytes: the file is rewritten in place and never truncated.
//
// The file is held open (without sharing) from LoadPreferences to
// SavePreferences, so a second run in another process cannot use it meanwhile;
// that run goes on with cleared settings and saves nothing.
#pragma once

#include <cstdint>

#include "plugin/storage/file.h"

struct ParameterBlock;

inline constexpr char kPreferencesPath[] = "c:\\TRUXpref.xxx";
inline constexpr std::int32_t kPreferencesFileSize = 17408;
inline constexpr std::int32_t kPreferencesSlotBytes = 1024;
// "No preferences file open".
inline constexpr FileRef kNoPreferencesFile = 0;

// Clears params and every text slot of the block, then loads them from the
// preferences file, creating the file (empty) when it does not exist.
// *path receives the redirected path in a new string buffer that the caller
// disposes of (DisposeString) after SavePreferences; null only when no buffer
// could be allocated. *file receives the open file, or kNoPreferencesFile.
// Never fails: a file that cannot be used leaves the settings cleared.
void LoadPreferences(ParameterBlock* block, char** path, FileRef* file);

// Writes params and the 16 slots back, closes the file and empties every text
// slot (disposing of its string), on every path. With kNoPreferencesFile it
// creates the file only when none exists at the path, so that a run that could
// not read the settings never overwrites them. Write failures are silent.
void SavePreferences(ParameterBlock* block, const char* path, FileRef file);
