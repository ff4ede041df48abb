// Build tool: writes the terminology (AETE) resource's bytes to a file, for the
// resource compiler to embed. The bytes come from the same table that the
// plug-in itself is compiled with; this program runs on the build machine.
#include <cstdio>

#include "plugin/params/terminology.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s output-file\n", argv[0]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const auto bytes = TerminologyResource();
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[1]);
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
