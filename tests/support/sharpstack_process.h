// The sharpstack executable run as a child process on a private drive root,
// its output captured in files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_root.h"

namespace testsupport {

inline const char* const kSharpstack = SHARPSTACK_BINARY_DIR "/bin/sharpstack";

struct Process {
  pid_t pid = -1;
  std::filesystem::path out, err;
};

struct CliResult {
  int code = -1;  // exit code, or 128 + signal
  std::string out, err;
};

// Far below what hostile files declare; the sanitizers reserve terabytes of
// shadow memory, so their builds run without the limit.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SHARPSTACK_TEST_ASAN
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(SHARPSTACK_TEST_ASAN)
inline constexpr rlim_t kHostileAddressSpace = 0;
#else
inline constexpr rlim_t kHostileAddressSpace = rlim_t(512) << 20;
#endif

enum class Mode { kPlain, kHostile, kUnprivileged };

// Starts sharpstack on `root` in its own session (no controlling terminal:
// no dialog), its output going to files in `scratch`. Hostile runs get a
// small address space and an alarm; unprivileged ones drop root so that
// permissions bind.
inline Process Spawn(const std::filesystem::path& root, const std::filesystem::path& scratch,
                     const std::vector<std::string>& args, Mode mode = Mode::kPlain) {
  static int counter = 0;
  Process p;
  p.out = scratch / ("stdout-" + std::to_string(++counter));
  p.err = scratch / ("stderr-" + std::to_string(counter));
  std::vector<std::string> full = {kSharpstack, "--root", root.string()};
  full.insert(full.end(), args.begin(), args.end());
  p.pid = fork();
  if (p.pid == 0) {
    setsid();
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(p.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(p.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    if (mode == Mode::kHostile && kHostileAddressSpace != 0) {
      const rlimit limit{kHostileAddressSpace, kHostileAddressSpace};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (mode == Mode::kHostile) alarm(300);
    if (mode == Mode::kUnprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
      _exit(126);
    std::vector<char*> argv;
    for (std::string& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(kSharpstack, argv.data());
    _exit(127);
  }
  return p;
}

inline CliResult Wait(const Process& p) {
  CliResult r;
  int status = 0;
  while (waitpid(p.pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = Slurp(p.out);
  r.err = Slurp(p.err);
  return r;
}

// Waits until `done` holds; false after a minute.
inline bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline bool WaitForText(const std::filesystem::path& file, const std::string& text) {
  return WaitUntil([&] { return Slurp(file).find(text) != std::string::npos; });
}

// Ends a child that a failed step left running.
struct KillOnExit {
  pid_t pid;
  ~KillOnExit() {
    if (waitpid(pid, nullptr, WNOHANG) == 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

}  // namespace testsupport
