// The operation selection and its dialog, driven through a pseudo-terminal the
// way a user at the terminal would drive it: the test reads what the dialog
// draws on the master side and types keys there once the prompt is up.
#include "plugin/ui/operation_dialog.h"

#include <gtest/gtest.h>

#include "plugin/focus/operation_choice.h"
#include "plugin/params/parameter_block.h"

namespace {

TEST(OperationDialog, WithoutAChoiceRecordItCannotBeShown) {
  ParameterBlock block{};
  EXPECT_EQ(RunOperationDialog(&block, nullptr), kDialogCancelled);
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
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plugin/core/memory.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/preferences.h"
#include "support/temp_root.h"

namespace {

constexpr char kDown[] = "\x1b[B";
constexpr char kUp[] = "\x1b[A";
constexpr char kEscape[] = "\x1b";

// Sets SHARPSTACK_TTY for one test and puts the old value back.
class TerminalVariable {
 public:
  TerminalVariable() {
    const char* old = getenv("SHARPSTACK_TTY");
    if (old != nullptr) old_ = old;
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

// What one dialog run showed, how it ended, and what it left of the terminal.
struct Session {
  std::string screen;  // every byte the dialog drew
  bool settingsRestored = false;

  std::string FirstDrawing() const {
    const std::size_t end = screen.find("for Cancel");
    return end == std::string::npos ? "" : screen.substr(0, end);
  }
  std::string LastDrawing() const {
    const std::size_t start = screen.rfind("Sharpstack");
    return start == std::string::npos ? "" : screen.substr(start);
  }
};

class PseudoTerminal {
 public:
  PseudoTerminal() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) name_ = name;
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }

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
    if (master_ < 0) return;
    for (;;) {
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) return;
      char buffer[512];
      if (read(master_, buffer, sizeof buffer) <= 0) return;
    }
  }

  void Type(const std::string& keys, bool hangUp, std::atomic<bool>* done, std::string* screen) {
    bool typed = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      if (master_ < 0) return;
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        char buffer[512];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) screen->append(buffer, std::size_t(n));
      } else if (*done) {
        return;  // finished and nothing more to read
      }
      if (!typed && screen->find("for Cancel") != std::string::npos &&
          screen->find('\n', screen->find("for Cancel")) != std::string::npos) {
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

  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

// One processing phase's view of the selection: a parameter block, the
// declared descriptor list and the run state's choice slot.
class SelectionTest : public ::testing::Test {
 protected:
  SelectionTest() : list_(CreateDescriptorList(kDescriptorListSlots)) {}
  ~SelectionTest() override {
    DisposeDescriptorList(list_);
    if (choice_ != nullptr) DisposeHandleBlock(choice_);
  }

  void Declare(float savedOperation) {
    block_.params[kParamOperation] = savedOperation;
    DeclareFilterParameters(list_, &block_);
  }
  OSErr Select(std::uint8_t noDialog = 0) {
    return SelectOperation(&block_, &choice_, list_, noDialog);
  }
  std::int32_t Chosen() const {
    return choice_ != nullptr ? reinterpret_cast<const OperationChoice*>(*choice_)->operation : -1;
  }
  // Selects through the dialog with `keys` typed at the terminal.
  Session SelectWith(const std::string& keys, OSErr* status, bool hangUp = false) {
    return terminal_.Drive(
        keys, [&] { *status = Select(); }, hangUp);
  }

  void SetUp() override {
    ASSERT_TRUE(terminal_.ok());
    ASSERT_NE(list_, nullptr);
    variable_.Set(terminal_.name());
  }

  TerminalVariable variable_;
  PseudoTerminal terminal_;
  ParameterBlock block_{};
  DescriptorList list_;
  Handle choice_ = nullptr;
};

TEST_F(SelectionTest, FirstRunOpensOnClearBufferAndEnterConfirmsIt) {
  Declare(0.0f);
  ASSERT_EQ(GetEntryLong(list_, 0), 0);
  OSErr status = 1;
  const Session session = SelectWith("\r", &status);

  EXPECT_EQ(status, noErr);
  EXPECT_EQ(Chosen(), kOperationClearBuffer);
  EXPECT_EQ(block_.params[kParamOperation], 4.0f);
  EXPECT_EQ(GetEntryLong(list_, 0), 4);
  const std::string first = session.FirstDrawing();
  EXPECT_NE(first.find("Sharpstack"), std::string::npos);
  EXPECT_NE(first.find("( ) Add To Buffer"), std::string::npos);
  EXPECT_NE(first.find("( ) Show Buffer Contents"), std::string::npos);
  EXPECT_EQ(MarkedLabel(first), "Clear Buffer");
  EXPECT_TRUE(session.settingsRestored);
}

TEST_F(SelectionTest, OpensOnTheSavedChoice) {
  Declare(5.0f);
  OSErr status = 1;
  const Session session = SelectWith("\r", &status);
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(MarkedLabel(session.FirstDrawing()), "Add To Buffer");
  EXPECT_EQ(Chosen(), kOperationAddToBuffer);
  EXPECT_EQ(block_.params[kParamOperation], 5.0f);
  EXPECT_EQ(GetEntryLong(list_, 0), 5);
}

// Keys typed in the dialog against the code they confirm, from several
// starting choices. Each case is a dialog of its own.
TEST(OperationDialogKeys, ArrowsAndDigitsMoveTheChoice) {
  struct Case {
    float saved;
    std::string keys;
    std::int32_t confirmed;
    const char* marked;  // in the last drawing
  };
  const Case cases[] = {
      {4, std::string(kDown) + "\r", 5, "Add To Buffer"},
      {4, std::string(kDown) + kDown + "\r", 6, "Show Buffer Contents"},
      {6, std::string(kDown) + "\r", 4, "Clear Buffer"},  // wraps round
      {4, std::string(kUp) + "\r", 6, "Show Buffer Contents"},
      {6, std::string(kUp) + kUp + "\r", 4, "Clear Buffer"},
      {5, "\x1bOA\r", 4, "Clear Buffer"},             // application-mode cursor keys
      {5, "\x1b[C\r", 6, "Show Buffer Contents"},     // Right moves on like Down
      {5, "\x1b[1;5B\r", 6, "Show Buffer Contents"},  // with a modifier
      {4, "6\r", 6, "Show Buffer Contents"},
      {6, "5\r", 5, "Add To Buffer"},
      {4, "64\r", 4, "Clear Buffer"},
      {5, "x7 \r", 5, "Add To Buffer"},  // keys that mean nothing change nothing
      {5, "\n", 5, "Add To Buffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "saved " << c.saved << ", keys " << testing::PrintToString(c.keys));
    TerminalVariable variable;
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.ok());
    variable.Set(terminal.name());
    ParameterBlock block{};
    block.params[kParamOperation] = c.saved;
    DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
    ASSERT_NE(list, nullptr);
    DeclareFilterParameters(list, &block);
    Handle choice = nullptr;
    OSErr status = 1;
    const Session session =
        terminal.Drive(c.keys, [&] { status = SelectOperation(&block, &choice, list, 0); });

    EXPECT_EQ(status, noErr);
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(reinterpret_cast<OperationChoice*>(*choice)->operation, c.confirmed);
    EXPECT_EQ(block.params[kParamOperation], float(c.confirmed));
    EXPECT_EQ(GetEntryLong(list, 0), c.confirmed);
    EXPECT_EQ(MarkedLabel(session.LastDrawing()), c.marked);
    EXPECT_TRUE(session.settingsRestored);
    DisposeHandleBlock(choice);
    DisposeDescriptorList(list);
  }
}

TEST_F(SelectionTest, CodeOutsideTheButtonsMarksNoneAndIsConfirmedUnchanged) {
  block_.params[kParamOperation] = 9.0f;
  DeclareFilterParameters(list_, &block_);
  SetEntryLong(list_, 0, 9);  // as a damaged file or a script could leave it
  OSErr status = 1;
  const Session session = SelectWith("\r", &status);
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(MarkedLabel(session.FirstDrawing()), "");
  EXPECT_EQ(Chosen(), 9);
  EXPECT_EQ(GetEntryLong(list_, 0), 9);
}

TEST_F(SelectionTest, DownFromNoChoiceStartsAtTheFirstButton) {
  DeclareFilterParameters(list_, &block_);
  SetEntryLong(list_, 0, 9);
  OSErr status = 1;
  SelectWith(std::string(kDown) + "\r", &status);
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(Chosen(), kOperationClearBuffer);
}

TEST(OperationDialogKeys, EveryCancelKeyLeavesTheSettingsAlone) {
  for (const std::string& cancel : {std::string(kEscape), std::string("q"), std::string("Q"),
                                    std::string("\x03"), std::string("\x04")}) {
    SCOPED_TRACE(testing::PrintToString(cancel));
    TerminalVariable variable;
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.ok());
    variable.Set(terminal.name());
    ParameterBlock block{};
    block.params[kParamOperation] = 5.0f;
    DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
    ASSERT_NE(list, nullptr);
    DeclareFilterParameters(list, &block);
    Handle choice = nullptr;
    OSErr status = 1;
    // "Show Buffer Contents" is picked first, then the dialog is cancelled.
    const Session session =
        terminal.Drive("6" + cancel, [&] { status = SelectOperation(&block, &choice, list, 0); });

    EXPECT_EQ(status, userCanceledErr);
    EXPECT_EQ(MarkedLabel(session.LastDrawing()), "Show Buffer Contents");
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(reinterpret_cast<OperationChoice*>(*choice)->operation, kOperationAddToBuffer);
    EXPECT_EQ(block.params[kParamOperation], 5.0f);
    EXPECT_EQ(GetEntryLong(list, 0), 5);
    EXPECT_TRUE(session.settingsRestored);
    DisposeHandleBlock(choice);
    DisposeDescriptorList(list);
  }
}

TEST_F(SelectionTest, TerminalThatGoesAwayCancels) {
  Declare(5.0f);
  OSErr status = 1;
  // Closing the far end hangs the terminal up: nothing is left to restore.
  SelectWith("6", &status, /*hangUp=*/true);
  EXPECT_EQ(status, userCanceledErr);
  EXPECT_EQ(block_.params[kParamOperation], 5.0f);
  EXPECT_EQ(GetEntryLong(list_, 0), 5);
}

TEST_F(SelectionTest, WithoutATerminalTheRunIsCancelled) {
  testsupport::TempRoot root;
  root.Write("plain.txt", std::string("not a terminal"));
  for (const std::string& tty :
       {std::string(""), root.File("plain.txt").string(), root.File("missing").string()}) {
    SCOPED_TRACE(tty);
    variable_.Set(tty);
    Declare(6.0f);
    EXPECT_EQ(Select(), userCanceledErr);
    EXPECT_EQ(Chosen(), kOperationShowBuffer);
    EXPECT_EQ(block_.params[kParamOperation], 6.0f);
    EXPECT_EQ(GetEntryLong(list_, 0), 6);
  }
  EXPECT_EQ(root.Read("plain.txt").size(), std::string("not a terminal").size());
}

// A selection with the default terminal, in a child process: its exit code
// is 0 when the dialog could not be shown and the run was cancelled untouched.
[[noreturn]] void SelectWithDefaultTerminalAndExit() {
  unsetenv("SHARPSTACK_TTY");
  ParameterBlock block{};
  block.params[kParamOperation] = 5.0f;
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  if (list == nullptr) _exit(10);
  DeclareFilterParameters(list, &block);
  Handle choice = nullptr;
  const OSErr status = SelectOperation(&block, &choice, list, 0);
  const bool untouched = block.params[kParamOperation] == 5.0f && GetEntryLong(list, 0) == 5;
  _exit(status == userCanceledErr && untouched ? 0 : 11);
}

int ExitCode(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OperationDialogTerminal, ProcessWithoutAControllingTerminalIsCancelled) {
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
TEST(OperationDialogTerminal, BackgroundJobIsCancelledWithoutBeingStopped) {
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

TEST_F(SelectionTest, NoDialogTakesTheValueAsItIsWithoutTouchingTheTerminal) {
  Declare(0.0f);
  OSErr status = 1;
  const Session session = terminal_.Drive("", [&] { status = Select(/*noDialog=*/1); });
  EXPECT_EQ(status, noErr);
  EXPECT_TRUE(session.screen.empty());
  EXPECT_EQ(Chosen(), kOperationClearBuffer);  // 0 still means Clear Buffer
  EXPECT_EQ(block_.params[kParamOperation], 0.0f);
  EXPECT_EQ(GetEntryLong(list_, 0), 0);

  // A recorded action's code passes through as it is.
  SetEntryLong(list_, 0, 6);
  EXPECT_EQ(Select(1), noErr);
  EXPECT_EQ(Chosen(), kOperationShowBuffer);
  EXPECT_EQ(block_.params[kParamOperation], 0.0f);
}

// The selection between two runs, with the preferences file carrying the
// choice: a confirmed choice opens the next dialog, a cancelled one is still
// saved as it was loaded.
class SelectionAcrossRunsTest : public ::testing::Test {
 protected:
  // One run's preferences and selection: load, declare, select with `keys`,
  // save. Returns the selection's status and the first drawing.
  std::pair<OSErr, std::string> Run(const std::string& keys) {
    ParameterBlock block{};
    char* path = nullptr;
    FileRef file = kNoPreferencesFile;
    LoadPreferences(&block, &path, &file);
    DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
    DeclareFilterParameters(list, &block);
    Handle choice = nullptr;
    OSErr status = 1;
    const Session session =
        terminal_.Drive(keys, [&] { status = SelectOperation(&block, &choice, list, 0); });
    SavePreferences(&block, path, file);
    DisposeString(path);
    DisposeDescriptorList(list);
    if (choice != nullptr) DisposeHandleBlock(choice);
    return {status, MarkedLabel(session.FirstDrawing())};
  }
  float SavedOperation() const {
    const std::vector<unsigned char> bytes = root_.Read("TRUXpref.xxx");
    if (bytes.size() < 824) return -1.0f;
    std::uint32_t bits = 0;  // little-endian in the file
    for (int k = 0; k < 4; ++k) bits |= std::uint32_t(bytes[820 + k]) << (8 * k);
    return std::bit_cast<float>(bits);
  }

  void SetUp() override {
    ASSERT_TRUE(terminal_.ok());
    variable_.Set(terminal_.name());
  }

  testsupport::TempRoot root_;
  TerminalVariable variable_;
  PseudoTerminal terminal_;
};

TEST_F(SelectionAcrossRunsTest, ConfirmedChoiceOpensTheNextRunAndCancelKeepsIt) {
  const auto first = Run(std::string(kDown) + "\r");  // Clear -> Add To Buffer
  EXPECT_EQ(first.first, noErr);
  EXPECT_EQ(first.second, "Clear Buffer");
  EXPECT_EQ(SavedOperation(), 5.0f);

  const auto second = Run("6" + std::string(kEscape));
  EXPECT_EQ(second.first, userCanceledErr);
  EXPECT_EQ(second.second, "Add To Buffer");
  EXPECT_EQ(SavedOperation(), 5.0f);

  const auto third = Run("\r");
  EXPECT_EQ(third.first, noErr);
  EXPECT_EQ(third.second, "Add To Buffer");
}

}  // namespace
#endif  // !_WIN32
