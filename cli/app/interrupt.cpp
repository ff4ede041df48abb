#include "cli/app/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

namespace cli {
namespace {

// Lock-free, so the handler may set it, and atomic, so the decoding threads
// may read it.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

// A pipe written once when the flag goes up: a poll() on its read end wakes
// up even when Ctrl-C comes between the look at the flag and the poll.
int g_wake[2] = {-1, -1};

void Wake() {
  if (g_wake[1] < 0) return;
  const char c = 1;
  (void)!write(g_wake[1], &c, 1);  // async-signal-safe; a full pipe is awake already
}

void OnInterrupt(int) {
  g_interrupted = 1;
  Wake();
}

}  // namespace

void InstallInterruptHandler() {
  if (g_wake[0] < 0 && pipe(g_wake) == 0) {
    for (int fd : g_wake) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // One-shot: the second Ctrl-C gets the default action, for a user who does
  // not want to wait for the run to reach its next row.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
}

bool Interrupted() {
  return g_interrupted != 0;
}

void SetInterrupted(bool value) {
  g_interrupted = value ? 1 : 0;
  if (value) {
    Wake();
    return;
  }
  char drain[16];
  while (g_wake[0] >= 0 && read(g_wake[0], drain, sizeof drain) > 0) {
  }
}

int InterruptWakeFd() {
  return g_wake[0];
}

}  // namespace cli
