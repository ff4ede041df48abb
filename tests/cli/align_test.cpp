// Alignment: maps found for series moved by known motions, and the selection
// that keeps pixels reached from outside a picture out of the buffer.
#include "cli/align/align.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "cli/align/cubic_warp.h"
#include "tools/series/series.h"

namespace {

using cli::align::Transform;

TEST(Align, FindsKnownMotionsWithinATenthOfAPixelAtTheCorners) {
  struct Case {
    series::Motion motion;
    int depth, planes;
  };
  const Case cases[] = {
      {{1.0, 0.0, 6.5, -4.25}, 8, 3},  {{1.0, 0.0, -3.75, 5.5}, 16, 1},
      {{1.03, 0.0, 0.0, 0.0}, 16, 3},  {{0.98, 0.0, 1.0, 2.0}, 8, 1},
      {{1.0, 0.3, 0.0, 0.0}, 8, 3},    {{1.0, -0.25, 2.0, -1.0}, 16, 1},
      {{1.02, 0.2, -8.0, 7.0}, 16, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "scale " << c.motion.scale << ", angle " << c.motion.angleDegrees << ", shift "
                 << c.motion.shiftX << ", " << c.motion.shiftY << ", " << c.depth << " bit, "
                 << c.planes << " planes");
    const series::SeriesOptions o{
        640, 480, 2, c.depth, c.planes, false, 1, 2.0, {series::Motion{}, c.motion}};
    const series::FocusSeries s = series::MakeFocusSeries(o);
    cli::align::State state;
    Transform first, second;
    std::string error;
    ASSERT_TRUE(cli::align::Estimate(s.frames[0], &state, &first, &error)) << error;
    EXPECT_TRUE(first.IsIdentity());
    ASSERT_TRUE(cli::align::Estimate(s.frames[1], &state, &second, &error)) << error;
    const Transform truth{series::FrameToReference(c.motion, o.width, o.height)};
    Transform error_map = second;
    for (int k = 0; k < 6; ++k) error_map.m[k] -= truth.m[k];
    error_map.m[0] += 1;
    error_map.m[4] += 1;
    EXPECT_LT(error_map.CornerMotion(o.width, o.height), 0.1);
  }
}

TEST(Align, PixelsWhoseInterpolationReachesOutsideThePictureAreUnselected) {
  // A cut from a larger picture and the larger one, moved alike (by whole
  // 32nds, placed exactly): every selected pixel of the cut must agree.
  const series::SeriesOptions o{96, 80, 1, 16, 3, true, 1, 6.0, {}};
  const host::Picture large = series::MakeFocusSeries(o).frames[0];
  const int margin = 8;
  host::Picture cut;
  cut.Allocate(o.width - 2 * margin, o.height - 2 * margin, 3, 1, 16);
  for (int y = 0; y < cut.height; ++y)
    for (int x = 0; x < cut.width; ++x)
      for (int k = 0; k < 4; ++k) cut.Set(x, y, k, large.Get(x + margin, y + margin, k));
  const Transform moved{{1, 0, 3.5, 0, 1, -2.25}};

  host::Picture warped_cut, warped_large;
  std::vector<std::uint8_t> selection, ignored;
  cli::align::Warp(cut, moved, cut.width, cut.height, &warped_cut, &selection);
  cli::align::Warp(large, moved, large.width, large.height, &warped_large, &ignored);
  ASSERT_EQ(selection.size(), std::size_t(cut.width) * cut.height);
  int selected = 0, differing_outside = 0;
  for (int y = 0; y < cut.height; ++y)
    for (int x = 0; x < cut.width; ++x) {
      const bool in = selection[std::size_t(y) * cut.width + x] >= 128;
      selected += in;
      bool same = true;
      for (int k = 0; k < 4; ++k) {
        same = same && warped_cut.Get(x, y, k) == warped_large.Get(x + margin, y + margin, k);
        EXPECT_LE(warped_cut.Get(x, y, k), 32768u);
      }
      if (in) {
        EXPECT_TRUE(same) << "selected pixel " << x << ", " << y << " depends on the outside";
      } else {
        differing_outside += !same;
      }
    }
  EXPECT_GT(selected, cut.width * cut.height / 2);
  EXPECT_GT(differing_outside, 0);  // the check can tell
}

// Our bicubic warp of RGB, 8 and 16 bits, scalar and vector, gives OpenCV's
// samples: maps that enlarge, reduce, turn and shift (reaching past every
// edge, and wholly outside), on pictures from a few pixels to wider than a
// block, with padded rows.
TEST(Align, CubicWarpMatchesTheLibraryExactly) {
  struct Case {
    int sw, sh, tw, th;
    double scale, degrees, dx, dy;
  };
  const Case cases[] = {
      {97, 61, 97, 61, 1.0, 0.0, 0.0, 0.0},       {97, 61, 97, 61, 1.013, 0.2, 3.37, -2.61},
      {150, 90, 130, 100, 0.97, -0.7, -6.2, 4.9}, {300, 40, 310, 45, 1.03, 0.05, 0.49, 0.51},
      {5, 4, 9, 7, 1.4, 10.0, -1.5, 0.25},        {64, 64, 64, 64, 1.0, 0.0, 200.0, -90.0},
      {7, 3, 8, 4, 0.5, 45.0, 2.0, 1.0},
  };
  std::mt19937 rng(11);
  for (int depth : {8, 16}) {
    const int bytes = depth / 8, top = depth == 8 ? 255 : 65535;
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << depth << " bit, " << c.sw << "x" << c.sh << " to " << c.tw << "x" << c.th
                   << ", scale " << c.scale << ", " << c.degrees << " degrees");
      const std::size_t stride = std::size_t(c.sw * 3 + 5) * std::size_t(bytes);
      cv::Mat padded(c.sh, int(stride), CV_8U);
      cv::Mat view(c.sh, c.sw, depth == 8 ? CV_8UC3 : CV_16UC3, padded.data, stride);
      // Random samples, with hard edges between 0 and white in part: the
      // rounding and the limits.
      for (int y = 0; y < c.sh; ++y)
        for (int x = 0; x < c.sw * 3; ++x) {
          const int v = x < c.sw ? ((x / 6 + y / 2) % 2 != 0 ? top : 0) : int(rng() % (top + 1));
          if (depth == 8)
            view.ptr<std::uint8_t>(y)[x] = std::uint8_t(v);
          else
            view.ptr<std::uint16_t>(y)[x] = std::uint16_t(v);
        }
      const double a = c.degrees * std::acos(-1.0) / 180.0;
      const double map[6] = {c.scale * std::cos(a), -c.scale * std::sin(a), c.dx,
                             c.scale * std::sin(a), c.scale * std::cos(a),  c.dy};
      cv::Mat expected;
      cv::warpAffine(view, expected, cv::Matx23d(map), cv::Size(c.tw, c.th),
                     cv::INTER_CUBIC | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
      for (bool vector : {false, true}) {
        if (vector && !cli::align::CubicWarpHasVector()) continue;
        const std::size_t row_bytes = std::size_t(c.tw) * 3 * std::size_t(bytes);
        const std::size_t out_stride = row_bytes + 6;
        std::vector<std::uint8_t> target(out_stride * std::size_t(c.th), 0xAA);
        const cli::align::CubicWarpArgs args{padded.data, c.sw,       c.sh, stride, target.data(),
                                             c.tw,        out_stride, map,  depth};
        cli::align::CubicWarpRows(args, 0, c.th / 2, vector);
        cli::align::CubicWarpRows(args, c.th / 2, c.th, vector);
        int differing = 0;
        for (int y = 0; y < c.th; ++y) {
          differing += std::memcmp(target.data() + std::size_t(y) * out_stride, expected.ptr(y),
                                   row_bytes) != 0;
          EXPECT_EQ(target[std::size_t(y) * out_stride + row_bytes], 0xAA);
        }
        EXPECT_EQ(differing, 0) << (vector ? "vector" : "scalar");
      }
    }
  }
}

}  // namespace
