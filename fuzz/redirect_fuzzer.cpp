// Redirect files of arbitrary bytes: the redirected path always fits its
// buffer, and a refused redirect leaves the path as it was.
#include <cstring>

#include "fuzz_support.h"
#include "plugin/core/strings.h"
#include "plugin/storage/store.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::MakeRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::WriteFile("TRUXPath.TXT", data, size);
  for (const char* original :
       {"C:\\BestFocus.xxx", "c:\\ResizingImage.xxx", "c:\\x", "relative", ""}) {
    char path[kStringSize];
    std::memset(path, 0x7F, sizeof path);
    CopyBounded(original, path, kStringSize);
    const bool ok = ApplyPathRedirect(path);
    if (strnlen(path, kStringSize) >= std::size_t(kStringSize)) abort();
    if (!ok && std::strcmp(path, original) != 0) abort();
  }
  // Reading a header through the redirect only reads; it may fail in any way.
  std::int16_t w = 0, h = 0, e = 0;
  (void)ReadImageStoreHeader("C:\\BestFocus.xxx", &w, &h, &e);
  return 0;
}
