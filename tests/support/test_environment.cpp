// Linked into every test executable: before any test runs, files at drive
// paths go to a folder of the build tree instead of the developer's data
// directory, and no dialog waits on the developer's terminal. Tests that need
// either set their own values (TempRoot, the dialog tests).
#include <cstdlib>
#include <string>

namespace {

[[maybe_unused]] void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

const bool g_environment_set = [] {
#ifndef _WIN32
  // Under wine the drive root is the private prefix's own c: drive already.
  SetVariable("SHARPSTACK_ROOT", std::string(SHARPSTACK_BINARY_DIR) + "/test-root");
  SetVariable("SHARPSTACK_TTY", "");
#endif
  return true;
}();

}  // namespace
