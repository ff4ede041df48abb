// PNG through libpng. libpng reports errors by longjmp; every function that
// calls into it keeps its C++ objects outside the setjmp scope (buffers are
// allocated before, or by the caller), so no destructor is skipped.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/image/codec.h"
#include "cli/image/sample_scale.h"

namespace imageio::detail {
namespace {

// Where libpng's error text lands; a fixed buffer so that recording it cannot
// throw or allocate inside libpng's error path.
struct PngError {
  char text[200] = {};
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<PngError*>(png_get_error_ptr(png));
  if (error != nullptr && error->text[0] == '\0')
    std::snprintf(error->text, sizeof error->text, "%s", message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Reads through stdio so that a short read says "truncated" instead of
// libpng's generic "Read Error".
void ReadData(png_structp png, png_bytep data, png_size_t length) {
  auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
  if (std::fread(data, 1, length, file) != length)
    png_error(png, std::ferror(file) ? "read error" : "truncated");
}

void WriteData(png_structp png, png_bytep data, png_size_t length) {
  auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
  if (std::fwrite(data, 1, length, file) != length) png_error(png, "write failed");
}

void FlushData(png_structp png) {
  std::fflush(static_cast<std::FILE*>(png_get_io_ptr(png)));
}

Reason ErrorText(const PngError& error, const char* fallback) {
  std::string text = error.text[0] != '\0' ? error.text : fallback;
  if (text == "Not a PNG file" || text.rfind("PNG file corrupted", 0) == 0) return "not a PNG file";
  if (text == "truncated" || text == "read error" || text == "write failed") return text;
  return "damaged PNG data (" + text + ")";
}

class ReadStruct {
 public:
  explicit ReadStruct(PngError* error) {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, OnPngError, OnPngWarning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  ~ReadStruct() {
    if (png_ != nullptr)
      png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
  }
  ReadStruct(const ReadStruct&) = delete;
  ReadStruct& operator=(const ReadStruct&) = delete;
  bool ok() const { return png_ != nullptr && info_ != nullptr; }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

// Reads the header and sets up the transformations that deliver 8- or 16-bit
// grey, grey+alpha, RGB or RGBA: palettes and low bit depths expand, a
// transparent colour (tRNS) becomes an alpha plane. Returns 0 on success; the
// caller has checked nothing yet. *fileBits gets the bits of one pixel as the
// file stores it. No C++ object with a destructor lives here.
int HeaderAndTransforms(png_structp png, png_infop info, std::FILE* file, ImageInfo* out,
                        unsigned* fileBits) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_set_read_fn(png, file, ReadData);
  // Dimensions are checked by CheckDimensions; libpng's own limit is only a
  // guard against absurd allocations, set slightly above ours.
  png_set_user_limits(png, 1u << 16, 1u << 16);
  png_read_info(png, info);
  *fileBits = unsigned(png_get_channels(png, info)) * unsigned(png_get_bit_depth(png, info));
  png_byte color = png_get_color_type(png, info);
  if (color == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (color == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8)
    png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (png_get_bit_depth(png, info) == 16) png_set_swap(png);  // to native (little-endian) order
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  // Sizes beyond kMaxDimension are refused by the caller before they are used.
  out->width = int(std::min<png_uint_32>(png_get_image_width(png, info), 0x7fffffff));
  out->height = int(std::min<png_uint_32>(png_get_image_height(png, info), 0x7fffffff));
  out->depth = png_get_bit_depth(png, info);
  int channels = png_get_channels(png, info);
  out->colorPlanes = channels >= 3 ? 3 : 1;
  out->alpha = channels == 2 || channels == 4;
  return 0;
}

int ReadRows(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return 0;
}

Reason Header(const ReadStruct& s, PngError* error, std::FILE* file, std::uint64_t fileSize,
              ImageInfo* info) {
  unsigned file_bits = 0;
  if (HeaderAndTransforms(s.png(), s.info(), file, info, &file_bits) != 0)
    return ErrorText(*error, "damaged header");
  const std::uint64_t width = png_get_image_width(s.png(), s.info());
  const std::uint64_t height = png_get_image_height(s.png(), s.info());
  if (Reason r = CheckDimensions(width, height); !r.empty()) return r;
  // The pixels alone, without the filter byte of each row, bound the inflated
  // data from below, interlaced or not.
  const std::uint64_t pixel_bytes = (width * height * file_bits + 7) / 8;
  if (Reason r = CheckDataFits(fileSize, LeastCompressed(pixel_bytes, kDeflateMostExpansion), width,
                               height);
      !r.empty())
    return r;
  if (info->depth != 8 && info->depth != 16)
    return "unsupported bit depth " + std::to_string(info->depth);
  return {};
}

}  // namespace

Reason ProbePng(std::FILE* file, std::uint64_t fileSize, ImageInfo* info) {
  PngError error;
  ReadStruct s(&error);
  if (!s.ok()) return "out of memory";
  return Header(s, &error, file, fileSize, info);
}

Reason ReadPng(std::FILE* file, std::uint64_t fileSize, host::Picture* picture) {
  PngError error;
  ReadStruct s(&error);
  if (!s.ok()) return "out of memory";
  ImageInfo info;
  if (Reason r = Header(s, &error, file, fileSize, &info); !r.empty()) return r;
  // libpng writes every row (or fails), so the rows need no clearing first.
  picture->Allocate(info.width, info.height, info.colorPlanes, info.alpha ? 1 : 0, info.depth,
                    false);
  if (png_get_rowbytes(s.png(), s.info()) != picture->RowBytes()) return "unexpected row layout";
  std::vector<png_bytep> rows(std::size_t(picture->height));
  for (int y = 0; y < picture->height; ++y) rows[std::size_t(y)] = picture->Row(y);
  if (ReadRows(s.png(), rows.data()) != 0) return ErrorText(error, "damaged data");
  FileToHostScale(picture);
  return {};
}

namespace {

int WriteRows(png_structp png, png_infop info, std::FILE* file, const host::Picture* picture,
              png_bytep row) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_set_write_fn(png, file, WriteData, FlushData);
  int type = 0;
  bool alpha = picture->HasAlpha();
  if (picture->colorPlanes == 3) {
    type = alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
  } else {
    type = alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY;
  }
  png_set_IHDR(png, info, png_uint_32(picture->width), png_uint_32(picture->height), picture->depth,
               type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::size_t samples = std::size_t(picture->width) * std::size_t(picture->planes);
  for (int y = 0; y < picture->height; ++y) {
    const std::uint8_t* src = picture->Row(y);
    if (picture->depth == 8) {
      png_write_row(png, src);
      continue;
    }
    // PNG stores 16-bit samples big-endian on the file scale.
    for (std::size_t i = 0; i < samples; ++i) {
      std::uint16_t v = FileFromHost16(Load16(src + 2 * i));
      row[2 * i] = png_byte(v >> 8);
      row[2 * i + 1] = png_byte(v & 0xff);
    }
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  return 0;
}

}  // namespace

Reason WritePng(std::FILE* file, const host::Picture& picture) {
  PngError error;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, OnPngError, OnPngWarning);
  if (png == nullptr) return "out of memory";
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return "out of memory";
  }
  std::vector<png_byte> row;
  Reason reason;
  try {
    if (picture.depth == 16) row.resize(picture.RowBytes());
  } catch (...) {
    png_destroy_write_struct(&png, &info);
    throw;
  }
  if (WriteRows(png, info, file, &picture, row.data()) != 0)
    reason = error.text[0] != '\0' ? std::string(error.text) : std::string("write failed");
  png_destroy_write_struct(&png, &info);
  return reason;
}

}  // namespace imageio::detail
