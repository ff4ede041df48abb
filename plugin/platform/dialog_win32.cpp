// Modal dialogs on Windows: the dialog resource is loaded from the plug-in's
// own module and run by DialogBoxParamA, owned by the host's window. The
// platform-neutral procedure sees the dialog's initialisation and the clicks on
// its controls; a DialogSession* is the dialog's window handle.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "plugin/platform/platform.h"

namespace platform {
namespace win32 {
// The module whose resources hold the dialogs (platform_win32.cpp).
HINSTANCE PluginModule();
}  // namespace win32

namespace {

// What the window procedure needs while the dialog is up. It lives on the
// stack of OsRunDialog, which does not return before the dialog is gone.
struct RunningDialog {
  DialogProc proc;
  bool ended;  // the procedure ended the dialog through OsEndDialog
};

HWND ToWindow(DialogSession* session) {
  return reinterpret_cast<HWND>(session);
}
DialogSession* ToSession(HWND window) {
  return reinterpret_cast<DialogSession*>(window);
}

RunningDialog* Running(HWND window) {
  return reinterpret_cast<RunningDialog*>(GetWindowLongPtrA(window, DWLP_USER));
}

INT_PTR CALLBACK DialogWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* running = reinterpret_cast<RunningDialog*>(lParam);
      SetWindowLongPtrA(window, DWLP_USER, static_cast<LONG_PTR>(lParam));
      // TRUE lets the system give the focus to the first control.
      return running->proc(ToSession(window), DialogEvent::kInit, 0) ? TRUE : FALSE;
    }
    case WM_COMMAND: {
      RunningDialog* running = Running(window);
      if (running == nullptr) return FALSE;
      // Clicks (and the Enter and Escape keys, which arrive as clicks on the
      // default and Cancel buttons) are the only commands the procedure sees;
      // focus changes and the like are not.
      const WORD notification = HIWORD(wParam);
      if (notification != BN_CLICKED && notification != 1 /* accelerator */) return FALSE;
      return running->proc(ToSession(window), DialogEvent::kCommand, LOWORD(wParam)) ? TRUE : FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

int OsRunDialog(std::intptr_t ownerWindow, const DialogTemplate& dialog, DialogProc proc) {
  if (proc == nullptr) return -1;
  RunningDialog running = {proc, false};
  HWND owner = reinterpret_cast<HWND>(ownerWindow);
  const INT_PTR code = DialogBoxParamA(win32::PluginModule(), MAKEINTRESOURCEA(dialog.resourceId),
                                       owner, DialogWindowProc, reinterpret_cast<LPARAM>(&running));
  // -1 (or 0 for some failures) without the procedure having ended it: the
  // dialog was never shown. Reporting that as a normal end would confirm a
  // choice that the user never saw.
  if (code == -1 || !running.ended) return -1;
  return static_cast<int>(code);
}

void OsSetDialogCheck(DialogSession* session, int control, bool checked) {
  if (session == nullptr) return;
  HWND window = ToWindow(session);
  if (GetDlgItem(window, control) == nullptr) return;
  SendDlgItemMessageA(window, control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void OsEndDialog(DialogSession* session, int code) {
  if (session == nullptr) return;
  HWND window = ToWindow(session);
  if (RunningDialog* running = Running(window); running != nullptr) running->ended = true;
  EndDialog(window, code);
}

}  // namespace platform
