#include "cli/app/interrupt.h"

#include <signal.h>

#include <atomic>
#include <csignal>

namespace cli {
namespace {

// Lock-free, so the handler may set it, and atomic, so the decoding threads
// may read it.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnInterrupt(int) {
  g_interrupted = 1;
}

}  // namespace

void InstallInterruptHandler() {
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
}

}  // namespace cli
