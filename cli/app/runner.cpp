#include "cli/app/runner.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/app/commands.h"
#include "cli/app/interrupt.h"
#include "plugin/platform/platform.h"

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
  if (lockFd_ >= 0) close(lockFd_);
}

namespace {

// An exclusive flock() on one file in the drive root, the same for every
// command on this buffer; it goes away with the descriptor or the process.
// The file itself stays: deleting it could let two runs lock two files.
// False, with the reason, when the lock is held or cannot be taken; true with
// *fd -1 when the drive root lets this user create nothing there and no lock
// file exists to open: the plug-in's own files then say what is wrong.
bool TakeLock(int* fd, std::string* error) {
  char native[4096];
  if (!platform::MapPath("c:\\sharpstack.lock", native, sizeof native)) {
    *error = "cannot lock the focus buffer: the drive root's path is not usable";
    return false;
  }
  // Readable by all, so that anyone who may use the buffer may lock it.
  *fd = open(native, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (*fd < 0 && (errno == EACCES || errno == EROFS)) {
    *fd = open(native, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (*fd < 0 && (errno == EACCES || errno == ENOENT)) return true;
  }
  if (*fd < 0) {
    *error = std::string("cannot lock the focus buffer: '") + native + "': " + std::strerror(errno);
    return false;
  }
  while (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    *error = errno == EWOULDBLOCK
                 ? "the focus buffer in " + BufferFolder() + " is in use by another run"
                 : std::string("cannot lock the focus buffer: '") + native +
                       "': " + std::strerror(errno);
    close(*fd);
    *fd = -1;
    return false;
  }
  return true;
}

}  // namespace

bool Runner::Load(std::string* error) {
  std::string path = settings_.pluginPath.empty() ? DefaultPluginPath() : settings_.pluginPath;
  std::string reason;
  if (!module_.Load(path, &reason)) {
    *error = "cannot load the plug-in '" + path + "': " + reason;
    return false;
  }
  if (!TakeLock(&lockFd_, error)) return false;
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
  options.inPlace = job.inPlace;
  options.backColor[0] = job.backColor[0];
  options.backColor[1] = job.backColor[1];
  options.backColor[2] = job.backColor[2];
  options.attach = [this](FilterRecord* record) { scripting_->Attach(record); };
  options.shouldAbort = [this] { return cancellable_ && Interrupted(); };
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
