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
  if (!WriteTerminologyResource(argv[1])) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    std::remove(argv[1]);  // a partial file must not be embedded
    return 1;
  }
  return 0;
}
