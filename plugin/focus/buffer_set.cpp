// The focus buffer set as a whole: delete, validate, grow.
#include "plugin/focus/buffer_set.h"

#include "plugin/storage/store.h"

void DeleteFocusBufferSet() {
  DisposeImageStore(kCountBufferPath, nullptr);
  DisposeImageStore(kVarianceBufferPath, nullptr);
  DisposeImageStore(kFocusBufferPath, nullptr);
}

bool CheckFocusBufferSet(std::int16_t* width, std::int16_t* height) {
  *width = 0;
  *height = 0;
  std::int16_t count_w = 0, count_h = 0, count_e = 0;
  if (ReadImageStoreHeader(kCountBufferPath, &count_w, &count_h, &count_e) != noErr) return false;
  if (count_e != kCountElementSize) return false;
  // A header with no pixels is never written by Add; it would make every row
  // computation meaningless, so such a set is treated as damaged.
  if (count_w <= 0 || count_h <= 0) return false;

  std::int16_t w = 0, h = 0, e = 0;
  if (ReadImageStoreHeader(kVarianceBufferPath, &w, &h, &e) != noErr) return false;
  if (w != count_w || h != count_h || e != kVarianceElementSize) return false;
  if (ReadImageStoreHeader(kFocusBufferPath, &w, &h, &e) != noErr) return false;
  if (w != count_w || h != count_h || e != kFocusElementSize) return false;

  *width = count_w;
  *height = count_h;
  return true;
}

OSErr GrowFocusBufferSet(std::int16_t width, std::int16_t height) {
  if (OSErr s = EnsureImageStoreSize(kCountBufferPath, width, height, kCountElementSize); s != noErr)
    return s;
  if (OSErr s = EnsureImageStoreSize(kVarianceBufferPath, width, height, kVarianceElementSize);
      s != noErr)
    return s;
  return EnsureImageStoreSize(kFocusBufferPath, width, height, kFocusElementSize);
}
