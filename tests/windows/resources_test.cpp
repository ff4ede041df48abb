// The built module's resources, read back through the system's resource calls:
// the property list and the operation dialog compared byte for byte with
// layouts written out here from the published tables, the terminology with the
// plug-in's own bytes (whose layout tests/params checks).
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

const std::string kModulePath = host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin");

// Where two byte strings first differ, for a readable failure.
std::string FirstDifference(const Bytes& actual, const Bytes& expected) {
  std::size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  return "sizes " + std::to_string(actual.size()) + " and " + std::to_string(expected.size()) +
         "; first difference at byte " + std::to_string(i);
}

// Little-endian writer of the host's resource layouts.
struct Writer {
  Bytes bytes;
  void Byte(std::uint8_t b) { bytes.push_back(b); }
  void Word(std::uint16_t w) {
    Byte(std::uint8_t(w));
    Byte(std::uint8_t(w >> 8));
  }
  void Long(std::uint32_t l) {
    Word(std::uint16_t(l));
    Word(std::uint16_t(l >> 16));
  }
  // A 4-character code as a little-endian number: its characters reversed.
  void Code(std::string_view c) {
    for (int i = 3; i >= 0; --i) Byte(std::uint8_t(c[std::size_t(i)]));
  }
  void Chars(std::string_view s) {
    for (char c : s) Byte(std::uint8_t(c));
  }
  void Pascal(std::string_view s) {
    Byte(std::uint8_t(s.size()));
    Chars(s);
  }
  // A 16-bit character string with its terminator (dialog templates).
  void Wide(std::string_view s) {
    for (char c : s) Word(std::uint8_t(c));
    Word(0);
  }
  void Align4() {
    while (bytes.size() % 4 != 0) Byte(0);
  }
};

Bytes PaddedPascal(std::string_view s, std::size_t size, char pad) {
  Writer w;
  w.Pascal(s);
  while (w.bytes.size() < size) w.Byte(std::uint8_t(pad));
  return w.bytes;
}

Bytes ExpectedPropertyList() {
  Writer w;
  w.Word(1);  // property list version
  w.Long(0);  // kind version
  w.Long(9);
  auto property = [&w](std::string_view key, const Bytes& data) {
    w.Code("8BIM");
    w.Code(key);
    w.Long(0);
    w.Long(std::uint32_t(data.size()));
    w.bytes.insert(w.bytes.end(), data.begin(), data.end());
    // The data is padded with zeros to a multiple of four bytes.
    for (std::size_t n = data.size(); n % 4 != 0; ++n) w.Byte(0);
  };
  Writer kind;
  kind.Code("8BFM");
  property("kind", kind.bytes);
  property("name", PaddedPascal("Sharpstack...", 32, ' '));
  property("catg", PaddedPascal("Focus", 32, ' '));
  Writer version;
  version.Long(0x00040000);
  property("vers", version.bytes);
  Bytes entry(12, 0);
  std::string_view entryName = "ENTRYPOINT";
  std::copy(entryName.begin(), entryName.end(), entry.begin());
  property("wx86", entry);
  Writer terminology;
  terminology.Long(0);
  terminology.Code("xURt");
  terminology.Code("BFcB");
  terminology.Word(16000);
  terminology.Chars("TRUXBFcB");
  terminology.Byte(0);
  property("hstm", terminology.bytes);
  property("mode", Bytes{0x50, 0x30, 0x00, 0x00});
  Bytes cases;
  for (int i = 0; i < 7; ++i) cases.insert(cases.end(), {1, 1, 1, 0});
  property("fici", cases);
  property("prog", PaddedPascal("Sharpstack...", 32, ' '));
  return w.bytes;
}

Bytes ExpectedDialog() {
  Writer w;
  w.Long(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_SETFONT);
  w.Long(0);  // extended style
  w.Word(5);  // controls
  w.Word(0);
  w.Word(0);
  w.Word(188);
  w.Word(95);
  w.Word(0);  // no menu
  w.Word(0);  // the standard dialog class
  w.Wide("Sharpstack");
  w.Word(8);
  w.Wide("MS Sans Serif");
  struct Control {
    std::uint32_t style;
    const char* text;
    std::uint16_t id, x, y, cx, cy;
  };
  const std::uint32_t child = WS_CHILD | WS_VISIBLE;
  const Control controls[] = {
      {child | WS_TABSTOP | BS_DEFPUSHBUTTON, "OK", 1, 131, 74, 50, 14},
      {child | WS_TABSTOP | BS_PUSHBUTTON, "Cancel", 2, 69, 74, 50, 14},
      {child | BS_AUTORADIOBUTTON, "Clear Buffer", 4, 28, 16, 53, 10},
      {child | BS_AUTORADIOBUTTON, "Add To Buffer", 5, 28, 29, 60, 10},
      {child | BS_AUTORADIOBUTTON, "Show Buffer Contents", 6, 28, 41, 85, 10},
  };
  for (const Control& c : controls) {
    w.Align4();
    w.Long(c.style);
    w.Long(0);
    w.Word(c.x);
    w.Word(c.y);
    w.Word(c.cx);
    w.Word(c.cy);
    w.Word(c.id);
    w.Word(0xFFFF);
    w.Word(0x0080);  // the button class
    w.Wide(c.text);
    w.Word(0);  // no creation data
  }
  return w.bytes;
}

// The plug-in module as a host loads it.
class ModuleResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { module_ = LoadLibraryA(kModulePath.c_str()); }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << kModulePath; }

  // The resource's bytes, or an empty vector (with a failure) when it is missing.
  static Bytes Resource(const char* type, int id) {
    HRSRC found = FindResourceExA(module_, type, MAKEINTRESOURCEA(id),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    EXPECT_NE(found, nullptr) << "no resource " << id;
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const auto* data = static_cast<const std::uint8_t*>(LockResource(loaded));
    const DWORD size = SizeofResource(module_, found);
    if (data == nullptr) return {};
    return Bytes(data, data + size);
  }

  static HMODULE module_;
};

HMODULE ModuleResources::module_ = nullptr;

TEST_F(ModuleResources, PropertyListMatchesTheTable) {
  const Bytes actual = Resource("PIPL", 16000);
  const Bytes expected = ExpectedPropertyList();
  EXPECT_EQ(actual, expected) << FirstDifference(actual, expected);
}

TEST_F(ModuleResources, TerminologyIsThePluginsOwnBytes) {
  const auto compiled = TerminologyResource();
  const Bytes expected(compiled.begin(), compiled.end());
  const Bytes actual = Resource("AETE", kTerminologyResourceId);
  EXPECT_EQ(actual, expected) << FirstDifference(actual, expected);
}

TEST_F(ModuleResources, OperationDialogMatchesTheTable) {
  Bytes actual = Resource(MAKEINTRESOURCEA(5) /* RT_DIALOG */, 2117);
  const Bytes expected = ExpectedDialog();
  // The resource compiler may pad the last control to a 4-byte boundary.
  ASSERT_GE(actual.size(), expected.size());
  ASSERT_LT(actual.size(), expected.size() + 4);
  for (std::size_t i = expected.size(); i < actual.size(); ++i) EXPECT_EQ(actual[i], 0);
  actual.resize(expected.size());
  EXPECT_EQ(actual, expected) << FirstDifference(actual, expected);
}

TEST_F(ModuleResources, ExportsOnlyTheEntryPoint) {
  EXPECT_NE(GetProcAddress(module_, "ENTRYPOINT"), nullptr);
  const auto* base = reinterpret_cast<const std::uint8_t*>(module_);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  ASSERT_EQ(exports->NumberOfNames, 1u);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  EXPECT_STREQ(reinterpret_cast<const char*>(base + names[0]), "ENTRYPOINT");
}

}  // namespace
