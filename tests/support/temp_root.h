// A fresh drive root for one test: every "c:\..." path of the plug-in lands in
// a private temporary directory, which is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

#if defined(_WIN32)
// The Windows runtime library has no setenv/unsetenv; an empty value removes
// a variable there.
inline int setenv(const char* name, const char* value, int) {
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
  return _putenv_s(name, "");
}
#endif

// Sets an environment variable for a scope and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    Set(value);
  }
  ~ScopedVariable() {
    if (had_old_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  void Set(const std::string& value) { setenv(name_, value.c_str(), 1); }

 private:
  const char* name_;
  std::string old_;
  bool had_old_ = false;
};

inline std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A store file's header (element size, width, height: little-endian 16-bit)
// and `data` zero bytes after it.
inline std::vector<unsigned char> StoreFileHeader(int elementSize, int width, int height,
                                                  std::size_t data = 0) {
  std::vector<unsigned char> b(6 + data, 0);
  const int fields[3] = {elementSize, width, height};
  for (int i = 0; i < 6; ++i) b[i] = static_cast<unsigned char>(fields[i / 2] >> (i % 2 * 8));
  return b;
}

class TempRoot {
 public:
  TempRoot() {
    const char* base_env = getenv("SHARPSTACK_TEST_TMP");
    std::filesystem::path base = base_env != nullptr ? std::filesystem::path(base_env)
                                                     : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(base);
    std::random_device rd;
    for (;;) {
      dir_ = base / ("root-" + std::to_string(rd()) + std::to_string(rd()));
      if (std::filesystem::create_directory(dir_)) break;
    }
    variable_.Set(dir_.string());
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  // The file that the plug-in path "c:\<name>" maps to.
  std::filesystem::path File(const std::string& name) const { return dir_ / name; }

  std::string Text(const std::string& name) const { return Slurp(File(name)); }
  std::vector<unsigned char> Read(const std::string& name) const {
    const std::string text = Text(name);
    return std::vector<unsigned char>(text.begin(), text.end());
  }
  void Write(const std::string& name, std::string_view bytes) const {
    std::ofstream(File(name), std::ios::binary | std::ios::trunc) << bytes;
  }
  void Write(const std::string& name, const std::vector<unsigned char>& bytes) const {
    Write(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

 private:
  std::filesystem::path dir_;
  ScopedVariable variable_{"SHARPSTACK_ROOT", ""};
};

}  // namespace testsupport
