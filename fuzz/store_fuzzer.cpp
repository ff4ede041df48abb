// Store files of arbitrary bytes: open, read the header, enlarge, and move
// rows in and out, in the mapped and in the positioned-file mode.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "plugin/platform/test_hooks.h"
#include "plugin/storage/store.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::MakeRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Reader in(data, size);
  const std::uint8_t mode = in.Byte();
  // Requested sizes stay small: the file's own header may claim anything.
  const auto width = std::int16_t(in.Byte() % 40);
  const auto height = std::int16_t(in.Byte() % 40);
  const auto element = std::int16_t(in.Byte() % 13);
  const std::int32_t first = std::int32_t(in.Word()) - 64;
  const std::int32_t row = std::int32_t(in.Word() % 80) - 8;
  const std::int32_t count = std::int32_t(in.Word()) - 64;
  fuzzsupport::WriteFile("Store.xxx", in.Rest(), in.RestSize());
  fuzzsupport::RemoveFile("ResizingImage.xxx");
  platform::test::SetMappingRefused((mode & 1) != 0);

  std::int16_t w = 0, h = 0, e = 0;
  (void)ReadImageStoreHeader("c:\\Store.xxx", &w, &h, &e);

  std::vector<std::uint8_t> buffer(70000, 0x5A);
  ImageStore* store = nullptr;
  if (OpenImageStore("c:\\Store.xxx", &store) == noErr && store != nullptr) {
    StoreHeader header{};
    GetStoreHeader(store, &header);
    const std::int32_t n = count < 0 ? 0 : count % 65536;
    ReadStoreRow(store, first, row, n, buffer.data());
    WriteStoreRow(store, first, row, n, buffer.data());
    if (header.height > 0) {
      ReadStoreRow(store, 0, header.height - 1, std::int32_t(store->rowSize % 65536),
                   buffer.data());
    }
    if ((mode & 2) != 0) {
      DisposeImageStore(nullptr, store);
    } else {
      CloseImageStore(store);
    }
  }
  if (EnsureImageStoreSize("c:\\Store.xxx", width, height, element) == noErr) {
    // A store of at least the requested size and exactly the element size.
    if (ReadImageStoreHeader("c:\\Store.xxx", &w, &h, &e) == noErr &&
        (w < width || h < height || e != element)) {
      abort();
    }
  }
  platform::test::SetMappingRefused(false);
  return 0;
}
