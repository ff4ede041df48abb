// The operation dialog on Windows. On screen (under a virtual X server) a
// second thread acts as the user while the test's thread waits in the run.
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

// What the user saw of the dialog.
struct Seen {
  bool found = false;
  std::string caption;
  HWND owner = nullptr;
  bool checked[7] = {};
};

// Runs `run` while a user finds the dialog it shows, notes what it shows
// (`inspect` may look closer), clicks `radio` (0: none) and then `button`; a
// dialog the clicks leave open is cancelled, so the test fails, not hangs.
Seen WithUser(int radio, int button, std::function<void()> run,
              std::function<void(HWND)> inspect = {}) {
  const DWORD self = GetCurrentThreadId();
  Seen seen;
  std::thread user([&] {
    HWND dialog = nullptr;
    auto find = [](HWND window, LPARAM found) -> BOOL {
      char name[16] = {};
      GetClassNameA(window, name, sizeof name);
      if (std::string(name) != "#32770" || !IsWindowVisible(window)) return TRUE;
      *reinterpret_cast<HWND*>(found) = window;
      return FALSE;
    };
    for (int i = 0; i < 1500 && dialog == nullptr; ++i) {
      EnumThreadWindows(self, find, reinterpret_cast<LPARAM>(&dialog));
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
    if (radio != 0) SendMessageA(GetDlgItem(dialog, radio), BM_CLICK, 0, 0);
    SendMessageA(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
    for (int i = 0; i < 100 && IsWindow(dialog); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (IsWindow(dialog)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  run();
  user.join();
  return seen;
}

// A run's parameter block and descriptor list, with the host window in
// platformData; Select runs the dialog, Expect checks where the choice went.
struct DialogRun {
  DialogRun(std::int32_t saved, HWND owner) : list(CreateDescriptorList(kDescriptorListSlots)) {
    platformData.hwnd = reinterpret_cast<std::intptr_t>(owner);
    record.platformData = &platformData;
    block.filterRecord = &record;
    block.params[kParamOperation] = static_cast<float>(saved);
    DeclareFilterParameters(list, &block);
  }
  ~DialogRun() {
    if (choice != nullptr) DisposeHandleBlock(choice);
    DisposeDescriptorList(list);
  }
  OSErr Select() { return SelectOperation(&block, &choice, list, 0); }
  void Expect(std::int32_t operation) const {
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(reinterpret_cast<OperationChoice*>(*choice)->operation, operation);
    EXPECT_EQ(block.params[kParamOperation], float(operation));
    EXPECT_EQ(GetEntryLong(list, 0), operation);
  }
  PlatformData platformData{};
  FilterRecord record{};
  ParameterBlock block{};
  DescriptorList list;
  Handle choice = nullptr;
};

HWND MakeWindow() {
  return CreateWindowExA(0, "STATIC", "editor", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

TEST(DialogOnScreen, TheClickedChoiceIsConfirmedAndCancelKeepsTheSavedOne) {
  const struct {
    std::int32_t saved;
    bool owned;  // by the host's window; otherwise no owner
    int radio, button;
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

// A whole run through the loaded module: the dialog comes from the module's
// own resources and belongs to the window the host names; the confirmed Add
// makes the buffer.
TEST(DialogOnScreen, TheLoadedModuleShowsItsOwnDialogOverTheHostWindow) {
  testsupport::TempRoot root;
  host::PluginModule module;
  std::string error;
  ASSERT_TRUE(module.Load(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin"), &error))
      << error;
  HWND window = MakeWindow();
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
  EXPECT_EQ(result, noErr);
  EXPECT_TRUE(root.Exists("BestFocus.xxx"));
  EXPECT_TRUE(root.Exists("CountVXBuffer.xxx"));
}

TEST(DialogOnScreen, TheWarningBoxHasABlankCaptionAnExclamationIconAndOneButton) {
  std::string text;
  bool hasCancel = true;
  HICON icon = nullptr;
  const Seen seen = WithUser(
      0, IDOK, [] { platform::OsShowMessage("The buffer is empty."); },
      [&](HWND box) {  // the box's text and icon controls have the system's fixed ids
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

// Without a display the dialog cannot be shown and the run is cancelled; a
// missing dialog resource is a failure, never a confirmation.
TEST(DialogWithoutDisplay, TheRunIsCancelledAndAMissingResourceFails) {
  static const platform::DialogControl controls[] = {
      {1, platform::DialogControlKind::kDefaultButton, "OK", 0}};
  static int calls = 0;
  auto proc = [](platform::DialogSession*, platform::DialogEvent, int) { return ++calls, true; };
  EXPECT_EQ(platform::OsRunDialog(0, {9999, "none", controls, 1}, proc), -1);
  EXPECT_EQ(calls, 0);
  const char* display = getenv("DISPLAY");
  if (display != nullptr && display[0] != '\0') GTEST_SKIP() << "a display is present";
  DialogRun run(5, nullptr);
  EXPECT_EQ(run.Select(), userCanceledErr);
  run.Expect(5);
}

}  // namespace
