// "Add To Buffer": merges the current picture into the focus buffer set.
//
// The picture streams through a five-row window, one row read per picture row;
// the buffer files are read and written by whole rows. Working memory grows
// with the widths of the picture and of the set, never with their heights.
#include <algorithm>
#include <cstring>

#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/kernels.h"
#include "plugin/focus/measure.h"
#include "plugin/focus/operations.h"
#include "plugin/focus/support.h"
#include "plugin/params/parameter_block.h"
#include "plugin/storage/store.h"

namespace {

// The count pass, the row widening (an 8-bit sample v goes on the buffer's
// scale as (257 v + 1) / 2) and the measure are the kernels of kernels.h.

// A mask byte of 128 or more selects its pixel.
constexpr std::uint8_t kSelected = 128;

// Reads picture row `row` into a window row and widens it to three 16-bit
// channels per pixel at window positions 2 .. width + 1, then repeats the edge
// pixels into the borders.
//
// The samples are read into the window row's own storage, at the byte where
// pixel 2 would start if they were packed, and converted from the last pixel to
// the first: a pixel's converted form never lies before its packed form, so no
// sample is overwritten before it has been converted.
template <typename Sample>
void LoadWindowRow(ImageStore* colorStore, std::int32_t row, std::int32_t width, int planes,
                   std::uint16_t* window) {
  const std::int32_t pixel_bytes = planes * static_cast<std::int32_t>(sizeof(Sample));
  auto* packed = reinterpret_cast<std::uint8_t*>(window) + kWindowBorder * pixel_bytes;
  ReadStoreRow(colorStore, 0, row, width * pixel_bytes, packed);

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

  const std::uint64_t window_row_values =
      std::uint64_t(width + 2 * kWindowBorder) * kWindowChannels;
  BlockGuard window_block(NewWorkingRow(kWindowRows * window_row_values * sizeof(std::uint16_t)));
  BlockGuard mask_block(NewWorkingRow(std::uint64_t(width)));
  BlockGuard measure_block(NewWorkingRow(std::uint64_t(width) * sizeof(std::uint64_t)));
  BlockGuard count_block(NewWorkingRow(std::uint64_t(set_width) * kCountElementSize));
  BlockGuard variance_block(NewWorkingRow(std::uint64_t(set_width) * kVarianceElementSize));
  BlockGuard focus_block(NewWorkingRow(std::uint64_t(set_width) * kFocusElementSize));
  if (window_block.block == nullptr || mask_block.block == nullptr ||
      measure_block.block == nullptr || count_block.block == nullptr ||
      variance_block.block == nullptr || focus_block.block == nullptr)
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

  // The rectangle lies inside the set after sizing; clipping to the set anyway
  // keeps a host's odd rectangle from addressing anything outside the files.
  const std::int32_t x_begin = std::clamp<std::int32_t>(-left, 0, width);
  const std::int32_t x_end = std::clamp<std::int32_t>(set_width - left, x_begin, width);
  auto row_in_set = [&](std::int32_t y) { return top + y >= 0 && top + y < set_height; };

  // In file mode a row that could not be read or written is only known
  // afterwards: every row is checked before its content is used or merged,
  // so a failed read is never written back as if it were buffer content.
  auto row_error = [&]() -> OSErr {
    const ImageStore* const stores[] = {count_store.store, variance_store.store, focus_store.store,
                                        colorStore, block->maskStore};
    for (const ImageStore* s : stores) {
      if (OSErr e = StoreRowError(s); e != noErr) return e;
    }
    return noErr;
  };

  auto* mask = static_cast<std::uint8_t*>(mask_block.block);
  auto* counts = static_cast<std::uint16_t*>(count_block.block);
  auto* variances = static_cast<float*>(variance_block.block);
  auto* focus = static_cast<std::uint16_t*>(focus_block.block);
  auto* measures = static_cast<std::uint64_t*>(measure_block.block);
  ImageStore* mask_store = block->maskStore;

  // Count pass: every selected pixel counts once per Add, win or lose.
  std::memset(mask, 255, static_cast<std::size_t>(width));
  for (std::int32_t y = 0; y < height; ++y) {
    ReportProgress(block, y, 2 * height);
    if (TestAbort(block)) return userCanceledErr;
    if (mask_store != nullptr) ReadStoreRow(mask_store, 0, y, width, mask);
    if (!row_in_set(y)) continue;
    ReadStoreRow(count_store.store, 0, top + y, set_width * kCountElementSize, counts);
    if (OSErr e = row_error(); e != noErr) return e;
    // A count that has reached the field's limit stays there: wrapping to 0
    // would mark the pixel as never covered.
    const bool changed =
        x_begin < x_end &&
        ActiveFocusKernels().countRow(mask + x_begin, counts + left + x_begin, x_end - x_begin);
    if (changed)
      WriteStoreRow(count_store.store, 0, top + y, set_width * kCountElementSize, counts);
  }

  // Selection pass. The window rotates its row storage: window[i] holds picture
  // row y - 2 + i, clamped to the rectangle.
  auto* window_rows = static_cast<std::uint16_t*>(window_block.block);
  std::uint16_t* window[kWindowRows];
  for (int i = 0; i < kWindowRows; ++i) window[i] = window_rows + i * window_row_values;
  const std::size_t window_row_bytes = window_row_values * sizeof(std::uint16_t);
  LoadWindowRow<Sample>(colorStore, 0, width, planes, window[0]);
  std::memcpy(window[1], window[0], window_row_bytes);
  std::memcpy(window[2], window[0], window_row_bytes);
  LoadWindowRow<Sample>(colorStore, std::min<std::int32_t>(1, height - 1), width, planes,
                        window[3]);

  std::memset(mask, 255, static_cast<std::size_t>(width));
  for (std::int32_t y = 0; y < height; ++y) {
    ReportProgress(block, height + y, 2 * height);
    if (TestAbort(block)) return userCanceledErr;
    LoadWindowRow<Sample>(colorStore, std::min(y + 2, height - 1), width, planes, window[4]);
    if (mask_store != nullptr) ReadStoreRow(mask_store, 0, y, width, mask);

    if (row_in_set(y)) {
      ReadStoreRow(variance_store.store, 0, top + y, set_width * kVarianceElementSize, variances);
      ReadStoreRow(focus_store.store, 0, top + y, set_width * kFocusElementSize, focus);
      if (OSErr e = row_error(); e != noErr) return e;
      const std::uint16_t* const rows[kWindowRows] = {window[0], window[1], window[2], window[3],
                                                      window[4]};
      ActiveFocusKernels().measureRow(rows, width, measures);
      // Winners fall at random across a row, so the choice is made without
      // branches: every pixel is written back, with its old or its new value.
      bool changed = false;
      const std::uint16_t* centre = window[2] + kWindowBorder * kWindowChannels;
      for (std::int32_t x = x_begin; x < x_end; ++x) {
        const float stored = variances[left + x];
        // The measure is at most 60 x 65535^2, so the double holds it exactly;
        // going through the signed type gives the same value with the
        // processor's one-instruction conversion (unsigned 64-bit has none
        // before AVX-512).
        const double measure = static_cast<double>(static_cast<std::int64_t>(measures[x]));
        // A stored 0.0 always gives way; otherwise only a strictly sharper
        // picture wins, so on equal measures the earlier picture keeps the pixel.
        const bool wins =
            (mask[x] >= kSelected) & ((stored == 0.0f) | (static_cast<double>(stored) < measure));
        variances[left + x] = wins ? static_cast<float>(measure) : stored;
        std::uint16_t* to = focus + (left + x) * kWindowChannels;
        const std::uint16_t* from = centre + x * kWindowChannels;
        for (int c = 0; c < kWindowChannels; ++c) to[c] = wins ? from[c] : to[c];
        changed |= wins;
      }
      if (changed) {
        // Colours first: when a write fails part-way, a pixel may hold the new
        // colour with the old measure, which adding the picture again repairs,
        // but never the new measure with the old colour, which would keep the
        // wrong colour against every later picture.
        WriteStoreRow(focus_store.store, 0, top + y, set_width * kFocusElementSize, focus);
        if (OSErr e = row_error(); e != noErr) return e;
        WriteStoreRow(variance_store.store, 0, top + y, set_width * kVarianceElementSize,
                      variances);
      }
    }

    std::uint16_t* oldest = window[0];
    for (int i = 0; i + 1 < kWindowRows; ++i) window[i] = window[i + 1];
    window[kWindowRows - 1] = oldest;
  }
  return row_error();
}

}  // namespace

OSErr AddToBuffer8(ImageStore* colorStore, ParameterBlock* block, std::uint8_t /*noDialog*/) {
  return AddToBuffer<std::uint8_t>(colorStore, block);
}

OSErr AddToBuffer16(ImageStore* colorStore, ParameterBlock* block, std::uint8_t /*noDialog*/) {
  return AddToBuffer<std::uint16_t>(colorStore, block);
}
