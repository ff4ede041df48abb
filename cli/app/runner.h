// One filter run per picture, as an image editor does it: the plug-in module
// loaded once, a FilterHost that keeps the plug-in's data slot between runs,
// the scripting host that hands over the operation (or a played-back action)
// and takes back the recorded descriptor, progress on the terminal and Ctrl-C
// as abortProc.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/app/progress.h"
#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/plugin_module.h"
#include "cli/hostlib/scripting_host.h"

namespace cli {

// playInfo values of the scripting interface.
inline constexpr std::int16_t kPlayDialogOptional = 0;
inline constexpr std::int16_t kPlayDialogDisplay = 1;

struct Settings {
  std::string pluginPath;  // empty: Sharpstack.so beside the executable
  bool quiet = false;      // no progress bar, no confirmations
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

// What one run tells the plug-in.
struct Job {
  // The descriptor handed over; no value: none, so the plug-in's dialog asks.
  std::optional<std::vector<host::DescriptorItem>> playback;
  std::int16_t playInfo = kPlayDialogOptional;
  std::optional<std::string> documentPath;
  std::uint8_t backColor[3] = {255, 255, 255};
  // For the progress bar: the picture's name and what was done to it.
  std::string label;
  std::string detail;
  int index = 1;
  int count = 1;
  // The picture is not wanted after the run: the plug-in writes into it
  // directly (see host::RunOptions::inPlace).
  bool inPlace = false;
};

struct Outcome {
  OSErr result = noErr;
  bool pictureKept = false;
  bool recorded = false;  // the plug-in left a descriptor
  std::vector<host::DescriptorItem> recordedItems;
};

class Runner {
 public:
  explicit Runner(const Settings& settings);
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Loads the plug-in module and takes the lock of the drive root, held for
  // as long as the runner lives; false (and the reason in *error) when either
  // fails. The plug-in holds its buffer files only during a run, so without
  // the lock another command could change the buffer between two runs of one
  // command (the pictures of an add, a stack's composite, a whole watch).
  bool Load(std::string* error);

  // The picture, selection and filter area of the runs.
  host::FilterHost& Host() { return *host_; }

  Outcome Run(const Job& job);

  // Whether Ctrl-C reaches the plug-in's abortProc (it does unless switched
  // off, e.g. for a composite that must be finished once its picture is in).
  void SetCancellable(bool cancellable) { cancellable_ = cancellable; }

  const Settings& settings() const { return settings_; }

 private:
  Settings settings_;
  host::PluginModule module_;
  std::unique_ptr<host::FilterHost> host_;
  std::unique_ptr<host::ScriptingHost> scripting_;
  ProgressBar progress_;
  int lockFd_ = -1;
  bool cancellable_ = true;
};

// Where Sharpstack.so is looked for by default: the directory of the running
// executable.
std::string DefaultPluginPath();

}  // namespace cli
