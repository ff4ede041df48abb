// The command-line host's image readers on arbitrary files: probing and
// decoding either fail with a message or deliver a picture that matches its
// probe and holds samples on the host's scale.
#include <string>

#include "cli/hostlib/picture.h"
#include "cli/image/image_io.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::MakeRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the name's extension; the readers go by content.
  static const char* const kNames[] = {"in.png", "in.tif", "in.jpg", "in.tiff", "in.jpeg"};
  const char* name = kNames[data[0] % 5];
  fuzzsupport::WriteFile(name, data + 1, size - 1);
  const std::string path = fuzzsupport::PathOf(name);
  imageio::ImageInfo info;
  const imageio::Status probed = imageio::ProbeImage(path, &info);
  if (!probed.ok) {
    if (probed.message.empty()) abort();
    return 0;
  }
  if (info.width < 1 || info.height < 1 || info.width > 32767 || info.height > 32767) abort();
  // A small file may claim a picture of 32767 x 32767; decoding one is the
  // reader's right but too slow to fuzz.
  if (std::int64_t(info.width) * info.height > (1 << 20)) return 0;
  host::Picture picture;
  const imageio::Status read = imageio::ReadImage(path, &picture);
  if (!read.ok) {
    if (read.message.empty() || !picture.data.empty()) abort();
    return 0;
  }
  if (picture.width != info.width || picture.height != info.height) abort();
  if (picture.data.size() != picture.RowBytes() * std::size_t(picture.height)) abort();
  if (picture.depth == 16) {
    for (int y = 0; y < picture.height; ++y)
      for (int x = 0; x < picture.width; ++x)
        for (int k = 0; k < picture.planes; ++k)
          if (picture.Get(x, y, k) > 32768) abort();
  }
  return 0;
}
