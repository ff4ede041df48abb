// The focus buffer set as a whole: delete, validate, grow.
#include "plugin/focus/buffer_set.h"

#include <cstring>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/storage/file.h"
#include "plugin/storage/store.h"

namespace {

constexpr const char* kSetPaths[] = {kCountBufferPath, kVarianceBufferPath, kFocusBufferPath};
// In the order they are built and put in place: the focus file last, so that
// a complete new focus file means that the other two were complete too.
constexpr const char* kGrowthPaths[] = {kCountGrowthPath, kVarianceGrowthPath, kFocusGrowthPath};
constexpr std::int16_t kElementSizes[] = {kCountElementSize, kVarianceElementSize,
                                          kFocusElementSize};

constexpr std::uint32_t kJournalMagic = FourCC("SSJ1");

struct JournalHeader {
  std::uint32_t magic;
  std::int16_t width, height;
  std::int32_t first, rows, capacity;
  std::int32_t countsOnly;  // 1: the band changed counts alone; only that part follows
  std::uint64_t checksum;   // of the fields above
};
static_assert(sizeof(JournalHeader) == kJournalHeaderSize);

constexpr std::uint64_t Align8(std::uint64_t n) {
  return (n + 7) & ~std::uint64_t(7);
}

std::uint64_t PartSize(std::int16_t width, std::int32_t capacity, std::int16_t elementSize) {
  return Align8(std::uint64_t(width) * std::uint64_t(capacity) * std::uint64_t(elementSize));
}

std::uint64_t Rotate(std::uint64_t v, int k) {
  return (v << k) | (v >> (64 - k));
}

// A checksum of the header's fields, so that a header written only in part
// is never taken for a committed one.
std::uint64_t HeaderChecksum(const JournalHeader& header) {
  std::uint8_t bytes[offsetof(JournalHeader, checksum)];
  std::memcpy(bytes, &header, sizeof bytes);
  std::uint64_t h = 0x243F6A8885A308D3ull;
  for (std::uint8_t byte : bytes) h = Rotate(h ^ byte, 13) * 0x9E3779B185EBCA87ull;
  return h ^ (h >> 32);
}

// Redirected path of one of the set's files into `buffer` (kStringSize bytes).
bool Redirected(const char* path, char* buffer) {
  CopyBounded(path, buffer, kStringSize);
  return ApplyPathRedirect(buffer);
}

OSErr OpenSetStores(std::int16_t width, std::int16_t height, ImageStore* stores[3]) {
  for (int i = 0; i < 3; ++i) {
    OSErr s = OpenImageStore(kSetPaths[i], &stores[i]);
    if (s == noErr) {
      StoreHeader header{};
      GetStoreHeader(stores[i], &header);
      if (header.width != width || header.height != height ||
          header.elementSize != kElementSizes[i])
        s = ioErr;
    }
    if (s != noErr) {
      for (int k = 0; k <= i; ++k) CloseImageStore(stores[k]);
      return s;
    }
  }
  return noErr;
}

OSErr WriteBandRows(const JournalBand& band, std::int32_t first, std::int32_t rows,
                    ImageStore* count, ImageStore* variance, ImageStore* focus) {
  if (OSErr s = WriteStoreRows(count, first, rows, band.counts()); s != noErr) return s;
  if (band.countsOnly) return noErr;
  if (OSErr s = WriteStoreRows(variance, first, rows, band.variances()); s != noErr) return s;
  return WriteStoreRows(focus, first, rows, band.focus());
}

// Puts the new files of a growth in place when the new focus file is complete
// (all three were built), or deletes them otherwise.
OSErr RecoverGrowth() {
  // A run killed while it made the new focus file can leave it shorter than a
  // header: as when it is missing, the growth never completed. Only a file
  // that cannot be read now (another run holds it) stops the recovery.
  StoreHeader header{};
  OSErr status = noErr;
  if (ReadFocusBufferHeader(kFocusGrowthPath, &header, &status) == FocusBufferState::kUnavailable)
    return status;
  const bool complete =
      header.elementSize == kFocusElementSize && header.width > 0 && header.height > 0;
  for (int i = 0; i < 3; ++i) {
    char from[kStringSize], to[kStringSize];
    if (!Redirected(kGrowthPaths[i], from) || !Redirected(kSetPaths[i], to)) return bdNamErr;
    if (!complete) {
      DeleteDataFile(from);
      continue;
    }
    FileGuard probe;
    const OSErr present = OpenDataFile(from, &probe.file);
    if (present == fnfErr) continue;  // put in place already
    if (present != noErr) return present;
    CloseDataFile(probe.file);
    probe.file = platform::kInvalidFile;
    if (OSErr s = DeleteDataFile(to); s != noErr && s != fnfErr) return s;
    if (OSErr s = MoveDataFile(from, to); s != noErr) return s;
  }
  return noErr;
}

// Replays a committed journal whose band fits the set as it is now.
OSErr ReplayJournal() {
  char path[kStringSize];
  if (!Redirected(kJournalPath, path)) return bdNamErr;
  FileGuard journal;
  const OSErr opened = OpenDataFile(path, &journal.file);
  if (opened == fnfErr) return noErr;
  if (opened != noErr) {
    journal.file = platform::kInvalidFile;
    return opened;
  }
  JournalHeader header{};
  std::int32_t count = kJournalHeaderSize;
  if (OSErr s = ReadDataFile(journal.file, &count, &header); s != noErr) return s;
  // Anything short of a whole, committed header is a band that never reached
  // the set: there is nothing to redo.
  if (count < kJournalHeaderSize || header.magic != kJournalMagic ||
      header.checksum != HeaderChecksum(header) || header.width <= 0 || header.height <= 0 ||
      header.first < 0 || header.rows <= 0 || header.capacity < header.rows ||
      header.first + header.rows > header.height)
    return noErr;
  std::int16_t width = 0, height = 0;
  OSErr status = noErr;
  const FocusBufferState state = InspectFocusBufferSet(&width, &height, &status);
  if (state == FocusBufferState::kUnavailable) return status;
  if (state != FocusBufferState::kValid || width != header.width || height != header.height)
    return noErr;

  JournalBand band;
  band.width = header.width;
  band.height = header.height;
  band.capacity = header.capacity;
  band.countsOnly = header.countsOnly != 0;
  const std::uint64_t size = band.size();
  if (size > std::uint64_t(INT32_MAX)) return noErr;
  band.bytes = static_cast<std::uint8_t*>(NewBlock(static_cast<std::uint32_t>(size)));
  if (band.bytes == nullptr) return memFullErr;
  BlockGuard guard(band.bytes);
  // A committed header is written after its band, which is thus whole.
  std::memcpy(band.bytes, &header, kJournalHeaderSize);
  count = static_cast<std::int32_t>(size - kJournalHeaderSize);
  if (OSErr s = ReadDataFile(journal.file, &count, band.bytes + kJournalHeaderSize); s != noErr)
    return s;
  if (std::uint64_t(count) != size - kJournalHeaderSize) return noErr;

  ImageStore* stores[3] = {};
  if (OSErr s = OpenSetStores(width, height, stores); s != noErr) return s;
  status = WriteBandRows(band, header.first, header.rows, stores[0], stores[1], stores[2]);
  for (ImageStore* store : stores) CloseImageStore(store);
  if (status != noErr) return status;
  CloseDataFile(journal.file);
  journal.file = platform::kInvalidFile;
  DeleteDataFile(path);
  return noErr;
}

}  // namespace

std::uint16_t* JournalBand::counts() const {
  return reinterpret_cast<std::uint16_t*>(bytes + kJournalHeaderSize);
}
float* JournalBand::variances() const {
  return reinterpret_cast<float*>(bytes + kJournalHeaderSize +
                                  PartSize(width, capacity, kCountElementSize));
}
std::uint16_t* JournalBand::focus() const {
  return reinterpret_cast<std::uint16_t*>(bytes + kJournalHeaderSize +
                                          PartSize(width, capacity, kCountElementSize) +
                                          PartSize(width, capacity, kVarianceElementSize));
}
std::uint64_t JournalBand::size() const {
  if (countsOnly) return kJournalHeaderSize + PartSize(width, capacity, kCountElementSize);
  return JournalBandSize(width, capacity);
}

std::uint64_t JournalBandSize(std::int16_t width, std::int32_t capacity) {
  return kJournalHeaderSize + PartSize(width, capacity, kCountElementSize) +
         PartSize(width, capacity, kVarianceElementSize) +
         PartSize(width, capacity, kFocusElementSize);
}

OSErr CommitJournal(platform::FileHandle journal, const JournalBand& band, std::int32_t first,
                    std::int32_t rows, ImageStore* count, ImageStore* variance, ImageStore* focus) {
  if (rows <= 0) return noErr;
  // The band before was withdrawn (BeginJournalBand): this band's rows go in
  // first and only then its header, so that whatever stops the writes
  // part-way, the journal holds one whole committed band (already in the
  // set, or about to be) or none, never a header over rows of another band.
  const std::uint64_t parts = band.size() - kJournalHeaderSize;
  if (!band.inJournal) {
    if (OSErr s = WriteDataFileAt(journal, kJournalHeaderSize, static_cast<std::int32_t>(parts),
                                  band.bytes + kJournalHeaderSize);
        s != noErr)
      return s;
  }
  JournalHeader header{kJournalMagic,           band.width, band.height, first, rows, band.capacity,
                       band.countsOnly ? 1 : 0, 0};
  header.checksum = HeaderChecksum(header);
  if (OSErr s = WriteDataFileAt(journal, 0, kJournalHeaderSize, &header); s != noErr) return s;
  return WriteBandRows(band, first, rows, count, variance, focus);
}

OSErr BeginJournalBand(platform::FileHandle journal) {
  const JournalHeader withdrawn{};
  return WriteDataFileAt(journal, 0, kJournalHeaderSize, &withdrawn);
}

OSErr RecoverFocusBufferSet() {
  if (OSErr s = RecoverGrowth(); s != noErr) return s;
  return ReplayJournal();
}

void DeleteFocusBufferSet() {
  for (const char* path : kSetPaths) DisposeImageStore(path, nullptr);
  DisposeImageStore(kJournalPath, nullptr);
  for (const char* path : kGrowthPaths) DisposeImageStore(path, nullptr);
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
  // Build the three new files beside the old ones; only when all three are
  // complete do they replace them, the focus file last. A run that stops
  // before that leaves the old set whole; one that stops after it leaves
  // complete new files that RecoverFocusBufferSet puts in place.
  for (const char* path : kGrowthPaths) DisposeImageStore(path, nullptr);
  for (int i = 0; i < 3; ++i) {
    if (OSErr s = BuildGrownStore(kSetPaths[i], kGrowthPaths[i], width, height, kElementSizes[i]);
        s != noErr) {
      for (const char* path : kGrowthPaths) DisposeImageStore(path, nullptr);
      return s;
    }
  }
  return RecoverGrowth();
}
