// JPEG through libjpeg-turbo: 8-bit grey and RGB (YCbCr) files. libjpeg reports
// errors by calling error_exit, which longjmps back here; C++ objects with
// destructors stay outside the setjmp scopes.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared first.
// jerror.h after jpeglib.h: its message list depends on the library's
// configuration.
#include <jpeglib.h>
// clang-format off
#include <jerror.h>
// clang-format on

#include <string>
#include <vector>

#include "cli/image/codec.h"
#include "cli/image/sample_scale.h"

namespace imageio::detail {
namespace {

struct JpegError {
  jpeg_error_mgr manager;  // first, so the library's pointer is ours
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX + 32];
};

[[noreturn]] void OnJpegError(j_common_ptr info) {
  auto* error = reinterpret_cast<JpegError*>(info->err);
  if (error->text[0] == '\0') (*info->err->format_message)(info, error->text);
  std::longjmp(error->jump, 1);
}

// libjpeg only warns when the data it decodes are damaged or end early, and
// goes on with grey or garbled blocks; for stacking those would be silently
// wrong pixels, so they are errors here. Warnings about metadata and stray
// bytes between markers leave the pixels intact and are ignored.
bool LosesPixels(int code) {
  switch (code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
#if JPEG_LIB_VERSION >= 70 || defined(C_ARITH_CODING_SUPPORTED) || defined(D_ARITH_CODING_SUPPORTED)
    case JWRN_ARITH_BAD_CODE:
#endif
    case JWRN_BOGUS_PROGRESSION:
      return true;
    default:
      return false;
  }
}

void OnJpegMessage(j_common_ptr info, int level) {
  if (level != -1 || !LosesPixels(info->err->msg_code)) return;
  auto* error = reinterpret_cast<JpegError*>(info->err);
  if (info->err->msg_code == JWRN_JPEG_EOF) {
    std::snprintf(error->text, sizeof error->text, "truncated");
  } else {
    (*info->err->format_message)(info, error->text);
  }
  std::longjmp(error->jump, 1);
}

void InitError(JpegError* error) {
  jpeg_std_error(&error->manager);
  error->manager.error_exit = OnJpegError;
  error->manager.emit_message = OnJpegMessage;
  error->text[0] = '\0';
}

Reason ErrorText(const JpegError& error) {
  std::string text = error.text;
  if (text == "truncated") return text;
  if (text.rfind("Not a JPEG file", 0) == 0) return "not a JPEG file";
  if (text.empty()) return "damaged JPEG data";
  return "damaged JPEG data (" + text + ")";
}

// Reads the header and checks the colour space. Returns 0 on success, 1 on a
// libjpeg error, 2 for CMYK/YCCK, 3 for another unsupported colour space.
int Header(jpeg_decompress_struct* cinfo, JpegError* error, std::FILE* file) {
  if (setjmp(error->jump)) return 1;
  jpeg_create_decompress(cinfo);
  jpeg_stdio_src(cinfo, file);
  jpeg_read_header(cinfo, TRUE);
  switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
      cinfo->out_color_space = JCS_GRAYSCALE;
      break;
    case JCS_YCbCr:
    case JCS_RGB:
      cinfo->out_color_space = JCS_RGB;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      return 2;
    default:
      return 3;
  }
  return 0;
}

// Every Huffman-coded scan spends at least one bit on each block it covers,
// and the first scan of a component (the DC scan of a progressive file) covers
// all of its blocks. Arithmetic coding has no such floor.
std::uint64_t LeastEntropyBytes(const jpeg_decompress_struct& cinfo) {
  if (cinfo.arith_code || cinfo.num_components <= 0) return 0;
  std::uint64_t fewest = UINT64_MAX;
  for (int c = 0; c < cinfo.num_components; ++c) {
    const jpeg_component_info& component = cinfo.comp_info[c];
    fewest = std::min(fewest, std::uint64_t(component.width_in_blocks) *
                                  std::uint64_t(component.height_in_blocks));
  }
  return (fewest + 7) / 8;
}

Reason HeaderReason(int result, const JpegError& error, const jpeg_decompress_struct& cinfo,
                    std::uint64_t fileSize, ImageInfo* info) {
  if (result == 1) return ErrorText(error);
  if (result == 2) return "CMYK pictures are not supported";
  if (result == 3) return "unsupported JPEG colour space";
  if (Reason r = CheckDimensions(cinfo.image_width, cinfo.image_height); !r.empty()) return r;
  if (Reason r =
          CheckDataFits(fileSize, LeastEntropyBytes(cinfo), cinfo.image_width, cinfo.image_height);
      !r.empty())
    return r;
  info->width = int(cinfo.image_width);
  info->height = int(cinfo.image_height);
  info->depth = 8;
  info->colorPlanes = cinfo.out_color_space == JCS_GRAYSCALE ? 1 : 3;
  info->alpha = false;
  return {};
}

int Decode(jpeg_decompress_struct* cinfo, JpegError* error, host::Picture* picture) {
  if (setjmp(error->jump)) return 1;
  jpeg_start_decompress(cinfo);
  if (int(cinfo->output_components) != picture->planes ||
      int(cinfo->output_width) != picture->width || int(cinfo->output_height) != picture->height)
    return 2;
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = picture->Row(int(cinfo->output_scanline));
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return 0;
}

}  // namespace

Reason ProbeJpeg(std::FILE* file, std::uint64_t fileSize, ImageInfo* info) {
  jpeg_decompress_struct cinfo{};
  JpegError error;
  InitError(&error);
  cinfo.err = &error.manager;
  int result = Header(&cinfo, &error, file);
  Reason reason = HeaderReason(result, error, cinfo, fileSize, info);
  jpeg_destroy_decompress(&cinfo);
  return reason;
}

Reason ReadJpeg(std::FILE* file, std::uint64_t fileSize, host::Picture* picture) {
  jpeg_decompress_struct cinfo{};
  JpegError error;
  InitError(&error);
  cinfo.err = &error.manager;
  int result = Header(&cinfo, &error, file);
  ImageInfo info;
  Reason reason = HeaderReason(result, error, cinfo, fileSize, &info);
  if (reason.empty()) {
    try {
      // The decoder writes every row or fails.
      picture->Allocate(info.width, info.height, info.colorPlanes, 0, 8, false);
    } catch (...) {
      jpeg_destroy_decompress(&cinfo);
      throw;
    }
    int decoded = Decode(&cinfo, &error, picture);
    if (decoded == 1) reason = ErrorText(error);
    if (decoded == 2) reason = "unexpected decoder output";
  }
  jpeg_destroy_decompress(&cinfo);
  return reason;
}

namespace {

int Encode(jpeg_compress_struct* cinfo, JpegError* error, std::FILE* file,
           const host::Picture* picture, JSAMPROW row) {
  if (setjmp(error->jump)) return 1;
  jpeg_create_compress(cinfo);
  jpeg_stdio_dest(cinfo, file);
  cinfo->image_width = JDIMENSION(picture->width);
  cinfo->image_height = JDIMENSION(picture->height);
  cinfo->input_components = picture->colorPlanes;
  cinfo->in_color_space = picture->colorPlanes == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, kJpegQuality, TRUE);
  // Full-resolution chroma: a composite's fine detail is the point of it.
  for (int c = 0; c < cinfo->num_components; ++c) {
    cinfo->comp_info[c].h_samp_factor = 1;
    cinfo->comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(cinfo, TRUE);
  int colour = picture->colorPlanes;
  while (cinfo->next_scanline < cinfo->image_height) {
    int y = int(cinfo->next_scanline);
    // JPEG holds 8-bit colour only: drop transparency, round 16-bit samples.
    for (int x = 0; x < picture->width; ++x) {
      for (int k = 0; k < colour; ++k) {
        std::uint32_t v = picture->Get(x, y, k);
        row[x * colour + k] = picture->depth == 16 ? Host16To8(std::uint16_t(v)) : JSAMPLE(v);
      }
    }
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return 0;
}

}  // namespace

Reason WriteJpeg(std::FILE* file, const host::Picture& picture) {
  std::vector<JSAMPLE> row(std::size_t(picture.width) * std::size_t(picture.colorPlanes));
  jpeg_compress_struct cinfo{};
  JpegError error;
  InitError(&error);
  cinfo.err = &error.manager;
  int result = Encode(&cinfo, &error, file, &picture, row.data());
  jpeg_destroy_compress(&cinfo);
  if (result != 0) return error.text[0] != '\0' ? std::string(error.text) : "write failed";
  return {};
}

}  // namespace imageio::detail
