// "Show Buffer Contents": writes the composite that the focus buffer holds into
// the colour store, stretched so that the darkest and brightest values held
// span the whole output range, and resampled when the buffer's size differs
// from the filter rectangle's. Uncovered pixels (count 0) take the host's
// background colour.
//
// The buffer is read twice, once for the range and once for the output, a
// strip of rows per system call. Memory holds at most one strip of buffer rows
// of each kind, one strip of output rows and, when resampling, one resampled
// row and one accumulator row.
//
// Numeric conventions: the ratios, window ends, positions and the accumulator
// row are single precision; every product and sum is formed in double
// precision; a real value becomes an output sample by truncation toward zero.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/kernels.h"
#include "plugin/focus/operations.h"
#include "plugin/focus/support.h"
#include "plugin/params/parameter_block.h"
#include "plugin/storage/store.h"

namespace {

constexpr char kNoBufferMessage[] =
    "You must add images into the buffer before their average can be shown.";
constexpr int kNoticeSize = 256;

// Rows moved per store read or write: about this many bytes of focus buffer
// rows, at most kMaxStripRows rows.
constexpr std::int64_t kStripBytes = 256 * 1024;
constexpr std::int32_t kMaxStripRows = 64;

std::int32_t StripRows(std::int64_t rowBytes, std::int32_t rows) {
  const std::int64_t fit = kStripBytes / std::max<std::int64_t>(rowBytes, 1);
  return std::int32_t(std::clamp<std::int64_t>(fit, 1, std::min(rows, kMaxStripRows)));
}

// What differs between the two channel widths.
struct Show8 {
  using Sample = std::uint8_t;
  static constexpr float kTop = 255.49f;
  // 1/128.5 and 1/385.5 in single precision: a flat buffer maps its 0..32768
  // scale (three channels summed, for grey) straight onto 0..255.
  static constexpr float kFlatColourScale = static_cast<float>(1.0 / 128.5);
  static constexpr float kFlatGreyScale = static_cast<float>(1.0 / 385.5);
  static constexpr std::int32_t kMaxSample = 255;
  static double Background(std::uint8_t byte) { return byte; }
};

struct Show16 {
  using Sample = std::uint16_t;
  static constexpr float kTop = 32768.49f;
  static constexpr float kFlatColourScale = 1.0f;
  static constexpr float kFlatGreyScale = static_cast<float>(1.0 / 3.0);
  static constexpr std::int32_t kMaxSample = 32768;
  // The host's background byte on the 0..32768 scale, kept real: it is
  // truncated only where it becomes a stored sample (255 gives 32767).
  static double Background(std::uint8_t byte) { return byte * 128.5; }
};

// A real value as an output sample. Values of a well-formed buffer already lie
// in 0..max; the bounds only keep a damaged buffer (samples beyond the host's
// scale) from wrapping around in the narrow output type.
template <typename Traits>
std::int32_t ToSample(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= Traits::kMaxSample) return Traits::kMaxSample;
  return static_cast<std::int32_t>(value);
}

// Offset and scale of the stretch: value = (stored + offset) x scale.
struct Stretch {
  float offset;
  float scale;
};

// The smallest and largest covered values over all three channels, and of the
// per-pixel channel sums, as the range pass folds them.
struct Range {
  float lo = 1.0e9f;
  float hi = -1.0e9f;
  float sumLo = 1.0e9f;
  float sumHi = -1.0e9f;
};

template <typename Traits>
Stretch StretchFor(const Range& range, bool grey) {
  const float lo = grey ? range.sumLo : range.lo;
  const float hi = grey ? range.sumHi : range.hi;
  if (lo == hi) return Stretch{0.0f, grey ? Traits::kFlatGreyScale : Traits::kFlatColourScale};
  // With nothing covered this still divides (by -2e9); nothing uses it then.
  return Stretch{-lo, static_cast<float>(double(Traits::kTop) / (double(hi) - double(lo)))};
}

// One buffer row as the operation sees it: the pixel values of covered pixels,
// the background elsewhere. `lanes` is 1 for grey pictures (the stretched sum
// of the three channels) and 3 for colour.
struct SourceRow {
  const std::uint16_t* focus;
  const std::uint16_t* counts;
  int lanes;
  Stretch stretch;
  const double* background;

  bool Covered(std::int32_t x) const { return counts[x] != 0; }
  // The real value of lane k of pixel x, covered or not.
  double Value(std::int32_t x, int k) const {
    if (!Covered(x)) return background[k];
    const std::uint16_t* c = focus + 3 * x;
    if (lanes == 1) {
      return (double(c[0]) + double(c[1]) + double(c[2]) + double(stretch.offset)) *
             double(stretch.scale);
    }
    return (double(c[k]) + double(stretch.offset)) * double(stretch.scale);
  }
};

// Where each output column reads from, the same for every row: computed once
// per run from the single-precision positions.
void ReducedColumns(std::int32_t bw, std::int32_t w, float rx, ColumnWindow* columns) {
  for (std::int32_t x = 0; x < w; ++x) {
    float x0 = static_cast<float>(double(x) * double(rx));
    float x1 = static_cast<float>((double(x) + 0.99999) * double(rx));
    if (x1 >= float(bw)) x1 = static_cast<float>(double(bw) - 0.00001);
    if (x0 < 0.0f) x0 = 0.0f;
    // bw - 0.00001 rounds up to bw itself once bw needs more than 17 bits of
    // float mantissa precision; the last column is still the last one read.
    const std::int32_t ix1 = std::min<std::int32_t>(static_cast<std::int32_t>(x1), bw - 1);
    const std::int32_t ix0 = std::min<std::int32_t>(static_cast<std::int32_t>(x0), ix1);
    ColumnWindow& c = columns[x];
    c.first = ix0;
    c.last = ix1;
    c.a = ix0 == ix1 ? double(x1) - double(x0) : 1.0 - (double(x0) - double(ix0));
    c.b = double(x1) - double(ix1);
  }
}

void EnlargedColumns(std::int32_t bw, std::int32_t w, float rx, ColumnWindow* columns) {
  for (std::int32_t x = 0; x < w; ++x) {
    float fx = static_cast<float>(double(x) * double(rx) - 0.25);
    if (fx < 0.0f) fx = 0.0f;
    const std::int32_t ix = std::min<std::int32_t>(static_cast<std::int32_t>(fx), bw - 1);
    columns[x] = {ix, std::min<std::int32_t>(ix + 1, bw - 1), double(fx) - double(ix), 0.0};
  }
}

// The real value of every lane of every pixel of one source row.
void RealRow(const SourceRow& src, std::int32_t bw, double* real) {
  for (std::int32_t x = 0; x < bw; ++x)
    for (int k = 0; k < src.lanes; ++k) real[x * src.lanes + k] = src.Value(x, k);
}

// "The size of the averaging buffer is (bw x bh) pixels.  Use that for best
// results."
void ShowSizeNotice(std::int16_t bw, std::int16_t bh) {
  char number[16];
  char text[kNoticeSize];
  auto append_number = [&](std::int32_t n) {
    const auto end = std::to_chars(number, number + sizeof number - 1, n).ptr;
    *end = '\0';
    JoinStrings(text, number, text, kNoticeSize);
  };
  CopyBounded("The size of the averaging buffer is (", text, kNoticeSize);
  append_number(bw);
  JoinStrings(text, " x ", text, kNoticeSize);
  append_number(bh);
  JoinStrings(text, ") pixels.  Use that for best results.", text, kNoticeSize);
  ShowMessage(text);
}

// The buffer as Show needs it: a focus buffer of 6-byte elements and a count
// buffer of 2-byte elements of the same, non-empty size. The variance buffer
// plays no part here.
FocusBufferState CheckShowBuffers(std::int16_t* bw, std::int16_t* bh, OSErr* status) {
  StoreHeader focus{}, count{};
  const FocusBufferState focus_state = ReadFocusBufferHeader(kFocusBufferPath, &focus, status);
  if (focus_state == FocusBufferState::kUnavailable) return focus_state;
  const FocusBufferState count_state = ReadFocusBufferHeader(kCountBufferPath, &count, status);
  if (count_state == FocusBufferState::kUnavailable) return count_state;
  if (focus_state != FocusBufferState::kValid || count_state != FocusBufferState::kValid)
    return FocusBufferState::kInvalid;
  if (focus.elementSize != kFocusElementSize) return FocusBufferState::kInvalid;
  if (count.width != focus.width || count.height != focus.height ||
      count.elementSize != kCountElementSize)
    return FocusBufferState::kInvalid;
  // Add never writes an empty buffer; one would leave nothing to resample from.
  if (focus.width <= 0 || focus.height <= 0) return FocusBufferState::kInvalid;
  *bw = focus.width;
  *bh = focus.height;
  return FocusBufferState::kValid;
}

// Opens a buffer file and makes sure it has the size its header promised when
// checked, so that no row or column outside it is ever addressed.
OSErr OpenShowStore(const char* path, std::int16_t bw, std::int16_t bh, std::int16_t elementSize,
                    StoreGuard* guard) {
  if (OSErr s = OpenImageStore(path, &guard->store); s != noErr) {
    guard->store = nullptr;
    return s;
  }
  StoreHeader header{};
  GetStoreHeader(guard->store, &header);
  if (header.width != bw || header.height != bh || header.elementSize != elementSize) return ioErr;
  return noErr;
}

template <typename Traits>
OSErr ShowBufferContents(ImageStore* colorStore, ParameterBlock* block, std::uint8_t noDialog) {
  if (block == nullptr) return filterBadParameters;
  const std::int32_t w = block->width;
  const std::int32_t h = block->height;
  const int lanes = block->colorPlanes == 1 ? 1 : 3;
  const bool grey = lanes == 1;
  double background[3] = {0.0, 0.0, 0.0};
  if (const FilterRecord* record = block->filterRecord; record != nullptr) {
    for (int k = 0; k < lanes; ++k) background[k] = Traits::Background(record->backColor[k]);
  }

  // A growth or a band of rows that an interrupted Add left unfinished is
  // finished first, so that the composite never shows half of it.
  if (OSErr s = RecoverFocusBufferSet(); s != noErr) return s;
  std::int16_t bw16 = 0, bh16 = 0;
  OSErr check_status = noErr;
  const FocusBufferState state = CheckShowBuffers(&bw16, &bh16, &check_status);
  // A buffer file that exists but cannot be read now (held by another run, a
  // failing disk) is reported; deleting the set then would lose the stack.
  if (state == FocusBufferState::kUnavailable) return check_status;
  if (state != FocusBufferState::kValid) {
    DeleteFocusBufferSet();
    ShowMessage(kNoBufferMessage);
    return noErr;
  }
  const std::int32_t bw = bw16;
  const std::int32_t bh = bh16;
  // An empty rectangle has no pixel to write.
  if (w <= 0 || h <= 0) return noErr;

  if (noDialog == 0 && (bw != w || bh != h)) ShowSizeNotice(bw16, bh16);

  const bool resample = bw != w || bh != h;
  const std::int32_t row_values = w * lanes;
  const std::int32_t output_bytes = row_values * std::int32_t(sizeof(typename Traits::Sample));
  const std::int32_t strip = StripRows(std::int64_t(bw) * kFocusElementSize, bh);
  const std::int32_t out_strip = resample ? StripRows(output_bytes, h) : strip;
  BlockGuard focus_block(NewWorkingRow(std::uint64_t(bw) * kFocusElementSize * strip));
  BlockGuard count_block(NewWorkingRow(std::uint64_t(bw) * kCountElementSize * strip));
  BlockGuard output_block(NewWorkingRow(std::uint64_t(output_bytes) * out_strip));
  // Resampling keeps the two latest resampled rows (an enlarged picture's
  // next output row mostly needs the same two source rows), the real values
  // of one source row, the accumulator row and where each column reads from.
  // A resampled row has room for one value more, which the kernels may write.
  const std::int32_t row_stride = row_values + 1;
  BlockGuard values_block(
      NewWorkingRow(std::uint64_t(row_stride) * sizeof(std::int32_t) * (resample ? 2 : 1)));
  BlockGuard acc_block(resample ? NewWorkingRow(std::uint64_t(row_values) * sizeof(float))
                                : nullptr);
  // And the real values have one value more, which the kernels may read.
  BlockGuard real_block(resample ? NewWorkingRow((std::uint64_t(bw) * lanes + 1) * sizeof(double))
                                 : nullptr);
  BlockGuard columns_block(
      resample && bw != w ? NewWorkingRow(std::uint64_t(w) * sizeof(ColumnWindow)) : nullptr);
  if (focus_block.block == nullptr || count_block.block == nullptr ||
      output_block.block == nullptr || values_block.block == nullptr ||
      (resample && (acc_block.block == nullptr || real_block.block == nullptr)) ||
      (resample && bw != w && columns_block.block == nullptr))
    return memFullErr;

  // Both files must open: a composite drawn without its colours (or without
  // knowing which pixels are covered) would be written back as if it were the
  // picture, so either failure ends the operation with its status.
  StoreGuard focus_store, count_store;
  if (OSErr s = OpenShowStore(kFocusBufferPath, bw16, bh16, kFocusElementSize, &focus_store);
      s != noErr)
    return s;
  if (OSErr s = OpenShowStore(kCountBufferPath, bw16, bh16, kCountElementSize, &count_store);
      s != noErr)
    return s;

  auto* focus = static_cast<std::uint16_t*>(focus_block.block);
  auto* counts = static_cast<std::uint16_t*>(count_block.block);
  auto* values = static_cast<std::int32_t*>(values_block.block);
  auto* acc = static_cast<float*>(acc_block.block);
  void* output = output_block.block;
  const std::int32_t focus_bytes = bw * kFocusElementSize;
  const std::int32_t count_bytes = bw * kCountElementSize;
  // Rows [row, row + strip) clipped to the buffer, each kind into its strip.
  auto read_strip = [&](std::int32_t row) {
    const std::int32_t n = std::min(strip, bh - row);
    ReadStoreRows(focus_store.store, 0, row, n, focus_bytes, focus);
    ReadStoreRows(count_store.store, 0, row, n, count_bytes, counts);
  };

  // Range pass: one range for all three channels, another for their sums.
  // The kernel folds the range in integers; every value and sum is below 2^24,
  // so the floats are those the comparisons in single precision would give.
  const FocusKernels& kernels = ActiveFocusKernels();
  ShowRange found;
  for (std::int32_t r = 0; r < bh; ++r) {
    ReportProgress(block, r, 2 * h);
    if (TestAbort(block)) return userCanceledErr;
    const std::int32_t i = r % strip;
    if (i == 0) read_strip(r);
    kernels.rangeRow(focus + std::size_t(i) * bw * 3, counts + std::size_t(i) * bw, bw, &found);
  }
  Range range;
  if (found.any) {
    range.lo = float(found.lo);
    range.hi = float(found.hi);
    range.sumLo = float(found.sumLo);
    range.sumHi = float(found.sumHi);
  }
  // A buffer row that could not be read (file mode) would give a wrong range
  // and a wrong composite: the run fails and the picture stays as it was.
  auto row_error = [&]() -> OSErr {
    if (OSErr e = StoreRowError(focus_store.store); e != noErr) return e;
    if (OSErr e = StoreRowError(count_store.store); e != noErr) return e;
    return StoreRowError(colorStore);
  };
  if (OSErr e = row_error(); e != noErr) return e;
  const SourceRow src{focus, counts, lanes, StretchFor<Traits>(range, grey), background};

  if (!resample) {
    ShowRowArgs args{
        focus,    counts, w, lanes, src.stretch.offset, src.stretch.scale, Traits::kMaxSample,
        {0, 0, 0}};
    for (int k = 0; k < lanes; ++k) args.background[k] = ToSample<Traits>(background[k]);
    auto* out = static_cast<typename Traits::Sample*>(output);
    for (std::int32_t y = 0; y < h; ++y) {
      ReportProgress(block, h + y, 2 * h);
      if (TestAbort(block)) {
        // The rows done before the cancel are kept, as the host shows them.
        WriteStoreRows(colorStore, 0, y - y % strip, y % strip, output_bytes, out);
        return userCanceledErr;
      }
      const std::int32_t i = y % strip;
      if (i == 0) read_strip(y);
      args.focus = focus + std::size_t(i) * bw * 3;
      args.counts = counts + std::size_t(i) * bw;
      auto* out_row = out + std::size_t(i) * row_values;
      if constexpr (sizeof(typename Traits::Sample) == 1) {
        kernels.showRow8(args, out_row);
      } else {
        kernels.showRow16(args, out_row);
      }
      if (i == strip - 1 || y == h - 1)
        WriteStoreRows(colorStore, 0, y - i, i + 1, output_bytes, out);
    }
    return row_error();
  }

  const float rx = static_cast<float>(double(bw) / double(w));
  const float ry = static_cast<float>(double(bh) / double(h));
  auto* columns = static_cast<ColumnWindow*>(columns_block.block);
  if (bw > w) ReducedColumns(bw, w, rx, columns);
  if (bw < w) EnlargedColumns(bw, w, rx, columns);
  auto* real = static_cast<double*>(real_block.block);
  real[bw * lanes] = 0.0;
  auto* out = static_cast<typename Traits::Sample*>(output);
  // The source strip in memory, and which source row each resampled row holds.
  std::int32_t strip_first = -1;
  std::int32_t cached[2] = {-1, -1};
  int newest = 0;
  // Source row sy resampled to the output width, computed once while cached.
  auto resampled = [&](std::int32_t sy) -> const std::int32_t* {
    for (int s = 0; s < 2; ++s)
      if (cached[s] == sy) {
        newest = s;
        return values + std::size_t(s) * row_stride;
      }
    if (strip_first < 0 || sy < strip_first || sy >= strip_first + strip) {
      read_strip(sy);
      strip_first = sy;
    }
    SourceRow row = src;
    row.focus = focus + std::size_t(sy - strip_first) * bw * 3;
    row.counts = counts + std::size_t(sy - strip_first) * bw;
    newest = 1 - newest;
    cached[newest] = sy;
    std::int32_t* target = values + std::size_t(newest) * row_stride;
    RealRow(row, bw, real);
    const ResampleRowArgs args{real, row.counts, columns, w, lanes, Traits::kMaxSample, background};
    if (bw == w) {
      for (std::int32_t i = 0; i < row_values; ++i) target[i] = ToSample<Traits>(real[i]);
    } else if (bw > w) {
      kernels.reduceRow(args, target);
    } else {
      kernels.enlargeRow(args, target);
    }
    return target;
  };
  for (std::int32_t y = 0; y < h; ++y) {
    float y0, y1;
    if (ry >= 1.0f) {
      y0 = static_cast<float>(double(y) * double(ry));
      y1 = static_cast<float>((double(y) + 0.99999) * double(ry));
    } else {
      y0 = static_cast<float>(double(y) * double(ry) - 0.25);
      y1 = static_cast<float>(double(y) * double(ry) + 0.75);
    }
    if (y0 < 0.0f) y0 = 0.0f;
    if (y1 >= float(bh)) y1 = static_cast<float>(double(bh) - 0.00001);
    std::int32_t iy1 = std::min<std::int32_t>(static_cast<std::int32_t>(y1), bh - 1);
    std::int32_t iy0 = std::min<std::int32_t>(static_cast<std::int32_t>(y0), iy1);
    // With equal heights each output row is its own source row. The window end
    // y + 0.99999 rounds up to y + 1 in single precision from row 256 on, which
    // would otherwise let the next row replace this one.
    if (bh == h) iy0 = iy1 = y;

    std::fill(acc, acc + row_values, 0.0f);
    double weight_total = 0.0;
    ReportProgress(block, h + y, 2 * h);
    if (TestAbort(block)) {
      // The rows done before the cancel are kept, as the host shows them.
      WriteStoreRows(colorStore, 0, y - y % out_strip, y % out_strip, output_bytes, out);
      return userCanceledErr;
    }

    for (std::int32_t sy = iy0; sy <= iy1; ++sy) {
      const std::int32_t* row = resampled(sy);
      if (bh == h) {
        for (std::int32_t i = 0; i < row_values; ++i) acc[i] = float(row[i]);
        weight_total = 1.0;
        continue;
      }
      double v = 1.0;
      if (sy == iy0) v = 1.0 - (double(y0) - double(sy));
      if (sy == iy1) v = double(y1) - double(sy);
      if (iy0 == iy1) v = double(y1) - double(y0);
      weight_total += v;
      kernels.blendRow(acc, row, row_values, v);
    }

    const double inverse = 1.0 / weight_total;
    const std::int32_t i = y % out_strip;
    auto* out_row = out + std::size_t(i) * row_values;
    if constexpr (sizeof(typename Traits::Sample) == 1) {
      kernels.finishRow8(acc, row_values, inverse, Traits::kMaxSample, out_row);
    } else {
      kernels.finishRow16(acc, row_values, inverse, Traits::kMaxSample, out_row);
    }
    if (i == out_strip - 1 || y == h - 1)
      WriteStoreRows(colorStore, 0, y - i, i + 1, output_bytes, out);
  }
  return row_error();
}

}  // namespace

OSErr ShowBufferContents8(ImageStore* colorStore, ParameterBlock* block, std::uint8_t noDialog) {
  return ShowBufferContents<Show8>(colorStore, block, noDialog);
}

OSErr ShowBufferContents16(ImageStore* colorStore, ParameterBlock* block, std::uint8_t noDialog) {
  return ShowBufferContents<Show16>(colorStore, block, noDialog);
}
