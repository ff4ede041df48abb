// Loading a filter module: dlopen and dlsym on POSIX, LoadLibrary and
// GetProcAddress on Windows.
#include "cli/hostlib/plugin_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace host {

namespace {

void* OpenLibrary(const std::string& path, std::string* error) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr && error != nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
  }
  return reinterpret_cast<void*>(module);
#else
  // RTLD_LOCAL keeps the module's symbols out of the host's namespace, as an
  // editor loading many plug-ins must.
  // The run state that the plug-in keeps in the editor's data slot lives for
  // the whole process, as in an editor, so the code that made it stays mapped.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr && error != nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot load " + path;
  }
  return library;
#endif
}

void* LookUp(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

void CloseLibrary(void* library) {
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(library));
#else
  dlclose(library);
#endif
}

}  // namespace

PluginModule::PluginModule(EntryPointProc linked) : entry_(linked) {}

PluginModule::~PluginModule() {
  Unload();
}

bool PluginModule::Load(const std::string& path, std::string* error) {
  Unload();
  void* library = OpenLibrary(path, error);
  if (library == nullptr) return false;
  void* entry = LookUp(library, kEntryName);
  if (entry == nullptr) {
    if (error != nullptr) *error = path + " does not export " + kEntryName;
    CloseLibrary(library);
    return false;
  }
  library_ = library;
  entry_ = reinterpret_cast<EntryPointProc>(entry);
  return true;
}

void PluginModule::Unload() {
  if (library_ != nullptr) CloseLibrary(library_);
  library_ = nullptr;
  entry_ = nullptr;
}

void* PluginModule::Symbol(const char* name) const {
  if (library_ == nullptr) return nullptr;
  return LookUp(library_, name);
}

std::string PluginModule::ModulePath(const std::string& dir) {
#if defined(_WIN32)
  return dir + "\\Sharpstack.8bf";
#else
  return dir + "/Sharpstack.so";
#endif
}

}  // namespace host
