// Rule files of arbitrary bytes: looking up any key gives bounded label and
// suffix strings, whatever the records hold.
#include <cstring>

#include "fuzz_support.h"
#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/log/parameter_log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::MakeRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Reader in(data, size);
  const std::int32_t unit = std::int32_t(in.Long());
  const std::uint32_t key = in.Long();
  fuzzsupport::WriteFile("QZLogDef.rul", in.Rest(), in.RestSize());
  // The key from the input, the key of the first record and the closing key.
  std::uint32_t keys[3] = {key, 0, FourCC("crlf")};
  if (in.RestSize() >= 4) {
    const std::uint8_t* r = in.Rest();
    keys[1] =
        std::uint32_t(r[0]) << 24 | std::uint32_t(r[1]) << 16 | std::uint32_t(r[2]) << 8 | r[3];
  }
  for (std::uint32_t k : keys) {
    char label[kStringSize];
    char suffix[kStringSize];
    std::memset(label, 0x7F, sizeof label);
    std::memset(suffix, 0x7F, sizeof suffix);
    if (LookupLogRule(k, label, suffix, unit) == noErr) {
      if (strnlen(label, kStringSize) >= std::size_t(kStringSize)) abort();
      if (strnlen(suffix, kStringSize) >= std::size_t(kStringSize)) abort();
    }
  }
  return 0;
}
