// Reading and writing image files for the command-line host: PNG, TIFF and
// JPEG, chosen by the file's extension. Pictures come back as host::Picture on
// the host interface's sample scale (8-bit 0..255, 16-bit 0..32768), with
// transparency as the one extra plane.
//
// Nothing here throws: every function returns a Status whose message is one
// line naming the file, e.g. "cannot read 'a.png': truncated".
#pragma once

#include <string>

#include "cli/hostlib/picture.h"

namespace imageio {

struct [[nodiscard]] Status {
  bool ok = true;
  std::string message;  // empty on success

  static Status Success() { return {}; }
  static Status Failure(std::string text) { return {false, std::move(text)}; }
};

enum class ImageFormat { kUnknown, kPng, kTiff, kJpeg };

// By extension, case-insensitive: .png, .tif/.tiff, .jpg/.jpeg.
ImageFormat FormatFromPath(const std::string& path);

// The largest width or height a picture may have: the host interface's
// coordinates are 16-bit signed.
inline constexpr int kMaxDimension = 32767;

// What a file holds, as ReadImage would deliver it (palette and low bit depths
// already expanded).
struct ImageInfo {
  ImageFormat format = ImageFormat::kUnknown;
  int width = 0;
  int height = 0;
  int depth = 8;        // 8 or 16
  int colorPlanes = 0;  // 1 or 3
  bool alpha = false;
};

// Reads the file's header only (no pixel data) and applies the same checks as
// ReadImage: a file that probes successfully is one ReadImage accepts unless its
// pixel data turn out to be damaged.
Status ProbeImage(const std::string& path, ImageInfo* info);

// Decodes the whole file into *picture (replacing its contents). On failure the
// picture is left empty.
Status ReadImage(const std::string& path, host::Picture* picture);

enum class TiffCompression { kDeflate, kLzw };

struct WriteOptions {
  TiffCompression tiffCompression = TiffCompression::kDeflate;
};

// JPEG files are written at this quality, without chroma subsampling.
inline constexpr int kJpegQuality = 95;

// Writes the picture at its own depth. PNG and TIFF keep the transparency
// plane; JPEG holds 8-bit grey or RGB only, so a 16-bit picture is rounded to
// 8 bits (see Host16To8 in sample_scale.h) and transparency is dropped.
// The file is first written under a temporary name in the target's directory
// and renamed over the target only when complete, so a failed write leaves
// neither a partial file nor a damaged target behind.
Status WriteImage(const std::string& path, const host::Picture& picture,
                  const WriteOptions& options = {});

}  // namespace imageio
