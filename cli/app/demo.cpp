// `sharpstack demo`: a generated series, its composite and how close it comes.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>

#include "cli/app/command_support.h"
#include "cli/app/interrupt.h"
#include "cli/app/status_text.h"
#include "cli/image/image_io.h"
#include "cli/image/sample_scale.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/platform/platform.h"
#include "plugin/storage/store.h"
#include "tools/series/series.h"

namespace cli {

int DemoCommand(const Settings& settings, const std::string& directory) {
  Context context(settings);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    context.Error("cannot create the folder " + Quote(directory) + ": " + ec.message());
    return kExitError;
  }
  series::SeriesOptions series_options;
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
  double best_frame = -INFINITY;
  for (const host::Picture& frame : focus_series.frames)
    best_frame = std::max(best_frame, series::Psnr(frame, focus_series.sharp));
  double psnr = series::Psnr(stacked, focus_series.sharp);
  char line[200];
  std::snprintf(line, sizeof line,
                "PSNR of %s against the all-in-focus original: %.2f dB (best single picture: "
                "%.2f dB)",
                composite.c_str(), psnr, best_frame);
  // The result is what the demo is for: printed even with --quiet.
  std::fprintf(settings.out, "%s\n", line);
  return kExitOk;
}

}  // namespace cli
