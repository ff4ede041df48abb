// `sharpstack run`: one filter run on a picture, exactly as an editor makes it.
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
#include "cli/hostlib/action_file.h"
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

bool ReadText(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  *text = buffer.str();
  return true;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = std::strerror(errno);
      return false;
    }
    out << text;
    out.flush();
    if (!out) {
      *error = "write failed";
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

// A selection from any picture of the same size: grey as it is, colour by its
// luminance, 16-bit rounded to 8 bits; transparency is ignored.
bool LoadMask(const Context& context, const std::string& path, const host::Picture& picture,
              std::vector<std::uint8_t>* selection) {
  host::Picture mask;
  if (imageio::Status s = imageio::ReadImage(path, &mask); !s.ok) {
    context.Error(s.message);
    return false;
  }
  if (mask.width != picture.width || mask.height != picture.height) {
    context.Error("cannot use the mask " + Quote(path) + ": it is " + std::to_string(mask.width) +
                  " x " + std::to_string(mask.height) + " pixels, the picture " +
                  std::to_string(picture.width) + " x " + std::to_string(picture.height));
    return false;
  }
  selection->assign(std::size_t(mask.width) * std::size_t(mask.height), 0);
  for (int y = 0; y < mask.height; ++y)
    for (int x = 0; x < mask.width; ++x) {
      std::uint32_t v[3];
      for (int k = 0; k < mask.colorPlanes; ++k) {
        v[k] = mask.Get(x, y, k);
        if (mask.depth == 16) v[k] = imageio::Host16To8(std::uint16_t(v[k]));
      }
      std::uint32_t value =
          mask.colorPlanes == 1 ? v[0] : (v[0] * 299u + v[1] * 587u + v[2] * 114u + 500u) / 1000u;
      (*selection)[std::size_t(y) * std::size_t(mask.width) + std::size_t(x)] = std::uint8_t(value);
    }
  return true;
}

}  // namespace

int RunCommand(const Settings& settings, const RunCommandOptions& options) {
  Context context(settings);
  if (!CheckOutputName(context, options.output)) return kExitUsage;
  Job job;
  job.playInfo = options.dialog ? kPlayDialogDisplay : kPlayDialogOptional;
  if (options.play) {
    std::string text, error;
    if (!ReadText(*options.play, &text, &error)) {
      context.Error("cannot read the action " + Quote(*options.play) + ": " + error);
      return kExitError;
    }
    // Checked whole before anything runs: a step the plug-in cannot take
    // would leave it to fall back on an earlier choice.
    std::uint32_t event = 0;
    std::vector<host::DescriptorItem> items;
    if (!host::DescriptorFromJson(text, &event, &items, &error)) {
      context.Error("cannot read the action " + Quote(*options.play) + ": " + error);
      return kExitError;
    }
    if (std::string problem = host::OperationStepProblem(event, items); !problem.empty()) {
      context.Error("cannot play the action " + Quote(*options.play) + ": " + problem);
      return kExitError;
    }
    job.playback = items;
  } else if (options.operation) {
    job.playback = host::OperationStep(*options.operation);
  }

  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  host::FilterHost& filter_host = runner.Host();
  if (imageio::Status s = imageio::ReadImage(options.image, &filter_host.picture); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  filter_host.selection.clear();
  if (options.mask &&
      !LoadMask(context, *options.mask, filter_host.picture, &filter_host.selection))
    return kExitError;
  filter_host.filterArea = {};
  if (options.rect) {
    const std::vector<int>& r = *options.rect;
    if (r[2] > filter_host.picture.width || r[3] > filter_host.picture.height) {
      context.Error("the rectangle " + std::to_string(r[0]) + "," + std::to_string(r[1]) + "," +
                    std::to_string(r[2]) + "," + std::to_string(r[3]) + " does not fit in " +
                    Quote(options.image) + " (" + std::to_string(filter_host.picture.width) +
                    " x " + std::to_string(filter_host.picture.height) + ")");
      return kExitError;
    }
    filter_host.filterArea = {r[0], r[1], r[2], r[3]};
  }
  job.documentPath = options.image;
  job.label = BaseName(options.image);
  Outcome outcome = runner.Run(job);
  if (outcome.result == userCanceledErr) {
    // Without a played-back operation the plug-in asks in its dialog, which
    // also ends the run this way when there is no terminal to show it on.
    bool dialog = !job.playback || job.playInfo == kPlayDialogDisplay;
    context.Error(std::string(dialog ? "cancelled (the operation dialog was closed or could not "
                                       "be shown; use --op or --play without a terminal); "
                                     : "cancelled; ") +
                  Quote(options.output) + " was not written");
    return kExitCancelled;
  }
  if (outcome.result != noErr) {
    context.Error("the filter run on " + Quote(options.image) +
                  " failed: " + BufferProblem(outcome.result));
    return kExitError;
  }
  if (imageio::Status s = imageio::WriteImage(options.output, filter_host.picture); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  context.Say("wrote " + options.output);
  if (options.record) {
    // Only a step that plays back as this run is recorded.
    std::string error;
    if (!outcome.recorded) {
      error = "the plug-in handed back no descriptor";
    } else if (std::string problem =
                   host::OperationStepProblem(host::kFilterEvent, outcome.recordedItems);
               !problem.empty()) {
      error = "the plug-in handed back a step that cannot be played: " + problem;
    }
    if (error.empty() &&
        !WriteText(*options.record,
                   host::DescriptorToJson(host::kFilterEvent, outcome.recordedItems), &error)) {
      error = "cannot write it: " + error;
    }
    if (!error.empty()) {
      context.Error("cannot record the action " + Quote(*options.record) + ": " + error);
      return kExitError;
    }
    context.Say("recorded " + *options.record);
  }
  return kExitOk;
}

}  // namespace cli
