// The per-pixel loops of the focus operations, as tables of functions: one
// table per instruction set, the plain C++ one being the reference that every
// other must match bit for bit. The table in use is chosen once, on first use,
// as the widest one that the processor runs.
//
// Adding an instruction set: a kernels_<isa>.cpp that returns its table (or
// null where it is not built), and one line in the choice in kernels.cpp.
#pragma once

#include <cstdint>

#include "plugin/core/cpu_features.h"
#include "plugin/focus/measure.h"

// The range of the covered pixels of the focus buffer, in integers: the
// smallest and largest of all three channel values, and of the per-pixel sums
// of the three. `any` stays false until a covered pixel has been seen.
struct ShowRange {
  bool any = false;
  std::uint32_t lo = 0, hi = 0, sumLo = 0, sumHi = 0;
};

// One row of Show at the buffer's own size: `lanes` output samples per pixel
// (1: the stretched sum of the three channels, 3: each channel stretched).
// A covered pixel's value is (stored + offset) x scale, in double precision;
// an uncovered pixel takes `background`. Values become samples by truncation,
// limited to 0 .. `top` (255 or 32768).
struct ShowRowArgs {
  const std::uint16_t* focus;
  const std::uint16_t* counts;
  std::int32_t width;
  int lanes;
  float offset;
  float scale;
  std::int32_t top;
  std::int32_t background[3];
};

// Show's resampling. Output column x reads source columns first..last:
// reducing (more source columns than output ones), a box filter weighting the
// first by `a`, the last by `b` and those between by 1 (one column alone:
// weight `a`); enlarging, `first` and `last` (the next column, or `first`
// again at the edge) mixed with weight `a` on `last`.
struct ColumnWindow {
  std::int32_t first;
  std::int32_t last;
  double a;
  double b;
};

// One source row resampled across: `real` holds `lanes` real values per source
// pixel and one more value (any) after them, `counts` its coverage. The
// `width` x `lanes` values written are truncated to 0 .. `top`; `out` has room
// for one value more, which may be overwritten.
struct ResampleRowArgs {
  const double* real;
  const std::uint16_t* counts;
  const ColumnWindow* columns;
  std::int32_t width;
  int lanes;
  std::int32_t top;
  const double* background;  // per lane; a reduced window with nothing covered
};

struct FocusKernels {
  cpu::Isa isa;

  // The sharpness measure of every pixel of the centre row (see MeasureRow).
  // `narrow` tells that no sample of the five rows is above 32768 (true of
  // every widened 8-bit row): only such rows fit the vector kernels' signed
  // 16-bit differences, and every other row is measured by the reference. The
  // caller checks each row once, as it enters the window (AnySampleAbove32768).
  void (*measureRow)(const std::uint16_t* const rows[kWindowRows], std::int32_t width, bool narrow,
                     std::uint64_t* out);

  // Widens, in place, a row of 8-bit samples into the window's layout. The
  // packed samples (planes 1 or 3 per pixel) start at byte kWindowBorder x
  // planes of `window`; pixel j's three 16-bit channels end at window value
  // (j + kWindowBorder) x 3. A sample s becomes (257 s + 1) / 2 (0..32768); a
  // grey sample fills all three channels. Borders are not touched.
  void (*widenRow8)(std::uint16_t* window, std::int32_t width, int planes);
  // The same for a 16-bit grey row (samples unchanged, repeated three times);
  // its packed samples start at value kWindowBorder.
  void (*widenGreyRow16)(std::uint16_t* window, std::int32_t width);

  // Counting one row: where mask[i] >= 128, counts[i] goes up by one
  // unless it is already 65535. True when any count changed.
  bool (*countRow)(const std::uint8_t* mask, std::uint16_t* counts, std::int32_t n);
  // Merging one row of n pixels: pixel i takes the picture's measure and
  // colour where mask[i] >= 128 and its stored measure is 0.0 or, as a double,
  // strictly below measures[i] (so on equal measures the earlier picture keeps
  // it). The stored measure becomes float(double(measures[i])), the three
  // focus values those of `colour`. Measures are below 2^52. True when any
  // pixel took the picture's.
  bool (*mergeRow)(const std::uint8_t* mask, const std::uint64_t* measures,
                   const std::uint16_t* colour, float* variances, std::uint16_t* focus,
                   std::int32_t n);

  // Show's range pass over one buffer row of n pixels, folded into `range`.
  void (*rangeRow)(const std::uint16_t* focus, const std::uint16_t* counts, std::int32_t n,
                   ShowRange* range);
  // Show's output row at equal sizes, for 8-bit and 16-bit pictures.
  void (*showRow8)(const ShowRowArgs& args, std::uint8_t* out);
  void (*showRow16)(const ShowRowArgs& args, std::uint16_t* out);

  // Show's resampling across: linear interpolation between the two columns
  // (or the first one's value when neither is covered), + 0.5 before the
  // truncation; and the box filter over the covered columns of the window.
  void (*enlargeRow)(const ResampleRowArgs& args, std::int32_t* out);
  void (*reduceRow)(const ResampleRowArgs& args, std::int32_t* out);
  // And down: acc[i] = float(double(acc[i]) + double(row[i]) x weight); then
  // each sample is double(acc[i]) x inverse truncated to 0 .. top.
  void (*blendRow)(float* acc, const std::int32_t* row, std::int32_t n, double weight);
  void (*finishRow8)(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                     std::uint8_t* out);
  void (*finishRow16)(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                      std::uint16_t* out);
};

// The reference kernels (MeasureRow is the measure's).
void WidenRow8Reference(std::uint16_t* window, std::int32_t width, int planes);
void WidenGreyRow16Reference(std::uint16_t* window, std::int32_t width);
bool CountRowReference(const std::uint8_t* mask, std::uint16_t* counts, std::int32_t n);
bool MergeRowReference(const std::uint8_t* mask, const std::uint64_t* measures,
                       const std::uint16_t* colour, float* variances, std::uint16_t* focus,
                       std::int32_t n);
void RangeRowReference(const std::uint16_t* focus, const std::uint16_t* counts, std::int32_t n,
                       ShowRange* range);
void ShowRow8Reference(const ShowRowArgs& args, std::uint8_t* out);
void ShowRow16Reference(const ShowRowArgs& args, std::uint16_t* out);
void EnlargeRowReference(const ResampleRowArgs& args, std::int32_t* out);
void ReduceRowReference(const ResampleRowArgs& args, std::int32_t* out);
void BlendRowReference(float* acc, const std::int32_t* row, std::int32_t n, double weight);
void FinishRow8Reference(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                         std::uint8_t* out);
void FinishRow16Reference(const float* acc, std::int32_t n, double inverse, std::int32_t top,
                          std::uint16_t* out);
// A real value as a sample of 0 .. top, truncated; what every Show kernel does.
inline std::int32_t ShowSample(double value, std::int32_t top) {
  if (!(value > 0.0)) return 0;
  if (value >= top) return top;
  return static_cast<std::int32_t>(value);
}

// The table in use.
const FocusKernels& ActiveFocusKernels();

// The table of one instruction set, or null when it is not built for this
// architecture or the processor cannot run it.
const FocusKernels* FocusKernelsFor(cpu::Isa isa);

// The tables of each instruction set; null where not built here.
const FocusKernels* ScalarFocusKernels();
const FocusKernels* Sse2FocusKernels();
const FocusKernels* Avx2FocusKernels();
const FocusKernels* Avx512FocusKernels();

namespace focus::test {
// Makes `kernels` the table in use (null: back to the processor's choice).
void UseFocusKernels(const FocusKernels* kernels);
}  // namespace focus::test
