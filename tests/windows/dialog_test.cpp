// The operation dialog on Windows: dialog 2117 shown by DialogBoxParamA,
// owned by the host's window. The on-screen tests (DialogOnScreen, run under
// a virtual X server) act like the user: a second thread finds the dialog,
// looks at it, clicks a radio button and then OK or Cancel, while the test's
// own thread waits in SelectOperation. Without a display the dialog cannot be
// shown and the choice is cancelled.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
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

// What the clicking thread saw of the dialog.
struct Seen {
  bool found = false;
  std::string caption;
  HWND owner = nullptr;
  bool checked[7] = {};
  bool clicked = false;
};

struct FindContext {
  HWND dialog = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM context) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "#32770" && IsWindowVisible(window)) {
    reinterpret_cast<FindContext*>(context)->dialog = window;
    return FALSE;
  }
  return TRUE;
}

// The dialog that `thread` shows, waited for up to `timeout`.
HWND WaitForDialog(DWORD thread, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    FindContext context;
    EnumThreadWindows(thread, FindDialog, reinterpret_cast<LPARAM>(&context));
    if (context.dialog != nullptr) return context.dialog;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return nullptr;
}

void Click(HWND dialog, int control) {
  SendMessageA(GetDlgItem(dialog, control), BM_CLICK, 0, 0);
}

// A run's parameter block and descriptor list, as the processing phase makes
// them, with the host window in platformData.
class DialogRun {
 public:
  explicit DialogRun(std::int32_t savedOperation) {
    platformData_.hwnd = 0;
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

  void SetOwner(HWND owner) { platformData_.hwnd = reinterpret_cast<std::intptr_t>(owner); }

  OSErr Select(std::uint8_t noDialog = 0) {
    return SelectOperation(&block_, &choice_, list_, noDialog);
  }
  std::int32_t Choice() const {
    return choice_ != nullptr ? reinterpret_cast<OperationChoice*>(*choice_)->operation : -1;
  }
  float SavedOperation() const { return block_.params[kParamOperation]; }
  std::int32_t ListOperation() const { return GetEntryLong(list_, 0); }

 private:
  PlatformData platformData_{};
  FilterRecord record_{};
  ParameterBlock block_{};
  DescriptorList list_ = nullptr;
  Handle choice_ = nullptr;
};

// Runs SelectOperation while another thread finds the dialog, notes what it
// shows, clicks `radio` (0: none) and then `button`.
OSErr SelectWithClicks(DialogRun& run, int radio, int button, Seen* seen) {
  const DWORD self = GetCurrentThreadId();
  std::thread user([&] {
    HWND dialog = WaitForDialog(self, std::chrono::seconds(30));
    if (dialog == nullptr) return;
    seen->found = true;
    char caption[64] = {};
    GetWindowTextA(dialog, caption, sizeof caption);
    seen->caption = caption;
    seen->owner = GetWindow(dialog, GW_OWNER);
    for (int id = 4; id <= 6; ++id) {
      seen->checked[id] = IsDlgButtonChecked(dialog, id) == BST_CHECKED;
    }
    if (radio != 0) Click(dialog, radio);
    Click(dialog, button);
    seen->clicked = true;
    // Should the click not have ended the dialog, end it so that the test
    // fails instead of hanging.
    for (int i = 0; i < 100 && IsWindow(dialog); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (IsWindow(dialog)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  const OSErr result = run.Select();
  user.join();
  return result;
}

TEST(DialogOnScreen, ClickingARadioButtonAndOkConfirmsTheNewChoice) {
  // The host's window owns the dialog.
  HWND host = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                              nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(host, nullptr);
  DialogRun run(5);  // the last run added to the buffer
  run.SetOwner(host);
  Seen seen;
  const OSErr result = SelectWithClicks(run, 6, IDOK, &seen);
  DestroyWindow(host);

  ASSERT_TRUE(seen.found) << "no dialog appeared";
  EXPECT_EQ(seen.caption, "Sharpstack");
  EXPECT_EQ(seen.owner, host);
  EXPECT_FALSE(seen.checked[4]);
  EXPECT_TRUE(seen.checked[5]);  // preselected on the saved choice
  EXPECT_FALSE(seen.checked[6]);
  EXPECT_EQ(result, noErr);
  EXPECT_EQ(run.Choice(), 6);
  EXPECT_EQ(run.SavedOperation(), 6.0f);  // remembered for the next run
  EXPECT_EQ(run.ListOperation(), 6);      // recorded for the host
}

TEST(DialogOnScreen, CancelKeepsTheChoiceAsItWas) {
  DialogRun run(4);
  Seen seen;
  const OSErr result = SelectWithClicks(run, 6, IDCANCEL, &seen);
  ASSERT_TRUE(seen.found) << "no dialog appeared";
  EXPECT_EQ(seen.owner, nullptr);  // no host window: the dialog has no owner
  EXPECT_TRUE(seen.checked[4]);
  EXPECT_EQ(result, userCanceledErr);
  EXPECT_EQ(run.Choice(), 4);
  EXPECT_EQ(run.SavedOperation(), 4.0f);
  EXPECT_EQ(run.ListOperation(), 4);
}

TEST(DialogOnScreen, OkWithoutAClickConfirmsThePreselectedChoice) {
  DialogRun run(0);  // first run ever: nothing saved
  Seen seen;
  const OSErr result = SelectWithClicks(run, 0, IDOK, &seen);
  ASSERT_TRUE(seen.found) << "no dialog appeared";
  EXPECT_TRUE(seen.checked[4]);  // Clear Buffer
  EXPECT_EQ(result, noErr);
  EXPECT_EQ(run.Choice(), 4);
  EXPECT_EQ(run.SavedOperation(), 4.0f);
}

TEST(DialogOnScreen, TheLoadedModuleShowsItsOwnDialogOverTheHostWindow) {
  // A whole run through the DLL without scripting: the dialog comes from the
  // module's own resources (the handle recorded at load) and belongs to the
  // window that the host names in platformData.
  testsupport::TempRoot root;
  host::PluginModule module;
  std::string error;
  ASSERT_TRUE(module.Load(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin"), &error))
      << error;
  HWND window = CreateWindowExA(0, "STATIC", "editor", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  host::FilterHost editor(module.Entry());
  editor.picture.Allocate(8, 5, 3, 0, 8);
  for (std::size_t i = 0; i < editor.picture.data.size(); ++i) {
    editor.picture.data[i] = std::uint8_t(i * 37);
  }
  host::RunOptions options;
  options.ownerWindow = reinterpret_cast<std::intptr_t>(window);

  const DWORD self = GetCurrentThreadId();
  Seen seen;
  std::thread user([&] {
    HWND dialog = WaitForDialog(self, std::chrono::seconds(30));
    if (dialog == nullptr) return;
    seen.found = true;
    seen.owner = GetWindow(dialog, GW_OWNER);
    for (int id = 4; id <= 6; ++id) {
      seen.checked[id] = IsDlgButtonChecked(dialog, id) == BST_CHECKED;
    }
    Click(dialog, 5);  // Add To Buffer
    Click(dialog, IDOK);
  });
  const host::RunResult result = editor.Run(options);
  user.join();
  DestroyWindow(window);

  ASSERT_TRUE(seen.found) << "no dialog appeared";
  EXPECT_EQ(seen.owner, window);
  EXPECT_TRUE(seen.checked[4]);  // first run: Clear Buffer preselected
  EXPECT_EQ(result.result, noErr);
  // The confirmed Add made the buffer files.
  EXPECT_TRUE(root.Exists("BestFocus.xxx"));
  EXPECT_TRUE(root.Exists("CountVXBuffer.xxx"));
}

TEST(DialogOnScreen, TheWarningBoxHasABlankCaptionAnExclamationIconAndOneButton) {
  const DWORD self = GetCurrentThreadId();
  std::string caption;
  std::string text;
  bool hasOk = false;
  bool hasCancel = true;
  HICON icon = nullptr;
  bool found = false;
  std::thread user([&] {
    HWND box = WaitForDialog(self, std::chrono::seconds(30));
    if (box == nullptr) return;
    found = true;
    char buffer[128] = {};
    GetWindowTextA(box, buffer, sizeof buffer);
    caption = buffer;
    // The box's static text and icon controls have the system's fixed ids.
    GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
    text = buffer;
    icon = reinterpret_cast<HICON>(SendDlgItemMessageA(box, 0x0440, STM_GETICON, 0, 0));
    hasOk = GetDlgItem(box, IDOK) != nullptr;
    hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
    Click(box, IDOK);
  });
  platform::OsShowMessage("The buffer is empty.");
  user.join();
  ASSERT_TRUE(found) << "no message box appeared";
  EXPECT_EQ(caption, std::string(36, ' '));
  EXPECT_EQ(text, "The buffer is empty.");
  EXPECT_TRUE(hasOk);
  EXPECT_FALSE(hasCancel);
  EXPECT_EQ(icon, LoadIconA(nullptr, MAKEINTRESOURCEA(32515) /* IDI_EXCLAMATION */));
}

// --- Without a display ---------------------------------------------------------

TEST(DialogWithoutDisplay, TheDialogCannotBeShownAndTheRunIsCancelled) {
  // The suite runs this test without a display, so the dialog fails at once
  // rather than waiting for a user; with one it would wait.
  const char* display = getenv("DISPLAY");
  if (display != nullptr && display[0] != '\0') GTEST_SKIP() << "a display is present";
  DialogRun run(5);
  EXPECT_EQ(run.Select(), userCanceledErr);
  EXPECT_EQ(run.Choice(), 5);
  EXPECT_EQ(run.SavedOperation(), 5.0f);
  EXPECT_EQ(run.ListOperation(), 5);
}

TEST(DialogWithoutDisplay, NoDialogWantedTakesTheChoiceWithoutAWindow) {
  DialogRun run(6);
  EXPECT_EQ(run.Select(1), noErr);
  EXPECT_EQ(run.Choice(), 6);
}

TEST(DialogWithoutDisplay, AMissingDialogResourceIsAFailureNotAConfirmation) {
  static const platform::DialogControl controls[] = {
      {1, platform::DialogControlKind::kDefaultButton, "OK", 0}};
  const platform::DialogTemplate missing = {9999, "none", controls, 1};
  int calls = 0;
  static int* counter = nullptr;
  counter = &calls;
  auto proc = [](platform::DialogSession*, platform::DialogEvent, int) {
    ++*counter;
    return true;
  };
  EXPECT_EQ(platform::OsRunDialog(0, missing, proc), -1);
  EXPECT_EQ(calls, 0);
}

}  // namespace
