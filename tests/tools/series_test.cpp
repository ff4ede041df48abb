// The synthetic focus series, its motions and the PSNR measures.
#include "tools/series/series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

using series::FocusSeries;
using series::SeriesOptions;

SeriesOptions Options(int w, int h, int frames, int depth, int planes, std::uint32_t seed = 7) {
  return {w, h, frames, depth, planes, false, seed, 6.0, {}};
}

// Sizes and scales; the same options give the same series, another seed
// another; without blur every frame is the scene itself.
TEST(Series, ShapesScalesAndRepeatability) {
  for (const auto& [w, h, frames, depth, planes, alpha] :
       {std::tuple{1, 1, 1, 8, 1, false}, std::tuple{7, 3, 2, 16, 1, false},
        std::tuple{40, 25, 4, 8, 3, true}, std::tuple{33, 50, 6, 16, 3, true}}) {
    SeriesOptions o = Options(w, h, frames, depth, planes);
    o.transparency = alpha;
    const FocusSeries s = series::MakeFocusSeries(o);
    ASSERT_EQ(int(s.frames.size()), frames);
    EXPECT_EQ(series::MakeFocusSeries(o).frames.back().data, s.frames.back().data);
    o.seed = 8;
    EXPECT_NE(series::MakeFocusSeries(o).sharp.data, s.sharp.data);
    o.maxBlurRadius = 0;
    EXPECT_EQ(series::MakeFocusSeries(o).frames.back().data, series::MakeFocusSeries(o).sharp.data);
    ASSERT_TRUE(s.focus.size() == s.frames.size() && s.depthMap.size() == std::size_t(w) * h);
    for (std::size_t k = 1; k < s.focus.size(); ++k) EXPECT_LT(s.focus[k - 1], s.focus[k]);
    const std::uint32_t white = depth == 16 ? 32768 : 255;
    int wrong = 0;
    for (const host::Picture& p : s.frames) {
      ASSERT_TRUE(p.width == w && p.height == h && p.depth == depth &&
                  p.planes == planes + (alpha ? 1 : 0));
      for (int i = 0; i < w * h; ++i) {
        for (int k = 0; k < planes; ++k) wrong += p.Get(i % w, i / w, k) > white;
        wrong += alpha && p.Get(i % w, i / w, planes) != white;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

// Where the depth lies at a frame's focus plane, that frame is the sharpest
// (squared differences to the four neighbours), in grey and in colour; the
// 8- and 16-bit series show the same scene on their two scales.
TEST(Series, FocusedFrameIsSharpestInItsBandAndDepthsAgree) {
  for (int planes : {1, 3}) {
    const FocusSeries s = series::MakeFocusSeries(Options(160, 120, 5, 8, planes, 11));
    const FocusSeries s16 = series::MakeFocusSeries(Options(160, 120, 5, 16, planes, 11));
    const int w = s.sharp.width, h = s.sharp.height, frames = int(s.frames.size());
    for (int band = 0; band < frames; ++band) {
      std::vector<double> contrast(std::size_t(frames), 0.0);
      int count = 0;
      for (int i = 0; i < w * h; ++i) {
        const int x = i % w, y = i / w;
        for (int c = 0; c < planes; ++c) {
          EXPECT_NEAR(s.frames[band].Get(x, y, c), s16.frames[band].Get(x, y, c) * 255.0 / 32768,
                      0.51);
        }
        if (x < 1 || y < 1 || x + 1 >= w || y + 1 >= h ||
            std::abs(s.depthMap[std::size_t(i)] - s.focus[std::size_t(band)]) > 0.08)
          continue;
        ++count;
        for (int k = 0; k < frames; ++k) {
          for (int c = 0; c < planes; ++c) {
            const double v = s.frames[k].Get(x, y, c);
            for (const auto& [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}})
              contrast[k] += std::pow(v - s.frames[k].Get(x + dx, y + dy, c), 2);
          }
        }
      }
      ASSERT_GT(count, 50) << "band " << band;
      for (int k = 0; k < frames; ++k) {
        EXPECT_TRUE(k == band || contrast[band] > 1.5 * contrast[k]) << planes << " " << band << k;
      }
    }
  }
}

// A frame moved by whole pixels shows the scene where FrameToReference says;
// hand-held motions keep frame 0 still and end at the last scale.
TEST(Series, MotionsMoveFramesAsTheirMapsSay) {
  SeriesOptions o = Options(40, 30, 2, 16, 3);
  o.maxBlurRadius = 0;
  o.motions = {series::Motion{}, series::Motion{1.0, 0.0, 3.0, -2.0}};
  const FocusSeries s = series::MakeFocusSeries(o);
  const series::Affine m = series::FrameToReference(o.motions[1], 40, 30);
  int wrong = 0, inside = 0;
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      const int rx = int(std::lround(m[0] * x + m[1] * y + m[2]));
      const int ry = int(std::lround(m[3] * x + m[4] * y + m[5]));
      if (rx < 0 || ry < 0 || rx >= 40 || ry >= 30) continue;
      ++inside;
      for (int k = 0; k < 3; ++k) wrong += s.frames[1].Get(x, y, k) != s.sharp.Get(rx, ry, k);
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(inside, 37 * 28);
  EXPECT_EQ(s.frames[0].data, s.sharp.data);
  const std::vector<series::Motion> hand = series::HandHeldMotions(4, 1.03, 5.0, 0.3, 2);
  EXPECT_TRUE(hand.size() == 4 && hand[0].scale == 1.0 && hand[0].shiftX == 0.0 &&
              hand[3].scale == 1.03);
}

TEST(Series, RefusesImpossibleOptions) {
  SeriesOptions bad[8] = {Options(0, 5, 2, 8, 1),  Options(5, -1, 2, 8, 1), Options(5, 5, 0, 8, 1),
                          Options(5, 5, 2, 12, 1), Options(5, 5, 2, 8, 2),  Options(5, 5, 2, 8, 1),
                          Options(5, 5, 2, 8, 1),  Options(5, 5, 2, 8, 1)};
  bad[5].maxBlurRadius = std::nan("");
  bad[6].motions = {series::Motion{}};
  bad[7].motions = {series::Motion{}, series::Motion{0.0}};
  for (const SeriesOptions& o : bad)
    EXPECT_THROW(series::MakeFocusSeries(o), std::invalid_argument);
}

// Hand-computed cases; pictures that cannot be compared give NaN.
TEST(Psnr, HandComputedCases) {
  host::Picture a, b, c, d, e;
  a.Allocate(2, 2, 1, 0, 8);
  b.Allocate(2, 2, 1, 0, 8);
  for (int i = 0; i < 4; ++i) {
    a.data[i] = std::uint8_t(i);
    b.data[i] = std::uint8_t(i == 3 ? 7 : 2 * i);
  }
  // 0 1 2 3 against 0 2 4 7: the best line 2.3 x - 0.2 leaves -0.2, 0.1, 0.4,
  // -0.3, MSE 0.075: 10 log10(255^2 / 0.075) = 59.38019097...
  EXPECT_NEAR(series::PsnrMatchingLevels(a, b), 59.38019097, 1e-6);
  b = a;
  b.data[3] += 10;  // MSE 25: 10 log10(255^2 / 25) = 34.15140352...
  EXPECT_NEAR(series::Psnr(a, b), 34.15140352, 1e-6);
  // 16 bits, every sample off by 256: 10 log10(32768^2 / 65536) = 42.14419939...
  c.Allocate(1, 2, 3, 0, 16);
  d.Allocate(1, 2, 3, 0, 16);
  for (int i = 0; i < 6; ++i) {
    c.Set(0, i / 3, i % 3, 1000u * (i % 3 + 1));
    d.Set(0, i / 3, i % 3, 1000u * (i % 3 + 1) + 256);
  }
  EXPECT_NEAR(series::Psnr(c, d), 42.14419939, 1e-6);
  const double infinity = std::numeric_limits<double>::infinity();
  EXPECT_EQ(series::PsnrMatchingLevels(c, d), infinity);  // flat planes match by their means
  EXPECT_EQ(series::Psnr(a, a), infinity);
  e.Allocate(2, 3, 1, 0, 8);
  for (const auto& [x, y] : {std::pair{&a, &e}, {&a, &c}, {&d, &e}})
    EXPECT_TRUE(std::isnan(series::Psnr(*x, *y)) && std::isnan(series::PsnrMatchingLevels(*x, *y)));
  EXPECT_TRUE(std::isnan(series::Psnr(host::Picture{}, host::Picture{})));
}

}  // namespace
