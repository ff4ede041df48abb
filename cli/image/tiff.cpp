// TIFF through libtiff: grey, RGB and palette pictures at 8 or 16 bits (palette
// indices at 1 to 8 bits), any compression libtiff decodes, contiguous or
// separate planes, strips or tiles. The first extra sample is the alpha plane;
// premultiplied (associated) alpha is divided out, since the host interface's
// transparency plane is unassociated. Written files are contiguous RGB or grey
// strips with unassociated alpha, Deflate or LZW with horizontal prediction.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/image/codec.h"
#include "cli/image/sample_scale.h"

namespace imageio::detail {
namespace {

// libtiff's first error message for one open file.
struct TiffError {
  std::string text;
};

int OnTiffError(TIFF*, void* user, const char* module, const char* format, va_list args) {
  auto* error = static_cast<TiffError*>(user);
  if (error != nullptr && error->text.empty()) {
    char buffer[300];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    error->text = buffer;
    (void)module;
  }
  return 1;  // handled: libtiff's global handler (stderr) stays quiet
}

int OnTiffWarning(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

class TiffFile {
 public:
  // Takes ownership of fd whether or not the open succeeds.
  TiffFile(int fd, const std::string& path, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
      close(fd);
      return;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnTiffError, &error_);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnTiffWarning, nullptr);
    tif_ = TIFFFdOpenExt(fd, path.c_str(), mode, options);
    TIFFOpenOptionsFree(options);
    if (tif_ == nullptr) close(fd);
  }
  ~TiffFile() {
    if (tif_ != nullptr) TIFFClose(tif_);
  }
  TiffFile(const TiffFile&) = delete;
  TiffFile& operator=(const TiffFile&) = delete;

  TIFF* get() const { return tif_; }
  // Flushes and closes; false when the last writes failed.
  bool Close() {
    bool ok = TIFFFlush(tif_) != 0;
    TIFFClose(tif_);
    tif_ = nullptr;
    return ok && error_.text.empty();
  }
  Reason ErrorOr(const std::string& fallback) const {
    return error_.text.empty() ? fallback : fallback + " (" + error_.text + ")";
  }
  bool HasError() const { return !error_.text.empty(); }

 private:
  TIFF* tif_ = nullptr;
  TiffError error_;
};

// How the samples of a file are laid out and what the reader makes of them.
struct Layout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t bits = 0;     // per sample in the file
  std::uint16_t samples = 0;  // per pixel in the file
  std::uint16_t photometric = 0;
  bool separate = false;  // one plane after another
  int sourceColour = 0;   // colour samples per pixel in the file (palette: 1)
  bool alpha = false;
  bool associated = false;  // premultiplied alpha
  // The picture delivered.
  int colorPlanes = 0;
  int depth = 0;
};

Reason ReadLayout(TIFF* tif, Layout* layout) {
  std::uint32_t width = 0, height = 0;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height))
    return "damaged TIFF header (no picture size)";
  if (Reason r = CheckDimensions(width, height); !r.empty()) return r;
  std::uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  std::uint16_t photometric = 0;
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
    return "damaged TIFF header (no colour model)";
  if (format == SAMPLEFORMAT_IEEEFP) return "floating-point samples are not supported";
  if (format != SAMPLEFORMAT_UINT) return "signed or complex samples are not supported";
  if (bits > 16) return std::to_string(bits) + "-bit samples are not supported (at most 16)";

  layout->width = width;
  layout->height = height;
  layout->bits = bits;
  layout->samples = samples;
  layout->photometric = photometric;
  layout->separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
      layout->sourceColour = 1;
      layout->colorPlanes = 1;
      break;
    case PHOTOMETRIC_RGB:
      layout->sourceColour = 3;
      layout->colorPlanes = 3;
      break;
    case PHOTOMETRIC_PALETTE:
      layout->sourceColour = 1;
      layout->colorPlanes = 3;
      break;
    case PHOTOMETRIC_SEPARATED:
      return "CMYK pictures are not supported";
    default:
      return "unsupported TIFF colour model " + std::to_string(photometric);
  }
  if (samples < layout->sourceColour) return "damaged TIFF header (too few samples per pixel)";
  if (photometric == PHOTOMETRIC_PALETTE) {
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8)
      return "unsupported palette depth " + std::to_string(bits);
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return "damaged TIFF palette";
    layout->depth = 8;
  } else {
    if (bits != 8 && bits != 16) return "unsupported bit depth " + std::to_string(bits);
    layout->depth = bits;
  }
  layout->alpha = samples > layout->sourceColour;
  if (layout->alpha) {
    std::uint16_t count = 0;
    std::uint16_t* kinds = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count > 0 && kinds != nullptr)
      layout->associated = kinds[0] == EXTRASAMPLE_ASSOCALPHA;
  }
  return {};
}

// The most that one byte of a compression scheme's data can decode to, or 0
// when there is no useful bound (CCITT, JPEG, LZMA, ZSTD...).
std::uint64_t MostExpansion(std::uint16_t compression) {
  switch (compression) {
    case COMPRESSION_NONE:
      return 1;
    case COMPRESSION_PACKBITS:
      return 64;  // a run of 128 bytes in two
    case COMPRESSION_LZW:
      return 3641;  // a code of at least 9 bits stands for at most 4096 bytes
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ADOBE_DEFLATE:
      return kDeflateMostExpansion;
    default:
      return 0;
  }
}

// Refuses, before any memory is set aside for the picture, a file whose
// strips or tiles lie beyond its end, or whose data are too few to decode to
// the picture its header declares.
Reason CheckStrips(TIFF* tif, const Layout& layout, std::uint64_t fileSize) {
  const bool tiled = TIFFIsTiled(tif) != 0;
  const std::uint32_t units = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  if (units == 0) return "damaged TIFF layout (no strips or tiles)";
  std::uint64_t stored = 0;
  for (std::uint32_t i = 0; i < units; ++i) {
    int failed = 0;
    const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &failed);
    const std::uint64_t count = failed == 0 ? TIFFGetStrileByteCountWithErr(tif, i, &failed) : 0;
    if (failed != 0) return "damaged TIFF layout";
    if (offset > fileSize || count > fileSize - offset)
      return "truncated: the file has " + std::to_string(fileSize) + " bytes, its " +
             (tiled ? "tile " : "strip ") + std::to_string(i) + " ends at byte " +
             std::to_string(offset + count);
    stored += count;
  }
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFIsCODECConfigured(compression))
    return "unsupported TIFF compression " + std::to_string(compression);
  // One strip or tile is decoded at a time into a buffer of its own; a header
  // with thousands of samples per pixel would make that buffer far larger than
  // the picture, and codecs without a bound on expansion would not catch it.
  const std::uint64_t unit =
      tiled ? std::uint64_t(TIFFTileSize64(tif)) : std::uint64_t(TIFFStripSize64(tif));
  const std::uint64_t picture = std::uint64_t(layout.width) * layout.height *
                                std::uint64_t(layout.colorPlanes + (layout.alpha ? 1 : 0)) *
                                std::uint64_t(layout.depth / 8);
  constexpr std::uint64_t kUnitFloor = std::uint64_t(256) << 20;
  if (unit > std::max(kUnitFloor, 4 * picture))
    return "damaged TIFF layout (one " + std::string(tiled ? "tile" : "strip") + " holds " +
           std::to_string(unit >> 20) + " MB for a picture of " + std::to_string(picture >> 20) +
           " MB)";
  const std::uint64_t most = MostExpansion(compression);
  if (most == 0) return {};
  // Tiles are coded whole; strips hold the picture's rows once for each plane.
  const std::uint64_t decoded = tiled ? std::uint64_t(TIFFTileSize64(tif)) * units
                                      : std::uint64_t(TIFFScanlineSize64(tif)) * layout.height *
                                            (layout.separate ? layout.samples : 1u);
  return CheckDataFits(stored, LeastCompressed(decoded, most), layout.width, layout.height);
}

// Sample i of a packed row of `bits`-bit samples (16-bit ones already in
// native order).
inline std::uint32_t SampleAt(const std::uint8_t* row, std::size_t i, int bits) {
  switch (bits) {
    case 8:
      return row[i];
    case 16:
      return Load16(row + 2 * i);
    default: {
      std::size_t bit = i * std::size_t(bits);
      unsigned shift = unsigned(8 - bits) - unsigned(bit % 8);
      return (row[bit / 8] >> shift) & ((1u << bits) - 1u);
    }
  }
}

// Whether a row of the file is a row of the picture byte for byte (16-bit
// samples already in native order): interleaved 8- or 16-bit grey or RGB,
// white not at zero, no samples dropped (at most one extra, the picture's
// transparency).
bool DirectRows(const Layout& layout) {
  return !layout.separate && (layout.bits == 8 || layout.bits == 16) &&
         (layout.photometric == PHOTOMETRIC_RGB || layout.photometric == PHOTOMETRIC_MINISBLACK) &&
         layout.samples == layout.colorPlanes + (layout.alpha ? 1 : 0);
}

class Decoder {
 public:
  Decoder(TIFF* tif, const Layout& layout, host::Picture* picture)
      : tif_(tif), layout_(layout), picture_(picture) {}

  // Decodes the whole picture, or with `band` only the strips that start in
  // rows band.first .. band.second - 1 (a picture in strips); Finish follows.
  Reason Run(std::pair<std::uint32_t, std::uint32_t> band = {0, ~std::uint32_t(0)}) {
    bool tiled = TIFFIsTiled(tif_) != 0;
    std::uint32_t unit_width = layout_.width, unit_height = layout_.height;
    tmsize_t unit_size = 0, unit_row = 0;
    if (tiled) {
      TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &unit_width);
      TIFFGetField(tif_, TIFFTAG_TILELENGTH, &unit_height);
      unit_size = TIFFTileSize(tif_);
      unit_row = TIFFTileRowSize(tif_);
    } else {
      std::uint32_t rows = layout_.height;
      TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
      unit_height = std::clamp<std::uint32_t>(rows, 1, layout_.height);
      unit_size = TIFFStripSize(tif_);
      unit_row = TIFFScanlineSize(tif_);
    }
    if (unit_width == 0 || unit_height == 0 || unit_size <= 0 || unit_row <= 0)
      return "damaged TIFF layout";
    // Filled by libtiff as far as the data go: its pages are committed only
    // when written, even for a picture stored in one strip.
    host::PictureData buffer(static_cast<std::size_t>(unit_size));
    if (layout_.photometric == PHOTOMETRIC_PALETTE) LoadPalette();

    int planes = layout_.separate ? layout_.samples : 1;
    for (int plane = 0; plane < planes; ++plane) {
      if (layout_.separate && !Wanted(plane)) continue;
      for (std::uint32_t y0 = 0; y0 < layout_.height; y0 += unit_height) {
        if (y0 < band.first || y0 >= band.second) continue;
        for (std::uint32_t x0 = 0; x0 < layout_.width; x0 += unit_width) {
          std::uint32_t rows = std::min(unit_height, layout_.height - y0);
          tmsize_t expected;
          tmsize_t got;
          if (tiled) {
            ttile_t tile = TIFFComputeTile(tif_, x0, y0, 0, tsample_t(plane));
            expected = unit_size;
            got = TIFFReadEncodedTile(tif_, tile, buffer.data(), unit_size);
          } else {
            tstrip_t strip = TIFFComputeStrip(tif_, y0, tsample_t(plane));
            expected = unit_row * tmsize_t(rows);
            got = TIFFReadEncodedStrip(tif_, strip, buffer.data(), unit_size);
          }
          if (got < expected) return "truncated or damaged TIFF data";
          std::uint32_t columns = std::min(unit_width, layout_.width - x0);
          for (std::uint32_t r = 0; r < rows; ++r)
            CopyRow(buffer.data() + std::size_t(unit_row) * r, x0, y0 + r, columns, plane);
        }
      }
    }
    return {};
  }

  // The height of a strip, for a picture that two decoders can share: its
  // rows are copied whole (Direct) and need nothing but the scale after
  // (no premultiplied alpha), it is in strips, and it is large enough to be
  // worth a second reader. 0 otherwise.
  std::uint32_t SharedStripHeight() const {
    constexpr std::uint64_t kWorthSharing = std::uint64_t(1) << 20;
    if (TIFFIsTiled(tif_) != 0 || !Direct() || (layout_.alpha && layout_.associated) ||
        picture_->data.size() < kWorthSharing)
      return 0;
    std::uint32_t rows = layout_.height;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
    rows = std::clamp<std::uint32_t>(rows, 1, layout_.height);
    return rows < layout_.height ? rows : 0;
  }

  // Rows first .. last - 1 from the file scale to the host's, for a decoder
  // that shares its picture.
  void ScaleRows(std::uint32_t first, std::uint32_t last) {
    if (layout_.depth != 16 || first >= last) return;
    FileToHostScale(picture_->Row(int(first)), (last - first) * picture_->RowBytes() / 2);
  }

  // Premultiplied colour divided by alpha, then 16-bit samples to the host scale.
  void Finish() {
    if (layout_.alpha && layout_.associated) {
      std::uint32_t max = layout_.depth == 16 ? 65535u : 255u;
      int colour = picture_->colorPlanes;
      for (int y = 0; y < picture_->height; ++y) {
        for (int x = 0; x < picture_->width; ++x) {
          std::uint32_t a = picture_->Get(x, y, colour);
          for (int k = 0; k < colour; ++k) {
            std::uint32_t c = picture_->Get(x, y, k);
            std::uint32_t v = a == 0 ? 0 : std::min(max, (c * max + a / 2) / a);
            picture_->Set(x, y, k, v);
          }
        }
      }
    }
    FileToHostScale(picture_);
  }

 private:
  // Whether file sample s ends up in the picture (extra samples past the
  // first are dropped).
  bool Wanted(int s) const { return s <= layout_.sourceColour; }

  bool Direct() const { return DirectRows(layout_); }

  void LoadPalette() {
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    TIFFGetField(tif_, TIFFTAG_COLORMAP, &r, &g, &b);
    std::size_t n = std::size_t(1) << layout_.bits;
    // Colour maps are 16-bit; some writers store 8-bit values in them anyway.
    bool eight_bit = true;
    for (std::size_t i = 0; i < n; ++i)
      eight_bit = eight_bit && r[i] < 256 && g[i] < 256 && b[i] < 256;
    palette_.resize(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint16_t v[3] = {r[i], g[i], b[i]};
      for (int k = 0; k < 3; ++k)
        palette_[i * 3 + std::size_t(k)] =
            std::uint8_t(eight_bit ? v[k] : (std::uint32_t(v[k]) * 255u + 32767u) / 65535u);
    }
  }

  void Put(std::uint32_t x, std::uint32_t y, int s, std::uint32_t v) {
    int xi = int(x), yi = int(y);
    if (layout_.photometric == PHOTOMETRIC_PALETTE) {
      if (s == 0) {
        for (int k = 0; k < 3; ++k)
          picture_->Set(xi, yi, k, palette_[std::size_t(v) * 3 + std::size_t(k)]);
      } else {
        picture_->Set(xi, yi, 3, layout_.bits == 8 ? v : v * 255u / ((1u << layout_.bits) - 1u));
      }
      return;
    }
    if (s < layout_.sourceColour && layout_.photometric == PHOTOMETRIC_MINISWHITE)
      v = ((1u << layout_.bits) - 1u) - v;
    picture_->Set(xi, yi, s, v);
  }

  void CopyRow(const std::uint8_t* row, std::uint32_t x0, std::uint32_t y, std::uint32_t columns,
               int plane) {
    // Interleaved samples that the picture keeps as they are, in its own
    // order: the run is copied whole.
    if (Direct()) {
      const std::size_t pixel = std::size_t(picture_->planes) * std::size_t(layout_.bits / 8);
      std::memcpy(picture_->Row(int(y)) + std::size_t(x0) * pixel, row,
                  std::size_t(columns) * pixel);
      return;
    }
    if (layout_.separate) {
      for (std::uint32_t c = 0; c < columns; ++c)
        Put(x0 + c, y, plane, SampleAt(row, c, layout_.bits));
      return;
    }
    int per_pixel = layout_.samples;
    int kept = std::min(per_pixel, layout_.sourceColour + 1);
    for (std::uint32_t c = 0; c < columns; ++c)
      for (int s = 0; s < kept; ++s)
        Put(x0 + c, y, s,
            SampleAt(row, std::size_t(c) * std::size_t(per_pixel) + std::size_t(s), layout_.bits));
  }

  TIFF* tif_;
  const Layout& layout_;
  host::Picture* picture_;
  std::vector<std::uint8_t> palette_;
};

}  // namespace

Reason ProbeTiff(const std::string& path, ImageInfo* info) {
  int fd = -1;
  std::uint64_t size = 0;
  if (Reason r = OpenRegularFile(path, &fd, &size); !r.empty()) return r;
  TiffFile file(fd, path, "r");
  if (file.get() == nullptr) return file.ErrorOr("not a readable TIFF file");
  Layout layout;
  if (Reason r = ReadLayout(file.get(), &layout); !r.empty()) return r;
  if (Reason r = CheckStrips(file.get(), layout, size); !r.empty()) return r;
  info->width = int(layout.width);
  info->height = int(layout.height);
  info->depth = layout.depth;
  info->colorPlanes = layout.colorPlanes;
  info->alpha = layout.alpha;
  return {};
}

// Decodes a large picture in strips on two threads, the lower half of the
// strips through a second reader of the same file: inflating is most of a
// 16-bit stack's work, and the command line decodes the next picture while
// the plug-in adds the current one, so one decoder alone keeps the plug-in
// waiting. Gives nothing, having done nothing, when the picture does not
// lend itself to it or no second reader or thread can be had.
std::optional<Reason> DecodeShared(const std::string& path, const TiffFile& file,
                                   const Layout& layout, Decoder* decoder, host::Picture* picture) {
  const std::uint32_t strip = decoder->SharedStripHeight();
  if (strip == 0) return std::nullopt;
  int second_fd = -1;
  std::uint64_t size = 0;
  if (!OpenRegularFile(path, &second_fd, &size).empty()) return std::nullopt;
  // The path must still name the file being read.
  struct stat first_stat, second_stat;
  if (fstat(TIFFFileno(file.get()), &first_stat) != 0 || fstat(second_fd, &second_stat) != 0 ||
      first_stat.st_dev != second_stat.st_dev || first_stat.st_ino != second_stat.st_ino) {
    close(second_fd);
    return std::nullopt;
  }
  TiffFile second(second_fd, path, "r");
  if (second.get() == nullptr) return std::nullopt;
  Decoder lower(second.get(), layout, picture);
  const std::uint32_t middle = (layout.height / 2 + strip - 1) / strip * strip;
  auto decode_lower = [&] {
    Reason r = lower.Run({middle, layout.height});
    if (r.empty()) lower.ScaleRows(middle, layout.height);
    return r;
  };
  std::future<Reason> other;
  try {
    other = std::async(std::launch::async, decode_lower);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  Reason upper = decoder->Run({0, middle});
  if (upper.empty()) decoder->ScaleRows(0, middle);
  const Reason r = other.get();
  if (!upper.empty()) return file.HasError() ? file.ErrorOr(upper) : upper;
  if (!r.empty()) return second.HasError() ? second.ErrorOr(r) : r;
  return Reason{};
}

Reason ReadTiff(const std::string& path, host::Picture* picture) {
  int fd = -1;
  std::uint64_t size = 0;
  if (Reason r = OpenRegularFile(path, &fd, &size); !r.empty()) return r;
  TiffFile file(fd, path, "r");
  if (file.get() == nullptr) return file.ErrorOr("not a readable TIFF file");
  Layout layout;
  if (Reason r = ReadLayout(file.get(), &layout); !r.empty()) return r;
  if (Reason r = CheckStrips(file.get(), layout, size); !r.empty()) return r;
  // Whole rows cover the picture, so it need not be cleared first.
  picture->Allocate(int(layout.width), int(layout.height), layout.colorPlanes, layout.alpha ? 1 : 0,
                    layout.depth, !DirectRows(layout));
  Decoder decoder(file.get(), layout, picture);
  if (std::optional<Reason> r = DecodeShared(path, file, layout, &decoder, picture)) return *r;
  if (Reason r = decoder.Run(); !r.empty()) return file.HasError() ? file.ErrorOr(r) : r;
  decoder.Finish();
  return {};
}

namespace {

// One strip as a Deflate writer stores it: the rows on the file scale, each
// with horizontal prediction (every sample minus the one a pixel before it,
// modulo its size), compressed into a zlib stream.
class StripEncoder {
 public:
  explicit StripEncoder(const host::Picture& picture)
      : picture_(picture), compressor_(libdeflate_alloc_compressor(1)) {}
  ~StripEncoder() {
    if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
  }
  StripEncoder(const StripEncoder&) = delete;
  StripEncoder& operator=(const StripEncoder&) = delete;

  // Rows first .. first + count - 1 into *out; false when out of memory.
  bool Encode(int first, int count, std::vector<std::uint8_t>* out) {
    if (compressor_ == nullptr) return false;
    const std::size_t row_bytes = picture_.RowBytes();
    raw_.resize(row_bytes * std::size_t(count));
    for (int r = 0; r < count; ++r) {
      std::uint8_t* row = raw_.data() + row_bytes * std::size_t(r);
      std::memcpy(row, picture_.Row(first + r), row_bytes);
      Predict(row);
    }
    out->resize(libdeflate_zlib_compress_bound(compressor_, raw_.size()));
    const std::size_t size =
        libdeflate_zlib_compress(compressor_, raw_.data(), raw_.size(), out->data(), out->size());
    if (size == 0) return false;
    out->resize(size);
    return true;
  }

 private:
  void Predict(std::uint8_t* row) const {
    const std::size_t samples = std::size_t(picture_.width) * std::size_t(picture_.planes);
    const std::size_t stride = std::size_t(picture_.planes);
    if (picture_.depth == 16) {
      HostToFileScale(row, samples);
      for (std::size_t i = samples; i-- > stride;)
        Store16(row + 2 * i, std::uint16_t(Load16(row + 2 * i) - Load16(row + 2 * (i - stride))));
    } else {
      for (std::size_t i = samples; i-- > stride;) row[i] = std::uint8_t(row[i] - row[i - stride]);
    }
  }

  const host::Picture& picture_;
  libdeflate_compressor* compressor_;
  std::vector<std::uint8_t> raw_;
};

// Strips compressed per batch on two threads, written in order.
constexpr int kStripsPerBatch = 64;

Reason WriteDeflateStrips(TIFF* tif, const host::Picture& picture, std::uint32_t rows_per_strip) {
  const int per_strip = int(rows_per_strip);
  const int strips = (picture.height + per_strip - 1) / per_strip;
  StripEncoder even(picture), odd(picture);
  StripEncoder* const encoders[2] = {&even, &odd};
  std::vector<std::vector<std::uint8_t>> batch(kStripsPerBatch);
  auto encode = [&](int half, int first_strip, int count) {
    bool ok = true;
    for (int k = half; k < count; k += 2) {
      const int strip = first_strip + k;
      const int first_row = strip * per_strip;
      ok = ok && encoders[half]->Encode(first_row, std::min(per_strip, picture.height - first_row),
                                        &batch[std::size_t(k)]);
    }
    return ok;
  };
  for (int first = 0; first < strips; first += kStripsPerBatch) {
    const int count = std::min(kStripsPerBatch, strips - first);
    bool ok = true;
    std::future<bool> other;
    try {
      other = std::async(std::launch::async, encode, 1, first, count);
    } catch (const std::system_error&) {
    }
    ok = encode(0, first, count);
    const bool other_ok = other.valid() ? other.get() : encode(1, first, count);
    if (!ok || !other_ok) return "not enough memory to compress the picture";
    for (int k = 0; k < count; ++k) {
      std::vector<std::uint8_t>& data = batch[std::size_t(k)];
      if (TIFFWriteRawStrip(tif, tstrip_t(first + k), data.data(), tmsize_t(data.size())) < 0)
        return "write failed";
    }
  }
  return {};
}

}  // namespace

Reason WriteTiff(int fd, const std::string& path, const host::Picture& picture,
                 TiffCompression compression) {
  TiffFile file(fd, path, "w");
  TIFF* tif = file.get();
  if (tif == nullptr) return file.ErrorOr("cannot start the TIFF file");
  bool alpha = picture.HasAlpha();
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(picture.width));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(picture.height));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, std::uint16_t(picture.depth));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(picture.planes));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
               picture.colorPlanes == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(tif, TIFFTAG_COMPRESSION,
               compression == TiffCompression::kLzw ? COMPRESSION_LZW : COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (alpha) {
    std::uint16_t kind = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, std::uint16_t(1), &kind);
  }
  const std::uint32_t rows_per_strip = TIFFDefaultStripSize(tif, 0);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
  // Deflate strips are compressed here, two at a time, and at the fastest
  // level: on a large stack the default level costs about a third of the whole
  // run, for files only a few percent smaller (2-3% on the benchmark series).
  // libtiff only stores them.
  if (compression != TiffCompression::kLzw && picture.height > 0) {
    if (Reason r = WriteDeflateStrips(tif, picture, std::max<std::uint32_t>(rows_per_strip, 1));
        !r.empty())
      return file.ErrorOr(r);
    if (!file.Close()) return file.ErrorOr("write failed");
    return {};
  }
  // libtiff may modify the row it is given (prediction), so rows are copied.
  std::vector<std::uint8_t> row(picture.RowBytes());
  std::size_t samples = std::size_t(picture.width) * std::size_t(picture.planes);
  for (int y = 0; y < picture.height; ++y) {
    std::memcpy(row.data(), picture.Row(y), row.size());
    if (picture.depth == 16) HostToFileScale(row.data(), samples);
    if (TIFFWriteScanline(tif, row.data(), std::uint32_t(y), 0) < 0)
      return file.ErrorOr("write failed");
  }
  if (!file.Close()) return file.ErrorOr("write failed");
  return {};
}

}  // namespace imageio::detail
