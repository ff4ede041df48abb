// The synthetic focus series and the PSNR measures. (Its motions: the
// alignment tests, which find them where FrameToReference says.)
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
// another; without blur every frame is the scene itself. The 8- and 16-bit
// series show the same scene on their two scales. (That each frame is sharp
// where its focus lies: the demo's composite beats its best single picture.)
TEST(Series, ShapesScalesAndRepeatability) {
  for (const auto& [w, h, frames, depth, planes, alpha] :
       {std::tuple{1, 1, 1, 8, 1, false}, std::tuple{7, 3, 2, 16, 1, false},
        std::tuple{40, 25, 4, 8, 3, true}, std::tuple{33, 50, 6, 16, 3, true}}) {
    SeriesOptions o = Options(w, h, frames, depth, planes);
    o.transparency = alpha;
    const FocusSeries s = series::MakeFocusSeries(o);
    ASSERT_EQ(int(s.frames.size()), frames);
    o.depth = 24 - depth;
    const host::Picture other = series::MakeFocusSeries(o).frames.back();
    const host::Picture& p8 = depth == 8 ? s.frames.back() : other;
    const host::Picture& p16 = depth == 8 ? other : s.frames.back();
    for (int i = 0; i < w * h * planes; ++i) {
      const int x = i / planes % w, y = i / planes / w, k = i % planes;
      ASSERT_NEAR(p8.Get(x, y, k), p16.Get(x, y, k) * 255.0 / 32768, 0.51) << x << ", " << y;
    }
    o.depth = depth;
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
