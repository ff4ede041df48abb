// Shared set-up of the fuzz targets: a private drive root (every "c:\..." path
// of the plug-in lands in it), no terminal for dialogs, and a helper that
// puts the fuzzer's bytes into a file there.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzzsupport {

inline std::string& Root() {
  static std::string root;
  return root;
}

// Called once from LLVMFuzzerInitialize.
inline void MakeRoot() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/sharpstack-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  Root() = pattern;
  setenv("SHARPSTACK_ROOT", pattern.c_str(), 1);
  setenv("SHARPSTACK_TTY", "", 1);
}

inline std::string PathOf(const char* name) {
  return Root() + "/" + name;
}

inline void WriteFile(const char* name, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(PathOf(name).c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);
}

inline void RemoveFile(const char* name) {
  unlink(PathOf(name).c_str());
}

// Reads little-endian values off the front of the input.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
  std::uint16_t Word() { return std::uint16_t(Byte() | Byte() << 8); }
  std::uint32_t Long() { return std::uint32_t(Word()) | std::uint32_t(Word()) << 16; }
  const std::uint8_t* Rest() const { return data_ + used_; }
  std::size_t RestSize() const { return size_ - used_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t used_ = 0;
};

}  // namespace fuzzsupport
