// "Add To Buffer": merges the current picture into the focus buffer set.
//
// The picture streams through a five-row window, one row read per picture row;
// the buffer files are read and written by bands of whole rows, each band
// through the set's journal. Working memory grows with the widths of the
// picture and of the set, never with their heights.
#include <algorithm>
#include <cstring>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/kernels.h"
#include "plugin/focus/measure.h"
#include "plugin/focus/operations.h"
#include "plugin/focus/support.h"
#include "plugin/focus/test_hooks.h"
#include "plugin/params/parameter_block.h"
#include "plugin/storage/file.h"
#include "plugin/storage/store.h"

namespace {

// The counting, the merge (a mask byte of 128 or more selects its pixel), the
// row widening (an 8-bit sample v goes on the buffer's scale as
// (257 v + 1) / 2) and the measure are the kernels of kernels.h.

// Reads picture row `row` into a window row and widens it to three 16-bit
// channels per pixel at window positions 2 .. width + 1, then repeats the edge
// pixels into the borders.
//
// The samples are read into the window row's own storage, at the byte where
// pixel 2 would start if they were packed, and converted from the last pixel to
// the first: a pixel's converted form never lies before its packed form, so no
// sample is overwritten before it has been converted.
//
// Returns whether the row holds a sample above 32768, which only a 16-bit row
// can (a widened 8-bit sample is at most 32768).
template <typename Sample>
bool LoadWindowRow(ImageStore* colorStore, std::int32_t row, std::int32_t width, int planes,
                   std::uint16_t* window) {
  const std::int32_t pixel_bytes = planes * static_cast<std::int32_t>(sizeof(Sample));
  auto* packed = reinterpret_cast<std::uint8_t*>(window) + kWindowBorder * pixel_bytes;
  ReadStoreRow(colorStore, 0, row, width * pixel_bytes, packed);

  bool above = false;
  if (sizeof(Sample) == 2)
    above = AnySampleAbove32768(reinterpret_cast<const std::uint16_t*>(packed),
                                std::size_t(width) * std::size_t(planes));
  // 16-bit RGB already has the window's layout.
  if (sizeof(Sample) == 1) {
    ActiveFocusKernels().widenRow8(window, width, planes);
  } else if (planes == 1) {
    ActiveFocusKernels().widenGreyRow16(window, width);
  }

  const std::uint16_t* first = window + kWindowBorder * kWindowChannels;
  const std::uint16_t* last = window + (width + kWindowBorder - 1) * kWindowChannels;
  for (int b = 0; b < kWindowBorder; ++b) {
    std::memcpy(window + b * kWindowChannels, first, kWindowChannels * sizeof(std::uint16_t));
    std::memcpy(window + (width + kWindowBorder + b) * kWindowChannels, last,
                kWindowChannels * sizeof(std::uint16_t));
  }
  return above;
}

// Opens one buffer file and checks that it is what the set check and sizing
// promised, so that no row or column outside the file is ever addressed.
OSErr OpenBufferStore(const char* path, std::int16_t width, std::int16_t height,
                      std::int16_t elementSize, StoreGuard* guard) {
  if (OSErr s = OpenImageStore(path, &guard->store); s != noErr) {
    guard->store = nullptr;
    return s;
  }
  StoreHeader header{};
  GetStoreHeader(guard->store, &header);
  if (header.width != width || header.height != height || header.elementSize != elementSize)
    return ioErr;
  return noErr;
}

// The rows of one band take about this many bytes in all three files: enough
// to move several rows of a common picture in one read and one write per
// file, little enough that a band read, merged and written stays in the
// processor's cache (larger bands measured slower), and never growing with
// the picture's height.
constexpr std::uint64_t kBandBytes = 256u << 10;
std::int32_t g_band_rows = 0;  // a test's choice; 0: from kBandBytes

std::int32_t BandRows(std::int16_t setWidth, std::int32_t rows) {
  const std::uint64_t row_bytes =
      std::uint64_t(setWidth) * (kCountElementSize + kVarianceElementSize + kFocusElementSize);
  std::uint64_t n = g_band_rows > 0 ? std::uint64_t(g_band_rows) : kBandBytes / row_bytes;
  if (n < 1) n = 1;
  if (n > std::uint64_t(rows)) n = std::uint64_t(rows);
  return static_cast<std::int32_t>(n);
}

// The journal's view while the bands are merged in it.
struct JournalView {
  platform::Mapping mapping;
  JournalView() = default;
  ~JournalView() { Release(); }
  void Release() {
    if (mapping.view != nullptr) platform::OsUnmapFile(&mapping);
  }
  JournalView(const JournalView&) = delete;
  JournalView& operator=(const JournalView&) = delete;
};

// Removes the journal of a run whose bands all reached the set.
void RetireJournal(FileGuard* journal, JournalView* view) {
  view->Release();
  CloseDataFile(journal->file);
  journal->file = platform::kInvalidFile;
  char path[kStringSize];
  CopyBounded(kJournalPath, path, kStringSize);
  if (ApplyPathRedirect(path)) DeleteDataFile(path);
}

template <typename Sample>
OSErr AddToBuffer(ImageStore* colorStore, ParameterBlock* block) {
  if (block == nullptr) return filterBadParameters;
  const std::int32_t width = std::max<std::int32_t>(block->width, 0);
  const std::int32_t height = std::max<std::int32_t>(block->height, 0);
  const int planes = block->colorPlanes == 1 ? 1 : 3;
  const std::int32_t left = block->filterLeft;
  const std::int32_t top = block->filterTop;
  const FilterRecord* record = block->filterRecord;
  const std::int16_t image_width = record != nullptr ? record->imageSize.h : 0;
  const std::int16_t image_height = record != nullptr ? record->imageSize.v : 0;

  // Whatever an interrupted run left unfinished is finished first.
  if (OSErr s = RecoverFocusBufferSet(); s != noErr) return s;

  // Only look at the set here: nothing on disk changes until every working row
  // is in hand, so running short of memory leaves the set as it was.
  std::int16_t stored_width = 0, stored_height = 0;
  OSErr check_status = noErr;
  const FocusBufferState state =
      InspectFocusBufferSet(&stored_width, &stored_height, &check_status);
  // A set that exists but cannot be read now (another run holds it, or the
  // disk failed) is left exactly as it is: this Add fails instead.
  if (state == FocusBufferState::kUnavailable) return check_status;
  const bool valid = state == FocusBufferState::kValid;
  const std::int16_t set_width = std::max(image_width, stored_width);
  const std::int16_t set_height = std::max(image_height, stored_height);
  // Rows from here down are all zero once the set is made or grown (a new set
  // starts empty, a growth copies only the old rows): their bands are cleared
  // in memory rather than read.
  const std::int32_t zero_from = valid ? stored_height : 0;

  // The rectangle's rows that lie in the set, y_lo .. y_hi - 1, and its
  // columns, x_begin .. x_end - 1. The rectangle lies inside the set after
  // sizing; clipping anyway keeps a host's odd rectangle from addressing
  // anything outside the files.
  const std::int32_t y_lo = std::clamp<std::int32_t>(-top, 0, height);
  const std::int32_t y_hi = std::clamp<std::int32_t>(set_height - top, y_lo, height);
  const std::int32_t x_begin = std::clamp<std::int32_t>(-left, 0, width);
  const std::int32_t x_end = std::clamp<std::int32_t>(set_width - left, x_begin, width);
  const std::int32_t band_rows = BandRows(set_width, std::max<std::int32_t>(y_hi - y_lo, 1));

  const std::uint64_t window_row_values =
      std::uint64_t(width + 2 * kWindowBorder) * kWindowChannels;
  BlockGuard window_block(NewWorkingRow(kWindowRows * window_row_values * sizeof(std::uint16_t)));
  BlockGuard mask_block(NewWorkingRow(std::uint64_t(width)));
  BlockGuard measure_block(NewWorkingRow(std::uint64_t(width) * sizeof(std::uint64_t)));
  BlockGuard band_block(NewWorkingRow(JournalBandSize(set_width, band_rows)));
  if (window_block.block == nullptr || mask_block.block == nullptr ||
      measure_block.block == nullptr || band_block.block == nullptr)
    return memFullErr;

  if (!valid) DeleteFocusBufferSet();
  if (image_width > stored_width || image_height > stored_height) {
    if (OSErr s = GrowFocusBufferSet(set_width, set_height); s != noErr) return s;
  }
  if (width == 0 || height == 0) return noErr;

  // All three files are opened before anything is written: a set that cannot
  // be opened whole is left untouched rather than updated in part.
  StoreGuard count_store, variance_store, focus_store;
  if (OSErr s =
          OpenBufferStore(kCountBufferPath, set_width, set_height, kCountElementSize, &count_store);
      s != noErr)
    return s;
  if (OSErr s = OpenBufferStore(kVarianceBufferPath, set_width, set_height, kVarianceElementSize,
                                &variance_store);
      s != noErr)
    return s;
  if (OSErr s =
          OpenBufferStore(kFocusBufferPath, set_width, set_height, kFocusElementSize, &focus_store);
      s != noErr)
    return s;
  FileGuard journal;
  {
    char path[kStringSize];
    CopyBounded(kJournalPath, path, kStringSize);
    if (!ApplyPathRedirect(path)) return bdNamErr;
    const OSErr created = CreateDataFile(path, FourCC("CREA"), FourCC("TYPE"));
    if (OSErr s = OpenDataFile(path, &journal.file); s != noErr) {
      journal.file = platform::kInvalidFile;
      return s == fnfErr && created != noErr ? created : s;
    }
  }

  // The picture's own stores: a row that could not be read is known only
  // afterwards, and is checked before its content is merged.
  auto picture_error = [&]() -> OSErr {
    if (OSErr e = StoreRowError(colorStore); e != noErr) return e;
    return StoreRowError(block->maskStore);
  };

  JournalBand band;
  band.width = set_width;
  band.height = set_height;
  band.capacity = band_rows;
  // Merged straight into the journal's view where one can be had: the band
  // is then in the journal without being copied there. Otherwise in memory,
  // and written to the journal whole.
  JournalView view;
  if (platform::OsMapFile(journal.file, band.size(), &view.mapping)) {
    band.bytes = static_cast<std::uint8_t*>(view.mapping.view);
    band.inJournal = true;
  } else {
    band.bytes = static_cast<std::uint8_t*>(band_block.block);
  }
  auto* mask = static_cast<std::uint8_t*>(mask_block.block);
  auto* measures = static_cast<std::uint64_t*>(measure_block.block);
  ImageStore* mask_store = block->maskStore;
  // The band being merged: picture rows band_y .. band_y + band_n - 1, of
  // which band_done are merged so far.
  std::int32_t band_y = 0, band_n = 0, band_done = 0;
  bool band_changed = false;
  auto commit = [&]() -> OSErr {
    // Measures and colours are written only when some pixel of the band took
    // this picture's; a picture that wins nowhere changes only counts.
    band.countsOnly = !band_changed;
    const OSErr s = CommitJournal(journal.file, band, top + band_y, band_done, count_store.store,
                                  variance_store.store, focus_store.store);
    band_changed = false;
    band_n = band_done = 0;
    return s;
  };

  // The window rotates its row storage: window[i] holds picture row y - 2 + i,
  // clamped to the rectangle; above[i] tells whether it holds a sample above
  // 32768.
  auto* window_rows = static_cast<std::uint16_t*>(window_block.block);
  std::uint16_t* window[kWindowRows];
  bool above[kWindowRows];
  for (int i = 0; i < kWindowRows; ++i) window[i] = window_rows + i * window_row_values;
  const std::size_t window_row_bytes = window_row_values * sizeof(std::uint16_t);
  above[0] = LoadWindowRow<Sample>(colorStore, 0, width, planes, window[0]);
  std::memcpy(window[1], window[0], window_row_bytes);
  std::memcpy(window[2], window[0], window_row_bytes);
  above[1] = above[2] = above[0];
  above[3] = LoadWindowRow<Sample>(colorStore, std::min<std::int32_t>(1, height - 1), width, planes,
                                   window[3]);

  // One pass: each row is counted and merged in memory, and every band of
  // rows reaches the three files together through the journal, so that every
  // pixel is wholly before or wholly after this picture, whenever the run
  // stops. A cancel keeps the rows merged before it.
  std::memset(mask, 255, static_cast<std::size_t>(width));
  for (std::int32_t y = 0; y < height; ++y) {
    ReportProgress(block, y, height);
    if (TestAbort(block)) {
      if (OSErr s = commit(); s != noErr) return s;
      RetireJournal(&journal, &view);
      return userCanceledErr;
    }
    above[4] =
        LoadWindowRow<Sample>(colorStore, std::min(y + 2, height - 1), width, planes, window[4]);
    if (mask_store != nullptr) ReadStoreRow(mask_store, 0, y, width, mask);

    if (y >= y_lo && y < y_hi) {
      if (band_n == 0) {
        band_y = y;
        band_n = std::min(band_rows, y_hi - y);
        if (OSErr s = BeginJournalBand(journal.file); s != noErr) return s;
        if (top + y >= zero_from) {
          const std::size_t pixels = std::size_t(band_n) * std::size_t(set_width);
          std::memset(band.counts(), 0, pixels * kCountElementSize);
          std::memset(band.variances(), 0, pixels * kVarianceElementSize);
          std::memset(band.focus(), 0, pixels * kFocusElementSize);
        } else {
          if (OSErr s = ReadStoreRows(count_store.store, top + y, band_n, band.counts());
              s != noErr)
            return s;
          if (OSErr s = ReadStoreRows(variance_store.store, top + y, band_n, band.variances());
              s != noErr)
            return s;
          if (OSErr s = ReadStoreRows(focus_store.store, top + y, band_n, band.focus()); s != noErr)
            return s;
        }
      }
      if (OSErr e = picture_error(); e != noErr) return e;
      const std::size_t at = std::size_t(y - band_y) * std::size_t(set_width);
      std::uint16_t* counts = band.counts() + at;
      float* variances = band.variances() + at;
      std::uint16_t* focus = band.focus() + at * kWindowChannels;

      // Every selected pixel counts once per Add, win or lose. A count that
      // has reached the field's limit stays there: wrapping to 0 would mark
      // the pixel as never covered.
      if (x_begin < x_end)
        ActiveFocusKernels().countRow(mask + x_begin, counts + left + x_begin, x_end - x_begin);
      const std::uint16_t* const rows[kWindowRows] = {window[0], window[1], window[2], window[3],
                                                      window[4]};
      const bool narrow = !(above[0] || above[1] || above[2] || above[3] || above[4]);
      ActiveFocusKernels().measureRow(rows, width, narrow, measures);
      const std::uint16_t* centre = window[2] + kWindowBorder * kWindowChannels;
      if (x_begin < x_end && ActiveFocusKernels().mergeRow(
                                 mask + x_begin, measures + x_begin,
                                 centre + x_begin * kWindowChannels, variances + left + x_begin,
                                 focus + (left + x_begin) * kWindowChannels, x_end - x_begin))
        band_changed = true;
      if (++band_done == band_n) {
        if (OSErr s = commit(); s != noErr) return s;
      }
    }

    std::uint16_t* oldest = window[0];
    for (int i = 0; i + 1 < kWindowRows; ++i) {
      window[i] = window[i + 1];
      above[i] = above[i + 1];
    }
    window[kWindowRows - 1] = oldest;
  }
  if (OSErr e = picture_error(); e != noErr) return e;
  RetireJournal(&journal, &view);
  return noErr;
}

}  // namespace

OSErr AddToBuffer8(ImageStore* colorStore, ParameterBlock* block, std::uint8_t /*noDialog*/) {
  return AddToBuffer<std::uint8_t>(colorStore, block);
}

OSErr AddToBuffer16(ImageStore* colorStore, ParameterBlock* block, std::uint8_t /*noDialog*/) {
  return AddToBuffer<std::uint16_t>(colorStore, block);
}

namespace focus::test {
void SetAddBandRows(int rows) {
  g_band_rows = rows;
}
}  // namespace focus::test
