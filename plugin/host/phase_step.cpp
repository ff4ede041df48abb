// The image transfer driver. Rows arrive interleaved (colour samples, then the
// extra samples, per pixel); on the way in they are split into the colour store
// and the transparency store, on the way out they are put back together. Both
// happen in place in the host's row buffers, so the only heap buffer that grows
// with the image is the one-row scratch buffer.
#include "plugin/host/phase_step.h"

#include <cstddef>
#include <cstring>

#include "plugin/core/strings.h"
#include "plugin/host/processing_phase.h"
#include "plugin/host/test_hooks.h"
#include "plugin/storage/store.h"

namespace {

// Stores hold width, height and element size as signed 16-bit values.
constexpr std::int32_t kMaxStoreDimension = 32767;

// White on each scale; fully transparent pixels reach the operation as white.
constexpr std::uint8_t kWhite8 = 255;
constexpr std::uint16_t kWhite16 = 32768;

hosttest::RunStore g_failing_store = hosttest::RunStore::kNone;
OSErr g_failing_status = noErr;

OSErr InjectedFailure(hosttest::RunStore store) {
  if (g_failing_store != store) return noErr;
  return g_failing_status;
}

[[nodiscard]] OSErr CreateRunStore(hosttest::RunStore which, const RunGeometry& g,
                                   std::int32_t elementSize, ImageStore** store) {
  *store = nullptr;
  if (OSErr injected = InjectedFailure(which); injected != noErr) return injected;
  const auto w = static_cast<std::int16_t>(g.width);
  const auto h = static_cast<std::int16_t>(g.height);
  const auto e = static_cast<std::int16_t>(elementSize);
  switch (which) {
    case hosttest::RunStore::kColor:
      return CreateColorStore(w, h, e, store);
    case hosttest::RunStore::kTransparency:
      return CreateTransparencyStore(w, h, e, store);
    case hosttest::RunStore::kMask:
      return CreateMaskStore(w, h, e, store);
    case hosttest::RunStore::kNone:
      break;
  }
  return filterBadParameters;
}

void EmptyRequest(Rect* rect) {
  SetRectangle(rect, 0, 0, 0, 0);
}

// Ends the run with `status` as the result of this step.
void FailRun(RunState* state, OSErr status) {
  CleanUpRun(state);
  state->result = status;
}

// The first row error of the run's stores. A store worked through positioned
// reads and writes can fail on any row, and a row that did not arrive must end
// the run rather than reach the operation or the host as picture content.
OSErr RunStoresRowError(const RunState* state) {
  const ImageStore* const stores[] = {state->colorStore, state->transparencyStore,
                                      state->maskStore};
  for (const ImageStore* store : stores) {
    if (OSErr e = StoreRowError(store); e != noErr) return e;
  }
  return noErr;
}

void ReportRowProgress(const FilterRecord* record, std::int32_t done, std::int32_t total) {
  if (record->progressProc != nullptr) record->progressProc(done, total);
}

// The row the host has just delivered, or -1 when the request it answers is
// not a row of the filter rectangle.
std::int32_t DeliveredRow(const FilterRecord* record, const RunGeometry& g) {
  const std::int32_t row = std::int32_t(record->outRect.top) - record->filterRect.top;
  return row >= 0 && row < g.height ? row : -1;
}

template <typename Sample>
Sample LoadSample(const std::uint8_t* samples, std::size_t index) {
  Sample value;
  std::memcpy(&value, samples + index * sizeof(Sample), sizeof(Sample));
  return value;
}

template <typename Sample>
void StoreSample(std::uint8_t* samples, std::size_t index, Sample value) {
  std::memcpy(samples + index * sizeof(Sample), &value, sizeof(Sample));
}

// One transparency plane after `Colour` colour planes, the usual picture with
// extra planes. SplitRow's forward order stays safe in place: each pixel is
// read whole before its colour goes to a lower or equal address. Sample counts
// known at compile time spare the general loops and their calls per pixel.
template <typename Sample, std::size_t Colour>
void SplitRowOneExtra(std::uint8_t* row, std::uint8_t* extra, std::size_t width, Sample white) {
  for (std::size_t x = 0; x < width; ++x) {
    Sample pixel[Colour + 1];
    std::memcpy(pixel, row + x * (Colour + 1) * sizeof(Sample), sizeof(pixel));
    StoreSample<Sample>(extra, x, pixel[Colour]);
    if (pixel[Colour] == 0) {
      for (std::size_t k = 0; k < Colour; ++k) pixel[k] = white;
    }
    std::memcpy(row + x * Colour * sizeof(Sample), pixel, Colour * sizeof(Sample));
  }
}

// The inverse, last pixel first: each pixel's colour is read before its
// whole pixel is written to a higher or equal address.
template <typename Sample, std::size_t Colour>
void InterleaveRowOneExtra(std::uint8_t* row, const std::uint8_t* extra, std::size_t width) {
  for (std::size_t x = width; x-- > 0;) {
    Sample pixel[Colour + 1];
    std::memcpy(pixel, row + x * Colour * sizeof(Sample), Colour * sizeof(Sample));
    pixel[Colour] = LoadSample<Sample>(extra, x);
    std::memcpy(row + x * (Colour + 1) * sizeof(Sample), pixel, sizeof(pixel));
  }
}

// Copies the extra samples of every pixel into `extra`, packed, then compacts
// the colour samples to the start of `row`, whitening fully transparent
// pixels. Forward order is safe in place: a pixel's colour samples only ever
// move to lower addresses, and its transparency is read before any write can
// reach it.
template <typename Sample>
void SplitRow(std::uint8_t* row, std::uint8_t* extra, const RunGeometry& g, Sample white) {
  if (g.extraPlanes == 1 && g.colorPlanes == 3) {
    return SplitRowOneExtra<Sample, 3>(row, extra, std::size_t(g.width), white);
  }
  if (g.extraPlanes == 1 && g.colorPlanes == 1) {
    return SplitRowOneExtra<Sample, 1>(row, extra, std::size_t(g.width), white);
  }
  const auto planes = std::size_t(g.planes);
  const auto colour = std::size_t(g.colorPlanes);
  const auto extras = std::size_t(g.extraPlanes);
  for (std::size_t x = 0; x < std::size_t(g.width); ++x) {
    for (std::size_t k = 0; k < extras; ++k) {
      StoreSample<Sample>(extra, x * extras + k, LoadSample<Sample>(row, x * planes + colour + k));
    }
  }
  for (std::size_t x = 0; x < std::size_t(g.width); ++x) {
    if (LoadSample<Sample>(row, x * planes + colour) == 0) {
      for (std::size_t k = 0; k < colour; ++k) StoreSample<Sample>(row, x * colour + k, white);
    } else if (x != 0) {
      std::memmove(row + x * colour * sizeof(Sample), row + x * planes * sizeof(Sample),
                   colour * sizeof(Sample));
    }
  }
}

// The inverse of SplitRow: `row` holds the packed colour samples, `extra` the
// packed extra samples. From the last pixel to the first, every sample moves to
// a higher or equal address that no unread sample occupies.
template <typename Sample>
void InterleaveRow(std::uint8_t* row, const std::uint8_t* extra, const RunGeometry& g) {
  if (g.extraPlanes == 1 && g.colorPlanes == 3) {
    return InterleaveRowOneExtra<Sample, 3>(row, extra, std::size_t(g.width));
  }
  if (g.extraPlanes == 1 && g.colorPlanes == 1) {
    return InterleaveRowOneExtra<Sample, 1>(row, extra, std::size_t(g.width));
  }
  const auto planes = std::size_t(g.planes);
  const auto colour = std::size_t(g.colorPlanes);
  const auto extras = std::size_t(g.extraPlanes);
  for (std::size_t x = std::size_t(g.width); x-- > 0;) {
    for (std::size_t k = 0; k < extras; ++k) {
      StoreSample<Sample>(row, x * planes + colour + k, LoadSample<Sample>(extra, x * extras + k));
    }
    std::memmove(row + x * planes * sizeof(Sample), row + x * colour * sizeof(Sample),
                 colour * sizeof(Sample));
  }
}

// Phase 1: one delivered row into the stores.
void ReadRowStep(RunState* state, const RunGeometry& g) {
  FilterRecord* record = state->filterRecord;
  if (state->colorStore == nullptr) {
    if (g.extraPlanes != 0) {
      if (OSErr status =
              CreateRunStore(hosttest::RunStore::kTransparency, g,
                             g.bytesPerChannel * g.extraPlanes, &state->transparencyStore);
          status != noErr) {
        return FailRun(state, status);
      }
    }
    if (OSErr status = CreateRunStore(hosttest::RunStore::kColor, g,
                                      g.bytesPerChannel * g.colorPlanes, &state->colorStore);
        status != noErr) {
      return FailRun(state, status);
    }
    // Going on without the mask would let the operation change pixels that
    // the user left unselected, so a missing mask store ends the run too.
    if (state->haveMask != 0) {
      if (OSErr status = CreateRunStore(hosttest::RunStore::kMask, g, 1, &state->maskStore);
          status != noErr) {
        return FailRun(state, status);
      }
    }
  }

  const std::int32_t row = DeliveredRow(record, g);
  auto* in = static_cast<std::uint8_t*>(record->inData);
  auto* extra = static_cast<std::uint8_t*>(state->rowBuffer);
  if (row < 0 || in == nullptr || (state->haveMask != 0 && record->maskData == nullptr)) {
    return FailRun(state, filterBadParameters);
  }
  if (g.extraPlanes != 0) {
    if (extra == nullptr || state->transparencyStore == nullptr) {
      return FailRun(state, memFullErr);
    }
    if (g.bytesPerChannel == 2) {
      SplitRow<std::uint16_t>(in, extra, g, kWhite16);
    } else {
      SplitRow<std::uint8_t>(in, extra, g, kWhite8);
    }
    WriteStoreRow(state->transparencyStore, 0, row, g.bytesPerChannel * g.extraPlanes * g.width,
                  extra);
  }
  WriteStoreRow(state->colorStore, 0, row, g.bytesPerChannel * g.colorPlanes * g.width, in);

  if (state->haveMask != 0) {
    const auto* mask = static_cast<const std::uint8_t*>(record->maskData);
    WriteStoreRow(state->maskStore, 0, row, g.width, mask);
    // Once one byte is below 255 the selection is known to be partial.
    if (state->maskAnd == 255) {
      std::uint8_t all = 255;
      for (std::int32_t x = 0; x < g.width; ++x) all &= mask[x];
      state->maskAnd = all;
    }
  }

  if (OSErr e = RunStoresRowError(state); e != noErr) return FailRun(state, e);
  ReportRowProgress(record, row, 6 * g.height);

  if (row + 1 < g.height) {
    RequestRow(state, row + 1, state->haveMask != 0);
  } else {
    state->phase = kPhaseProcess;
    RequestRow(state, 0, state->haveMask != 0);
  }
}

// Phase 3: one row from the stores back into the host.
void WriteRowStep(RunState* state, const RunGeometry& g) {
  FilterRecord* record = state->filterRecord;
  const std::int32_t row = DeliveredRow(record, g);
  auto* out = static_cast<std::uint8_t*>(record->outData);
  if (row < 0 || out == nullptr || state->colorStore == nullptr) {
    return FailRun(state, filterBadParameters);
  }
  ReadStoreRow(state->colorStore, 0, row, g.bytesPerChannel * g.colorPlanes * g.width, out);
  if (g.extraPlanes != 0) {
    auto* extra = static_cast<std::uint8_t*>(state->rowBuffer);
    if (extra == nullptr || state->transparencyStore == nullptr) {
      return FailRun(state, filterBadParameters);
    }
    ReadStoreRow(state->transparencyStore, 0, row, g.bytesPerChannel * g.extraPlanes * g.width,
                 extra);
    if (g.bytesPerChannel == 2) {
      InterleaveRow<std::uint16_t>(out, extra, g);
    } else {
      InterleaveRow<std::uint8_t>(out, extra, g);
    }
  }

  if (OSErr e = RunStoresRowError(state); e != noErr) return FailRun(state, e);
  ReportRowProgress(record, 5 * g.height + row, 6 * g.height);

  if (row + 1 < g.height) {
    RequestRow(state, row + 1, false);
  } else {
    state->phase = kPhaseCleanUp;
    EmptyRequest(&record->inRect);
    EmptyRequest(&record->outRect);
  }
}

}  // namespace

GeometryCheck DeriveGeometry(const RunState* state, RunGeometry* geometry) {
  const FilterRecord* record = state->filterRecord;
  RunGeometry g{};
  g.bytesPerChannel = state->bitsPerChannel == 16 ? 2 : 1;
  g.width = std::int32_t(record->filterRect.right) - record->filterRect.left;
  g.height = std::int32_t(record->filterRect.bottom) - record->filterRect.top;
  g.planes = record->planes;
  const bool rgb = record->imageMode == plugInModeRGBColor || record->imageMode == plugInModeRGB48;
  g.colorPlanes = rgb ? 3 : 1;
  g.extraPlanes = g.planes - g.colorPlanes;
  *geometry = g;
  if (g.width <= 0 || g.height <= 0) return GeometryCheck::kEmpty;
  if (g.width > kMaxStoreDimension || g.height > kMaxStoreDimension) {
    return GeometryCheck::kInvalid;
  }
  // Fewer planes than colour planes would make the split read past the row;
  // an element wider than 16 bits cannot be described in a store header.
  if (g.extraPlanes < 0 || g.bytesPerChannel * g.planes > kMaxStoreDimension) {
    return GeometryCheck::kInvalid;
  }
  return GeometryCheck::kUsable;
}

void RequestRow(RunState* state, std::int32_t row, bool withMask) {
  FilterRecord* record = state->filterRecord;
  const Rect& area = record->filterRect;
  const auto top = static_cast<std::int16_t>(area.top + row);
  const auto bottom = static_cast<std::int16_t>(top + 1);
  SetRectangle(&record->inRect, area.left, top, area.right, bottom);
  SetRectangle(&record->outRect, area.left, top, area.right, bottom);
  if (withMask) SetRectangle(&record->maskRect, area.left, top, area.right, bottom);
}

bool AsksForNothing(const Rect& rect) {
  return rect.top >= rect.bottom || rect.left >= rect.right;
}

void CleanUpRun(RunState* state) {
  DisposeRunStores(state);
  FilterRecord* record = state->filterRecord;
  if (record != nullptr) {
    EmptyRequest(&record->inRect);
    EmptyRequest(&record->outRect);
    EmptyRequest(&record->maskRect);
  }
  state->phase = kPhaseCleanUp;
}

void PhaseStep(RunState* state) {
  state->result = noErr;
  FilterRecord* record = state->filterRecord;
  if (record == nullptr) {
    state->result = filterBadParameters;
    return;
  }
  switch (state->phase) {
    case kPhaseIdle:
      EmptyRequest(&record->inRect);
      EmptyRequest(&record->outRect);
      return;
    case kPhaseReadRows:
    case kPhaseWriteRows: {
      RunGeometry g;
      // The host may not change the picture in the middle of a run.
      if (DeriveGeometry(state, &g) != GeometryCheck::kUsable) {
        return FailRun(state, filterBadParameters);
      }
      if (state->phase == kPhaseReadRows) return ReadRowStep(state, g);
      return WriteRowStep(state, g);
    }
    case kPhaseProcess:
      RunProcessingPhase(state);
      return;
    case kPhaseCleanUp:
      CleanUpRun(state);
      return;
    default:
      return;
  }
}

void DisposeRunStores(RunState* state) {
  if (state->colorStore != nullptr) DisposeColorStore(state->colorStore);
  if (state->transparencyStore != nullptr) DisposeTransparencyStore(state->transparencyStore);
  if (state->maskStore != nullptr) DisposeMaskStore(state->maskStore);
  state->colorStore = nullptr;
  state->transparencyStore = nullptr;
  state->maskStore = nullptr;
}

OSErr CreateRunMaskStore(const RunGeometry& g, ImageStore** store) {
  return CreateRunStore(hosttest::RunStore::kMask, g, 1, store);
}

namespace hosttest {

void FailStoreCreation(RunStore store, OSErr status) {
  g_failing_store = store;
  g_failing_status = status;
}

}  // namespace hosttest
