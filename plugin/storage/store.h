// Image stores: width x height arrays of fixed-size elements kept in a
// memory-mapped file with a 6-byte little-endian header (element size, width,
// height, each signed 16-bit), addressed by row. A store is file-backed (a named
// file that survives closing) or anonymous (paging-file memory that vanishes
// when closed). When no view can be mapped a store works through positioned
// reads and writes instead ("file mode") for its whole life.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/core/memory.h"
#include "plugin/platform/platform.h"

inline constexpr char kRedirectFilePath[] = "c:\\TRUXPath.TXT";
inline constexpr char kColorStorePath[] = "c:\\BackingS.xxx";
inline constexpr char kTransparencyStorePath[] = "c:\\OpacityS.xxx";
inline constexpr char kMaskStorePath[] = "c:\\MaskImag.xxx";
inline constexpr char kResizingStorePath[] = "c:\\ResizingImage.xxx";

inline constexpr int kStoreHeaderSize = 6;

struct StoreHeader {
  std::int16_t elementSize;
  std::int16_t width;
  std::int16_t height;
};

struct ImageStore {
  platform::FileHandle file;  // platform::kInvalidFile for an anonymous store
  platform::Mapping mapping;
  std::uint32_t rowSize;  // width x element size
  std::uint8_t fileBacked;
  std::uint8_t mapped;  // 1: rows are memory copies; 0: positioned file I/O
  std::int16_t elementSize;
  std::int16_t width;
  std::int16_t height;
  std::uint64_t mappedSize;  // 6 + row size x height
  std::uint8_t* view;        // header at offset 0, row 0 at offset 6
  // For a view of memory an earlier store used: a byte per row, 1 until the
  // row is cleared (when first read, or written in part) or written whole.
  // Null when every row reads as zeros or as written.
  std::uint8_t* unclearedRows;
  char path[kStringSize];  // the redirected path
  // The first error of a row read or write in file mode since the store was
  // created or opened; 0 while none. Row access reports nothing itself, so
  // an operation asks here before it trusts what it read or wrote.
  OSErr rowError;
};

// Replaces the drive prefix ("c:\") of a path with the directory named in the
// redirect file, in place (the buffer holds kStringSize bytes). A path without
// a drive prefix, or an empty or missing redirect file, leaves the path as it
// is. Returns false, leaving the path unchanged, when the result would not fit.
bool ApplyPathRedirect(char* path);

[[nodiscard]] OSErr CreateImageStore(const char* path, bool fileBacked, std::int16_t width,
                                     std::int16_t height, std::int16_t elementSize,
                                     ImageStore** store);
[[nodiscard]] OSErr OpenImageStore(const char* path, ImageStore** store);
[[nodiscard]] OSErr ReadImageStoreHeader(const char* path, std::int16_t* width,
                                         std::int16_t* height, std::int16_t* elementSize);
[[nodiscard]] OSErr EnsureImageStoreSize(const char* path, std::int16_t width, std::int16_t height,
                                         std::int16_t elementSize);

// Creates a file-backed store at `target` of exactly width x height with the
// rows of the store at `source` at its top left (none when `source` does not
// exist). Until every row is copied the new header's element size is 0, so a
// run that dies part-way leaves a file that no check takes for a store. On
// failure the new file is deleted; `source` is never changed.
[[nodiscard]] OSErr BuildGrownStore(const char* source, const char* target, std::int16_t width,
                                    std::int16_t height, std::int16_t elementSize);

// firstByte and count are bytes within the row; count is clipped to the row.
void ReadStoreRow(ImageStore* store, std::int32_t firstByte, std::int32_t row, std::int32_t count,
                  void* destination);
void WriteStoreRow(ImageStore* store, std::int32_t firstByte, std::int32_t row, std::int32_t count,
                   const void* source);
// The same for `rowCount` rows from `firstRow` on: row i of the run moves to or
// from data + i x count, with as few system calls as the layout allows (one
// for whole rows). Rows beyond the store are left alone, as single rows are.
void ReadStoreRows(ImageStore* store, std::int32_t firstByte, std::int32_t firstRow,
                   std::int32_t rowCount, std::int32_t count, void* destination);
void WriteStoreRows(ImageStore* store, std::int32_t firstByte, std::int32_t firstRow,
                    std::int32_t rowCount, std::int32_t count, const void* source);
void GetStoreHeader(ImageStore* store, StoreHeader* header);
// Whole rows firstRow .. firstRow + rows - 1 (clipped to the store) in one
// transfer; returns its status, which is also remembered as the row error.
OSErr ReadStoreRows(ImageStore* store, std::int32_t firstRow, std::int32_t rows, void* destination);
OSErr WriteStoreRows(ImageStore* store, std::int32_t firstRow, std::int32_t rows,
                     const void* source);
// The store's rowError (0 for no store).
OSErr StoreRowError(const ImageStore* store);

void CloseImageStore(ImageStore* store);
// With a store: closes it and deletes its file. Without: deletes the file at
// the (redirected) path.
void DisposeImageStore(const char* path, ImageStore* store);

// The run's anonymous stores at their fixed paths.
[[nodiscard]] OSErr CreateColorStore(std::int16_t width, std::int16_t height,
                                     std::int16_t elementSize, ImageStore** store);
[[nodiscard]] OSErr CreateTransparencyStore(std::int16_t width, std::int16_t height,
                                            std::int16_t elementSize, ImageStore** store);
[[nodiscard]] OSErr CreateMaskStore(std::int16_t width, std::int16_t height,
                                    std::int16_t elementSize, ImageStore** store);
void DisposeColorStore(ImageStore* store);
void DisposeTransparencyStore(ImageStore* store);
void DisposeMaskStore(ImageStore* store);
