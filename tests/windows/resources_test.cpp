// The built module's resources through the system's resource calls: the
// property list and dialog against layouts written here from the published
// tables, the terminology against the plug-in's own bytes.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/hostlib/plugin_module.h"
#include "plugin/params/terminology.h"

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
  void Wide(std::string_view s) {
    for (char c : s) Word(std::uint8_t(c));
    Word(0);
  }
  void Pad(std::size_t multiple, std::uint8_t fill = 0) {
    while (bytes.size() % multiple != 0) Byte(fill);
  }
  void Property(std::string_view key, const Bytes& data) {
    Code("8BIM"), Code(key), Long(0), Long(std::uint32_t(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    for (std::size_t n = data.size(); n % 4 != 0; ++n) Byte(0);
  }
};

Bytes Padded(std::string_view s) {  // a Pascal string padded with spaces to 32 bytes
  Writer w;
  w.Byte(std::uint8_t(s.size())), w.Chars(s), w.Pad(32, ' ');
  return w.bytes;
}

Bytes ExpectedPropertyList() {
  Writer w, kind, version, terminology;
  w.Word(1), w.Long(0), w.Long(9);  // version, kind version, count
  kind.Code("8BFM");
  w.Property("kind", kind.bytes);
  w.Property("name", Padded("Sharpstack..."));
  w.Property("catg", Padded("Focus"));
  version.Long(0x00040000);
  w.Property("vers", version.bytes);
  w.Property("wx86", Bytes{'E', 'N', 'T', 'R', 'Y', 'P', 'O', 'I', 'N', 'T', 0, 0});
  terminology.Long(0), terminology.Code("xURt"), terminology.Code("BFcB");
  terminology.Word(16000), terminology.Chars("TRUXBFcB"), terminology.Byte(0);
  w.Property("hstm", terminology.bytes);
  w.Property("mode", Bytes{0x50, 0x30, 0x00, 0x00});
  Bytes cases;
  for (int i = 0; i < 7; ++i) cases.insert(cases.end(), {1, 1, 1, 0});
  w.Property("fici", cases);
  w.Property("prog", Padded("Sharpstack..."));
  return w.bytes;
}

Bytes ExpectedDialog() {
  Writer w;
  w.Long(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_SETFONT);
  w.Long(0), w.Word(5), w.Word(0), w.Word(0), w.Word(188), w.Word(95);  // 5 controls at 0,0
  w.Word(0), w.Word(0), w.Wide("Sharpstack"), w.Word(8), w.Wide("MS Sans Serif");
  const std::uint32_t child = WS_CHILD | WS_VISIBLE;
  const struct {
    std::uint32_t style;
    const char* text;
    std::uint16_t id, x, y, cx, cy;
  } controls[] = {
      {child | WS_TABSTOP | BS_DEFPUSHBUTTON, "OK", 1, 131, 74, 50, 14},
      {child | WS_TABSTOP | BS_PUSHBUTTON, "Cancel", 2, 69, 74, 50, 14},
      {child | BS_AUTORADIOBUTTON, "Clear Buffer", 4, 28, 16, 53, 10},
      {child | BS_AUTORADIOBUTTON, "Add To Buffer", 5, 28, 29, 60, 10},
      {child | BS_AUTORADIOBUTTON, "Show Buffer Contents", 6, 28, 41, 85, 10},
  };
  for (const auto& c : controls) {
    w.Pad(4), w.Long(c.style), w.Long(0), w.Word(c.x), w.Word(c.y), w.Word(c.cx), w.Word(c.cy);
    w.Word(c.id), w.Word(0xFFFF), w.Word(0x0080), w.Wide(c.text), w.Word(0);  // a button
  }
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
  EXPECT_EQ(resource("PIPL", 16000), ExpectedPropertyList());
  const auto compiled = TerminologyResource();
  EXPECT_EQ(resource("AETE", kTerminologyResourceId), Bytes(compiled.begin(), compiled.end()));
  Bytes dialog = resource(MAKEINTRESOURCEA(5) /* RT_DIALOG */, 2117);
  Writer expected{ExpectedDialog()};
  if (dialog.size() % 4 == 0) expected.Pad(4);  // the resource compiler may pad the last control
  EXPECT_EQ(dialog, expected.bytes);

  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + names[0]), "ENTRYPOINT");
  EXPECT_NE(GetProcAddress(module, "ENTRYPOINT"), nullptr);
  FreeLibrary(module);
}

}  // namespace
