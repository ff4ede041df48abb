// Image stores: create, open, enlarge, row access and release of the
// memory-mapped element arrays, and the path redirect that moves their files.
//
// Sizes and offsets are 64-bit throughout: a store of 32767 x 32767 elements of
// 32767 bytes each is far beyond 4 GiB, and a 64-bit build handles it. A build
// whose address type cannot hold a store's size refuses that store.
#include "plugin/storage/store.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "plugin/core/strings.h"
#include "plugin/storage/file.h"

namespace {

using platform::OsError;

constexpr std::uint32_t kCreator = FourCC("CREA");
constexpr std::uint32_t kFileType = FourCC("TYPE");

// The redirect file holds at most this many bytes of directory prefix.
constexpr std::int32_t kRedirectReadSize = kStringSize;
// The length of the drive prefix ("c:\") that the redirect replaces.
constexpr std::size_t kDrivePrefixLength = 3;

void PutInt16(std::uint8_t* bytes, std::int16_t value) {
  const auto v = static_cast<std::uint16_t>(value);
  bytes[0] = static_cast<std::uint8_t>(v & 0xFF);
  bytes[1] = static_cast<std::uint8_t>(v >> 8);
}

std::int16_t GetInt16(const std::uint8_t* bytes) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)));
}

void EncodeHeader(std::int16_t elementSize, std::int16_t width, std::int16_t height,
                  std::uint8_t* bytes) {
  PutInt16(bytes, elementSize);
  PutInt16(bytes + 2, width);
  PutInt16(bytes + 4, height);
}

StoreHeader DecodeHeader(const std::uint8_t* bytes) {
  return StoreHeader{GetInt16(bytes), GetInt16(bytes + 2), GetInt16(bytes + 4)};
}

bool HeaderIsValid(const StoreHeader& header) {
  return header.elementSize >= 0 && header.width >= 0 && header.height >= 0;
}

// 6 + width x element size x height, or 0 when the total does not fit the
// sizes this build can address (a store must be mappable and its rows copyable).
std::uint64_t StoreTotalSize(std::int16_t elementSize, std::int16_t width, std::int16_t height) {
  const std::uint64_t total = std::uint64_t(kStoreHeaderSize) + std::uint64_t(width) *
                                                                    std::uint64_t(elementSize) *
                                                                    std::uint64_t(height);
  if (total > std::uint64_t(std::numeric_limits<std::size_t>::max())) return 0;
  if (total > std::uint64_t(std::numeric_limits<std::int64_t>::max())) return 0;
  return total;
}

ImageStore* NewStoreRecord() {
  void* block = NewZeroedBlock(sizeof(ImageStore));
  if (block == nullptr) return nullptr;
  return new (block) ImageStore{};
}

void FreeStoreRecord(ImageStore* store) {
  DisposeBlock(store);
}

// Copies a caller's path into `buffer` (kStringSize bytes) and redirects it.
// A path that would not fit after redirection is refused rather than cut,
// which could name some other file.
OSErr PreparePath(const char* path, char* buffer) {
  if (path != nullptr && strnlen(path, kStringSize) >= std::size_t(kStringSize)) return bdNamErr;
  CopyBounded(path, buffer, kStringSize);
  return ApplyPathRedirect(buffer) ? OSErr(noErr) : OSErr(bdNamErr);
}

OSErr SizeStatus(OsError error) {
  return error == OsError::kNone ? OSErr(noErr) : FileErrorStatus(error, ioErr);
}

// Reads exactly `count` bytes at `offset`; a short read is an error.
OSErr ReadAt(platform::FileHandle file, std::uint64_t offset, std::int32_t count, void* buffer) {
  return ReadDataFileAt(file, offset, count, buffer);
}

// Writes exactly `count` bytes at `offset`; a short write means a full disk.
OSErr WriteAt(platform::FileHandle file, std::uint64_t offset, std::int32_t count,
              const void* buffer) {
  return WriteDataFileAt(file, offset, count, buffer);
}

// Clips a run of bytes to the row and gives its offset in the file, or false
// when there is nothing to move.
bool RowRun(const ImageStore* store, std::int32_t firstByte, std::int32_t row, std::int32_t* count,
            std::uint64_t* offset) {
  if (store == nullptr || firstByte < 0 || row < 0 || row >= store->height) return false;
  std::int64_t n = *count;
  if (std::int64_t(firstByte) + n > std::int64_t(store->rowSize)) {
    n = std::int64_t(store->rowSize) - firstByte;
  }
  if (n <= 0) return false;
  *count = static_cast<std::int32_t>(n);
  *offset = std::uint64_t(kStoreHeaderSize) + std::uint64_t(row) * store->rowSize +
            std::uint64_t(firstByte);
  return true;
}

// A new store reads as zeros. Memory an earlier store used is cleared a row
// at a time, when the row is first read or written in part: a run writes
// nearly every row of its stores whole before reading it, and clearing the
// whole store up front cost as much as a copy of the picture.
void ClearRowOnce(ImageStore* store, std::int32_t row, bool writtenWhole) {
  if (store->unclearedRows == nullptr || store->unclearedRows[row] == 0) return;
  store->unclearedRows[row] = 0;
  if (!writtenWhole)
    std::memset(store->view + kStoreHeaderSize + std::size_t(row) * store->rowSize, 0,
                store->rowSize);
}

OSErr ReadRow(ImageStore* store, std::int32_t firstByte, std::int32_t row, std::int32_t count,
              void* destination) {
  std::uint64_t offset = 0;
  if (!RowRun(store, firstByte, row, &count, &offset)) return noErr;
  if (store->mapped) {
    ClearRowOnce(store, row, false);
    std::memcpy(destination, store->view + offset, std::size_t(count));
    return noErr;
  }
  return ReadAt(store->file, offset, count, destination);
}

OSErr WriteRow(ImageStore* store, std::int32_t firstByte, std::int32_t row, std::int32_t count,
               const void* source) {
  std::uint64_t offset = 0;
  if (!RowRun(store, firstByte, row, &count, &offset)) return noErr;
  if (store->mapped) {
    ClearRowOnce(store, row, firstByte == 0 && std::uint32_t(count) == store->rowSize);
    std::memcpy(store->view + offset, source, std::size_t(count));
    return noErr;
  }
  return WriteAt(store->file, offset, count, source);
}

// Writes the header of an open store with `elementSize` in place of its own.
OSErr WriteStoreHeader(ImageStore* store, std::int16_t elementSize) {
  std::uint8_t header[kStoreHeaderSize];
  EncodeHeader(elementSize, store->width, store->height, header);
  if (store->mapped) {
    std::memcpy(store->view, header, kStoreHeaderSize);
    return noErr;
  }
  return WriteAt(store->file, 0, kStoreHeaderSize, header);
}

// Releases the view, the file and the record; deletes the file when asked.
void ReleaseStore(ImageStore* store, bool deleteFile) {
  if (store->mapped) {
    platform::OsFlushMapping(store->mapping);
    platform::OsUnmapFile(&store->mapping);
    store->view = nullptr;
  }
  if (store->unclearedRows != nullptr) DisposeBlock(store->unclearedRows);
  if (store->file != platform::kInvalidFile) CloseDataFile(store->file);
  if (deleteFile) DeleteDataFile(store->path);
  FreeStoreRecord(store);
}

// Maps the whole store, or leaves it in file mode when no view can be had or
// the system works stores better through positioned reads and writes.
void MapStore(ImageStore* store) {
  store->mapped = 0;
  if (store->file != platform::kInvalidFile && !platform::OsPrefersMappedStores(!store->fileBacked))
    return;
  platform::Mapping mapping;
  if (platform::OsMapFile(store->file, store->mappedSize, &mapping) && mapping.view != nullptr) {
    store->mapping = mapping;
    store->view = static_cast<std::uint8_t*>(mapping.view);
    store->mapped = 1;
    if (mapping.uncleared) {
      // Without room to note the rows, the whole view is cleared now.
      store->unclearedRows = static_cast<std::uint8_t*>(NewBlock(std::uint32_t(store->height)));
      if (store->unclearedRows != nullptr)
        std::memset(store->unclearedRows, 1, std::size_t(store->height));
      else
        std::memset(store->view, 0, std::size_t(store->mappedSize));
    }
  } else {
    store->mapped = 0;
  }
}

bool HasDrivePrefix(const char* path) {
  const char c = path[0];
  return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

// Puts a moved store file back at its own path after a failed enlargement.
void RestoreMovedFile(const char* resizingPath, const char* storePath) {
  DeleteDataFile(storePath);
  MoveDataFile(resizingPath, storePath);
}

}  // namespace

bool ApplyPathRedirect(char* path) {
  // Only a path at a drive root is moved: the redirect replaces exactly that
  // prefix, and cutting three characters off any other path would name some
  // unrelated file.
  if (path == nullptr || !HasDrivePrefix(path)) return true;
  FileRef file = platform::kInvalidFile;
  const OSErr opened = OpenDataFile(kRedirectFilePath, &file);
  // A redirect file that is a link is refused, never taken for no redirect:
  // the files would land in the drive root unasked.
  if (opened == notAFileErr) return false;
  if (opened != noErr) return true;  // no redirect file
  char prefix[kRedirectReadSize + 1];
  std::int32_t count = kRedirectReadSize;
  OSErr status = ReadDataFile(file, &count, prefix);
  CloseDataFile(file);
  if (status != noErr) count = 0;
  prefix[count] = '\0';

  // Nothing is trimmed: the prefix is taken byte for byte up to its first NUL.
  // An empty prefix (an empty file, a failed read) would put the files in
  // whatever directory the host runs in; it leaves them where they are.
  const std::size_t prefixLength = std::strlen(prefix);
  if (prefixLength == 0) return true;
  const std::size_t pathLength = strnlen(path, kStringSize - 1);
  const std::size_t skip = pathLength < kDrivePrefixLength ? pathLength : kDrivePrefixLength;
  if (prefixLength + (pathLength - skip) > std::size_t(kStringSize - 1)) return false;
  char joined[kStringSize];
  std::memcpy(joined, prefix, prefixLength);
  std::memcpy(joined + prefixLength, path + skip, pathLength - skip);
  joined[prefixLength + pathLength - skip] = '\0';
  std::memcpy(path, joined, prefixLength + pathLength - skip + 1);
  return true;
}

namespace {

// CreateImageStore with `headerElementSize` in the header: 0 for a store
// whose rows are still to be filled in (BuildGrownStore).
OSErr CreateStore(const char* path, bool fileBacked, std::int16_t width, std::int16_t height,
                  std::int16_t elementSize, std::int16_t headerElementSize, ImageStore** store) {
  *store = nullptr;
  if (width < 0 || height < 0 || elementSize < 0) return filterBadParameters;
  const std::uint64_t total = StoreTotalSize(elementSize, width, height);
  if (total == 0) return memFullErr;

  ImageStore* s = NewStoreRecord();
  if (s == nullptr) return memFullErr;
  if (OSErr status = PreparePath(path, s->path); status != noErr) {
    FreeStoreRecord(s);
    return status;
  }
  DeleteDataFile(s->path);

  s->elementSize = elementSize;
  s->width = width;
  s->height = height;
  s->rowSize = std::uint32_t(width) * std::uint32_t(elementSize);
  s->fileBacked = fileBacked ? 1 : 0;
  s->mappedSize = total;
  s->file = platform::kInvalidFile;

  if (!fileBacked && !platform::OsPrefersMappedStores(true)) {
    // Positioned access needs a file: an unnamed one, which vanishes with its
    // handle just as anonymous memory does. Without one the store is mapped.
    FileRef file = platform::kInvalidFile;
    if (platform::OsCreateAnonymousFile(&file) == platform::OsError::kNone) {
      s->file = file;
      // Reserved now, like a mapping's pages: running out of memory shows
      // here rather than as a failed row write later.
      if (OSErr status = SizeStatus(platform::OsSetFileSize(file, total)); status != noErr) {
        ReleaseStore(s, false);
        return status;
      }
    }
  }
  if (fileBacked) {
    const OSErr created = CreateDataFile(s->path, kCreator, kFileType);
    FileRef file = platform::kInvalidFile;
    if (OSErr status = OpenDataFile(s->path, &file); status != noErr) {
      FreeStoreRecord(s);
      // A file that could not be made is not found by the open; the create
      // knows why (a read-only folder, a full disk).
      return status == fnfErr && created != noErr ? created : status;
    }
    s->file = file;
    // Emptying first makes every data byte zero whatever the file held; the
    // blocks are then really allocated, so a full disk shows here and never as
    // a fault when a mapped page is first written.
    OSErr status = SizeStatus(platform::OsSetFileSize(file, 0));
    if (status == noErr) status = SizeStatus(platform::OsSetFileSize(file, total));
    if (status != noErr) {
      ReleaseStore(s, true);
      return status;
    }
  }

  MapStore(s);
  std::uint8_t header[kStoreHeaderSize];
  EncodeHeader(headerElementSize, width, height, header);
  if (s->mapped) {
    // A new mapping is all zero bytes: the file was emptied and grown, and
    // anonymous memory starts zeroed. Only the header needs writing.
    std::memcpy(s->view, header, kStoreHeaderSize);
    *store = s;
    return noErr;
  }

  // File mode. An anonymous store without its unnamed file has nothing to
  // fall back on. The data area is already zero (see above); the header must
  // arrive whole.
  if (s->file == platform::kInvalidFile) {
    ReleaseStore(s, true);
    return ioErr;
  }
  if (OSErr status = WriteAt(s->file, 0, kStoreHeaderSize, header); status != noErr) {
    ReleaseStore(s, true);
    return status;
  }
  *store = s;
  return noErr;
}

}  // namespace

OSErr CreateImageStore(const char* path, bool fileBacked, std::int16_t width, std::int16_t height,
                       std::int16_t elementSize, ImageStore** store) {
  return CreateStore(path, fileBacked, width, height, elementSize, elementSize, store);
}

OSErr OpenImageStore(const char* path, ImageStore** store) {
  *store = nullptr;
  ImageStore* s = NewStoreRecord();
  if (s == nullptr) return memFullErr;
  s->file = platform::kInvalidFile;
  if (OSErr status = PreparePath(path, s->path); status != noErr) {
    FreeStoreRecord(s);
    return status;
  }
  FileRef file = platform::kInvalidFile;
  if (OSErr status = OpenDataFile(s->path, &file); status != noErr) {
    FreeStoreRecord(s);
    return status;
  }
  s->file = file;

  std::uint8_t bytes[kStoreHeaderSize];
  OSErr status = ReadAt(file, 0, kStoreHeaderSize, bytes);
  const StoreHeader header = DecodeHeader(bytes);
  if (status == noErr && !HeaderIsValid(header)) status = ioErr;
  std::uint64_t total = 0;
  if (status == noErr) {
    total = StoreTotalSize(header.elementSize, header.width, header.height);
    if (total == 0) status = memFullErr;
  }
  // The file must really hold every row that the header claims: a mapping
  // beyond its end would fault on the first access.
  if (status == noErr && total > std::uint64_t(kStoreHeaderSize)) {
    std::uint8_t last = 0;
    status = ReadAt(file, total - 1, 1, &last);
  }
  if (status != noErr) {
    ReleaseStore(s, false);
    return status;
  }

  s->elementSize = header.elementSize;
  s->width = header.width;
  s->height = header.height;
  s->rowSize = std::uint32_t(header.width) * std::uint32_t(header.elementSize);
  s->fileBacked = 1;
  s->mappedSize = total;
  MapStore(s);
  *store = s;
  return noErr;
}

OSErr ReadImageStoreHeader(const char* path, std::int16_t* width, std::int16_t* height,
                           std::int16_t* elementSize) {
  char redirected[kStringSize];
  if (OSErr status = PreparePath(path, redirected); status != noErr) return status;
  FileGuard guard;
  if (OSErr status = OpenDataFile(redirected, &guard.file); status != noErr) return status;
  std::uint8_t bytes[kStoreHeaderSize];
  if (OSErr status = ReadAt(guard.file, 0, kStoreHeaderSize, bytes); status != noErr) {
    return status;
  }
  const StoreHeader header = DecodeHeader(bytes);
  if (!HeaderIsValid(header)) return ioErr;
  *width = header.width;
  *height = header.height;
  *elementSize = header.elementSize;
  return noErr;
}

OSErr EnsureImageStoreSize(const char* path, std::int16_t width, std::int16_t height,
                           std::int16_t elementSize) {
  // Refuse a size that cannot be created before anything is moved.
  if (width < 0 || height < 0 || elementSize < 0) return filterBadParameters;
  if (StoreTotalSize(elementSize, width, height) == 0) return memFullErr;
  char storePath[kStringSize];
  if (OSErr status = PreparePath(path, storePath); status != noErr) return status;

  StoreHeader old{};
  {
    FileGuard guard;
    if (OSErr status = OpenDataFile(storePath, &guard.file); status != noErr) {
      // Only a missing store is made anew: one that exists but cannot be
      // opened now (held by another process, refused) keeps its content.
      if (status != fnfErr) return status;
      ImageStore* created = nullptr;
      const OSErr created_status =
          CreateImageStore(path, true, width, height, elementSize, &created);
      if (created_status == noErr) CloseImageStore(created);
      return created_status;
    }
    std::uint8_t bytes[kStoreHeaderSize];
    if (OSErr status = ReadAt(guard.file, 0, kStoreHeaderSize, bytes); status != noErr) {
      return status;
    }
    old = DecodeHeader(bytes);
  }
  if (!HeaderIsValid(old)) return ioErr;
  if (old.width >= width && old.height >= height && old.elementSize == elementSize) return noErr;

  char resizingPath[kStringSize];
  if (OSErr status = PreparePath(kResizingStorePath, resizingPath); status != noErr) {
    return status;
  }
  DeleteDataFile(resizingPath);
  if (OSErr status = MoveDataFile(storePath, resizingPath); status != noErr) return status;

  // From here the user's content lives only in the resizing file: every
  // failure puts it back before reporting.
  if (OSErr status = BuildGrownStore(kResizingStorePath, path, width, height, elementSize);
      status != noErr) {
    RestoreMovedFile(resizingPath, storePath);
    return status;
  }
  DeleteDataFile(resizingPath);
  return noErr;
}

OSErr BuildGrownStore(const char* source, const char* target, std::int16_t width,
                      std::int16_t height, std::int16_t elementSize) {
  // Until every old row is in the new file its header names no element size,
  // from the moment the file exists: a run that dies part-way (killed,
  // crashed) then leaves a file that every check refuses, never a well-formed
  // store with its rows missing.
  ImageStore* fresh = nullptr;
  if (OSErr status = CreateStore(target, true, width, height, elementSize, 0, &fresh);
      status != noErr) {
    return status;
  }
  ImageStore* previous = nullptr;
  OSErr status = OpenImageStore(source, &previous);
  // A missing source leaves the new store all zero: a set created whole.
  if (status == fnfErr) status = noErr;
  if (status != noErr) {
    DisposeImageStore(nullptr, fresh);
    return status;
  }

  const std::int16_t rows = previous == nullptr                ? 0
                            : previous->height < fresh->height ? previous->height
                                                               : fresh->height;
  const std::int32_t oldRowSize =
      previous == nullptr ? 0 : static_cast<std::int32_t>(previous->rowSize);
  void* rowBuffer = rows > 0 && oldRowSize > 0 ? NewBlock(previous->rowSize) : nullptr;
  if (rows > 0 && oldRowSize > 0 && rowBuffer == nullptr) status = memFullErr;
  {
    BlockGuard guard(rowBuffer);
    for (std::int32_t r = 0; status == noErr && rowBuffer != nullptr && r < rows; ++r) {
      status = ReadRow(previous, 0, r, oldRowSize, rowBuffer);
      if (status == noErr) status = WriteRow(fresh, 0, r, oldRowSize, rowBuffer);
    }
  }
  if (status == noErr) status = WriteStoreHeader(fresh, elementSize);
  CloseImageStore(previous);
  if (status != noErr) {
    DisposeImageStore(nullptr, fresh);
    return status;
  }
  CloseImageStore(fresh);
  return noErr;
}

void ReadStoreRow(ImageStore* store, std::int32_t firstByte, std::int32_t row, std::int32_t count,
                  void* destination) {
  // File-mode errors are not reported: a failed read leaves the caller's
  // bytes. The first one is remembered for StoreRowError.
  const OSErr status = ReadRow(store, firstByte, row, count, destination);
  if (status != noErr && store->rowError == noErr) store->rowError = status;
}

void WriteStoreRow(ImageStore* store, std::int32_t firstByte, std::int32_t row, std::int32_t count,
                   const void* source) {
  const OSErr status = WriteRow(store, firstByte, row, count, source);
  if (status != noErr && store->rowError == noErr) store->rowError = status;
}

namespace {

// Moves rows [firstRow, firstRow + rowCount) clipped to the store. Whole rows
// are one contiguous run of the file, moved in pieces that fit a single call;
// part rows go one by one.
template <typename Bytes, typename MoveRow, typename MoveRun>
OSErr MoveRows(ImageStore* store, std::int32_t firstByte, std::int32_t firstRow,
               std::int32_t rowCount, std::int32_t count, Bytes* data, MoveRow move_row,
               MoveRun move_run) {
  if (store == nullptr || count <= 0) return noErr;
  const std::int32_t begin = firstRow < 0 ? 0 : firstRow;
  const std::int64_t end_wanted = std::int64_t(firstRow) + rowCount;
  const std::int32_t end =
      std::int32_t(end_wanted < store->height ? end_wanted : std::int64_t(store->height));
  if (begin >= end) return noErr;
  data += std::int64_t(begin - firstRow) * count;
  if (firstByte != 0 || std::uint32_t(count) != store->rowSize || store->mapped) {
    OSErr first = noErr;
    for (std::int32_t row = begin; row < end; ++row, data += count) {
      const OSErr status = move_row(row, data);
      if (first == noErr) first = status;
    }
    return first;
  }
  // At most this many bytes per call, so a count always fits 32 bits.
  const std::int32_t per_call = std::max<std::int32_t>(1, (1 << 30) / count);
  OSErr first = noErr;
  for (std::int32_t row = begin; row < end; row += per_call) {
    const std::int32_t rows = std::min(per_call, end - row);
    const std::uint64_t offset =
        std::uint64_t(kStoreHeaderSize) + std::uint64_t(row) * store->rowSize;
    const OSErr status = move_run(offset, rows * count, data);
    if (first == noErr) first = status;
    data += std::int64_t(rows) * count;
  }
  return first;
}

void NoteRowError(ImageStore* store, OSErr status) {
  if (status != noErr && store != nullptr && store->rowError == noErr) store->rowError = status;
}

}  // namespace

void ReadStoreRows(ImageStore* store, std::int32_t firstByte, std::int32_t firstRow,
                   std::int32_t rowCount, std::int32_t count, void* destination) {
  NoteRowError(store, MoveRows(
                          store, firstByte, firstRow, rowCount, count,
                          static_cast<std::uint8_t*>(destination),
                          [&](std::int32_t row, std::uint8_t* d) {
                            return ReadRow(store, firstByte, row, count, d);
                          },
                          [&](std::uint64_t offset, std::int32_t n, std::uint8_t* d) {
                            return ReadAt(store->file, offset, n, d);
                          }));
}

void WriteStoreRows(ImageStore* store, std::int32_t firstByte, std::int32_t firstRow,
                    std::int32_t rowCount, std::int32_t count, const void* source) {
  NoteRowError(store, MoveRows(
                          store, firstByte, firstRow, rowCount, count,
                          static_cast<const std::uint8_t*>(source),
                          [&](std::int32_t row, const std::uint8_t* d) {
                            return WriteRow(store, firstByte, row, count, d);
                          },
                          [&](std::uint64_t offset, std::int32_t n, const std::uint8_t* d) {
                            return WriteAt(store->file, offset, n, d);
                          }));
}

// Whole rows as one transfer, with this transfer's own status: the band
// writes of Add must know which write failed, not only that one did.
template <typename Move, typename Bytes>
OSErr MoveWholeRows(ImageStore* store, std::int32_t firstRow, std::int32_t rows, Bytes* data,
                    Move move) {
  if (store == nullptr) return noErr;
  const OSErr before = store->rowError;
  store->rowError = noErr;
  move(store, 0, firstRow, rows, std::int32_t(store->rowSize), data);
  const OSErr status = store->rowError;
  if (before != noErr) store->rowError = before;
  return status;
}

OSErr ReadStoreRows(ImageStore* store, std::int32_t firstRow, std::int32_t rows,
                    void* destination) {
  return MoveWholeRows(store, firstRow, rows, destination,
                       static_cast<void (*)(ImageStore*, std::int32_t, std::int32_t, std::int32_t,
                                            std::int32_t, void*)>(&ReadStoreRows));
}

OSErr WriteStoreRows(ImageStore* store, std::int32_t firstRow, std::int32_t rows,
                     const void* source) {
  return MoveWholeRows(store, firstRow, rows, source,
                       static_cast<void (*)(ImageStore*, std::int32_t, std::int32_t, std::int32_t,
                                            std::int32_t, const void*)>(&WriteStoreRows));
}

OSErr StoreRowError(const ImageStore* store) {
  return store != nullptr ? store->rowError : OSErr(noErr);
}

void GetStoreHeader(ImageStore* store, StoreHeader* header) {
  if (store == nullptr) return;
  *header = StoreHeader{store->elementSize, store->width, store->height};
  if (store->mapped) return;
  std::uint8_t bytes[kStoreHeaderSize];
  if (ReadAt(store->file, 0, kStoreHeaderSize, bytes) == noErr) *header = DecodeHeader(bytes);
}

void CloseImageStore(ImageStore* store) {
  if (store == nullptr) return;
  ReleaseStore(store, store->fileBacked == 0);
}

void DisposeImageStore(const char* path, ImageStore* store) {
  if (store != nullptr) {
    ReleaseStore(store, true);
    return;
  }
  char redirected[kStringSize];
  if (PreparePath(path, redirected) == noErr) DeleteDataFile(redirected);
}

OSErr CreateColorStore(std::int16_t width, std::int16_t height, std::int16_t elementSize,
                       ImageStore** store) {
  return CreateImageStore(kColorStorePath, false, width, height, elementSize, store);
}

OSErr CreateTransparencyStore(std::int16_t width, std::int16_t height, std::int16_t elementSize,
                              ImageStore** store) {
  return CreateImageStore(kTransparencyStorePath, false, width, height, elementSize, store);
}

OSErr CreateMaskStore(std::int16_t width, std::int16_t height, std::int16_t elementSize,
                      ImageStore** store) {
  return CreateImageStore(kMaskStorePath, false, width, height, elementSize, store);
}

void DisposeColorStore(ImageStore* store) {
  DisposeImageStore(kColorStorePath, store);
}

void DisposeTransparencyStore(ImageStore* store) {
  DisposeImageStore(kTransparencyStorePath, store);
}

void DisposeMaskStore(ImageStore* store) {
  DisposeImageStore(kMaskStorePath, store);
}
