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

namespace {

// The state kept for the buffer, or an empty one when the buffer it was made
// for is gone or another has replaced it: the next picture is then the
// reference, in the buffer's own geometry when the buffer already holds
// pictures added without alignment.
bool StateForBuffer(const Context& context, align::State* state) {
  std::string error;
  if (!align::LoadState(AlignmentStatePath(), state, &error)) {
    context.Error(error);
    return false;
  }
  std::int16_t w = 0, h = 0, element = 0;
  if (ReadImageStoreHeader(kFocusBufferPath, &w, &h, &element) != noErr ||
      !CheckFocusBufferSet(&w, &h) || w != state->referenceWidth || h != state->referenceHeight) {
    *state = align::State{};
  }
  return true;
}

}  // namespace

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
  align::State state, pending;
  if (!StateForBuffer(context, &state)) return kExitError;
  host::Picture scratch;
  PictureSteps steps;
  steps.prepare = [&](std::size_t, host::FilterHost* filter_host, std::string* note,
                      std::string* reason) {
    pending = state;
    return align::AlignPicture(&filter_host->picture, &pending, &scratch, &filter_host->selection,
                               note, reason);
  };
  // The state follows the buffer picture by picture, so that a later failure
  // leaves the two in step.
  steps.added = [&](std::size_t i) {
    state = std::move(pending);
    if (std::string error; !align::SaveState(AlignmentStatePath(), state, &error)) {
      context.Error(error + "; " + Quote(images[i]) +
                    " was added, but pictures added later with --align may not match it");
      return false;
    }
    return true;
  };
  return AddPictures(context, &runner, images, false, steps, rollback);
}

}  // namespace cli
