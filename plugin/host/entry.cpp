// The plug-in's one exported function. Every call fetches the run state from
// the host's data slot (creating it on the first call), dispatches on the
// selector and stores the state back. No exception leaves this file.
#include <cstring>
#include <limits>
#include <new>

#include "interface/filter_record.h"
#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/host/phase_step.h"
#include "plugin/host/run_state.h"
#include "plugin/host/test_hooks.h"
#include "plugin/storage/store.h"

namespace {

// The parameters handle: two unsigned 16-bit values that the host keeps.
constexpr std::uint32_t kParametersSize = 4;
constexpr std::uint16_t kParametersFirstValue = 50;
constexpr std::uint16_t kParametersSecondValue = 1;

constexpr std::int32_t kBufferSpace = 8192;

// Reported when something unforeseen escapes a selector: the host shows a
// general failure instead of taking the run as done.
constexpr OSErr kUnexpectedErr = -1;

bool g_row_buffer_refused = false;

RunState NewRunState() {
  RunState state{};
  state.maskAnd = 255;
  return state;
}

// The block that the host keeps in its data slot for as long as it keeps the
// plug-in; the plug-in never frees it.
Handle NewRunStateBlock() {
  Handle block = NewHandleBlock(sizeof(RunState));
  if (block == nullptr) return nullptr;
  const RunState fresh = NewRunState();
  std::memcpy(*block, &fresh, sizeof fresh);
  return block;
}

void ReleaseRun(RunState* state) {
  DisposeRunStores(state);
  // Nulled so that a second finish, or a start without a finish before it,
  // never frees them twice.
  DisposeBlock(state->rowBuffer);
  state->rowBuffer = nullptr;
  if (state->operationChoice != nullptr) DisposeHandleBlock(state->operationChoice);
  state->operationChoice = nullptr;
}

void SetParameterValue(Handle handle, int index, std::uint16_t value) {
  std::memcpy(*handle + index * sizeof(std::uint16_t), &value, sizeof value);
}

void DoParameters(RunState* state) {
  FilterRecord* record = state->filterRecord;
  if (record->parameters == nullptr) {
    Handle handle = NewHandleBlock(kParametersSize);
    if (handle == nullptr) {
      state->result = memFullErr;
      return;
    }
    record->parameters = handle;
    SetParameterValue(handle, 0, kParametersFirstValue);
  }
  SetParameterValue(record->parameters, 1, kParametersSecondValue);
}

// The scratch row holds a row of extra samples on the way in and out, and the
// processing phase's byte-per-pixel mask conversion behind its first width
// bytes. Computed in 64 bits: the product overflows 32 bits for wide images.
void* NewRowBuffer(const RunGeometry& g) {
  const std::uint64_t size =
      std::uint64_t(g.bytesPerChannel) * std::uint64_t(g.planes) * std::uint64_t(g.width) +
      std::uint64_t(g.width);
  if (g_row_buffer_refused || size > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  return NewBlock(static_cast<std::uint32_t>(size));
}

void EmptyRequests(FilterRecord* record) {
  SetRectangle(&record->inRect, 0, 0, 0, 0);
  SetRectangle(&record->outRect, 0, 0, 0, 0);
  SetRectangle(&record->maskRect, 0, 0, 0, 0);
}

void DoStart(RunState* state) {
  FilterRecord* record = state->filterRecord;
  // A previous run that never saw filterSelectorFinish leaves its stores and
  // buffers here; release them before the fields are reset.
  ReleaseRun(state);
  state->bitsPerChannel = record->depth == 16 ? 16 : 8;
  state->phase = kPhaseReadRows;
  state->haveMask = 0;
  state->maskAnd = 255;

  RunGeometry g;
  switch (DeriveGeometry(state, &g)) {
    case GeometryCheck::kUsable:
      break;
    case GeometryCheck::kEmpty:
      state->phase = kPhaseIdle;
      EmptyRequests(record);
      return;
    case GeometryCheck::kInvalid:
      state->phase = kPhaseIdle;
      EmptyRequests(record);
      state->result = filterBadParameters;
      return;
  }

  state->rowBuffer = NewRowBuffer(g);
  if (state->rowBuffer == nullptr) {
    state->phase = kPhaseIdle;
    EmptyRequests(record);
    state->result = memFullErr;
    return;
  }
  state->filterLeft = record->filterRect.left;
  state->filterTop = record->filterRect.top;
  state->haveMask = record->haveMask != 0 ? 1 : 0;

  RequestRow(state, 0, state->haveMask != 0);
  record->inLoPlane = 0;
  record->outLoPlane = 0;
  record->inHiPlane = static_cast<std::int16_t>(record->planes - 1);
  record->outHiPlane = static_cast<std::int16_t>(record->planes - 1);

  if (record->advanceState == nullptr) return;  // the host calls filterSelectorContinue
  for (;;) {
    if (OSErr delivered = record->advanceState(); delivered != noErr) {
      // The host could not deliver: the run is over, and the host must hear why.
      CleanUpRun(state);
      state->result = delivered;
      return;
    }
    PhaseStep(state);
    if (state->result != noErr) return;
    if (AsksForNothing(record->inRect) && AsksForNothing(record->outRect)) return;
  }
}

void DoFinish(RunState* state) {
  ReleaseRun(state);
}

void RunSelector(std::int16_t selector, RunState* state) {
  const bool needs_record =
      selector >= filterSelectorParameters && selector <= filterSelectorContinue;
  if (needs_record && state->filterRecord == nullptr) {
    state->result = filterBadParameters;
    return;
  }
  switch (selector) {
    case filterSelectorAbout:
      return;
    case filterSelectorParameters:
      return DoParameters(state);
    case filterSelectorPrepare:
      state->filterRecord->bufferSpace = kBufferSpace;
      return;
    case filterSelectorStart:
      return DoStart(state);
    case filterSelectorContinue:
      return PhaseStep(state);
    case filterSelectorFinish:
      return DoFinish(state);
    default:
      state->result = filterBadParameters;
      return;
  }
}

// A selector that failed by exception leaves the run in no defined phase:
// end it so that the host stops asking for rows.
void AbandonRun(RunState* state, OSErr status) {
  if (state->phase >= kPhaseReadRows && state->phase <= kPhaseWriteRows) CleanUpRun(state);
  state->result = status;
}

void Dispatch(std::int16_t selector, FilterRecord* record, intptr_t* data, std::int16_t* result) {
  if (data == nullptr) {
    *result = filterBadParameters;
    return;
  }
  if (*data == 0) {
    Handle block = NewRunStateBlock();
    if (block == nullptr) {
      *result = memFullErr;
      return;
    }
    *data = reinterpret_cast<intptr_t>(block);
  }
  Handle block = reinterpret_cast<Handle>(*data);
  RunState state;
  std::memcpy(&state, *block, sizeof state);
  state.filterRecord = record;
  state.result = noErr;

  try {
    RunSelector(selector, &state);
  } catch (const std::bad_alloc&) {
    AbandonRun(&state, memFullErr);
  } catch (...) {
    AbandonRun(&state, kUnexpectedErr);
  }

  *result = state.result;
  std::memcpy(*block, &state, sizeof state);
}

}  // namespace

extern "C" SHARPSTACK_EXPORT void ENTRYPOINT(int16_t selector, FilterRecord* filterRecord,
                                             intptr_t* data, int16_t* result) {
  std::int16_t ignored = noErr;
  if (result == nullptr) result = &ignored;
  try {
    Dispatch(selector, filterRecord, data, result);
  } catch (const std::bad_alloc&) {
    *result = memFullErr;
  } catch (...) {
    *result = kUnexpectedErr;
  }
}

namespace hosttest {

void SetRowBufferRefused(bool refused) {
  g_row_buffer_refused = refused;
}

}  // namespace hosttest
