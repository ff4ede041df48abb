// The loadable module exports nothing but its entry point. That the editor
// reaching it through the loader gets the same pictures as through the linked
// entry point is the end-to-end tests' business.
#include <gtest/gtest.h>
#if defined(__ELF__)
#include <elf.h>
#endif

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "cli/hostlib/plugin_module.h"
#include "host_test_support.h"

namespace {

using host::PluginModule;

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
  Elf64_Ehdr header;
  if (bytes.size() < sizeof header) return names;
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
  EXPECT_EQ(DefinedDynamicSymbols(ModulePath()), std::set<std::string>({"ENTRYPOINT"}));
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
  // Loading something else fails with a reason.
  PluginModule other;
  EXPECT_FALSE(other.Load(SHARPSTACK_BINARY_DIR "/no-such-module.so", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(other.IsLoaded());
}

}  // namespace
