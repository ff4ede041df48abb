// The synthetic focus series and the PSNR measure.
#include "tools/series/series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

using series::FocusSeries;
using series::SeriesOptions;

SeriesOptions Options(int width, int height, int frames, int depth, int planes,
                      std::uint32_t seed = 7) {
  SeriesOptions options;
  options.width = width;
  options.height = height;
  options.frames = frames;
  options.depth = depth;
  options.colorPlanes = planes;
  options.seed = seed;
  return options;
}

// Squared differences to the four neighbours, over the colour planes: large
// where the picture is sharp, small where it is blurred.
double LocalContrast(const host::Picture& p, int x, int y) {
  double sum = 0;
  const int dx[] = {1, -1, 0, 0};
  const int dy[] = {0, 0, 1, -1};
  for (int c = 0; c < p.colorPlanes; ++c) {
    const double v = p.Get(x, y, c);
    for (int i = 0; i < 4; ++i) {
      const double d = v - double(p.Get(x + dx[i], y + dy[i], c));
      sum += d * d;
    }
  }
  return sum;
}

TEST(Series, SameOptionsSameSeries) {
  const SeriesOptions options = Options(61, 37, 3, 16, 3);
  const FocusSeries one = series::MakeFocusSeries(options);
  const FocusSeries two = series::MakeFocusSeries(options);
  EXPECT_EQ(one.sharp.data, two.sharp.data);
  ASSERT_EQ(one.frames.size(), two.frames.size());
  for (std::size_t k = 0; k < one.frames.size(); ++k) {
    EXPECT_EQ(one.frames[k].data, two.frames[k].data);
  }
  EXPECT_EQ(one.depthMap, two.depthMap);

  SeriesOptions other = options;
  other.seed = 8;
  const FocusSeries three = series::MakeFocusSeries(other);
  EXPECT_NE(three.sharp.data, one.sharp.data);
  EXPECT_NE(three.depthMap, one.depthMap);
}

TEST(Series, CountsSizesAndScales) {
  struct Case {
    int width, height, frames, depth, planes;
    bool transparency;
  };
  for (const Case& c : {Case{1, 1, 1, 8, 1, false}, Case{7, 3, 2, 16, 1, false},
                        Case{40, 25, 4, 8, 3, true}, Case{33, 50, 6, 16, 3, true}}) {
    SeriesOptions options = Options(c.width, c.height, c.frames, c.depth, c.planes);
    options.transparency = c.transparency;
    const FocusSeries s = series::MakeFocusSeries(options);
    ASSERT_EQ(int(s.frames.size()), c.frames);
    ASSERT_EQ(s.focus.size(), s.frames.size());
    EXPECT_EQ(s.depthMap.size(), std::size_t(c.width) * c.height);
    const std::uint32_t white = c.depth == 16 ? 32768 : 255;
    std::vector<const host::Picture*> all{&s.sharp};
    for (const host::Picture& f : s.frames) all.push_back(&f);
    for (const host::Picture* p : all) {
      EXPECT_EQ(p->width, c.width);
      EXPECT_EQ(p->height, c.height);
      EXPECT_EQ(p->depth, c.depth);
      EXPECT_EQ(p->colorPlanes, c.planes);
      EXPECT_EQ(p->planes, c.planes + (c.transparency ? 1 : 0));
      EXPECT_EQ(p->data.size(), p->RowBytes() * std::size_t(c.height));
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) {
          for (int k = 0; k < c.planes; ++k) EXPECT_LE(p->Get(x, y, k), white);
          if (c.transparency) {
            EXPECT_EQ(p->Get(x, y, c.planes), white);
          }
        }
      }
    }
    for (std::size_t k = 1; k < s.focus.size(); ++k) EXPECT_LT(s.focus[k - 1], s.focus[k]);
  }
}

TEST(Series, DepthMapIsSmoothAndSpansTheRange) {
  const int w = 120, h = 80;
  const std::vector<float> depth = series::MakeDepthMap(w, h, 3);
  float low = 1, high = 0, steepest = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float d = depth[std::size_t(y) * w + x];
      low = std::min(low, d);
      high = std::max(high, d);
      if (x + 1 < w) steepest = std::max(steepest, std::abs(depth[std::size_t(y) * w + x + 1] - d));
      if (y + 1 < h) steepest = std::max(steepest, std::abs(depth[std::size_t(y + 1) * w + x] - d));
    }
  }
  EXPECT_EQ(low, 0.0f);
  EXPECT_EQ(high, 1.0f);
  // No step between neighbours is more than a few pixels' share of the range.
  EXPECT_LT(steepest, 5.0f / h);
}

// Where the depth lies at a frame's focus plane, that frame is the sharpest.
TEST(Series, FocusedFrameIsSharpestInItsBand) {
  for (int planes : {1, 3}) {
    const FocusSeries s = series::MakeFocusSeries(Options(160, 120, 5, 8, planes, 11));
    const int w = s.sharp.width, h = s.sharp.height;
    const int frames = int(s.frames.size());
    for (int band = 0; band < frames; ++band) {
      std::vector<double> contrast(std::size_t(frames), 0.0);
      int count = 0;
      for (int y = 1; y + 1 < h; ++y) {
        for (int x = 1; x + 1 < w; ++x) {
          if (std::abs(s.depthMap[std::size_t(y) * w + x] - s.focus[std::size_t(band)]) > 0.08) {
            continue;
          }
          ++count;
          for (int k = 0; k < frames; ++k) {
            contrast[std::size_t(k)] += LocalContrast(s.frames[std::size_t(k)], x, y);
          }
        }
      }
      ASSERT_GT(count, 50) << "band " << band;
      for (int k = 0; k < frames; ++k) {
        if (k == band) continue;
        EXPECT_GT(contrast[std::size_t(band)], 1.5 * contrast[std::size_t(k)])
            << "planes " << planes << " band " << band << " frame " << k;
      }
    }
  }
}

// Without blur every frame is the original; with blur none is.
TEST(Series, BlurComesOnlyFromDefocus) {
  SeriesOptions options = Options(45, 30, 3, 16, 3);
  options.maxBlurRadius = 0;
  FocusSeries s = series::MakeFocusSeries(options);
  for (const host::Picture& f : s.frames) EXPECT_EQ(f.data, s.sharp.data);

  options.maxBlurRadius = 6;
  s = series::MakeFocusSeries(options);
  for (const host::Picture& f : s.frames) {
    const double psnr = series::Psnr(f, s.sharp);
    EXPECT_TRUE(std::isfinite(psnr));
    EXPECT_GT(psnr, 10.0);
  }
}

// The 8-bit and 16-bit series show the same scene on their two scales.
TEST(Series, EightAndSixteenBitsAgree) {
  const FocusSeries s8 = series::MakeFocusSeries(Options(50, 40, 3, 8, 3, 5));
  const FocusSeries s16 = series::MakeFocusSeries(Options(50, 40, 3, 16, 3, 5));
  for (std::size_t k = 0; k < s8.frames.size(); ++k) {
    const host::Picture& a = s8.frames[k];
    const host::Picture& b = s16.frames[k];
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) {
        for (int c = 0; c < 3; ++c) {
          const double scaled = b.Get(x, y, c) * 255.0 / 32768.0;
          EXPECT_NEAR(double(a.Get(x, y, c)), scaled, 0.51);
        }
      }
    }
  }
}

TEST(Series, RefusesImpossibleOptions) {
  EXPECT_THROW(series::MakeFocusSeries(Options(0, 5, 2, 8, 1)), std::invalid_argument);
  EXPECT_THROW(series::MakeFocusSeries(Options(5, -1, 2, 8, 1)), std::invalid_argument);
  EXPECT_THROW(series::MakeFocusSeries(Options(5, 5, 0, 8, 1)), std::invalid_argument);
  EXPECT_THROW(series::MakeFocusSeries(Options(5, 5, 2, 12, 1)), std::invalid_argument);
  EXPECT_THROW(series::MakeFocusSeries(Options(5, 5, 2, 8, 2)), std::invalid_argument);
  SeriesOptions options = Options(5, 5, 2, 8, 1);
  options.maxBlurRadius = std::nan("");
  EXPECT_THROW(series::MakeFocusSeries(options), std::invalid_argument);
}

TEST(Psnr, IdenticalPicturesAreInfinite) {
  const FocusSeries s = series::MakeFocusSeries(Options(20, 10, 1, 8, 3));
  EXPECT_EQ(series::Psnr(s.sharp, s.sharp), std::numeric_limits<double>::infinity());
}

TEST(Psnr, KnownDifferences) {
  // 2 x 2 grey, one sample off by 10: MSE = 100 / 4 = 25, and
  // 10 log10(255^2 / 25) = 10 log10(2601) = 34.15140352...
  host::Picture a, b;
  a.Allocate(2, 2, 1, 0, 8);
  b.Allocate(2, 2, 1, 0, 8);
  for (int i = 0; i < 4; ++i)
    a.data[std::size_t(i)] = b.data[std::size_t(i)] = std::uint8_t(40 * i);
  b.Set(1, 1, 0, a.Get(1, 1, 0) + 10);
  EXPECT_NEAR(series::Psnr(a, b), 34.15140352, 1e-6);
  EXPECT_DOUBLE_EQ(series::Psnr(a, b), series::Psnr(b, a));

  // 16 bits, RGB 1 x 2, every sample off by 256: MSE = 65536, and
  // 10 log10(32768^2 / 65536) = 10 log10(16384) = 42.14419939...
  host::Picture c, d;
  c.Allocate(1, 2, 3, 0, 16);
  d.Allocate(1, 2, 3, 0, 16);
  for (int y = 0; y < 2; ++y) {
    for (int k = 0; k < 3; ++k) {
      c.Set(0, y, k, 1000u * std::uint32_t(k + 1));
      d.Set(0, y, k, 1000u * std::uint32_t(k + 1) + 256u);
    }
  }
  EXPECT_NEAR(series::Psnr(c, d), 42.14419939, 1e-6);

  // Matching levels: every plane of c is flat, so its mean alone matches d.
  EXPECT_EQ(series::PsnrMatchingLevels(c, d), std::numeric_limits<double>::infinity());
  // 0 1 2 3 against 0 2 4 7: the best line is 2.3 x - 0.2, which leaves
  // -0.2, 0.1, 0.4, -0.3: MSE 0.075, and 10 log10(255^2 / 0.075) = 59.38019097...
  const std::uint8_t values[2][4] = {{0, 1, 2, 3}, {0, 2, 4, 7}};
  std::memcpy(a.data.data(), values[0], 4);
  std::memcpy(b.data.data(), values[1], 4);
  EXPECT_NEAR(series::PsnrMatchingLevels(a, b), 59.38019097, 1e-6);
  EXPECT_GT(series::PsnrMatchingLevels(a, b), series::Psnr(a, b));
}

TEST(Psnr, IncomparablePicturesGiveNaN) {
  host::Picture a, b, c, e;
  a.Allocate(2, 2, 1, 0, 8);
  b.Allocate(2, 3, 1, 0, 8);
  c.Allocate(2, 2, 1, 0, 16);
  EXPECT_TRUE(std::isnan(series::Psnr(a, b)));
  EXPECT_TRUE(std::isnan(series::Psnr(a, c)));
  EXPECT_TRUE(std::isnan(series::Psnr(e, e)));
  EXPECT_TRUE(std::isnan(series::PsnrMatchingLevels(a, b)));
}

}  // namespace
