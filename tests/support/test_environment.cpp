// Linked into every test executable: before any test runs, files at drive
// paths go to a folder of the build tree instead of the developer's data
// directory, and no dialog waits on the developer's terminal. Tests that need
// either set their own values (TempRoot, the dialog tests). Under wine the
// drive root is the private prefix's own c: drive already.
#include <cstdlib>
#include <string>

namespace {

#ifndef _WIN32
const bool g_environment_set = [] {
  setenv("SHARPSTACK_ROOT", (std::string(SHARPSTACK_BINARY_DIR) + "/test-root").c_str(), 1);
  setenv("SHARPSTACK_TTY", "", 1);
  return true;
}();
#endif

}  // namespace
