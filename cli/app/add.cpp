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

int AddCommand(const Settings& settings, const std::vector<std::string>& images,
               bool alignPictures) {
  Context context(settings);
  std::vector<imageio::ImageInfo> infos;
  if (!ProbeAll(context, images, &infos)) return kExitError;
  if (!CheckBufferBeforeAdding(context)) return kExitError;
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  // One picture is checked by reading it just before its run. With several,
  // each is still decoded once, just before its run, and a copy of the buffer
  // taken first is put back if one cannot be read; where no copy can be
  // taken, every picture is checked before the first run instead.
  SavedFiles saved;
  const bool have_saved = images.size() > 1 && saved.Save(false);
  if (images.size() > 1 && !have_saved && !DecodeAll(context, images)) {
    // Each unusable file has had its line; nothing else needs saying.
    if (Interrupted()) {
      context.Error("cancelled; nothing was added");
      return kExitCancelled;
    }
    return kExitError;
  }
  SavedFiles* rollback = have_saved ? &saved : nullptr;
  if (!alignPictures) return AddPictures(context, &runner, images, false, {}, rollback);
  AlignAsAdded alignment;
  if (!alignment.Load(context)) return kExitError;
  PictureSteps steps;
  steps.prepare = [&](std::size_t, host::FilterHost* filter_host, std::string* note,
                      std::string* reason) { return alignment.Prepare(filter_host, note, reason); };
  steps.added = [&](std::size_t i) { return alignment.Added(context, images[i]); };
  return AddPictures(context, &runner, images, false, steps, rollback);
}

}  // namespace cli
