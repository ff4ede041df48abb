// The focus buffer set as a whole: delete, validate, grow.
#include "plugin/focus/buffer_set.h"

#include "plugin/core/strings.h"
#include "plugin/storage/file.h"
#include "plugin/storage/store.h"

void DeleteFocusBufferSet() {
  DisposeImageStore(kCountBufferPath, nullptr);
  DisposeImageStore(kVarianceBufferPath, nullptr);
  DisposeImageStore(kFocusBufferPath, nullptr);
}

FocusBufferState ReadFocusBufferHeader(const char* path, StoreHeader* header, OSErr* status) {
  *header = StoreHeader{0, 0, 0};
  char redirected[kStringSize];
  CopyBounded(path, redirected, kStringSize);
  if (!ApplyPathRedirect(redirected)) {
    *status = bdNamErr;
    return FocusBufferState::kUnavailable;
  }
  FileGuard guard;
  const OSErr opened = OpenDataFile(redirected, &guard.file);
  if (opened == fnfErr) return FocusBufferState::kInvalid;
  if (opened != noErr) {
    guard.file = platform::kInvalidFile;
    *status = opened;
    return FocusBufferState::kUnavailable;
  }
  std::uint8_t bytes[kStoreHeaderSize];
  std::int32_t count = kStoreHeaderSize;
  if (OSErr s = ReadDataFile(guard.file, &count, bytes); s != noErr) {
    *status = s;
    return FocusBufferState::kUnavailable;
  }
  if (count < kStoreHeaderSize) return FocusBufferState::kInvalid;
  auto field = [&](int at) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8)));
  };
  *header = StoreHeader{field(0), field(2), field(4)};
  return FocusBufferState::kValid;
}

FocusBufferState InspectFocusBufferSet(std::int16_t* width, std::int16_t* height, OSErr* status) {
  *width = 0;
  *height = 0;
  *status = noErr;
  StoreHeader count{}, variance{}, focus{};
  const FocusBufferState states[3] = {
      ReadFocusBufferHeader(kCountBufferPath, &count, status),
      ReadFocusBufferHeader(kVarianceBufferPath, &variance, status),
      ReadFocusBufferHeader(kFocusBufferPath, &focus, status),
  };
  for (FocusBufferState state : states) {
    if (state == FocusBufferState::kUnavailable) return state;
  }
  for (FocusBufferState state : states) {
    if (state != FocusBufferState::kValid) return FocusBufferState::kInvalid;
  }
  if (count.elementSize != kCountElementSize) return FocusBufferState::kInvalid;
  // A header with no pixels is never written by Add; it would make every row
  // computation meaningless, so such a set is treated as damaged.
  if (count.width <= 0 || count.height <= 0) return FocusBufferState::kInvalid;
  if (variance.width != count.width || variance.height != count.height ||
      variance.elementSize != kVarianceElementSize)
    return FocusBufferState::kInvalid;
  if (focus.width != count.width || focus.height != count.height ||
      focus.elementSize != kFocusElementSize)
    return FocusBufferState::kInvalid;
  *width = count.width;
  *height = count.height;
  return FocusBufferState::kValid;
}

bool CheckFocusBufferSet(std::int16_t* width, std::int16_t* height) {
  OSErr status = noErr;
  return InspectFocusBufferSet(width, height, &status) == FocusBufferState::kValid;
}

OSErr GrowFocusBufferSet(std::int16_t width, std::int16_t height) {
  if (OSErr s = EnsureImageStoreSize(kCountBufferPath, width, height, kCountElementSize);
      s != noErr)
    return s;
  if (OSErr s = EnsureImageStoreSize(kVarianceBufferPath, width, height, kVarianceElementSize);
      s != noErr)
    return s;
  return EnsureImageStoreSize(kFocusBufferPath, width, height, kFocusElementSize);
}
