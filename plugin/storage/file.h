// The file access layer: nine operations over the platform's files, each giving
// a status in the host's error-code convention (0 success, negative errors).
// Paths are complete; this layer applies no redirection.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/platform/platform.h"

using FileRef = platform::FileHandle;

// Positioning modes of SetDataFilePosition.
enum : std::int16_t {
  kPositionStay = 0,
  kPositionFromStart = 1,
  kPositionFromEnd = 2,
  kPositionFromMark = 3
};

[[nodiscard]] OSErr OpenDataFile(const char* path, FileRef* file);
OSErr CreateDataFile(const char* path, std::uint32_t creator, std::uint32_t type);
[[nodiscard]] OSErr ReadDataFile(FileRef file, std::int32_t* count, void* buffer);
[[nodiscard]] OSErr WriteDataFile(FileRef file, std::int32_t* count, const void* buffer);
[[nodiscard]] OSErr SetDataFilePosition(FileRef file, std::int16_t mode, std::int32_t offset);
OSErr CloseDataFile(FileRef file);
OSErr DeleteDataFile(const char* path);
OSErr MoveDataFile(const char* from, const char* to);
[[nodiscard]] OSErr OpenDataFileForAppend(const char* path, FileRef* file);

// The status that names why the system refused: permission (wrPermErr), a
// read-only volume (vLckdErr), a link (notAFileErr), a full disk; `otherwise`
// for any other error.
OSErr FileErrorStatus(platform::OsError error, OSErr otherwise);

// Exactly `count` bytes at `offset` from the start, in one call that leaves the
// file position alone (POSIX) or after the bytes (Windows). A read that ends
// early is an input/output error; a write that does, a full disk.
[[nodiscard]] OSErr ReadDataFileAt(FileRef file, std::uint64_t offset, std::int32_t count,
                                   void* buffer);
[[nodiscard]] OSErr WriteDataFileAt(FileRef file, std::uint64_t offset, std::int32_t count,
                                    const void* buffer);

// Closes a file on every path of the function that opened it.
struct FileGuard {
  FileRef file = platform::kInvalidFile;
  FileGuard() = default;
  ~FileGuard() {
    if (file != platform::kInvalidFile && file != 0) CloseDataFile(file);
  }
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;
};
