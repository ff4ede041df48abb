// `sharpstack demo`: a generated series, its composite, a picture to compare
// them by eye, and how close the composite comes to the all-in-focus original.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/app/command_support.h"
#include "cli/image/image_io.h"
#include "tools/series/series.h"

namespace cli {
namespace {

// Large enough to see what stacking does, small enough to take seconds.
constexpr int kDemoWidth = 1500;
constexpr int kDemoHeight = 1000;
constexpr int kDemoFrames = 7;
constexpr double kDemoBlurRadius = 8.0;

// The widest a tile of the side-by-side picture may be.
constexpr int kTileWidth = 500;
constexpr int kTileGap = 8;

// The pictures in rows of three, white between them, each reduced by taking
// every step-th pixel: averaging would turn sharp fine texture into the same
// flat grey as blur, while picked pixels keep it visibly sharp.
host::Picture SideBySide(const std::vector<const host::Picture*>& tiles) {
  constexpr int kColumns = 3;
  const host::Picture& first = *tiles.front();
  const int step = (first.width + kTileWidth - 1) / kTileWidth;
  const int w = (first.width + step - 1) / step;
  const int h = (first.height + step - 1) / step;
  const int count = int(tiles.size());
  const int rows = (count + kColumns - 1) / kColumns;
  host::Picture out;
  out.Allocate(kColumns * w + (kColumns - 1) * kTileGap, rows * h + (rows - 1) * kTileGap,
               first.colorPlanes, 0, first.depth);
  const std::uint32_t white = first.depth == 16 ? 32768u : 255u;
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x)
      for (int k = 0; k < out.planes; ++k) out.Set(x, y, k, white);
  for (int t = 0; t < count; ++t) {
    const int left = t % kColumns * (w + kTileGap);
    const int top = t / kColumns * (h + kTileGap);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int k = 0; k < out.planes; ++k)
          out.Set(left + x, top + y, k, tiles[std::size_t(t)]->Get(x * step, y * step, k));
  }
  return out;
}

}  // namespace

int DemoCommand(const Settings& settings, const std::string& directory) {
  Context context(settings);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    context.Error("cannot create the folder " + Quote(directory) + ": " + ec.message());
    return kExitError;
  }
  series::SeriesOptions series_options;
  series_options.width = kDemoWidth;
  series_options.height = kDemoHeight;
  series_options.frames = kDemoFrames;
  series_options.maxBlurRadius = kDemoBlurRadius;
  series::FocusSeries focus_series = series::MakeFocusSeries(series_options);
  std::vector<std::string> frames;
  for (std::size_t i = 0; i < focus_series.frames.size(); ++i) {
    std::string path = directory + "/frame-" + std::to_string(i + 1) + ".png";
    if (imageio::Status s = imageio::WriteImage(path, focus_series.frames[i]); !s.ok) {
      context.Error(s.message);
      return kExitError;
    }
    frames.push_back(path);
  }
  std::string original = directory + "/all-in-focus.png";
  if (imageio::Status s = imageio::WriteImage(original, focus_series.sharp); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  context.Say("wrote a focus series of " + Plural(frames.size(), "picture") + " (" +
              std::to_string(series_options.width) + " x " + std::to_string(series_options.height) +
              ") and " + original);
  std::string composite = directory + "/composite.png";
  if (int code = StackCommand(settings, composite, frames); code != kExitOk) return code;

  host::Picture stacked;
  if (imageio::Status s = imageio::ReadImage(composite, &stacked); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  const std::size_t last = focus_series.frames.size() - 1;
  std::string side_by_side = directory + "/side-by-side.png";
  if (imageio::Status s = imageio::WriteImage(
          side_by_side, SideBySide({&focus_series.frames[0], &focus_series.frames[last / 2],
                                    &focus_series.frames[last], &stacked, &focus_series.sharp}));
      !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  context.Say("wrote " + side_by_side + ": pictures 1, " + std::to_string(last / 2 + 1) + " and " +
              std::to_string(last + 1) +
              " of the series above, the composite and the all-in-focus original below");

  // Show stretches the composite's tones to the full range; the levels of
  // every picture are matched to the original's before comparing, so that the
  // figure measures detail, not tone.
  std::size_t best = 0;
  double best_psnr = -INFINITY;
  for (std::size_t i = 0; i < focus_series.frames.size(); ++i) {
    const double psnr = series::PsnrMatchingLevels(focus_series.frames[i], focus_series.sharp);
    if (psnr > best_psnr) {
      best_psnr = psnr;
      best = i;
    }
  }
  const double psnr = series::PsnrMatchingLevels(stacked, focus_series.sharp);
  char line[300];
  std::snprintf(line, sizeof line,
                "PSNR against the all-in-focus original, levels matched: composite %.2f dB, best "
                "single picture %.2f dB (picture %zu)",
                psnr, best_psnr, best + 1);
  // The result is what the demo is for: printed even with --quiet.
  std::fprintf(settings.out, "%s\n", line);
  return kExitOk;
}

}  // namespace cli
