// The loadable module: what it exports, and that the editor reaching it
// through the loader gets the same picture as through the linked entry point.
#include <gtest/gtest.h>
#if defined(__ELF__)
#include <elf.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "cli/hostlib/plugin_module.h"
#include "host_test_support.h"

namespace {

using host::DriverMode;
using host::FilterHost;
using host::PluginModule;
using hostsupport::PatternPicture;
using hostsupport::RunFixture;

std::string ModulePath() {
  return PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin");
}

#if defined(__ELF__)
// The names of the functions and objects that a 64-bit ELF shared object
// defines in its dynamic symbol table with global or weak binding.
std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::set<std::string> names;
  if (bytes.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr header;
  std::memcpy(&header, bytes.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
    return names;
  }
  auto section = [&](std::size_t index) {
    Elf64_Shdr s;
    std::memcpy(&s, bytes.data() + header.e_shoff + index * header.e_shentsize, sizeof s);
    return s;
  };
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf64_Shdr symbols = section(i);
    if (symbols.sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr strings = section(symbols.sh_link);
    for (std::size_t off = 0; off + sizeof(Elf64_Sym) <= symbols.sh_size;
         off += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, bytes.data() + symbols.sh_offset + off, sizeof sym);
      const int binding = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
      names.insert(bytes.data() + strings.sh_offset + sym.st_name);
    }
  }
  return names;
}

TEST(PluginModuleExports, TheSymbolTableDefinesOnlyTheEntryPoint) {
  const std::set<std::string> names = DefinedDynamicSymbols(ModulePath());
  EXPECT_EQ(names, std::set<std::string>({"ENTRYPOINT"}));
}
#endif

#if defined(_WIN32)
// The names in a PE module's export directory, and how many functions it
// exports in all (by name or by ordinal alone).
std::uint32_t Read32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
  return v;
}
std::uint16_t Read16(const std::string& b, std::size_t at) {
  std::uint16_t v = 0;
  if (at + 2 <= b.size()) std::memcpy(&v, b.data() + at, 2);
  return v;
}

std::set<std::string> ExportedNames(const std::string& path, std::uint32_t* functions) {
  std::ifstream in(path, std::ios::binary);
  const std::string b((std::istreambuf_iterator<char>(in)), {});
  std::set<std::string> names;
  *functions = 0;
  const std::size_t pe = Read32(b, 0x3C);
  if (b.size() < pe + 24 || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return names;
  const std::size_t sections = Read16(b, pe + 6);
  const std::size_t optionalSize = Read16(b, pe + 20);
  const std::size_t optional = pe + 24;
  const bool pe32plus = Read16(b, optional) == 0x20B;
  const std::uint32_t exportRva = Read32(b, optional + (pe32plus ? 112 : 96));
  auto offset = [&](std::uint32_t rva) -> std::size_t {
    for (std::size_t i = 0; i < sections; ++i) {
      const std::size_t h = optional + optionalSize + i * 40;
      const std::uint32_t va = Read32(b, h + 12);
      const std::uint32_t extent = std::max(Read32(b, h + 8), Read32(b, h + 16));
      if (rva >= va && rva < va + extent) return rva - va + Read32(b, h + 20);
    }
    return b.size();
  };
  if (exportRva == 0) return names;
  const std::size_t dir = offset(exportRva);
  *functions = Read32(b, dir + 20);
  const std::uint32_t count = Read32(b, dir + 24);
  const std::size_t nameTable = offset(Read32(b, dir + 32));
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t name = offset(Read32(b, nameTable + 4 * i));
    if (name < b.size()) names.insert(std::string(b.c_str() + name));
  }
  return names;
}

TEST(PluginModuleExports, TheExportDirectoryHoldsOnlyTheEntryPoint) {
  std::uint32_t functions = 0;
  const std::set<std::string> names = ExportedNames(ModulePath(), &functions);
  EXPECT_EQ(names, std::set<std::string>({"ENTRYPOINT"}));
  EXPECT_EQ(functions, 1u);
}
#endif

TEST(PluginModuleExports, OnlyTheEntryPointCanBeLookedUp) {
  PluginModule module;
  std::string error;
  ASSERT_TRUE(module.Load(ModulePath(), &error)) << error;
  EXPECT_NE(module.Entry(), nullptr);
  EXPECT_NE(module.Entry(), &ENTRYPOINT) << "the module has its own copy";
  // Names the linked library does have stay private to the module.
  for (const char* hidden : {"_Z9PhaseStepP8RunState", "_Z18RunProcessingPhaseP8RunState",
                             "_ZN8hosttest17SetProcessingHookEPFsP8RunStateE"}) {
    EXPECT_EQ(module.Symbol(hidden), nullptr) << hidden;
  }
}

TEST(PluginModuleExports, LoadingSomethingElseFailsWithAReason) {
  PluginModule module;
  std::string error;
  EXPECT_FALSE(module.Load(SHARPSTACK_BINARY_DIR "/no-such-module.so", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(module.IsLoaded());
}

class ModuleRoute : public RunFixture {};

TEST_F(ModuleRoute, LoadedModuleAndLinkedEntryGiveTheSamePicture) {
  std::string error;
  PluginModule& module = hostsupport::LoadedModule(&error);
  ASSERT_TRUE(module.IsLoaded()) << error;
  for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
    SCOPED_TRACE(hostsupport::ModeName(mode));
    const host::Picture original = PatternPicture(11, 6, 3, 1, 16, 21);
    FilterHost linked(&ENTRYPOINT);
    linked.picture = original;
    linked.selection.assign(66, 255);
    const host::RunResult a = linked.Run(Scripted(mode));
    FilterHost loaded(module.Entry());
    loaded.picture = original;
    loaded.selection.assign(66, 255);
    const host::RunResult b = loaded.Run(Scripted(mode));
    ASSERT_EQ(a.result, noErr);
    ASSERT_EQ(b.result, noErr);
    EXPECT_EQ(linked.picture.data, loaded.picture.data);
    EXPECT_NE(loaded.picture.data, original.data) << "transparent pixels were whitened";
    EXPECT_EQ(a.progress, b.progress);
    EXPECT_EQ(a.advanceCalls, b.advanceCalls);
    EXPECT_EQ(a.continueCalls, b.continueCalls);
  }
}

}  // namespace
