// `sharpstack add`: adds pictures to the focus buffer, one filter run each.
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

int AddCommand(const Settings& settings, const std::vector<std::string>& images) {
  Context context(settings);
  std::vector<imageio::ImageInfo> infos;
  if (!ProbeAll(context, images, &infos)) return kExitError;
  if (!CheckBufferBeforeAdding(context)) return kExitError;
  // One picture is checked by reading it just before its run.
  if (images.size() > 1 && !DecodeAll(context, images)) {
    // Each unusable file has had its line; nothing else needs saying.
    if (Interrupted()) {
      context.Error("cancelled; nothing was added");
      return kExitCancelled;
    }
    return kExitError;
  }
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  return AddPictures(context, &runner, images);
}

}  // namespace cli
