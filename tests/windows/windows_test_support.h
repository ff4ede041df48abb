// Shared pieces of the Windows tests.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace wintest {

// The built plug-in module. The build folder is a path of the build machine;
// under wine its drive is the one the tests run on.
inline std::string ModulePath() {
  std::string path = std::string(SHARPSTACK_BINARY_DIR) + "/bin/Sharpstack.8bf";
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// Where two byte strings first differ, for a readable failure.
inline std::string FirstDifference(const std::vector<std::uint8_t>& actual,
                                   const std::vector<std::uint8_t>& expected) {
  std::size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  std::ostringstream out;
  out << "sizes " << actual.size() << " and " << expected.size() << "; first difference at byte "
      << i;
  if (i < actual.size() && i < expected.size()) {
    out << ": " << int(actual[i]) << " instead of " << int(expected[i]);
  }
  return out.str();
}

}  // namespace wintest
