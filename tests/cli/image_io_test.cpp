// Image files written then read back in every format, depth, mode and TIFF
// layout, and the 16-bit sample scale. (Refusals: sharpstack_test.cpp.)
#include "cli/image/image_io.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <png.h>
#include <tiffio.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cli/hostlib/picture.h"
#include "cli/image/codec.h"
#include "cli/image/sample_scale.h"
#include "support/pictures.h"
#include "support/sharpstack_process.h"
#include "support/temp_root.h"
#include "tools/series/series.h"

namespace {

using host::Picture;
namespace fs = std::filesystem;
// Random samples with both extremes (seed 0: a ramp over every value; smooth:
// a gentle gradient, for the lossy JPEG, whose 16-bit values convert back to
// the 8-bit ones exactly).
Picture MakePicture(int width, int height, int colour, bool alpha, int depth, unsigned seed,
                    bool smooth = false) {
  Picture p;
  p.Allocate(width, height, colour, alpha ? 1 : 0, depth);
  std::mt19937 rng(seed);
  const std::uint32_t max = depth == 16 ? imageio::kHostWhite16 : 255u;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < p.planes; ++k) {
        std::uint32_t v = rng() % (max + 1);
        if (y == 0 && x < 2) v = x == 0 ? max : 0;
        if (smooth) v = (std::uint32_t(x * 3 + y * 2 + k * 40) % 256 * max + 127) / 255;
        if (seed == 0) v = std::min(std::uint32_t(y * width + x), max);
        p.Set(x, y, k, v);
      }
  return p;
}

using testsupport::ExpectSamePicture;

struct TiffLayout {
  std::uint16_t compression = COMPRESSION_NONE;
  bool separate = false, tiled = false, bigEndian = false;
  int photometric = -1;
  std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
};

// Writes a picture with libtiff itself, 16-bit samples on the file scale, in
// strips of 5 rows or 16x16 tiles.
void WriteTiff(const std::string& path, const Picture& p, const TiffLayout& v) {
  TIFF* tif = TIFFOpen(path.c_str(), v.bigEndian ? "wb" : "wl");
  ASSERT_NE(tif, nullptr);
  const int rgb = p.colorPlanes == 3, per = v.separate ? 1 : p.planes, bps = p.depth / 8;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(p.width));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(p.height));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, std::uint16_t(p.depth));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(p.planes));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
               v.photometric >= 0 ? v.photometric
               : rgb              ? PHOTOMETRIC_RGB
                                  : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, v.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, v.compression);
  if (p.HasAlpha()) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, std::uint16_t(1), &v.extra);
  TIFFSetField(tif, v.tiled ? TIFFTAG_TILEWIDTH : TIFFTAG_ROWSPERSTRIP, v.tiled ? 16 : 5);
  if (v.tiled) TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
  const int tw = v.tiled ? 16 : p.width, th = v.tiled ? 16 : 1;  // a tile or a scanline
  std::vector<std::uint8_t> unit(std::size_t(tw * th * per * bps));
  for (int plane = 0; plane < p.planes / per; ++plane)
    for (int y0 = 0; y0 < p.height; y0 += th)
      for (int x0 = 0; x0 < p.width; x0 += tw) {
        std::fill(unit.begin(), unit.end(), 0);
        for (int i = 0; i < tw * th * per; ++i) {
          const int x = x0 + i / per % tw, y = y0 + i / per / tw;
          if (x >= p.width || y >= p.height) continue;
          std::uint16_t value = std::uint16_t(p.Get(x, y, plane + i % per));
          if (bps == 2) value = imageio::FileFromHost16(value);
          if (v.photometric == PHOTOMETRIC_MINISWHITE && plane + i % per == 0)
            value = std::uint16_t((bps == 2 ? 65535 : 255) - value);           // white is zero
          std::memcpy(&unit[std::size_t(i * bps)], &value, std::size_t(bps));  // little-endian
        }
        ASSERT_GE(v.tiled ? TIFFWriteTile(tif, unit.data(), x0, y0, 0, tsample_t(plane))
                          : TIFFWriteScanline(tif, unit.data(), y0, tsample_t(plane)),
                  0);
      }
  TIFFClose(tif);
}

class ImageIoTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (root_.dir() / name).string(); }

  Picture Read(const std::string& name) const { return testsupport::LoadPicture(Path(name)); }

  testsupport::TempRoot root_;
};

// PNG and TIFF come back exactly (deflate TIFFs of many strips, compressed in
// batches and, above a megabyte, read back by two decoders; every 16-bit host
// value too); JPEG closely, at 8 bits and without transparency. A picture read
// into again, after other layouts or a failed read, holds what a fresh one gets.
TEST_F(ImageIoTest, EveryFormatDepthAndModeReadsBackWhatWasWritten) {
  struct Case {
    const char* name;
    int width, height, colour;
    bool alpha;
    int depth;
    unsigned seed;
    std::optional<TiffLayout> layout = {};  // written by libtiff itself
  };
  std::vector<Case> cases = {{"many.tif", 700, 301, 3, true, 16, 11},
                             {"wide.tif", 2500, 400, 1, false, 8, 11},
                             {"row.tif", 9, 1, 3, false, 16, 11},
                             {"all.png", 257, 128, 1, false, 16, 0},
                             {"all.tif", 257, 128, 1, false, 16, 0}};
  for (const char* name : {"p.png", "d.tif", "l.tiff", "j.jpg"})
    for (int depth : {8, 16})
      for (int colour : {1, 3})
        for (bool alpha : {false, true})
          cases.push_back({name, 37, 23, colour, alpha, depth, unsigned(depth + colour + alpha)});
  // Layouts our writer never makes: every compression, plane arrangement,
  // tiling and byte order, and white-is-zero grey.
  for (std::uint16_t compression :
       {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS})
    for (int i = 0; i < 8; ++i)
      cases.push_back({"v.tif", 35, 21, 3, true, i % 2 ? 16 : 8, unsigned(cases.size()),
                       TiffLayout{compression, i / 2 % 2 == 1, i / 4 == 1, cases.size() % 3 == 0}});
  for (int depth : {8, 16})
    cases.push_back({"w.tif", 20, 9, 1, depth == 16, depth, 5,
                     TiffLayout{.photometric = PHOTOMETRIC_MINISWHITE}});
  std::ofstream(Path("broken.tif")) << std::string(300, 'z');
  Picture reused, first_jpeg[2];
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.name << " " << c.width << "x" << c.height << " depth " << c.depth
                 << " colour " << c.colour << " alpha " << c.alpha << " seed " << c.seed);
    const bool jpeg = std::string(c.name) == "j.jpg";
    const Picture in = MakePicture(c.width, c.height, c.colour, c.alpha, c.depth, c.seed, jpeg);
    imageio::WriteOptions options;
    if (std::string(c.name) == "l.tiff") options.tiffCompression = imageio::TiffCompression::kLzw;
    if (c.layout) {
      WriteTiff(Path(c.name), in, *c.layout);
    } else {
      const imageio::Status w = imageio::WriteImage(Path(c.name), in, options);
      ASSERT_TRUE(w.ok) << w.message;
    }
    imageio::ImageInfo info;
    ASSERT_TRUE(imageio::ProbeImage(Path(c.name), &info).ok);
    const Picture out = Read(c.name);
    // The header alone tells what reading the whole file gives.
    EXPECT_EQ(std::tuple(info.width, info.height, info.colorPlanes, info.depth, info.alpha),
              std::tuple(out.width, out.height, out.colorPlanes, out.depth, out.HasAlpha()));
    if (++n % 5 == 0) {
      ASSERT_FALSE(imageio::ReadImage(Path("broken.tif"), &reused).ok);
    }
    ASSERT_TRUE(imageio::ReadImage(Path(c.name), &reused).ok);
    ExpectSamePicture(out, reused);
    if (!jpeg) {
      ExpectSamePicture(in, out);
      continue;
    }
    // Every JPEG of one colour mode holds the same 8-bit samples: all read back
    // as the first (8-bit, opaque), which is close to what was written.
    Picture& first = first_jpeg[c.colour == 3];
    if (first.data.empty()) {
      first = out;
      EXPECT_GT(series::Psnr(in, out), 45.0);
    }
    ExpectSamePicture(first, out);
  }
  TIFF* tif = TIFFOpen(Path("many.tif").c_str(), "r");
  ASSERT_NE(tif, nullptr);
  EXPECT_GT(TIFFNumberOfStrips(tif), 64u);  // more than one batch
  TIFFClose(tif);
}

// Every value both ways, one at a time and in bulk, against the rounding that
// defines them. Every host value's round trip: the all.png and all.tif rows
// above.
TEST(SampleScale, FileValuesRoundToTheNearestHostValueAndHostValuesClip) {
  std::vector<std::uint16_t> file(65536), host(65536);
  for (std::uint32_t v = 0; v <= 65535; ++v) file[v] = host[v] = std::uint16_t(v);
  imageio::detail::FileToHostScale(reinterpret_cast<std::uint8_t*>(file.data()), file.size());
  imageio::detail::HostToFileScale(reinterpret_cast<std::uint8_t*>(host.data()), host.size());
  for (std::uint32_t v = 0; v <= 65535; ++v) {
    const auto nearest_host = std::uint32_t(double(v) * 32768.0 / 65535.0 + 0.5);
    ASSERT_EQ(imageio::HostFromFile16(std::uint16_t(v)), nearest_host) << v;
    ASSERT_EQ(file[v], nearest_host) << v;
    // Out of range clips, never wraps.
    const auto nearest_file =
        v >= 32768 ? 65535u : std::uint32_t(double(v) * 65535.0 / 32768.0 + 0.5);
    ASSERT_EQ(imageio::FileFromHost16(std::uint16_t(v)), nearest_file) << v;
    ASSERT_EQ(host[v], nearest_file) << v;
  }
}

// Palettes expand to RGB, a palette's or a grey picture's transparent value
// (tRNS) to an alpha plane; premultiplied alpha is undone (colour 200 at
// alpha 128 is stored as 100).
TEST_F(ImageIoTest, PalettesAndTransparentValuesExpandAndPremultipliedAlphaIsUndone) {
  Picture pre;
  pre.Allocate(2, 1, 1, 1, 8);
  pre.data = {100, 128, 0, 0};
  WriteTiff(Path("pre.tif"), pre, {.extra = EXTRASAMPLE_ASSOCALPHA});
  EXPECT_EQ(Read("pre.tif").data, (host::PictureData{199, 128, 0, 0}));
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = 13;
  png.height = 11;
  png.format = PNG_FORMAT_RGBA_COLORMAP;
  png.colormap_entries = 3;
  const png_byte colours[12] = {255, 0, 0, 255, 0, 128, 0, 0, 10, 20, 30, 255};  // RGBA
  std::vector<png_byte> indices(13 * 11);
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = png_byte((i % 13 + i / 13 * 2) % 3);
  ASSERT_TRUE(
      png_image_write_to_file(&png, Path("pal.png").c_str(), 0, indices.data(), 0, colours));
  const Picture out = Read("pal.png");
  ASSERT_EQ(out.planes * 100 + out.depth, 408);
  for (std::size_t i = 0; i < indices.size(); ++i)
    for (int k = 0; k < 4; ++k)
      EXPECT_EQ(out.Get(int(i % 13), int(i / 13), k), colours[indices[i] * 4 + k]) << i;
  // A 16-bit grey PNG of ours given a tRNS chunk after its header.
  const Picture grey = MakePicture(13, 11, 1, false, 16, 5);
  ASSERT_TRUE(imageio::WriteImage(Path("g.png"), grey).ok);
  const std::uint16_t clear = imageio::FileFromHost16(std::uint16_t(grey.Get(3, 2, 0)));
  std::string chunk = std::string("\0\0\0\2tRNS", 8) + char(clear >> 8) + char(clear & 0xFF);
  const std::uint32_t crc = libdeflate_crc32(0, chunk.data() + 4, 6);
  for (int shift : {24, 16, 8, 0}) chunk += char(crc >> shift);
  std::ofstream(Path("t.png"), std::ios::binary)
      << testsupport::Slurp(Path("g.png")).insert(33, chunk);
  const Picture t = Read("t.png");
  ASSERT_EQ(t.planes * 100 + t.depth, 216);
  for (int i = 0; i < 13 * 11; ++i) {
    const std::uint32_t v = grey.Get(i % 13, i / 13, 0);
    EXPECT_EQ(t.Get(i % 13, i / 13, 0), v) << i;
    EXPECT_EQ(t.Get(i % 13, i / 13, 1), v == grey.Get(3, 2, 0) ? 0u : 32768u) << i;
  }
  // TIFF palette: 16-bit colour map entries, 4-bit indices 7, 8, 9.
  std::vector<std::uint16_t> r16(16, 0), g16(16, 0), b16(16, 0);
  r16[7] = 65535;
  g16[8] = 257 * 100;
  b16[9] = 257 * 7;
  testsupport::WriteOneStripTiff(
      Path("pal.tif"), 3, 1, 1, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 4, SAMPLEFORMAT_UINT,
      [&](TIFF* tif) { TIFFSetField(tif, TIFFTAG_COLORMAP, r16.data(), g16.data(), b16.data()); });
  EXPECT_EQ(Read("pal.tif").data, (host::PictureData{255, 0, 0, 0, 100, 0, 0, 0, 7}));
}

TEST_F(ImageIoTest, AFailedWriteLeavesTheTargetAlone) {
  const Picture in = MakePicture(8, 8, 3, false, 8, 1);
  const imageio::Status s = imageio::WriteImage(Path("nodir/out.png"), in);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("nodir/out.png"), std::string::npos) << s.message;
  ASSERT_TRUE(imageio::WriteImage(Path("keep.png"), in).ok);
  const std::string before = testsupport::Slurp(Path("keep.png"));
  Picture broken = in;
  broken.data.resize(5);  // does not match its size
  EXPECT_FALSE(imageio::WriteImage(Path("keep.png"), broken).ok);
  EXPECT_EQ(testsupport::Slurp(Path("keep.png")), before);
  for (const auto& entry : fs::directory_iterator(root_.dir()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

}  // namespace
