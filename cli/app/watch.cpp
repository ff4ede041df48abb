// `sharpstack watch`: live stacking. Every picture that a camera or a copy
// finishes in the folder is added to the focus buffer, and the composite is
// written again after each one, so that the user sees it grow while shooting.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/app/command_support.h"
#include "cli/app/folder_watch.h"
#include "cli/app/interrupt.h"
#include "cli/image/image_io.h"
#include "plugin/focus/operation_choice.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

// Hidden files are never pictures. Names of files still on their way (a
// trailing .part, .tmp, .crdownload or ~) have no picture extension either.
bool IsPictureName(const std::string& name) {
  return !name.empty() && name[0] != '.' &&
         imageio::FormatFromPath(name) != imageio::ImageFormat::kUnknown;
}

struct Stamp {
  std::uintmax_t size = 0;
  fs::file_time_type modified;
  bool operator==(const Stamp&) const = default;
};

bool StampOf(const std::string& path, Stamp* stamp) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  stamp->size = fs::file_size(path, ec);
  if (!ec) stamp->modified = fs::last_write_time(path, ec);
  return !ec;
}

// The pictures of one watch: which files to take, and each one added, then
// shown into the output.
class Series {
 public:
  // With `alignment`, each picture is aligned before it is added.
  Series(const Settings& settings, Runner* runner, const WatchOptions& options,
         AlignAsAdded* alignment)
      : context_(settings),
        quietSettings_(settings),
        quiet_(quietSettings_),
        runner_(runner),
        options_(options),
        alignment_(alignment) {
    // The composite's own "wrote" line would double each picture's line.
    quietSettings_.quiet = true;
    std::error_code ec;
    const fs::path out_folder = fs::path(options.output).parent_path();
    outputInFolder_ =
        fs::equivalent(out_folder.empty() ? fs::path(".") : out_folder, options.folder, ec);
    outputName_ = fs::path(options.output).filename().string();
  }

  // The pictures in the folder now, in name order; each is remembered, so
  // that its own late arrival (written just as the watch began) is not taken
  // twice. False, with the reason, when the folder cannot be listed.
  bool PicturesThere(std::vector<std::string>* names, std::string* error) {
    std::error_code ec;
    for (fs::directory_iterator it(options_.folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      Stamp stamp;
      if (Candidate(name, &stamp)) {
        initial_[name] = stamp;
        names->push_back(name);
      }
    }
    std::sort(names->begin(), names->end());
    if (ec) *error = ec.message();
    return !ec;
  }

  // Whether a finished file is one to add: see Candidate, and not one taken
  // from the folder's first listing and unchanged since.
  bool Wanted(const std::string& name) {
    Stamp stamp;
    if (!Candidate(name, &stamp)) return false;
    auto known = initial_.find(name);
    if (known == initial_.end()) return true;
    const bool same = known->second == stamp;
    initial_.erase(known);
    return !same;
  }

  // Reads, adds and shows one picture. kExitOk to go on: a picture that cannot
  // be read or aligned is reported and skipped.
  int Take(const std::string& name) {
    const auto start = std::chrono::steady_clock::now();
    const std::string path = Path(name);
    host::FilterHost& filter_host = runner_->Host();
    if (imageio::Status s = imageio::ReadImage(path, &filter_host.picture); !s.ok) {
      context_.Error(s.message + "; skipped, the focus buffer is unchanged");
      return kExitOk;
    }
    if (Interrupted()) return Cancelled(name, false);
    filter_host.selection.clear();
    filter_host.filterArea = {};
    std::string note;
    if (std::string reason; alignment_ && !alignment_->Prepare(&filter_host, &note, &reason)) {
      context_.Error("cannot align " + Quote(path) + ": " + reason +
                     "; skipped, the focus buffer is unchanged");
      return kExitOk;
    }
    if (added_ == 0) {
      // As a stack does: the composite has the first picture's depth and mode.
      depth_ = filter_host.picture.depth;
      grey_ = filter_host.picture.colorPlanes == 1;
    }
    Outcome outcome =
        AddHeldPicture(runner_, path, added_ + 1, options_.count ? *options_.count : 1, note);
    if (outcome.result == userCanceledErr) return Cancelled(name, true);
    if (outcome.result != noErr) {
      context_.Error("cannot add " + Quote(path) + ": " + BufferProblem(outcome.result) + After());
      return kExitError;
    }
    ++added_;
    // The alignment's state follows the buffer; should it fail, the composite
    // is still written and the watch then ends.
    const bool in_step = !alignment_ || alignment_->Added(context_, path);
    // The picture is in the buffer: its composite is finished even if Ctrl-C
    // comes now, so that the output always shows what the buffer holds.
    runner_->SetCancellable(false);
    int width = 0, height = 0;
    int code = BufferSize(quiet_, options_.output, &width, &height)
                   ? ShowInto(quiet_, runner_, options_.output, width, height, depth_, grey_, Rgb{})
                   : kExitError;
    runner_->SetCancellable(true);
    if (code != kExitOk) return code;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", seconds);
    context_.Say("added " + name + " as picture " + std::to_string(added_) + " in " + time +
                 (note.empty() ? "" : "; " + note));
    return in_step ? kExitOk : Failed("stopped");
  }

  bool Done() const { return options_.count && added_ >= *options_.count; }

  // Ctrl-C between pictures.
  int Stopped() const {
    context_.Error("cancelled" + After());
    return kExitCancelled;
  }

  // The watch cannot go on.
  int Failed(const std::string& why) const {
    context_.Error(why + After());
    return kExitError;
  }

 private:
  // A picture by its name, not the output, and not empty (a file created
  // before it is written).
  bool Candidate(const std::string& name, Stamp* stamp) const {
    if (!IsPictureName(name) || (outputInFolder_ && name == outputName_)) return false;
    return StampOf(Path(name), stamp) && stamp->size > 0;
  }

  std::string Path(const std::string& name) const {
    return (fs::path(options_.folder) / name).string();
  }

  std::string After() const {
    if (added_ == 0) return "; the watch added no picture";
    return "; the watch added " + Plural(std::size_t(added_), "picture") + " and " +
           Quote(options_.output) + " holds the composite";
  }

  int Cancelled(const std::string& name, bool during) const {
    context_.Error(
        "cancelled " + std::string(during ? "while" : "before") + " adding " + Quote(name) +
        (during ? "; the focus buffer keeps its rows merged before the cancel" : "") + After());
    return kExitCancelled;
  }

  Context context_;
  Settings quietSettings_;
  Context quiet_;
  Runner* runner_;
  const WatchOptions& options_;
  AlignAsAdded* alignment_;
  bool outputInFolder_ = false;
  std::string outputName_;
  std::map<std::string, Stamp> initial_;
  int added_ = 0;
  int depth_ = 8;
  bool grey_ = false;
};

}  // namespace

int WatchCommand(const Settings& settings, const WatchOptions& options) {
  Context context(settings);
  if (!CheckOutputName(context, options.output)) return kExitUsage;
  std::error_code ec;
  if (!fs::is_directory(options.folder, ec)) {
    context.Error("cannot watch " + Quote(options.folder) + ": " +
                  (ec                           ? ec.message()
                   : fs::exists(options.folder) ? "not a folder"
                                                : "not found"));
    return kExitError;
  }
  const fs::path out_folder = fs::path(options.output).parent_path();
  if (!out_folder.empty() && !fs::is_directory(out_folder, ec)) {
    context.Error("cannot write " + Quote(options.output) + ": its folder does not exist");
    return kExitError;
  }
  // The runner holds the buffer's lock from here to the end of the watch.
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  if (!options.clear && !CheckBufferBeforeAdding(context)) return kExitError;
  std::string error;
  // Watching starts before the folder is listed, so that nothing finished in
  // between is missed.
  std::unique_ptr<FolderWatch> watch = WatchFolder(options.folder, &error);
  if (!watch) {
    context.Error("cannot watch " + Quote(options.folder) + ": " + error);
    return kExitError;
  }
  AlignAsAdded alignment;
  Series series(settings, &runner, options, options.align ? &alignment : nullptr);
  std::vector<std::string> there;
  if (options.clear) {
    if (!series.PicturesThere(&there, &error)) {
      context.Error("cannot list " + Quote(options.folder) + ": " + error);
      return kExitError;
    }
    if (int code = RunClear(context, &runner); code != kExitOk) return code;
  }
  if (options.align && !alignment.Load(context)) return kExitError;
  for (const std::string& name : there) {
    if (series.Done()) return kExitOk;
    if (int code = series.Take(name); code != kExitOk) return code;
    if (Interrupted()) return series.Stopped();
  }
  if (series.Done()) return kExitOk;
  context.Say("watching " + options.folder + " for pictures; Ctrl-C ends");
  for (;;) {
    std::vector<std::string> names;
    switch (watch->Wait(&names, &error)) {
      case FolderWatch::Event::kArrived:
        break;
      case FolderWatch::Event::kInterrupted:
        return series.Stopped();
      case FolderWatch::Event::kGone:
        return series.Failed("the folder " + Quote(options.folder) + " was removed or moved");
      case FolderWatch::Event::kFailed:
        return series.Failed("cannot watch " + Quote(options.folder) + ": " + error);
    }
    for (const std::string& name : names) {
      if (!series.Wanted(name)) continue;
      if (int code = series.Take(name); code != kExitOk) return code;
      if (series.Done()) return kExitOk;
      if (Interrupted()) return series.Stopped();
    }
  }
}

}  // namespace cli
