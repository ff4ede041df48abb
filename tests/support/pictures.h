// Pictures as the command-line tests load and compare them.
#pragma once

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/hostlib/picture.h"
#include "cli/image/image_io.h"

namespace testsupport {

// Same size, planes, mode, depth and samples; a difference is named by its
// first byte.
inline void ExpectSamePicture(const host::Picture& a, const host::Picture& b) {
  ASSERT_EQ(std::vector<int>({a.width, a.height, a.planes, a.colorPlanes, a.depth}),
            std::vector<int>({b.width, b.height, b.planes, b.colorPlanes, b.depth}));
  const auto diff = std::mismatch(a.data.begin(), a.data.end(), b.data.begin());
  EXPECT_TRUE(diff.first == a.data.end())
      << "first difference at byte " << diff.first - a.data.begin();
}

inline host::Picture LoadPicture(const std::filesystem::path& path) {
  host::Picture p;
  const imageio::Status s = imageio::ReadImage(path.string(), &p);
  EXPECT_TRUE(s.ok) << s.message;
  return p;
}

// A TIFF whose one strip holds 16 bytes (the start of a zlib stream, or
// 4-bit samples 7, 8, 9, 12...), whatever picture it declares; `tags` sets more.
inline void WriteOneStripTiff(const std::string& path, std::uint32_t width, std::uint32_t height,
                              std::uint16_t samples, std::uint16_t photometric,
                              std::uint16_t compression = COMPRESSION_NONE, std::uint16_t bits = 8,
                              std::uint16_t format = SAMPLEFORMAT_UINT,
                              const std::function<void(TIFF*)>& tags = nullptr) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, format);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
  if (tags) tags(tif);
  std::uint8_t data[16] = {0x78, 0x9c, 0x63, 0x60};
  ASSERT_GE(TIFFWriteRawStrip(tif, 0, data, sizeof data), 0);
  TIFFClose(tif);
}

}  // namespace testsupport
