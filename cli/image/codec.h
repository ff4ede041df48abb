// The per-format readers and writers behind image_io.h. Each returns an empty
// string on success and otherwise the reason alone ("truncated", "not a PNG
// file"); image_io.cpp adds the file name. They may throw std::bad_alloc when a
// picture does not fit in memory; image_io.cpp catches it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/hostlib/picture.h"
#include "cli/image/image_io.h"

namespace imageio::detail {

using Reason = std::string;

// `fileSize` is the length of the file behind `file`.
Reason ProbePng(std::FILE* file, std::uint64_t fileSize, ImageInfo* info);
Reason ReadPng(std::FILE* file, std::uint64_t fileSize, host::Picture* picture);
Reason WritePng(std::FILE* file, const host::Picture& picture);

Reason ProbeTiff(const std::string& path, ImageInfo* info);
Reason ReadTiff(const std::string& path, host::Picture* picture);
// Takes ownership of fd (libtiff closes it).
Reason WriteTiff(int fd, const std::string& path, const host::Picture& picture,
                 TiffCompression compression);

Reason ProbeJpeg(std::FILE* file, std::uint64_t fileSize, ImageInfo* info);
Reason ReadJpeg(std::FILE* file, std::uint64_t fileSize, host::Picture* picture);
Reason WriteJpeg(std::FILE* file, const host::Picture& picture);

// The size checks shared by every reader.
Reason CheckDimensions(std::uint64_t width, std::uint64_t height);

// Opens a file for reading, without waiting on it as a FIFO or a device would
// make open() wait, and refuses anything but a regular file. *size gets its
// length. The caller closes *fd.
Reason OpenRegularFile(const std::string& path, int* fd, std::uint64_t* size);

// A header may declare far more pixels than its file's data could ever
// decode to. Every reader works out the fewest bytes that could hold the
// declared picture (from the largest expansion its compression allows) and
// refuses a shorter file before any memory is set aside for the picture.
Reason CheckDataFits(std::uint64_t fileSize, std::uint64_t leastSize, std::uint64_t width,
                     std::uint64_t height);

// One byte of Deflate data expands to at most 1032 bytes: the longest match,
// 258 bytes, costs a length code and a distance code of at least a bit each.
inline constexpr std::uint64_t kDeflateMostExpansion = 1032;

// The fewest bytes of compressed data that can expand to `bytes`.
inline std::uint64_t LeastCompressed(std::uint64_t bytes, std::uint64_t mostExpansion) {
  return (bytes + mostExpansion - 1) / mostExpansion;
}

// 16-bit samples live in a byte vector; memcpy keeps the accesses within the
// aliasing rules and compiles to plain loads and stores.
inline std::uint16_t Load16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void Store16(std::uint8_t* p, std::uint16_t v) {
  std::memcpy(p, &v, 2);
}

// Converts every 16-bit sample of a freshly decoded picture from the file scale
// to the host scale, in place.
void FileToHostScale(host::Picture* picture);
// The same for `count` 16-bit samples at `samples`.
void FileToHostScale(std::uint8_t* samples, std::size_t count);

// Converts `count` 16-bit host samples at `samples` to the file scale, in place.
void HostToFileScale(std::uint8_t* samples, std::size_t count);

}  // namespace imageio::detail
