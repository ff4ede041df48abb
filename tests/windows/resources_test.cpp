// The built module's resources, read back through the system's resource calls
// and compared byte for byte with layouts written out here from the published
// tables: the property list, the terminology and the operation dialog.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/params/terminology.h"
#include "windows/windows_test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

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

struct Enumerator {
  const char* name;
  std::uint32_t value;
};

Bytes ExpectedTerminology() {
  Writer w;
  w.Word(1);
  w.Byte(1);
  w.Byte(0);
  w.Word(0);
  w.Word(0);
  w.Word(1);
  // The suite's name and description are free text; take them from the
  // resource itself (checked to be the two first strings below).
  const auto actual = TerminologyResource();
  std::size_t at = w.bytes.size();
  for (int i = 0; i < 2 && at < actual.size(); ++i) {
    const std::size_t length = actual[at];
    w.bytes.insert(w.bytes.end(), actual.begin() + std::ptrdiff_t(at),
                   actual.begin() + std::ptrdiff_t(at + 1 + length));
    at += 1 + length;
  }
  w.Code("xURt");
  w.Word(1);
  w.Word(1);
  w.Word(1);
  w.Pascal("Sharpstack");
  w.Pascal("abcd");
  w.Code("xURt");
  w.Code("BFcB");
  w.Code("null");
  w.Pascal("");
  w.Word(0);
  w.Code("#ImR");
  w.Pascal("");
  w.Word(0xB000);
  struct Parameter {
    const char* name;
    const char* key;
    const char* type;
  };
  const Parameter parameters[] = {
      {"Scale Factor", "sCAL", "doub"},
      {"Offset", "oFST", "doub"},
      {"Noise Removing (Blur) Radius", "DOGa", "doub"},
      {"Edge Sharpening Radius", "DOGb", "doub"},
      {"Add Edge Emphasis %", "DOGd", "doub"},
      {"Horizontal Shift", "DtnX", "doub"},
      {"Vertical Shift", "DtnY", "doub"},
      {"Autoscale Result", "AFlg", "bool"},
      {"Custom_Kernel", "Krnl", "TEXT"},
      {"Enhance", "eTyp", "rB37"},
      {"Noise Type", "nTyp", "rB39"},
      {"Neighborhood Radius", "nRad", "doub"},
      {"Cutoff", "cOFF", "doub"},
      {"Histogram Midpoint", "50pt", "rB40"},
      {"Custom Midpoint Value", "CptV", "doub"},
      {"Layer Mode", "2LMd", "rB41"},
      {"Operation", "EFMd", "rB42"},
      {"Enable Nudge", "eShf", "bool"},
      {"Opacity", "Opct", "doub"},
      {"Color Noise Suppression", "CNos", "bool"},
      {"Add Detail Emphasis %", "epsE", "doub"},
      {"Neighborhood Radius", "epsN", "doub"},
      {"Color Tolerance", "epsT", "doub"},
  };
  w.Word(23);
  for (const Parameter& p : parameters) {
    w.Pascal(p.name);
    w.Code(p.key);
    w.Code(p.type);
    w.Pascal("");
    w.Word(std::string_view(p.type).substr(0, 2) == "rB" ? 0x2000 : 0);
  }
  w.Word(0);
  w.Word(0);
  w.Word(5);
  auto enumeration = [&w](const char* type, std::initializer_list<Enumerator> values) {
    w.Code(type);
    w.Word(std::uint16_t(values.size()));
    for (const Enumerator& e : values) {
      w.Pascal(e.name);
      w.Long(e.value);  // the code 00 00 00 v, reversed like every code
      w.Pascal("");
    }
  };
  enumeration("rB37", {{"Both Light and Dark Edges", 1}, {"Light Edges", 2}, {"Dark Edges", 3}});
  enumeration("rB39", {{"Lightest", 1}, {"Darkest", 2}, {"Normal", 3}});
  enumeration("rB40", {{"Linear", 1},
                       {"EV -2", 3},
                       {"EV -1 2/3", 4},
                       {"EV -1 1/3", 5},
                       {"EV -1", 6},
                       {"EV -2/3", 7},
                       {"EV -1/3", 8},
                       {"EV 0", 9},
                       {"EV +1/3", 10},
                       {"EV +2/3", 11},
                       {"EV +1", 12},
                       {"EV +1 1/3", 13},
                       {"EV +1 2/3", 14},
                       {"EV +2", 15},
                       {"Match Pen Color Intensity", 17},
                       {"Custom EV", 19}});
  enumeration(
      "rB41",
      {{"Normal", 1},          {"Dissolve", 2},      {"Darken", 4},        {"Multiply", 5},
       {"Color Burn", 6},      {"Linear Burn", 7},   {"Lighten", 9},       {"Screen", 10},
       {"Color Dodge", 11},    {"Linear Dodge", 12}, {"Overlay", 14},      {"Soft Light", 15},
       {"Hard Light", 16},     {"Vivid Light", 17},  {"Linear Light", 18}, {"Pin Light", 19},
       {"Difference", 21},     {"Exclusion", 22},    {"Hue", 24},          {"Saturation", 25},
       {"Color", 26},          {"Luminosity", 27},   {"Highlight", 29},    {"Shadow", 30},
       {"Subtract", 31},       {"Remove", 32},       {"Ratio", 33},        {"Compare", 34},
       {"Blend Exposures", 36}});
  enumeration("rB42", {{"Clear Buffer", 4}, {"Add To Buffer", 5}, {"Show Buffer", 6}});
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
  static void SetUpTestSuite() { module_ = LoadLibraryA(wintest::ModulePath().c_str()); }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << wintest::ModulePath(); }

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
  EXPECT_EQ(actual, expected) << wintest::FirstDifference(actual, expected);
}

TEST_F(ModuleResources, TerminologyMatchesTheTableAndThePluginsOwnBytes) {
  const Bytes actual = Resource("AETE", kTerminologyResourceId);
  const Bytes expected = ExpectedTerminology();
  EXPECT_EQ(actual, expected) << wintest::FirstDifference(actual, expected);
  const auto compiled = TerminologyResource();
  EXPECT_EQ(actual, Bytes(compiled.begin(), compiled.end()));
  // The free-text suite name and description are real strings.
  ASSERT_GT(actual.size(), 11u);
  EXPECT_GT(actual[10], 0);
}

TEST_F(ModuleResources, OperationDialogMatchesTheTable) {
  Bytes actual = Resource(MAKEINTRESOURCEA(5) /* RT_DIALOG */, 2117);
  const Bytes expected = ExpectedDialog();
  // The resource compiler may pad the last control to a 4-byte boundary.
  ASSERT_GE(actual.size(), expected.size());
  ASSERT_LT(actual.size(), expected.size() + 4);
  for (std::size_t i = expected.size(); i < actual.size(); ++i) EXPECT_EQ(actual[i], 0);
  actual.resize(expected.size());
  EXPECT_EQ(actual, expected) << wintest::FirstDifference(actual, expected);
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
