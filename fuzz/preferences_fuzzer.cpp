// Preferences files of arbitrary bytes and length: loaded into a parameter
// block and saved back. Every text slot that loads is a bounded string, and
// the saved file is never shorter than the layout.
#include <cstring>

#include "fuzz_support.h"
#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/params/parameter_block.h"
#include "plugin/params/preferences.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::MakeRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::WriteFile("TRUXpref.xxx", data, size);
  auto* block = static_cast<ParameterBlock*>(NewZeroedBlock(sizeof(ParameterBlock)));
  if (block == nullptr) return 0;
  char* path = nullptr;
  FileRef file = kNoPreferencesFile;
  LoadPreferences(block, &path, &file);
  for (char* slot : block->strings) {
    if (slot != nullptr && strnlen(slot, kStringSize) >= std::size_t(kStringSize)) abort();
  }
  SavePreferences(block, path, file);
  for (char* slot : block->strings) {
    if (slot != nullptr) abort();  // the save empties every slot
  }
  DisposeString(path);
  DisposeBlock(block);
  std::FILE* f = std::fopen(fuzzsupport::PathOf("TRUXpref.xxx").c_str(), "rb");
  if (f == nullptr) abort();
  std::fseek(f, 0, SEEK_END);
  const long length = std::ftell(f);
  std::fclose(f);
  if (length < kPreferencesFileSize) abort();
  return 0;
}
