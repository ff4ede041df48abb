// The operation dialog on POSIX, driven through a pseudo-terminal as a user
// would: read what it draws, type once it prompts. (Windows shows the dialog
// resource; the Windows tests have it.)
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "plugin/core/memory.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"
#include "plugin/ui/operation_dialog.h"
#include "support/owned_list.h"
#include "support/temp_root.h"

namespace {

// One processing phase's view: a parameter block, the declared list and the
// run state's choice slot.
struct Selection {
  explicit Selection(float savedOperation) {
    block.params[kParamOperation] = savedOperation;
    DeclareFilterParameters(list.get(), &block);
  }
  ~Selection() { DisposeHandleBlock(choice); }
  OSErr Select() { return SelectOperation(&block, &choice, list.get(), 0); }
  std::int32_t Chosen() const {
    return choice != nullptr ? reinterpret_cast<const OperationChoice*>(*choice)->operation : -1;
  }
  // The setting remembered for the next run and the value recorded for the host.
  bool Kept(float saved, std::int32_t listed) const {
    return block.params[kParamOperation] == saved && GetEntryLong(list.get(), 0) == listed;
  }
  ParameterBlock block{};
  testsupport::OwnedList list;
  Handle choice = nullptr;
};

// The label of the marked radio button in one drawing, or "" when none is.
std::string MarkedLabel(const std::string& drawing) {
  const std::size_t start = drawing.find("(*) ") + 4;
  return start < 4 ? "" : drawing.substr(start, drawing.find_first_of("\r\n", start) - start);
}

// Runs `show` on a fresh pseudo-terminal while a thread types `keys` at the prompt
// and, with hangUp, closes the far end (or does so 5 s later, so that a fault fails
// rather than stalls). Returns what it drew; the settings must be left as found.
std::string Drive(const std::string& keys, const std::function<void()>& show, bool hangUp) {
  std::string screen;
  int master = -1, slave = -1;
  char name[256] = {};
  EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  testsupport::ScopedVariable tty("SHARPSTACK_TTY", name);
  termios before{}, after{};
  tcgetattr(slave, &before);
  std::atomic<bool> done{false};
  std::thread typist([&] {
    bool typed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (master >= 0) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        char buffer[512];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) screen.append(buffer, std::size_t(n));
      } else if (done) {
        break;  // finished and nothing more to read
      }
      const std::size_t prompt = screen.find("for Cancel");
      if (!typed && prompt != std::string::npos && screen.find('\n', prompt) != std::string::npos) {
        typed = true;
        EXPECT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(hangUp ? 0 : 5);
      } else if (!done && std::chrono::steady_clock::now() > deadline) {
        EXPECT_TRUE(hangUp) << "the dialog did not end";
        close(master);
        master = -1;
      }
    }
  });
  show();
  done = true;
  typist.join();
  EXPECT_TRUE(hangUp ||
              (tcgetattr(slave, &after) == 0 && std::memcmp(&before, &after, sizeof after) == 0));
  if (master >= 0) close(master);
  close(slave);
  return screen;
}

// Keys typed against what the dialog showed first and last and how it ended.
TEST(OperationDialog, KeysMoveConfirmAndCancelTheChoice) {
  const std::string down = "\x1b[B", up = "\x1b[A";
  struct Case {
    float saved;
    std::string keys;
    OSErr status;
    std::int32_t chosen;
    const char* first;  // the button marked in the first drawing
    const char* last;   // and in the last one
    bool hangUp = false;
  };
  std::vector<Case> cases = {
      {0, "\r", noErr, 4, "Clear Buffer", "Clear Buffer"},  // the first run
      {5, "\r", noErr, 5, "Add To Buffer", "Add To Buffer"},
      {5, "\n", noErr, 5, "Add To Buffer", "Add To Buffer"},
      {4, down + "\r", noErr, 5, "Clear Buffer", "Add To Buffer"},
      {6, down + "\r", noErr, 4, "Show Buffer Contents", "Clear Buffer"},  // wraps round
      {4, up + "\r", noErr, 6, "Clear Buffer", "Show Buffer Contents"},
      {5, "\x1bOA\r", noErr, 4, "Add To Buffer", "Clear Buffer"},             // application mode
      {5, "\x1b[C\r", noErr, 6, "Add To Buffer", "Show Buffer Contents"},     // Right as Down
      {5, "\x1b[1;5B\r", noErr, 6, "Add To Buffer", "Show Buffer Contents"},  // a modifier
      {6, "5\r", noErr, 5, "Show Buffer Contents", "Add To Buffer"},
      {4, "64\r", noErr, 4, "Clear Buffer", "Clear Buffer"},
      {5, "x7 \r", noErr, 5, "Add To Buffer", "Add To Buffer"},  // keys that mean nothing
      // A code outside the buttons marks none; Down starts at the first.
      {9, "\r", noErr, 9, "", ""},
      {9, down + "\r", noErr, 4, "", "Clear Buffer"},
      // A terminal that goes away cancels; nothing is left to restore.
      {5, "6", userCanceledErr, 5, "Add To Buffer", nullptr, true},
  };
  for (const char* cancel : {"\x1b", "q", "Q", "\x03", "\x04"})  // each leaves the settings alone
    cases.push_back({5, "6" + std::string(cancel), userCanceledErr, 5, "Add To Buffer",
                     "Show Buffer Contents"});
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "saved " << c.saved << ", keys " << testing::PrintToString(c.keys));
    Selection s(c.saved);
    OSErr status = 1;
    const std::string screen = Drive(
        c.keys, [&] { status = s.Select(); }, c.hangUp);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(s.Chosen(), c.chosen);
    const std::int32_t kept = c.status == noErr ? c.chosen : std::int32_t(c.saved);
    EXPECT_TRUE(s.Kept(float(kept), kept));
    EXPECT_EQ(MarkedLabel(screen.substr(0, screen.find("for Cancel"))), c.first);
    const std::size_t last = std::min(screen.rfind("Sharpstack"), screen.size());
    if (c.last != nullptr) {
      EXPECT_EQ(MarkedLabel(screen.substr(last)), c.last);
    }
  }
}

// A background job, which the system would stop the moment it changed the
// terminal's settings, cancels the run instead and leaves the settings alone.
TEST(OperationDialog, BackgroundJobsAreCancelledNotStopped) {
  int master = -1;
  const pid_t leader = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(leader, 0);
  if (leader == 0) {
    const pid_t job = fork();  // the leader keeps the foreground; the job has its own group
    if (job == 0) {
      setpgid(0, 0);
      unsetenv("SHARPSTACK_TTY");  // the default: the controlling terminal
      Selection s(5.0f);
      _exit(s.Select() == userCanceledErr && s.Kept(5.0f, 5) ? 0 : 11);
    }
    int status = 0;
    waitpid(job, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
      kill(job, SIGKILL);
      waitpid(job, &status, 0);
      _exit(20);
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 21);
  }
  int status = 0;
  EXPECT_EQ(waitpid(leader, &status, 0), leader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(master);
}

}  // namespace
#endif  // !_WIN32
