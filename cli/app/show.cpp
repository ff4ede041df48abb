// `sharpstack show`: writes the composite that the focus buffer holds.
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

int ShowCommand(const Settings& settings, const ShowOptions& options) {
  Context context(settings);
  if (!CheckOutputName(context, options.output)) return kExitUsage;
  bool jpeg = imageio::FormatFromPath(options.output) == imageio::ImageFormat::kJpeg;
  int width = 0, height = 0;
  int depth = jpeg ? 8 : 16;
  bool grey = options.grey;
  if (options.like) {
    imageio::ImageInfo info;
    if (imageio::Status s = imageio::ProbeImage(*options.like, &info); !s.ok) {
      context.Error(s.message);
      return kExitError;
    }
    width = info.width;
    height = info.height;
    depth = info.depth;
    grey = grey || info.colorPlanes == 1;
  }
  // Even with a size given, an empty buffer has nothing to show.
  int buffer_width = 0, buffer_height = 0;
  if (!BufferSize(context, options.output, &buffer_width, &buffer_height)) return kExitError;
  if (options.size) {
    width = options.size->first;
    height = options.size->second;
  } else if (!options.like) {
    width = buffer_width;
    height = buffer_height;
  }
  if (options.depth) depth = *options.depth;
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  return ShowInto(context, &runner, options.output, width, height, depth, grey, options.background);
}

}  // namespace cli
