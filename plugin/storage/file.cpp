// The file access layer: the platform's file services with their error
// conditions turned into the host's status codes. Each operation maps only the
// conditions its callers can act on; the rest fall into one status per
// operation (ioErr for open, read and write; no error for create and delete,
// whose callers learn of a failure from the open that follows).
#include "plugin/storage/file.h"

#include "plugin/core/memory.h"

namespace {

using platform::OsError;

// Reading a file through to its end, in pieces of this size, leaves the
// position where appending starts.
constexpr std::int32_t kAppendChunk = 32768;

// The status of a positioned read or write; `complete` says whether every byte
// asked for moved, and `incomplete` is what it means when not.
OSErr PositionedStatus(OsError error, bool complete, OSErr incomplete) {
  switch (error) {
    case OsError::kNone:
      return complete ? OSErr(noErr) : incomplete;
    case OsError::kBadHandle:
      return rfNumErr;
    case OsError::kBadPosition:
      return posErr;
    default:
      break;
  }
  return FileErrorStatus(error, ioErr);
}

}  // namespace

OSErr FileErrorStatus(OsError error, OSErr otherwise) {
  switch (error) {
    case OsError::kAccessDenied:
      return wrPermErr;
    case OsError::kReadOnlyVolume:
      return vLckdErr;
    case OsError::kLink:
      return notAFileErr;
    case OsError::kDiskFull:
      return dskFulErr;
    default:
      return otherwise;
  }
}

OSErr ReadDataFileAt(FileRef file, std::uint64_t offset, std::int32_t count, void* buffer) {
  std::int32_t done = count;
  const OsError error = platform::OsReadFileAt(file, offset, buffer, &done);
  return PositionedStatus(error, done == count, ioErr);
}

OSErr WriteDataFileAt(FileRef file, std::uint64_t offset, std::int32_t count, const void* buffer) {
  std::int32_t done = count;
  const OsError error = platform::OsWriteFileAt(file, offset, buffer, &done);
  return PositionedStatus(error, done == count, dskFulErr);
}

OSErr OpenDataFile(const char* path, FileRef* file) {
  FileRef handle = platform::kInvalidFile;
  OsError error = platform::OsOpenFile(path, true, false, &handle);
  *file = handle;
  switch (error) {
    case OsError::kNone:
      return noErr;
    case OsError::kNotFound:
      return fnfErr;
    case OsError::kAccessDenied:
    case OsError::kReadOnlyVolume:
      // A file that refuses writing (read-only, or on a read-only volume) is
      // still worth reading: open it for reading alone; writes to it then fail
      // when they are made, with the reason.
      error = platform::OsOpenFile(path, false, true, &handle);
      *file = handle;
      if (error == OsError::kNone) return noErr;
      return error == OsError::kAccessDenied ? OSErr(permErr) : OSErr(wrPermErr);
    case OsError::kLink:
      return notAFileErr;
    case OsError::kBadName:
      return bdNamErr;
    case OsError::kTooManyFiles:
      return tmfoErr;
    default:
      // A sharing violation lands here too: the file is held by another opener.
      return ioErr;
  }
}

OSErr CreateDataFile(const char* path, std::uint32_t /*creator*/, std::uint32_t /*type*/) {
  // This file system records no creator or type per file.
  const OsError error_of_create = platform::OsCreateFile(path);
  switch (error_of_create) {
    case OsError::kNone:
      return noErr;
    case OsError::kNotFound:
      return fnfErr;
    case OsError::kSharingViolation:
      return opWrErr;
    case OsError::kTooManyFiles:
      return tmfoErr;
    default:
      // The callers learn of other failures from the open that follows, but
      // the open can only say "not found": the real reason is kept for them.
      return FileErrorStatus(error_of_create, noErr);
  }
}

OSErr ReadDataFile(FileRef file, std::int32_t* count, void* buffer) {
  if (*count < 0) *count = 0;
  return platform::OsReadFile(file, buffer, count) == OsError::kNone ? noErr : ioErr;
}

OSErr WriteDataFile(FileRef file, std::int32_t* count, const void* buffer) {
  if (*count < 0) *count = 0;
  const OsError error = platform::OsWriteFile(file, buffer, count);
  if (error == OsError::kNone) return noErr;
  return FileErrorStatus(error, ioErr);
}

OSErr SetDataFilePosition(FileRef file, std::int16_t mode, std::int32_t offset) {
  int origin = mode;  // any other mode goes to the platform as it is
  switch (mode) {
    case kPositionStay:
      return noErr;
    case kPositionFromStart:
      origin = 0;
      break;
    case kPositionFromEnd:
      origin = 2;
      break;
    case kPositionFromMark:
      origin = 1;
      break;
    default:
      break;
  }
  switch (platform::OsSeekFile(file, offset, origin)) {
    case OsError::kBadHandle:
      return rfNumErr;
    case OsError::kBadPosition:
      return posErr;
    default:
      return noErr;
  }
}

OSErr CloseDataFile(FileRef file) {
  return platform::OsCloseFile(file) == OsError::kNone ? noErr : rfNumErr;
}

OSErr DeleteDataFile(const char* path) {
  const OsError error = platform::OsDeleteFile(path);
  switch (error) {
    case OsError::kNone:
      return noErr;
    case OsError::kNotFound:
      return fnfErr;
    case OsError::kSharingViolation:
      return fLckdErr;
    default:
      return FileErrorStatus(error, noErr);
  }
}

OSErr MoveDataFile(const char* from, const char* to) {
  // The reason, not just "failed": a full disk, a read-only folder and a file
  // held by another run call for different remedies.
  const OsError error = platform::OsMoveFile(from, to);
  switch (error) {
    case OsError::kNone:
      return noErr;
    case OsError::kNotFound:
      return fnfErr;
    case OsError::kSharingViolation:
      return fLckdErr;
    case OsError::kBadName:
      return bdNamErr;
    default:
      break;
  }
  return FileErrorStatus(error, ioErr);
}

OSErr OpenDataFileForAppend(const char* path, FileRef* file) {
  if (OSErr status = OpenDataFile(path, file); status != noErr) return status;
  void* chunk = NewBlock(kAppendChunk);
  if (chunk == nullptr) {
    CloseDataFile(*file);
    *file = platform::kInvalidFile;
    return memFullErr;
  }
  BlockGuard guard(chunk);
  for (;;) {
    std::int32_t count = kAppendChunk;
    OSErr status = ReadDataFile(*file, &count, chunk);
    if (status == eofErr) break;
    if (status != noErr) {
      // The position is somewhere inside the file: writing now would overwrite
      // what is there instead of appending.
      CloseDataFile(*file);
      *file = platform::kInvalidFile;
      return status;
    }
    if (count == 0) break;
  }
  return noErr;
}
