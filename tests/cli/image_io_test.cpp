// Image files written then read back in every format, depth and mode; TIFF
// layouts written directly with libtiff; the 16-bit sample scale; and the
// one-line refusals of damaged, unsupported and oversized files.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "cli/hostlib/picture.h"
#include "cli/image/image_io.h"
#include "cli/image/sample_scale.h"
#include "support/temp_root.h"

namespace {

using host::Picture;
namespace fs = std::filesystem;

// A picture with a deterministic, varied content on the given scale (16-bit
// samples stay within 0..32768).
Picture MakePicture(int width, int height, int colour, bool alpha, int depth, unsigned seed = 1) {
  Picture p;
  p.Allocate(width, height, colour, alpha ? 1 : 0, depth);
  std::mt19937 rng(seed);
  std::uint32_t max = depth == 16 ? imageio::kHostWhite16 : 255u;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < p.planes; ++k) {
        std::uint32_t v = rng() % (max + 1);
        if (x == 0 && y == 0) v = max;  // the extremes are always present
        if (x == 1 && y == 0) v = 0;
        p.Set(x, y, k, v);
      }
  return p;
}

// A smooth picture, for the lossy JPEG round trip.
Picture MakeSmooth(int width, int height, int colour, int depth) {
  Picture p;
  p.Allocate(width, height, colour, 0, depth);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < colour; ++k) {
        std::uint32_t v8 = std::uint32_t((x * 3 + y * 2 + k * 40) % 256);
        p.Set(x, y, k, depth == 8 ? v8 : v8 * 128u);
      }
  return p;
}

void ExpectSame(const Picture& a, const Picture& b) {
  ASSERT_EQ(a.width, b.width);
  ASSERT_EQ(a.height, b.height);
  ASSERT_EQ(a.planes, b.planes);
  ASSERT_EQ(a.colorPlanes, b.colorPlanes);
  ASSERT_EQ(a.depth, b.depth);
  EXPECT_TRUE(a.data == b.data);
}

std::vector<char> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

class ImageIoTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (root_.dir() / name).string(); }

  // Reading fails with one line that names the file.
  void ExpectRefused(const std::string& path, const std::string& reason_part) {
    Picture p;
    imageio::Status s = imageio::ReadImage(path, &p);
    EXPECT_FALSE(s.ok) << path;
    EXPECT_NE(s.message.find(path), std::string::npos) << s.message;
    EXPECT_EQ(s.message.find('\n'), std::string::npos) << s.message;
    EXPECT_NE(s.message.find(reason_part), std::string::npos) << s.message;
    EXPECT_TRUE(p.data.empty());
    imageio::ImageInfo info;
    imageio::Status probe = imageio::ProbeImage(path, &info);
    // Damaged pixel data may pass the header probe; everything else must not.
    if (!probe.ok) {
      EXPECT_NE(probe.message.find(path), std::string::npos) << probe.message;
    }
  }

  testsupport::TempRoot root_;
};

TEST_F(ImageIoTest, PngAndTiffRoundTripEveryDepthAndModeExactly) {
  const char* names[] = {"p.png", "d.tif", "l.tiff"};
  for (const char* name : names) {
    for (int depth : {8, 16}) {
      for (int colour : {1, 3}) {
        for (bool alpha : {false, true}) {
          SCOPED_TRACE(std::string(name) + " depth " + std::to_string(depth) + " colour " +
                       std::to_string(colour) + " alpha " + std::to_string(alpha));
          Picture in = MakePicture(37, 23, colour, alpha, depth, unsigned(depth + colour + alpha));
          imageio::WriteOptions options;
          if (std::string(name) == "l.tiff")
            options.tiffCompression = imageio::TiffCompression::kLzw;
          imageio::Status w = imageio::WriteImage(Path(name), in, options);
          ASSERT_TRUE(w.ok) << w.message;
          imageio::ImageInfo info;
          imageio::Status probe = imageio::ProbeImage(Path(name), &info);
          ASSERT_TRUE(probe.ok) << probe.message;
          EXPECT_EQ(info.width, 37);
          EXPECT_EQ(info.height, 23);
          EXPECT_EQ(info.depth, depth);
          EXPECT_EQ(info.colorPlanes, colour);
          EXPECT_EQ(info.alpha, alpha);
          Picture out;
          imageio::Status r = imageio::ReadImage(Path(name), &out);
          ASSERT_TRUE(r.ok) << r.message;
          ExpectSame(in, out);
        }
      }
    }
  }
}

// Deflate TIFFs are compressed strip by strip in batches on two threads: many
// strips, a last batch and a last strip that are partial, must come back
// exactly, and as the same pixels as the LZW writer, which libtiff encodes.
TEST_F(ImageIoTest, DeflateTiffOfManyStripsReadsBackAsItsLzwTwin) {
  struct Case {
    int width, height, colour;
    bool alpha;
    int depth;
  };
  const Case cases[] = {{700, 301, 3, true, 16}, {2500, 400, 1, false, 8}, {9, 1, 3, false, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    const Picture in = MakePicture(c.width, c.height, c.colour, c.alpha, c.depth, 11u);
    ASSERT_TRUE(imageio::WriteImage(Path("d.tif"), in).ok);
    imageio::WriteOptions lzw;
    lzw.tiffCompression = imageio::TiffCompression::kLzw;
    ASSERT_TRUE(imageio::WriteImage(Path("l.tif"), in, lzw).ok);
    Picture deflated, twin;
    imageio::Status r = imageio::ReadImage(Path("d.tif"), &deflated);
    ASSERT_TRUE(r.ok) << r.message;
    ASSERT_TRUE(imageio::ReadImage(Path("l.tif"), &twin).ok);
    ExpectSame(in, deflated);
    ExpectSame(twin, deflated);
    TIFF* tif = TIFFOpen(Path("d.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    if (c.height > 64) {
      EXPECT_GT(TIFFNumberOfStrips(tif), 64u);
    }
    TIFFClose(tif);
  }
}

TEST_F(ImageIoTest, JpegRoundTripIsCloseAndDropsAlphaAndDepth) {
  for (int colour : {1, 3}) {
    for (int depth : {8, 16}) {
      SCOPED_TRACE("colour " + std::to_string(colour) + " depth " + std::to_string(depth));
      Picture in = MakeSmooth(40, 30, colour, depth);
      ASSERT_TRUE(imageio::WriteImage(Path("j.jpg"), in).ok);
      Picture out;
      imageio::Status r = imageio::ReadImage(Path("j.jpg"), &out);
      ASSERT_TRUE(r.ok) << r.message;
      ASSERT_EQ(out.depth, 8);
      ASSERT_EQ(out.colorPlanes, colour);
      ASSERT_EQ(out.planes, colour);
      ASSERT_EQ(out.width, 40);
      ASSERT_EQ(out.height, 30);
      int worst = 0;
      for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
          for (int k = 0; k < colour; ++k) {
            int expected = int(in.Get(x, y, k));
            if (depth == 16) expected = imageio::Host16To8(std::uint16_t(expected));
            worst = std::max(worst, std::abs(expected - int(out.Get(x, y, k))));
          }
      EXPECT_LE(worst, 12);
    }
  }
  // Transparency cannot be kept in a JPEG file: the colour survives alone.
  Picture rgba = MakeSmooth(16, 16, 3, 8);
  Picture with_alpha;
  with_alpha.Allocate(16, 16, 3, 1, 8);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      for (int k = 0; k < 3; ++k) with_alpha.Set(x, y, k, rgba.Get(x, y, k));
      with_alpha.Set(x, y, 3, 7);
    }
  ASSERT_TRUE(imageio::WriteImage(Path("a.jpeg"), with_alpha).ok);
  Picture out;
  ASSERT_TRUE(imageio::ReadImage(Path("a.jpeg"), &out).ok);
  EXPECT_EQ(out.planes, 3);
}

TEST(SampleScale, EndpointsAndEveryHostValueSurviveARoundTrip) {
  EXPECT_EQ(imageio::HostFromFile16(0), 0);
  EXPECT_EQ(imageio::HostFromFile16(65535), 32768);
  EXPECT_EQ(imageio::FileFromHost16(0), 0);
  EXPECT_EQ(imageio::FileFromHost16(32768), 65535);
  EXPECT_EQ(imageio::FileFromHost16(40000), 65535);  // out of range clips, not wraps
  std::uint16_t previous = 0;
  for (std::uint32_t v = 0; v <= 65535; ++v) {
    std::uint16_t h = imageio::HostFromFile16(std::uint16_t(v));
    // Round to nearest of v * 32768 / 65535, computed in doubles.
    std::uint32_t nearest = std::uint32_t(double(v) * 32768.0 / 65535.0 + 0.5);
    ASSERT_EQ(h, nearest) << v;
    ASSERT_GE(h, previous);
    previous = h;
  }
  for (std::uint32_t h = 0; h <= 32768; ++h)
    ASSERT_EQ(imageio::HostFromFile16(imageio::FileFromHost16(std::uint16_t(h))), h) << h;
}

// Every host value written to 16-bit PNG and TIFF comes back; and the file
// holds the file-scale values, read here directly with libtiff.
TEST_F(ImageIoTest, EverySixteenBitHostValueSurvivesTheFiles) {
  Picture in;
  in.Allocate(257, 128, 1, 0, 16);  // 32896 samples, covers 0..32768
  for (int i = 0; i < in.width * in.height; ++i)
    in.Set(i % in.width, i / in.width, 0, std::uint32_t(std::min(i, 32768)));
  for (const char* name : {"all.png", "all.tif"}) {
    ASSERT_TRUE(imageio::WriteImage(Path(name), in).ok);
    Picture out;
    ASSERT_TRUE(imageio::ReadImage(Path(name), &out).ok);
    ExpectSame(in, out);
  }
  TIFF* tif = TIFFOpen(Path("all.tif").c_str(), "r");
  ASSERT_NE(tif, nullptr);
  std::vector<std::uint16_t> row(257);
  ASSERT_EQ(TIFFReadScanline(tif, row.data(), 0, 0), 1);
  EXPECT_EQ(row[0], 0);
  EXPECT_EQ(row[1], 2);      // (1 * 131070 + 32768) / 65536
  EXPECT_EQ(row[100], 200);  // (100 * 131070 + 32768) / 65536
  for (std::uint32_t y = 1; y < 128; ++y) ASSERT_EQ(TIFFReadScanline(tif, row.data(), y, 0), 1);
  EXPECT_EQ(row[256], 65535);  // host 32768
  TIFFClose(tif);
}

// --- TIFF layouts written by libtiff itself ---------------------------------

struct TiffVariant {
  std::uint16_t compression;
  bool separate;
  bool tiled;
  int depth;
  bool bigEndian;
};

// Writes a picture (on the file scale) with the given layout.
void WriteTiffVariant(const std::string& path, const Picture& file_scale, const TiffVariant& v,
                      int photometric = -1, std::uint16_t extra = EXTRASAMPLE_UNASSALPHA) {
  TIFF* tif = TIFFOpen(path.c_str(), v.bigEndian ? "wb" : "wl");
  ASSERT_NE(tif, nullptr);
  const Picture& p = file_scale;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(p.width));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(p.height));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, std::uint16_t(p.depth));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(p.planes));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
               photometric >= 0 ? std::uint16_t(photometric)
                                : (p.colorPlanes == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, v.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, v.compression);
  if (p.HasAlpha()) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, std::uint16_t(1), &extra);
  int bps = p.depth / 8;
  if (v.tiled) {
    const std::uint32_t tw = 16, th = 16;
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, tw);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, th);
    int planes = v.separate ? p.planes : 1;
    int per = v.separate ? 1 : p.planes;
    std::vector<std::uint8_t> tile(std::size_t(TIFFTileSize(tif)));
    for (int plane = 0; plane < planes; ++plane)
      for (std::uint32_t y0 = 0; y0 < std::uint32_t(p.height); y0 += th)
        for (std::uint32_t x0 = 0; x0 < std::uint32_t(p.width); x0 += tw) {
          std::fill(tile.begin(), tile.end(), 0);
          for (std::uint32_t y = 0; y < th && y0 + y < std::uint32_t(p.height); ++y)
            for (std::uint32_t x = 0; x < tw && x0 + x < std::uint32_t(p.width); ++x)
              for (int s = 0; s < per; ++s) {
                std::uint32_t value = p.Get(int(x0 + x), int(y0 + y), v.separate ? plane : s);
                std::size_t i = (std::size_t(y) * tw + x) * std::size_t(per) + std::size_t(s);
                if (bps == 1) {
                  tile[i] = std::uint8_t(value);
                } else {
                  std::uint16_t w = std::uint16_t(value);
                  std::memcpy(&tile[2 * i], &w, 2);
                }
              }
          ASSERT_GE(TIFFWriteTile(tif, tile.data(), x0, y0, 0, tsample_t(plane)), 0);
        }
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, std::uint32_t(5));
    int planes = v.separate ? p.planes : 1;
    int per = v.separate ? 1 : p.planes;
    std::vector<std::uint8_t> row(std::size_t(p.width) * std::size_t(per) * std::size_t(bps));
    for (int plane = 0; plane < planes; ++plane)
      for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x)
          for (int s = 0; s < per; ++s) {
            std::uint32_t value = p.Get(x, y, v.separate ? plane : s);
            std::size_t i = std::size_t(x) * std::size_t(per) + std::size_t(s);
            if (bps == 1) {
              row[i] = std::uint8_t(value);
            } else {
              std::uint16_t w = std::uint16_t(value);
              std::memcpy(&row[2 * i], &w, 2);
            }
          }
        ASSERT_GE(TIFFWriteScanline(tif, row.data(), std::uint32_t(y), tsample_t(plane)), 0);
      }
  }
  TIFFClose(tif);
}

Picture ToFileScale(const Picture& host) {
  Picture f = host;
  if (f.depth == 16)
    for (int y = 0; y < f.height; ++y)
      for (int x = 0; x < f.width; ++x)
        for (int k = 0; k < f.planes; ++k)
          f.Set(x, y, k, imageio::FileFromHost16(std::uint16_t(host.Get(x, y, k))));
  return f;
}

TEST_F(ImageIoTest, ReadsEveryTiffCompressionPlaneArrangementAndTiling) {
  const std::uint16_t compressions[] = {COMPRESSION_NONE, COMPRESSION_LZW,
                                        COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS};
  int n = 0;
  for (std::uint16_t compression : compressions)
    for (bool separate : {false, true})
      for (bool tiled : {false, true})
        for (int depth : {8, 16}) {
          TiffVariant v{compression, separate, tiled, depth, (n % 3) == 0};
          ++n;
          SCOPED_TRACE("compression " + std::to_string(compression) + " separate " +
                       std::to_string(separate) + " tiled " + std::to_string(tiled) + " depth " +
                       std::to_string(depth) + " big-endian " + std::to_string(v.bigEndian));
          Picture host = MakePicture(35, 21, 3, true, depth, unsigned(n));
          WriteTiffVariant(Path("v.tif"), ToFileScale(host), v);
          Picture out;
          imageio::Status r = imageio::ReadImage(Path("v.tif"), &out);
          ASSERT_TRUE(r.ok) << r.message;
          ExpectSame(host, out);
        }
}

// A picture that is read into again keeps its buffer when the size allows:
// every file must then read exactly as into an empty picture, whatever the
// picture held before (other samples, another layout, or a failed read).
TEST_F(ImageIoTest, ReadingIntoAPictureInUseGivesWhatAFreshPictureGets) {
  std::vector<std::string> files;
  int n = 0;
  for (int depth : {8, 16})
    for (bool alpha : {false, true})
      for (int colour : {1, 3}) {
        ++n;
        const std::string name = "r" + std::to_string(n) + (n % 2 ? ".png" : ".tif");
        // Same byte size for most, so that their buffers are reused.
        const int width = colour == 3 && !alpha ? 24 : 36;
        ASSERT_TRUE(
            imageio::WriteImage(Path(name), MakePicture(width, 6, colour, alpha, depth, 90u + n))
                .ok);
        files.push_back(Path(name));
      }
  // Tiled with partial edge tiles, and one that cannot be read.
  WriteTiffVariant(Path("tiled.tif"), ToFileScale(MakePicture(35, 21, 3, true, 16, 7)),
                   TiffVariant{COMPRESSION_ADOBE_DEFLATE, true, true, 16, false});
  files.push_back(Path("tiled.tif"));
  std::ofstream(Path("broken.tif"), std::ios::binary) << std::string(300, 'z');
  files.push_back(Path("broken.tif"));
  files.push_back(files[3]);

  Picture reused = MakePicture(24, 6, 3, false, 16, 1);
  for (int round = 0; round < 2; ++round) {
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      Picture fresh;
      const imageio::Status expected = imageio::ReadImage(file, &fresh);
      const imageio::Status got = imageio::ReadImage(file, &reused);
      ASSERT_EQ(got.ok, expected.ok);
      EXPECT_EQ(got.message, expected.message);
      ExpectSame(fresh, reused);
    }
  }
}

TEST_F(ImageIoTest, TiffGreyWhiteIsZeroAndPremultipliedAlphaAreUndone) {
  Picture host = MakePicture(20, 9, 1, false, 8, 5);
  Picture inverted = host;
  for (auto& b : inverted.data) b = std::uint8_t(255 - b);
  WriteTiffVariant(Path("w.tif"), inverted, {COMPRESSION_NONE, false, false, 8, false},
                   PHOTOMETRIC_MINISWHITE);
  Picture out;
  ASSERT_TRUE(imageio::ReadImage(Path("w.tif"), &out).ok);
  ExpectSame(host, out);

  // Premultiplied: colour 200 at alpha 128 is stored as 100.
  Picture pre;
  pre.Allocate(2, 1, 1, 1, 8);
  pre.Set(0, 0, 0, 100);
  pre.Set(0, 0, 1, 128);
  pre.Set(1, 0, 0, 0);
  pre.Set(1, 0, 1, 0);
  WriteTiffVariant(Path("pre.tif"), pre, {COMPRESSION_NONE, false, false, 8, false}, -1,
                   EXTRASAMPLE_ASSOCALPHA);
  ASSERT_TRUE(imageio::ReadImage(Path("pre.tif"), &out).ok);
  ASSERT_EQ(out.planes, 2);
  EXPECT_EQ(out.Get(0, 0, 0), 199u);  // (100 * 255 + 64) / 128
  EXPECT_EQ(out.Get(0, 0, 1), 128u);
  EXPECT_EQ(out.Get(1, 0, 0), 0u);
}

TEST_F(ImageIoTest, PalettesExpandToRgb) {
  // PNG palette written with libpng directly.
  {
    std::FILE* f = std::fopen(Path("pal.png").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, 4, 2, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color colours[3] = {{255, 0, 0}, {0, 128, 0}, {10, 20, 30}};
    png_set_PLTE(png, info, colours, 3);
    png_write_info(png, info);
    png_byte rows[2][4] = {{0, 1, 2, 0}, {2, 2, 1, 0}};
    for (auto& row : rows) png_write_row(png, row);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
  }
  Picture out;
  imageio::Status r = imageio::ReadImage(Path("pal.png"), &out);
  ASSERT_TRUE(r.ok) << r.message;
  ASSERT_EQ(out.colorPlanes, 3);
  ASSERT_EQ(out.planes, 3);
  ASSERT_EQ(out.depth, 8);
  EXPECT_EQ(out.Get(1, 0, 1), 128u);
  EXPECT_EQ(out.Get(0, 1, 0), 10u);
  EXPECT_EQ(out.Get(0, 1, 2), 30u);
  EXPECT_EQ(out.Get(3, 1, 0), 255u);

  // TIFF palette with 16-bit colour map entries, 4-bit indices.
  TIFF* tif = TIFFOpen(Path("pal.tif").c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(3));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(1));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, std::uint16_t(4));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(1));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
  std::vector<std::uint16_t> r16(16, 0), g16(16, 0), b16(16, 0);
  r16[1] = 65535;
  g16[2] = 257 * 100;
  b16[15] = 257 * 7;
  TIFFSetField(tif, TIFFTAG_COLORMAP, r16.data(), g16.data(), b16.data());
  std::uint8_t row[2] = {0x12, 0xF0};  // indices 1, 2, 15
  ASSERT_GE(TIFFWriteScanline(tif, row, 0, 0), 0);
  TIFFClose(tif);
  r = imageio::ReadImage(Path("pal.tif"), &out);
  ASSERT_TRUE(r.ok) << r.message;
  ASSERT_EQ(out.planes, 3);
  EXPECT_EQ(out.Get(0, 0, 0), 255u);
  EXPECT_EQ(out.Get(1, 0, 1), 100u);
  EXPECT_EQ(out.Get(2, 0, 2), 7u);
  EXPECT_EQ(out.Get(2, 0, 0), 0u);
}

// Interlaced 16-bit grey with a transparent colour, written by libpng: the
// interlacing is undone and the transparent colour becomes an alpha plane.
TEST_F(ImageIoTest, InterlacedPngWithATransparentColourReadsAsGreyWithAlpha) {
  const int w = 13, h = 11;
  std::FILE* f = std::fopen(Path("adam7.png").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_ADAM7,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color_16 transparent{};
  transparent.gray = 1000;
  png_set_tRNS(png, info, nullptr, 0, &transparent);
  png_write_info(png, info);
  std::vector<std::vector<png_byte>> rows(h, std::vector<png_byte>(2 * w));
  std::vector<png_bytep> pointers;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint16_t v = (x + y) % 5 == 0 ? 1000 : std::uint16_t(x * 5000 + y * 7);
      rows[y][2 * x] = png_byte(v >> 8);
      rows[y][2 * x + 1] = png_byte(v & 0xff);
    }
    pointers.push_back(rows[y].data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);

  Picture out;
  imageio::Status r = imageio::ReadImage(Path("adam7.png"), &out);
  ASSERT_TRUE(r.ok) << r.message;
  ASSERT_EQ(out.depth, 16);
  ASSERT_EQ(out.colorPlanes, 1);
  ASSERT_EQ(out.planes, 2);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bool clear = (x + y) % 5 == 0;
      std::uint16_t v = clear ? 1000 : std::uint16_t(x * 5000 + y * 7);
      EXPECT_EQ(out.Get(x, y, 0), imageio::HostFromFile16(v)) << x << "," << y;
      EXPECT_EQ(out.Get(x, y, 1), clear ? 0u : 32768u) << x << "," << y;
    }
}

// --- refusals -----------------------------------------------------------------

TEST_F(ImageIoTest, TruncatedAndCorruptFilesAreRefusedNamingTheFile) {
  Picture in = MakePicture(64, 64, 3, false, 8, 9);
  for (const char* name : {"t.png", "t.tif", "t.jpg"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(imageio::WriteImage(Path(name), in).ok);
    std::vector<char> bytes = ReadBytes(Path(name));
    std::vector<char> half(bytes.begin(), bytes.begin() + std::ptrdiff_t(bytes.size() / 2));
    WriteBytes(Path(name), half);
    ExpectRefused(Path(name), "");
    std::vector<char> header_only(bytes.begin(), bytes.begin() + 10);
    WriteBytes(Path(name), header_only);
    ExpectRefused(Path(name), "");
    WriteBytes(Path(name), std::vector<char>(500, 'x'));
    ExpectRefused(Path(name), "");
    WriteBytes(Path(name), {});
    ExpectRefused(Path(name), "");
  }
  ExpectRefused(Path("missing.png"), "no such file");
  ExpectRefused(Path("x.bmp"), "unsupported file type");
}

// Damaged files of every format, made by flipping bytes of good ones: a reader
// either delivers a picture of the file's size or refuses it in one line, and
// never reads or writes out of bounds (run under the sanitizers).
TEST_F(ImageIoTest, RandomlyDamagedFilesAreReadOrRefusedCleanly) {
  std::mt19937 rng(2024);
  for (const char* name : {"m.png", "m.tif", "m.jpg"}) {
    for (int depth : {8, 16}) {
      SCOPED_TRACE(std::string(name) + " depth " + std::to_string(depth));
      Picture in = MakePicture(21, 17, 3, std::string(name) != "m.jpg", depth, 77);
      ASSERT_TRUE(imageio::WriteImage(Path(name), in).ok);
      const std::vector<char> good = ReadBytes(Path(name));
      for (int round = 0; round < 150; ++round) {
        std::vector<char> bad = good;
        int flips = 1 + int(rng() % 4);
        for (int i = 0; i < flips; ++i) bad[rng() % bad.size()] = char(rng() & 0xff);
        if (round % 10 == 0) bad.resize(rng() % bad.size());
        WriteBytes(Path(name), bad);
        Picture out;
        imageio::Status r = imageio::ReadImage(Path(name), &out);
        if (r.ok) {
          EXPECT_EQ(out.data.size(), out.RowBytes() * std::size_t(out.height));
          EXPECT_LE(out.width, imageio::kMaxDimension);
        } else {
          EXPECT_NE(r.message.find(Path(name)), std::string::npos) << r.message;
          EXPECT_EQ(r.message.find('\n'), std::string::npos) << r.message;
          EXPECT_TRUE(out.data.empty());
        }
      }
    }
  }
}

TEST_F(ImageIoTest, UnsupportedSampleFormatsAreRefused) {
  auto write_tiff = [&](const std::string& name, std::uint16_t photometric, std::uint16_t samples,
                        std::uint16_t bits, std::uint16_t format) {
    TIFF* tif = TIFFOpen(Path(name).c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(4));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(2));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, format);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    std::vector<std::uint8_t> row(std::size_t(4) * samples * bits / 8, 0);
    for (std::uint32_t y = 0; y < 2; ++y) ASSERT_GE(TIFFWriteScanline(tif, row.data(), y, 0), 0);
    TIFFClose(tif);
  };
  write_tiff("cmyk.tif", PHOTOMETRIC_SEPARATED, 4, 8, SAMPLEFORMAT_UINT);
  ExpectRefused(Path("cmyk.tif"), "CMYK");
  write_tiff("float.tif", PHOTOMETRIC_MINISBLACK, 1, 32, SAMPLEFORMAT_IEEEFP);
  ExpectRefused(Path("float.tif"), "floating-point");
  write_tiff("deep.tif", PHOTOMETRIC_RGB, 3, 32, SAMPLEFORMAT_UINT);
  ExpectRefused(Path("deep.tif"), "32-bit");

  // CMYK JPEG, written with libjpeg.
  {
    std::FILE* f = std::fopen(Path("cmyk.jpg").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = 8;
    c.image_height = 8;
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(32, 50);
    JSAMPROW rows[1] = {row.data()};
    while (c.next_scanline < c.image_height) jpeg_write_scanlines(&c, rows, 1);
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
  }
  ExpectRefused(Path("cmyk.jpg"), "CMYK");
}

TEST_F(ImageIoTest, OversizedPicturesAreRefusedFromTheHeader) {
  // 40000 x 1 grey: small files, but wider than the host interface allows.
  Picture wide;
  wide.Allocate(40000, 1, 1, 0, 8);
  TIFF* tif = TIFFOpen(Path("wide.tif").c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(40000));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(1));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, std::uint16_t(8));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(1));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  ASSERT_GE(TIFFWriteScanline(tif, wide.data.data(), 0, 0), 0);
  TIFFClose(tif);
  ExpectRefused(Path("wide.tif"), "32767");

  std::FILE* f = std::fopen(Path("tall.png").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, 1, 40000, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_byte px = 0;
  for (int y = 0; y < 40000; ++y) png_write_row(png, &px);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
  ExpectRefused(Path("tall.png"), "32767");
}

TEST_F(ImageIoTest, AFailedWriteLeavesTheTargetAlone) {
  Picture in = MakePicture(8, 8, 3, false, 8);
  imageio::Status s = imageio::WriteImage(Path("nodir/out.png"), in);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("nodir/out.png"), std::string::npos) << s.message;

  ASSERT_TRUE(imageio::WriteImage(Path("keep.png"), in).ok);
  std::vector<char> before = ReadBytes(Path("keep.png"));
  Picture broken = in;
  broken.data.resize(5);  // does not match its size
  EXPECT_FALSE(imageio::WriteImage(Path("keep.png"), broken).ok);
  EXPECT_EQ(ReadBytes(Path("keep.png")), before);
  for (const auto& entry : fs::directory_iterator(root_.dir()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

}  // namespace
