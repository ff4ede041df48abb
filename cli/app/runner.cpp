#include "cli/app/runner.h"

#include <unistd.h>

#include <climits>

#include "cli/app/interrupt.h"

namespace cli {

std::string DefaultPluginPath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  std::string dir = ".";
  if (n > 0) {
    std::string exe(buffer, std::size_t(n));
    std::string::size_type slash = exe.rfind('/');
    if (slash != std::string::npos) dir = exe.substr(0, slash);
  }
  return host::PluginModule::ModulePath(dir);
}

Runner::Runner(const Settings& settings)
    : settings_(settings),
      progress_(settings.err, !settings.quiet && isatty(fileno(settings.err)) != 0) {}

Runner::~Runner() {
  // The plug-in's code must stay loaded while the host may still call it.
  host_.reset();
  scripting_.reset();
  module_.Unload();
}

bool Runner::Load(std::string* error) {
  std::string path = settings_.pluginPath.empty() ? DefaultPluginPath() : settings_.pluginPath;
  std::string reason;
  if (!module_.Load(path, &reason)) {
    *error = "cannot load the plug-in '" + path + "': " + reason;
    return false;
  }
  host_ = std::make_unique<host::FilterHost>(module_.Entry());
  scripting_ = std::make_unique<host::ScriptingHost>();
  return true;
}

Outcome Runner::Run(const Job& job) {
  if (job.playback) {
    scripting_->SetPlayback(*job.playback, job.playInfo);
  } else {
    scripting_->ClearPlayback();
  }
  host::RunOptions options;
  options.mode = host::DriverMode::kAdvanceState;
  options.documentPath = job.documentPath;
  options.backColor[0] = job.backColor[0];
  options.backColor[1] = job.backColor[1];
  options.backColor[2] = job.backColor[2];
  options.attach = [this](FilterRecord* record) { scripting_->Attach(record); };
  options.shouldAbort = [] { return Interrupted(); };
  options.onProgress = [this](std::int32_t done, std::int32_t total) {
    progress_.Update(done, total);
  };
  progress_.Begin(job.label, job.index, job.count, job.detail);
  host::RunResult result = host_->Run(options);
  progress_.Clear();

  Outcome outcome;
  outcome.result = result.result;
  outcome.pictureKept = result.pictureKept;
  outcome.recorded = scripting_->RecordedItems(&outcome.recordedItems);
  return outcome;
}

}  // namespace cli
