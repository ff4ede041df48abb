// The operation selection and its dialog. On POSIX the dialog is driven
// through a pseudo-terminal the way a user at the terminal would drive it: the
// test reads what the dialog draws on the master side and types keys there
// once the prompt is up.
#include "plugin/ui/operation_dialog.h"

#include <gtest/gtest.h>

#include "plugin/core/memory.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"

namespace {

// One processing phase's view of the selection: a parameter block, the
// declared descriptor list and the run state's choice slot.
class Selection {
 public:
  explicit Selection(float savedOperation) : list_(CreateDescriptorList(kDescriptorListSlots)) {
    block_.params[kParamOperation] = savedOperation;
    DeclareFilterParameters(list_, &block_);
  }
  ~Selection() {
    DisposeDescriptorList(list_);
    if (choice_ != nullptr) DisposeHandleBlock(choice_);
  }
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

  OSErr Select(std::uint8_t noDialog = 0) {
    return SelectOperation(&block_, &choice_, list_, noDialog);
  }
  std::int32_t Chosen() const {
    return choice_ != nullptr ? reinterpret_cast<const OperationChoice*>(*choice_)->operation : -1;
  }
  // The setting remembered for the next run and the value recorded for the host.
  void ExpectKept(float saved, std::int32_t listed) const {
    EXPECT_EQ(block_.params[kParamOperation], saved);
    EXPECT_EQ(GetEntryLong(list_, 0), listed);
  }
  ParameterBlock& block() { return block_; }
  DescriptorList list() const { return list_; }

 private:
  ParameterBlock block_{};
  DescriptorList list_;
  Handle choice_ = nullptr;
};

TEST(OperationSelection, WithoutADialogTheValueIsTakenAsItIs) {
  ParameterBlock block{};
  EXPECT_EQ(RunOperationDialog(&block, nullptr), kDialogCancelled);  // no choice record
  Selection s(0.0f);
  // Nobody ever named an operation: the run fails rather than taking Clear.
  EXPECT_EQ(s.Select(/*noDialog=*/1), filterBadParameters);
  EXPECT_EQ(s.Chosen(), 0);
  s.ExpectKept(0.0f, 0);
  // A recorded action's code passes through as it is.
  SetEntryLong(s.list(), 0, 6);
  EXPECT_EQ(s.Select(1), noErr);
  EXPECT_EQ(s.Chosen(), kOperationShowBuffer);
  s.ExpectKept(0.0f, 6);
}

}  // namespace

// The terminal prompt exists only on POSIX; Windows shows the dialog resource.
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
#include <optional>
#include <string>
#include <thread>

#include "support/temp_root.h"

namespace {

constexpr char kDown[] = "\x1b[B";
constexpr char kUp[] = "\x1b[A";

// Sets SHARPSTACK_TTY for one test and puts the old value back.
class TerminalVariable {
 public:
  TerminalVariable() {
    if (const char* old = getenv("SHARPSTACK_TTY")) old_ = old;
  }
  ~TerminalVariable() {
    if (old_) {
      setenv("SHARPSTACK_TTY", old_->c_str(), 1);
    } else {
      unsetenv("SHARPSTACK_TTY");
    }
  }
  void Set(const std::string& value) { setenv("SHARPSTACK_TTY", value.c_str(), 1); }

 private:
  std::optional<std::string> old_;
};

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// The label of the marked radio button in one drawing of the dialog, or ""
// when none is marked.
std::string MarkedLabel(const std::string& drawing) {
  const std::size_t mark = drawing.find("(*) ");
  if (mark == std::string::npos) return "";
  const std::size_t start = mark + 4;
  return drawing.substr(start, drawing.find_first_of("\r\n", start) - start);
}

// What one dialog run showed, and what it left of the terminal.
struct Session {
  std::string screen;  // every byte the dialog drew
  bool settingsRestored = false;

  std::string FirstDrawing() const { return screen.substr(0, screen.find("for Cancel")); }
  std::string LastDrawing() const {
    const std::size_t start = screen.rfind("Sharpstack");
    return start == std::string::npos ? "" : screen.substr(start);
  }
};

class PseudoTerminal {
 public:
  PseudoTerminal() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) variable_.Set(name);
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return slave_ >= 0; }

  // Runs `show` (which puts up the dialog) while a second thread waits for the
  // prompt, types `keys` and then, with hangUp, closes the terminal's far end.
  // A dialog still up five seconds after the keys is hung up on, so a fault
  // fails the test instead of stalling it.
  template <typename Show>
  Session Drive(const std::string& keys, Show show, bool hangUp = false) {
    Session session;
    Drain();
    termios before{};
    tcgetattr(slave_, &before);
    std::atomic<bool> done{false};
    std::thread typist([&] { Type(keys, hangUp, &done, &session.screen); });
    show();
    done = true;
    typist.join();
    termios after{};
    session.settingsRestored = tcgetattr(slave_, &after) == 0 && SameSettings(before, after);
    return session;
  }

 private:
  // The terminal hands output from one end to the other asynchronously, so
  // the tail of an earlier dialog may still arrive after it has ended; it must
  // not be taken for this session's screen.
  void Drain() {
    for (pollfd p = {master_, POLLIN, 0}; master_ >= 0 && poll(&p, 1, 100) > 0;) {
      char buffer[512];
      if (read(master_, buffer, sizeof buffer) <= 0) return;
    }
  }

  void Type(const std::string& keys, bool hangUp, std::atomic<bool>* done, std::string* screen) {
    bool typed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (master_ >= 0) {
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        char buffer[512];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) screen->append(buffer, std::size_t(n));
      } else if (*done) {
        return;  // finished and nothing more to read
      }
      const std::size_t prompt = screen->find("for Cancel");
      if (!typed && prompt != std::string::npos &&
          screen->find('\n', prompt) != std::string::npos) {
        typed = true;
        if (!keys.empty() && write(master_, keys.data(), keys.size()) != ssize_t(keys.size())) {
          ADD_FAILURE() << "could not type the keys";
        }
        if (hangUp) {
          close(master_);
          master_ = -1;
        }
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      }
      if (!*done && std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the dialog did not end";
        close(master_);
        master_ = -1;
      }
    }
  }

  TerminalVariable variable_;
  int master_ = -1;
  int slave_ = -1;
};

// Keys typed in the dialog against what it showed first and last and how it
// ended, from several starting choices. Each case is a dialog of its own.
TEST(OperationDialog, KeysMoveConfirmAndCancelTheChoice) {
  const std::string down(kDown);
  const std::string up(kUp);
  const struct {
    float saved;
    std::string keys;
    OSErr status;
    std::int32_t chosen;
    const char* first;  // the button marked in the first drawing
    const char* last;   // and in the last one
    bool hangUp = false;
  } cases[] = {
      {0, "\r", noErr, 4, "Clear Buffer", "Clear Buffer"},  // the first run
      {5, "\r", noErr, 5, "Add To Buffer", "Add To Buffer"},
      {5, "\n", noErr, 5, "Add To Buffer", "Add To Buffer"},
      {4, down + "\r", noErr, 5, "Clear Buffer", "Add To Buffer"},
      {4, down + down + "\r", noErr, 6, "Clear Buffer", "Show Buffer Contents"},
      {6, down + "\r", noErr, 4, "Show Buffer Contents", "Clear Buffer"},  // wraps round
      {4, up + "\r", noErr, 6, "Clear Buffer", "Show Buffer Contents"},
      {6, up + up + "\r", noErr, 4, "Show Buffer Contents", "Clear Buffer"},
      {5, "\x1bOA\r", noErr, 4, "Add To Buffer", "Clear Buffer"},             // application mode
      {5, "\x1b[C\r", noErr, 6, "Add To Buffer", "Show Buffer Contents"},     // Right as Down
      {5, "\x1b[1;5B\r", noErr, 6, "Add To Buffer", "Show Buffer Contents"},  // a modifier
      {4, "6\r", noErr, 6, "Clear Buffer", "Show Buffer Contents"},
      {6, "5\r", noErr, 5, "Show Buffer Contents", "Add To Buffer"},
      {4, "64\r", noErr, 4, "Clear Buffer", "Clear Buffer"},
      {5, "x7 \r", noErr, 5, "Add To Buffer", "Add To Buffer"},  // keys that mean nothing
      // A code outside the buttons (a damaged file, a script) marks none and
      // is confirmed unchanged; Down starts at the first button.
      {9, "\r", noErr, 9, "", ""},
      {9, down + "\r", noErr, 4, "", "Clear Buffer"},
      // Every cancel key leaves the settings alone.
      {5, "6\x1b", userCanceledErr, 5, "Add To Buffer", "Show Buffer Contents"},
      {5, "6q", userCanceledErr, 5, "Add To Buffer", "Show Buffer Contents"},
      {5, "6Q", userCanceledErr, 5, "Add To Buffer", "Show Buffer Contents"},
      {5, "6\x03", userCanceledErr, 5, "Add To Buffer", "Show Buffer Contents"},
      {5, "6\x04", userCanceledErr, 5, "Add To Buffer", "Show Buffer Contents"},
      // A terminal that goes away cancels; nothing is left to restore.
      {5, "6", userCanceledErr, 5, "Add To Buffer", nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "saved " << c.saved << ", keys " << testing::PrintToString(c.keys));
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.ok());
    Selection s(c.saved);
    OSErr status = 1;
    const Session session = terminal.Drive(
        c.keys, [&] { status = s.Select(); }, c.hangUp);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(s.Chosen(), c.chosen);
    if (c.status == noErr) {
      s.ExpectKept(float(c.chosen), c.chosen);
    } else {
      s.ExpectKept(c.saved, std::int32_t(c.saved));
    }
    EXPECT_EQ(MarkedLabel(session.FirstDrawing()), c.first);
    if (c.last != nullptr) {
      EXPECT_EQ(MarkedLabel(session.LastDrawing()), c.last);
    }
    EXPECT_TRUE(session.settingsRestored || c.hangUp);
  }
}

TEST(OperationDialog, DrawsTheTitleAndEveryButton) {
  PseudoTerminal terminal;
  ASSERT_TRUE(terminal.ok());
  Selection s(6.0f);
  const std::string first = terminal.Drive("\r", [&] { s.Select(); }).FirstDrawing();
  for (const char* text :
       {"Sharpstack", "( ) Clear Buffer", "( ) Add To Buffer", "(*) Show Buffer Contents"}) {
    EXPECT_NE(first.find(text), std::string::npos) << text;
  }
}

TEST(OperationDialog, WithoutATerminalTheRunIsCancelled) {
  testsupport::TempRoot root;
  root.Write("plain.txt", std::string("not a terminal"));
  TerminalVariable variable;
  for (const std::string& tty :
       {std::string(""), root.File("plain.txt").string(), root.File("missing").string()}) {
    SCOPED_TRACE(tty);
    variable.Set(tty);
    Selection s(6.0f);
    EXPECT_EQ(s.Select(), userCanceledErr);
    EXPECT_EQ(s.Chosen(), kOperationShowBuffer);
    s.ExpectKept(6.0f, 6);
  }
  EXPECT_EQ(root.Read("plain.txt").size(), std::string("not a terminal").size());
}

// A selection with the default terminal, in a child process: its exit code
// is 0 when the dialog could not be shown and the run was cancelled untouched.
[[noreturn]] void SelectWithDefaultTerminalAndExit() {
  unsetenv("SHARPSTACK_TTY");
  Selection s(5.0f);
  const bool cancelled = s.Select() == userCanceledErr;
  _exit(cancelled && s.block().params[kParamOperation] == 5.0f && GetEntryLong(s.list(), 0) == 5
            ? 0
            : 11);
}

int ExitCode(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OperationDialog, ProcessWithoutAControllingTerminalIsCancelled) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();  // a new session has no controlling terminal
    SelectWithDefaultTerminalAndExit();
  }
  EXPECT_EQ(ExitCode(child), 0);
}

// A job in the background must not take the terminal from the foreground
// (the system would stop it the moment it changed the terminal's settings).
TEST(OperationDialog, BackgroundJobIsCancelledWithoutBeingStopped) {
  int master = -1;
  const pid_t leader = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(leader, 0);
  if (leader == 0) {
    // The session leader owns the terminal and stays in the foreground; the
    // job runs in a process group of its own.
    const pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      SelectWithDefaultTerminalAndExit();
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
  const int code = ExitCode(leader);
  close(master);
  EXPECT_EQ(code, 0);
}

}  // namespace
#endif  // !_WIN32
