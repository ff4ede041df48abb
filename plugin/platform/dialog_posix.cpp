// Modal dialogs on POSIX. There is no dialog manager, so a dialog is a small
// prompt on the controlling terminal: the caption, one line per radio button
// with the checked one marked, the buttons, and a line of key help. Up and Down
// (or Left and Right) move through the radio buttons, a control's key selects
// it, Enter activates the default button, Escape or q the Cancel button.
//
// The terminal is put into non-canonical mode without echo or signal keys for
// the dialog and given back its exact settings on every way out. Without a
// terminal (none, not a terminal, or one that belongs to another job in the
// foreground) the dialog cannot be shown.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "plugin/platform/platform.h"

namespace platform {

namespace {
constexpr int kMaxControls = 16;
constexpr int kEscapeWaitMs = 60;  // how long a lone Escape waits for the rest of a sequence
}  // namespace

struct DialogSession {
  const DialogTemplate* dialog;
  bool checked[kMaxControls];
  bool ended;
  int code;
};

namespace {

const char* TerminalPath() {
  const char* configured = getenv("SHARPSTACK_TTY");
  return configured != nullptr ? configured : "/dev/tty";
}

int FindControl(const DialogSession& s, int id) {
  for (int i = 0; i < s.dialog->controlCount; ++i) {
    if (s.dialog->controls[i].id == id) return i;
  }
  return -1;
}

bool IsRadio(const DialogSession& s, int index) {
  return s.dialog->controls[index].kind == DialogControlKind::kRadioButton;
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the terminal is gone; the next read says so
    done += static_cast<std::size_t>(n);
  }
}

int LinesDrawn(const DialogSession& s) {
  int radios = 0;
  for (int i = 0; i < s.dialog->controlCount; ++i) radios += IsRadio(s, i) ? 1 : 0;
  return radios + 3;  // caption, radios, buttons, help
}

void Render(int fd, const DialogSession& s, bool first) {
  const DialogTemplate& d = *s.dialog;
  std::string out;
  if (!first) out += "\x1b[" + std::to_string(LinesDrawn(s)) + "A";
  out += "\r\x1b[K";
  out += d.caption != nullptr ? d.caption : "";
  out += "\n";
  std::string buttons;
  std::string keys;
  const char* ok = nullptr;
  const char* cancel = nullptr;
  for (int i = 0; i < d.controlCount; ++i) {
    const DialogControl& c = d.controls[i];
    const char* text = c.text != nullptr ? c.text : "";
    if (c.kind == DialogControlKind::kRadioButton) {
      out += "\r\x1b[K  ";
      out += s.checked[i] ? "(*) " : "( ) ";
      out += text;
      out += "\n";
      if (c.key != 0) {
        if (!keys.empty()) keys += ", ";
        keys += c.key;
      }
    } else {
      if (!buttons.empty()) buttons += "  ";
      buttons += std::string("[ ") + text + " ]";
      if (c.kind == DialogControlKind::kDefaultButton) ok = text;
      if (c.id == kDialogCancel) cancel = text;
    }
  }
  out += "\r\x1b[K  " + buttons + "\n";
  out += "\r\x1b[K  Up/Down";
  if (!keys.empty()) out += " or " + keys;
  out += " to choose";
  if (ok != nullptr) out += std::string(", Enter for ") + ok;
  if (cancel != nullptr) out += std::string(", Esc or q for ") + cancel;
  out += "\n";
  WriteAll(fd, out);
}

// One byte from the terminal: the byte, -1 when the terminal has nothing more
// to give (end of file, hang-up, error), -2 when waitMs passed without a byte.
int ReadByte(int fd, int waitMs) {
  for (;;) {
    if (waitMs >= 0) {
      pollfd p = {fd, POLLIN, 0};
      const int ready = poll(&p, 1, waitMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return -2;
      if (ready < 0) return -1;
    }
    unsigned char byte = 0;
    const ssize_t n = read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    return byte;
  }
}

enum class Key { kNone, kUp, kDown, kEnter, kCancel, kGone, kChar };

Key ReadKey(int fd, char* character) {
  const int b = ReadByte(fd, -1);
  if (b < 0) return Key::kGone;
  switch (b) {
    case '\r':
    case '\n':
      return Key::kEnter;
    case 'q':
    case 'Q':
    case 0x03:  // Ctrl-C: signal keys are off while the dialog is up
    case 0x04:  // Ctrl-D
      return Key::kCancel;
    case 0x1b:
      break;
    default:
      *character = static_cast<char>(b);
      return Key::kChar;
  }
  // Escape alone, or the start of a cursor key: ESC [ A or ESC O A.
  const int introducer = ReadByte(fd, kEscapeWaitMs);
  if (introducer == -2) return Key::kCancel;
  if (introducer == -1) return Key::kGone;
  if (introducer != '[' && introducer != 'O') return Key::kNone;
  int final = ReadByte(fd, kEscapeWaitMs);
  // Skip parameter bytes of longer sequences (ESC [ 1 ; 5 A).
  while (final >= '0' && final <= '?') final = ReadByte(fd, kEscapeWaitMs);
  switch (final) {
    case 'A':
    case 'D':
      return Key::kUp;
    case 'B':
    case 'C':
      return Key::kDown;
    case -1:
      return Key::kGone;
    default:
      return Key::kNone;
  }
}

void Command(DialogSession* s, DialogProc proc, int id) {
  if (id == 0) return;
  proc(s, DialogEvent::kCommand, id);
}

// An automatic radio button checks itself and clears the others, then reports.
void SelectRadio(DialogSession* s, DialogProc proc, int index) {
  for (int i = 0; i < s->dialog->controlCount; ++i) {
    if (IsRadio(*s, i)) s->checked[i] = i == index;
  }
  Command(s, proc, s->dialog->controls[index].id);
}

void MoveRadio(DialogSession* s, DialogProc proc, int step) {
  const int count = s->dialog->controlCount;
  int from = -1;
  for (int i = 0; i < count; ++i) {
    if (IsRadio(*s, i) && s->checked[i]) from = i;
  }
  // With none checked, Down starts at the first radio button and Up at the last.
  int i = from >= 0 ? from : (step > 0 ? count - 1 : 0);
  for (int tries = 0; tries < count; ++tries) {
    i = (i + step + count) % count;
    if (IsRadio(*s, i)) {
      SelectRadio(s, proc, i);
      return;
    }
  }
}

int DefaultButton(const DialogSession& s) {
  for (int i = 0; i < s.dialog->controlCount; ++i) {
    if (s.dialog->controls[i].kind == DialogControlKind::kDefaultButton) {
      return s.dialog->controls[i].id;
    }
  }
  return 0;
}

// Holds the terminal for the dialog and gives its settings back on every path.
struct TerminalGuard {
  int fd = -1;
  bool changed = false;
  termios saved{};
  ~TerminalGuard() {
    if (fd < 0) return;
    if (changed) {
      while (tcsetattr(fd, TCSAFLUSH, &saved) != 0 && errno == EINTR) {
      }
    }
    close(fd);
  }
};

}  // namespace

int OsRunDialog(std::intptr_t /*ownerWindow*/, const DialogTemplate& dialog, DialogProc proc) {
  if (proc == nullptr || dialog.controlCount < 0 || dialog.controlCount > kMaxControls ||
      (dialog.controlCount > 0 && dialog.controls == nullptr)) {
    return -1;
  }
  const char* path = TerminalPath();
  if (path[0] == '\0') return -1;

  TerminalGuard terminal;
  terminal.fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal.fd < 0 || !isatty(terminal.fd)) return -1;
  // A job in the background would be stopped the moment it touched its
  // terminal's settings; it has no one to ask.
  const pid_t foreground = tcgetpgrp(terminal.fd);
  if (foreground != -1 && foreground != getpgrp()) return -1;
  if (tcgetattr(terminal.fd, &terminal.saved) != 0) return -1;

  termios raw = terminal.saved;
  raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~tcflag_t(IXON);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // Keys typed before the dialog appeared are dropped: they were not meant for it.
  if (tcsetattr(terminal.fd, TCSAFLUSH, &raw) != 0) return -1;
  terminal.changed = true;

  DialogSession session{};
  session.dialog = &dialog;
  proc(&session, DialogEvent::kInit, 0);
  if (!session.ended) Render(terminal.fd, session, true);

  while (!session.ended) {
    char character = 0;
    switch (ReadKey(terminal.fd, &character)) {
      case Key::kUp:
        MoveRadio(&session, proc, -1);
        break;
      case Key::kDown:
        MoveRadio(&session, proc, +1);
        break;
      case Key::kEnter:
        Command(&session, proc, DefaultButton(session));
        break;
      case Key::kCancel:
        Command(&session, proc, kDialogCancel);
        break;
      case Key::kChar:
        for (int i = 0; i < dialog.controlCount; ++i) {
          if (dialog.controls[i].key == 0 || dialog.controls[i].key != character) continue;
          if (IsRadio(session, i)) {
            SelectRadio(&session, proc, i);
          } else {
            Command(&session, proc, dialog.controls[i].id);
          }
          break;
        }
        break;
      case Key::kGone:
        // The terminal went away: cancel, and if the procedure keeps the
        // dialog up anyway, it can no longer be shown.
        Command(&session, proc, kDialogCancel);
        if (!session.ended) {
          session.ended = true;
          session.code = -1;
        }
        break;
      case Key::kNone:
        break;
    }
    Render(terminal.fd, session, false);
  }
  return session.code;
}

void OsSetDialogCheck(DialogSession* session, int control, bool checked) {
  if (session == nullptr) return;
  const int index = FindControl(*session, control);
  if (index >= 0) session->checked[index] = checked;
}

void OsEndDialog(DialogSession* session, int code) {
  if (session == nullptr) return;
  session->ended = true;
  session->code = code;
}

}  // namespace platform
