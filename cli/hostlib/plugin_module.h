// How a host reaches a filter plug-in: either the entry point of a plug-in
// linked into the host's own executable, or a plug-in module loaded from disk
// (dlopen on POSIX, LoadLibrary on Windows) and looked up by its export name.
#pragma once

#include <string>

#include "interface/filter_record.h"

namespace host {

class PluginModule {
 public:
  // The name every filter module exports.
  static constexpr const char* kEntryName = "ENTRYPOINT";

  // A plug-in that is linked into this executable: no module to load.
  explicit PluginModule(EntryPointProc linked);
  // Nothing loaded; Load() before use.
  PluginModule() = default;
  ~PluginModule();
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;

  // Loads the module at `path` and looks up ENTRYPOINT. On failure returns
  // false, leaves nothing loaded and describes the cause in `error`.
  bool Load(const std::string& path, std::string* error);
  // Unloads a loaded module (a linked entry point is simply forgotten).
  void Unload();

  bool IsLoaded() const { return entry_ != nullptr; }
  EntryPointProc Entry() const { return entry_; }
  // Any other symbol the loaded module exports, or null (always null for a
  // linked plug-in). The tests use it to show that nothing else is exported.
  void* Symbol(const char* name) const;

  // Conventional location of the module built next to the host:
  // <dir>/Sharpstack.so on POSIX, <dir>\Sharpstack.8bf on Windows.
  static std::string ModulePath(const std::string& dir);

 private:
  void* library_ = nullptr;  // dlopen handle or HMODULE
  EntryPointProc entry_ = nullptr;
};

}  // namespace host
