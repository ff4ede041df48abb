// `sharpstack stack`: the whole job at once, all or nothing.
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

int StackCommand(const Settings& settings, const std::string& output,
                 const std::vector<std::string>& images, bool alignPictures) {
  Context context(settings);
  if (!CheckOutputName(context, output)) return kExitUsage;
  std::vector<imageio::ImageInfo> infos;
  // Each picture is decoded once, just before it is added (and aligned then),
  // and a picture that cannot be read or aligned puts the old buffer back.
  // Where the old files cannot be set aside, every picture is checked first
  // instead: decoded, and aligned, keeping only the maps.
  align::State state;
  std::vector<align::Transform> transforms;
  SavedFiles saved;
  const bool have_saved = saved.Save(true);
  auto check = [&] {
    if (have_saved) return true;
    if (alignPictures) return EstimateAll(context, images, &state, &transforms);
    return DecodeAll(context, images);
  };
  if (!ProbeAll(context, images, &infos) || !check()) {
    if (Interrupted()) {
      context.Error("cancelled; nothing was changed");
      return kExitCancelled;
    }
    return kExitError;
  }
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  if (Interrupted()) {
    context.Error("cancelled; nothing was changed");
    return kExitCancelled;
  }
  if (int code = RunClear(context, &runner); code != kExitOk) return code;
  host::Picture scratch;
  std::vector<Placement> placements(images.size());
  for (std::size_t i = 0; i < transforms.size(); ++i)
    placements[i] = Placement{transforms[i], state.referenceWidth, state.referenceHeight};
  PictureSteps steps;
  if (alignPictures)
    steps =
        have_saved ? AlignSteps(&state, &placements, &scratch) : WarpSteps(&placements, &scratch);
  if (int code = AddPictures(context, &runner, images, true, steps, have_saved ? &saved : nullptr);
      code != kExitOk)
    return code;
  scratch = host::Picture{};
  if (std::string error; alignPictures && !align::SaveState(AlignmentStatePath(), state, &error)) {
    context.Error(error + "; pictures added later with --align will not match this stack");
    return kExitError;
  }
  int width = 0, height = 0;
  if (!BufferSize(context, output, &width, &height)) return kExitError;
  return ShowInto(context, &runner, output, width, height, infos[0].depth,
                  infos[0].colorPlanes == 1, Rgb{});
}

}  // namespace cli
