// The module's resources against the published layouts, and its dialogs as a user sees them.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/plugin_module.h"
#include "plugin/params/terminology.h"
#include "plugin/platform/platform.h"
#include "support/temp_root.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Little-endian writer of the host's resource layouts.
struct Writer {
  Bytes bytes;
  void Byte(std::uint8_t b) { bytes.push_back(b); }
  void Word(std::uint16_t w) { Byte(std::uint8_t(w)), Byte(std::uint8_t(w >> 8)); }
  void Long(std::uint32_t l) { Word(std::uint16_t(l)), Word(std::uint16_t(l >> 16)); }
  void Code(std::string_view c) {  // a 4-character code as a little-endian number
    for (int i = 3; i >= 0; --i) Byte(std::uint8_t(c[std::size_t(i)]));
  }
  void Chars(std::string_view s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
  void Property(std::string_view key, const Bytes& data) {
    Code("8BIM"), Code(key), Long(0), Long(std::uint32_t(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    for (std::size_t n = data.size(); n % 4 != 0; ++n) Byte(0);
  }
};

Bytes Padded(std::string_view s) {  // a Pascal string padded with spaces to 32 bytes
  Writer w;
  w.Byte(std::uint8_t(s.size())), w.Chars(s), w.Chars(std::string(31 - s.size(), ' '));
  return w.bytes;
}

TEST(ModuleResources, MatchTheTablesAndOnlyTheEntryPointIsExported) {
  HMODULE module =
      LoadLibraryA(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin").c_str());
  ASSERT_NE(module, nullptr);
  auto resource = [module](const char* type, int id) {
    HRSRC found = FindResourceExA(module, type, MAKEINTRESOURCEA(id),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
    return data == nullptr ? Bytes{} : Bytes(data, data + SizeofResource(module, found));
  };
  Writer w, terminology;
  w.Word(1), w.Long(0), w.Long(9);  // version, kind version, count
  w.Property("kind", Bytes{'M', 'F', 'B', '8'});
  w.Property("name", Padded("Sharpstack..."));
  w.Property("catg", Padded("Focus"));
  w.Property("vers", Bytes{0, 0, 4, 0});
  w.Property("wx86", Bytes{'E', 'N', 'T', 'R', 'Y', 'P', 'O', 'I', 'N', 'T', 0, 0});
  terminology.Long(0), terminology.Code("xURt"), terminology.Code("BFcB");
  terminology.Word(16000), terminology.Chars("TRUXBFcB"), terminology.Byte(0);
  w.Property("hstm", terminology.bytes);
  w.Property("mode", Bytes{0x50, 0x30, 0x00, 0x00});
  Bytes cases;
  for (int i = 0; i < 7; ++i) cases.insert(cases.end(), {1, 1, 1, 0});
  w.Property("fici", cases);
  w.Property("prog", Padded("Sharpstack..."));
  EXPECT_EQ(resource("PIPL", 16000), w.bytes);
  const auto compiled = TerminologyResource();
  EXPECT_EQ(resource("AETE", kTerminologyResourceId), Bytes(compiled.begin(), compiled.end()));
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + names[0]), "ENTRYPOINT");
  FreeLibrary(module);
}

// What the user saw of the dialog.
struct Seen {
  bool found = false;
  std::string caption;
  HWND owner = nullptr;
  bool checked[7] = {};
  std::string text;  // a message box's, with its icon and whether it can be cancelled
  HICON icon = nullptr;
  bool cancel = false;
};

// A user finds the dialog `run` shows, notes it, clicks `radio` (0: none), then `button`.
Seen WithUser(int radio, int button, std::function<void()> run) {
  Seen seen;
  std::thread user([&] {
    HWND dialog = nullptr;
    for (int i = 0; i < 1500 && dialog == nullptr; ++i) {
      dialog = FindWindowA("#32770", nullptr);  // the system's dialog class, once it is shown
      if (dialog != nullptr && !IsWindowVisible(dialog)) dialog = nullptr;
      if (dialog == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (dialog == nullptr) return;
    seen.found = true;
    char text[128] = {};
    GetWindowTextA(dialog, text, sizeof text);
    seen.caption = text;
    GetDlgItemTextA(dialog, 0xFFFF, text, sizeof text);  // a message box's fixed ids
    seen.text = text;
    seen.icon = reinterpret_cast<HICON>(SendDlgItemMessageA(dialog, 0x0440, STM_GETICON, 0, 0));
    seen.cancel = GetDlgItem(dialog, IDCANCEL) != nullptr;
    seen.owner = GetWindow(dialog, GW_OWNER);
    for (int id = 4; id <= 6; ++id)
      seen.checked[id] = IsDlgButtonChecked(dialog, id) == BST_CHECKED;
    if (radio != 0) SendMessageA(GetDlgItem(dialog, radio), BM_CLICK, 0, 0);
    SendMessageA(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
    for (int i = 0; i < 100 && IsWindow(dialog); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (IsWindow(dialog)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);  // fail, not hang
  });
  run();
  user.join();
  return seen;
}

HWND MakeWindow() {
  return CreateWindowExA(0, "STATIC", "editor", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

// One run of the module as the host loads it, on a small RGB picture, over `owner`.
OSErr RunModule(HWND owner) {
  host::PluginModule module;
  std::string error;
  if (!module.Load(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin"), &error)) {
    ADD_FAILURE() << error;
    return 1;
  }
  host::FilterHost editor(module.Entry());
  editor.picture.Allocate(8, 5, 3, 0, 8);
  host::RunOptions options;
  options.ownerWindow = reinterpret_cast<std::intptr_t>(owner);
  return editor.Run(options).result;
}

// The module shows its own dialog resource over the host's window (or none): the saved
// choice marked, a click confirmed by OK and marked the next time, Cancel keeping the saved one.
TEST(DialogOnScreen, TheModuleShowsItsDialogAndKeepsOnlyConfirmedChoices) {
  testsupport::TempRoot root;
  HWND window = MakeWindow();
  const struct {
    HWND owner;
    int radio, button, marked;
    OSErr result;
  } runs[] = {
      {window, 5, IDOK, 4, noErr},  // the first run ever: Clear Buffer marked; Add
      {nullptr, 6, IDCANCEL, 5, userCanceledErr},
      {window, 0, IDOK, 5, noErr},  // the cancelled click was not kept
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.marked);
    OSErr result = 1;
    const Seen seen = WithUser(r.radio, r.button, [&] { result = RunModule(r.owner); });
    ASSERT_TRUE(seen.found) << "no dialog appeared";
    EXPECT_EQ(seen.caption, "Sharpstack");
    EXPECT_EQ(seen.owner, r.owner);
    EXPECT_TRUE(seen.cancel);
    for (int id = 4; id <= 6; ++id) EXPECT_EQ(seen.checked[id], id == r.marked);
    EXPECT_EQ(result, r.result);
  }
  DestroyWindow(window);
  EXPECT_TRUE(root.Exists("CountVXBuffer.xxx"));  // the confirmed Add ran
}

TEST(DialogOnScreen, TheWarningBoxHasABlankCaptionAnExclamationIconAndOneButton) {
  const Seen seen = WithUser(0, IDOK, [] { platform::OsShowMessage("The buffer is empty."); });
  ASSERT_TRUE(seen.found) << "no message box appeared";
  EXPECT_EQ(seen.caption, std::string(36, ' '));
  EXPECT_EQ(seen.text, "The buffer is empty.");
  EXPECT_FALSE(seen.cancel);
  EXPECT_EQ(seen.icon, LoadIconA(nullptr, MAKEINTRESOURCEA(32515) /* IDI_EXCLAMATION */));
}

TEST(DialogWithoutDisplay, TheRunIsCancelledAndAMissingResourceFails) {
  static const platform::DialogControl controls[] = {
      {1, platform::DialogControlKind::kDefaultButton, "OK", 0}};
  static int calls = 0;
  auto proc = [](platform::DialogSession*, platform::DialogEvent, int) { return ++calls, true; };
  EXPECT_EQ(platform::OsRunDialog(0, {9999, "none", controls, 1}, proc), -1);
  EXPECT_EQ(calls, 0);
  if (const char* display = getenv("DISPLAY"); display != nullptr && display[0] != '\0') {
    GTEST_SKIP() << "a display would show the dialog";
  }
  testsupport::TempRoot root;
  EXPECT_EQ(RunModule(nullptr), userCanceledErr);
  EXPECT_FALSE(root.Exists("BestFocus.xxx"));
}

}  // namespace
