// Child processes: the sharpstack executable on a private drive root, and a
// forked copy of the test that stops part-way until the test lets it go on.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace reliability {

inline const char* const kSharpstack = SHARPSTACK_BINARY_DIR "/bin/sharpstack";

struct CliResult {
  int code = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

// Starts sharpstack on `root` in its own session (no terminal, so no dialog),
// its output going to files in `scratch`.
inline pid_t SpawnCli(const std::filesystem::path& root, const std::filesystem::path& scratch,
                      const std::vector<std::string>& args, int tag) {
  const std::string out = (scratch / ("out-" + std::to_string(tag))).string();
  const std::string err = (scratch / ("err-" + std::to_string(tag))).string();
  std::vector<std::string> full = {kSharpstack, "--quiet", "--root", root.string()};
  full.insert(full.end(), args.begin(), args.end());
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    // The run state stays in the editor's data slot until the process ends.
    const char* asan = getenv("ASAN_OPTIONS");
    const std::string options =
        std::string(asan != nullptr ? asan : "") + (asan != nullptr ? ":" : "") + "detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(kSharpstack, argv.data());
    _exit(127);
  }
  return pid;
}

inline std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline int WaitCode(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline CliResult RunCli(const std::filesystem::path& root, const std::filesystem::path& scratch,
                        const std::vector<std::string>& args) {
  static int tag = 0;
  ++tag;
  CliResult r;
  r.code = WaitCode(SpawnCli(root, scratch, args, tag));
  r.out = Slurp(scratch / ("out-" + std::to_string(tag)));
  r.err = Slurp(scratch / ("err-" + std::to_string(tag)));
  return r;
}

// A forked copy of the test that runs `body` (its exit code), which calls
// Pause() where the test wants to act in between.
class PausedChild {
 public:
  explicit PausedChild(const std::function<int(PausedChild&)>& body) {
    if (pipe(up_) != 0 || pipe(down_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up_[0]);
      close(down_[1]);
      _exit(body(*this));
    }
    close(up_[1]);
    close(down_[0]);
  }
  ~PausedChild() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      WaitCode(pid_);
    }
    if (pid_ > 0) {
      close(up_[0]);
      close(down_[1]);
    }
  }
  PausedChild(const PausedChild&) = delete;
  PausedChild& operator=(const PausedChild&) = delete;

  // In the child: says it has stopped and waits until it may go on.
  void Pause() {
    const char c = 'p';
    (void)!write(up_[1], &c, 1);
    char go = 0;
    (void)!read(down_[0], &go, 1);
  }
  // In the test: true once the child has paused, false when it ended first.
  bool WaitUntilPaused() {
    char c = 0;
    return read(up_[0], &c, 1) == 1;
  }
  // In the test: lets the child go on; its exit code.
  int Resume() {
    const char c = 'g';
    (void)!write(down_[1], &c, 1);
    waited_ = true;
    return WaitCode(pid_);
  }

 private:
  pid_t pid_ = -1;
  int up_[2] = {-1, -1};
  int down_[2] = {-1, -1};
  bool waited_ = false;
};

}  // namespace reliability
