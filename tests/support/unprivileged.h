// Runs a check in a child process without root's privileges, so that file
// permissions bind even when the tests run as root.
#pragma once

#if !defined(_WIN32)

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace testsupport {

// Runs `check` in a child (as user and group 65534 when started as root) and
// returns its result, or -1 when the child did not finish normally. The check
// reports failure by returning a non-zero number that names the failed step.
inline int RunUnprivileged(const std::function<int()>& check) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(250);
    _exit(check());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace testsupport

#endif  // !_WIN32
