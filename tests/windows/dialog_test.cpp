// The operation dialog on Windows: dialog 2117 shown by DialogBoxParamA,
// owned by the host's window. The on-screen tests (DialogOnScreen, run under
// a virtual X server) act like the user: a second thread finds the dialog,
// looks at it, clicks a radio button and then OK or Cancel, while the test's
// own thread waits in the run. Without a display the dialog cannot be shown
// and the choice is cancelled.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/plugin_module.h"
#include "interface/filter_record.h"
#include "plugin/core/memory.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/platform.h"
#include "plugin/ui/operation_dialog.h"
#include "support/temp_root.h"

namespace {

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) != "#32770" || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

void Click(HWND dialog, int control) {
  SendMessageA(GetDlgItem(dialog, control), BM_CLICK, 0, 0);
}

// What the user saw of the dialog.
struct Seen {
  bool found = false;
  std::string caption;
  HWND owner = nullptr;
  bool checked[7] = {};
};

// Runs `run` on this thread while a user on another finds the dialog it
// shows, notes what it shows (`inspect` may look closer), clicks `radio` (0:
// none) and then `button`. Should the clicks not end the dialog, it is
// cancelled so that the test fails instead of hanging.
template <typename Run>
Seen WithUser(int radio, int button, Run run, std::function<void(HWND)> inspect = {}) {
  const DWORD self = GetCurrentThreadId();
  Seen seen;
  std::thread user([&] {
    HWND dialog = nullptr;
    for (int i = 0; i < 1500 && dialog == nullptr; ++i) {
      EnumThreadWindows(self, FindDialog, reinterpret_cast<LPARAM>(&dialog));
      if (dialog == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (dialog == nullptr) return;
    seen.found = true;
    char caption[64] = {};
    GetWindowTextA(dialog, caption, sizeof caption);
    seen.caption = caption;
    seen.owner = GetWindow(dialog, GW_OWNER);
    for (int id = 4; id <= 6; ++id)
      seen.checked[id] = IsDlgButtonChecked(dialog, id) == BST_CHECKED;
    if (inspect) inspect(dialog);
    if (radio != 0) Click(dialog, radio);
    Click(dialog, button);
    for (int i = 0; i < 100 && IsWindow(dialog); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (IsWindow(dialog)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  run();
  user.join();
  return seen;
}

// A run's parameter block and descriptor list, as the processing phase makes
// them, with the host window in platformData.
class DialogRun {
 public:
  DialogRun(std::int32_t savedOperation, HWND owner) {
    platformData_.hwnd = reinterpret_cast<std::intptr_t>(owner);
    record_.platformData = &platformData_;
    block_.filterRecord = &record_;
    block_.params[kParamOperation] = static_cast<float>(savedOperation);
    list_ = CreateDescriptorList(kDescriptorListSlots);
    DeclareFilterParameters(list_, &block_);
  }
  ~DialogRun() {
    if (choice_ != nullptr) DisposeHandleBlock(choice_);
    DisposeDescriptorList(list_);
  }
  DialogRun(const DialogRun&) = delete;
  DialogRun& operator=(const DialogRun&) = delete;

  OSErr Select() { return SelectOperation(&block_, &choice_, list_, 0); }
  // The choice made, remembered for the next run and recorded for the host.
  void Expect(std::int32_t operation) const {
    ASSERT_NE(choice_, nullptr);
    EXPECT_EQ(reinterpret_cast<OperationChoice*>(*choice_)->operation, operation);
    EXPECT_EQ(block_.params[kParamOperation], float(operation));
    EXPECT_EQ(GetEntryLong(list_, 0), operation);
  }

 private:
  PlatformData platformData_{};
  FilterRecord record_{};
  ParameterBlock block_{};
  DescriptorList list_ = nullptr;
  Handle choice_ = nullptr;
};

HWND MakeWindow() {
  return CreateWindowExA(0, "STATIC", "editor", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

TEST(DialogOnScreen, TheClickedChoiceIsConfirmedAndCancelKeepsTheSavedOne) {
  const struct {
    std::int32_t saved;
    bool owned;  // by the host's window; otherwise no owner
    int radio;
    int button;
    OSErr status;
    std::int32_t chosen;
  } cases[] = {
      {5, true, 6, IDOK, noErr, 6},
      {4, false, 6, IDCANCEL, userCanceledErr, 4},
      {0, false, 0, IDOK, noErr, 4},  // first run ever: Clear Buffer preselected
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.saved);
    HWND owner = c.owned ? MakeWindow() : nullptr;
    DialogRun run(c.saved, owner);
    OSErr status = 1;
    const Seen seen = WithUser(c.radio, c.button, [&] { status = run.Select(); });
    if (owner != nullptr) DestroyWindow(owner);
    ASSERT_TRUE(seen.found) << "no dialog appeared";
    EXPECT_EQ(seen.caption, "Sharpstack");
    EXPECT_EQ(seen.owner, owner);
    for (int id = 4; id <= 6; ++id) EXPECT_EQ(seen.checked[id], id == (c.saved ? c.saved : 4));
    EXPECT_EQ(status, c.status);
    run.Expect(c.chosen);
  }
}

// A whole run through the DLL without scripting: the dialog comes from the
// module's own resources (the handle recorded at load) and belongs to the
// window that the host names in platformData.
TEST(DialogOnScreen, TheLoadedModuleShowsItsOwnDialogOverTheHostWindow) {
  testsupport::TempRoot root;
  host::PluginModule module;
  std::string error;
  ASSERT_TRUE(module.Load(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin"), &error))
      << error;
  HWND window = MakeWindow();
  ASSERT_NE(window, nullptr);
  host::FilterHost editor(module.Entry());
  editor.picture.Allocate(8, 5, 3, 0, 8);
  for (std::size_t i = 0; i < editor.picture.data.size(); ++i) {
    editor.picture.data[i] = std::uint8_t(i * 37);
  }
  host::RunOptions options;
  options.ownerWindow = reinterpret_cast<std::intptr_t>(window);
  OSErr result = 1;
  const Seen seen = WithUser(5, IDOK, [&] { result = editor.Run(options).result; });
  DestroyWindow(window);
  ASSERT_TRUE(seen.found) << "no dialog appeared";
  EXPECT_EQ(seen.owner, window);
  EXPECT_TRUE(seen.checked[4]);  // first run: Clear Buffer preselected
  EXPECT_EQ(result, noErr);
  // The confirmed Add made the buffer files.
  EXPECT_TRUE(root.Exists("BestFocus.xxx"));
  EXPECT_TRUE(root.Exists("CountVXBuffer.xxx"));
}

TEST(DialogOnScreen, TheWarningBoxHasABlankCaptionAnExclamationIconAndOneButton) {
  std::string text;
  bool hasCancel = true;
  HICON icon = nullptr;
  const Seen seen = WithUser(
      0, IDOK, [] { platform::OsShowMessage("The buffer is empty."); },
      [&](HWND box) {
        // The box's static text and icon controls have the system's fixed ids.
        char buffer[128] = {};
        GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
        text = buffer;
        icon = reinterpret_cast<HICON>(SendDlgItemMessageA(box, 0x0440, STM_GETICON, 0, 0));
        hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
      });
  ASSERT_TRUE(seen.found) << "no message box appeared";
  EXPECT_EQ(seen.caption, std::string(36, ' '));
  EXPECT_EQ(text, "The buffer is empty.");
  EXPECT_FALSE(hasCancel);
  EXPECT_EQ(icon, LoadIconA(nullptr, MAKEINTRESOURCEA(32515) /* IDI_EXCLAMATION */));
}

// --- Without a display ---------------------------------------------------------

TEST(DialogWithoutDisplay, TheDialogCannotBeShownAndTheRunIsCancelled) {
  // The suite runs this test without a display, so the dialog fails at once
  // rather than waiting for a user; with one it would wait.
  const char* display = getenv("DISPLAY");
  if (display != nullptr && display[0] != '\0') GTEST_SKIP() << "a display is present";
  DialogRun run(5, nullptr);
  EXPECT_EQ(run.Select(), userCanceledErr);
  run.Expect(5);
}

TEST(DialogWithoutDisplay, AMissingDialogResourceIsAFailureNotAConfirmation) {
  static const platform::DialogControl controls[] = {
      {1, platform::DialogControlKind::kDefaultButton, "OK", 0}};
  const platform::DialogTemplate missing = {9999, "none", controls, 1};
  static int calls = 0;
  auto proc = [](platform::DialogSession*, platform::DialogEvent, int) {
    ++calls;
    return true;
  };
  EXPECT_EQ(platform::OsRunDialog(0, missing, proc), -1);
  EXPECT_EQ(calls, 0);
}

}  // namespace
