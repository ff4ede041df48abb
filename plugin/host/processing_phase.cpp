// The processing phase: everything between reading the last row and writing
// the first one back. It gathers what the operation needs, lets the user or a
// recorded action choose the operation, runs it on the stores, and records what
// happened. The recording steps run on every path, whatever the outcome.
#include "plugin/host/processing_phase.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/focus/dispatch.h"
#include "plugin/host/phase_step.h"
#include "plugin/host/test_hooks.h"
#include "plugin/log/parameter_log.h"
#include "plugin/log/run_log.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"
#include "plugin/params/preferences.h"
#include "plugin/params/scripting.h"
#include "plugin/storage/store.h"
#include "plugin/ui/operation_dialog.h"

namespace {

hosttest::ProcessingHook g_processing_hook = nullptr;

constexpr std::uint8_t kFullySelected = 255;
// Reported when something unforeseen escapes the operation.
constexpr OSErr kUnexpectedErr = -1;
constexpr float kDefaultCalibrationUnit = 6.0F;  // inches
constexpr float kDefaultCalibrationSize = 1.0F / 72.0F;

// A 16-bit transparency sample (0..32768) as a mask byte: t / 128.5, truncated,
// so that 32768 becomes 255.
inline std::uint8_t MaskByteFrom16(std::uint16_t t) {
  return static_cast<std::uint8_t>(static_cast<double>(t) * 0.007782101167315175);
}

// Turns row `row` of the transparency store into one mask byte per pixel at
// the start of `scratch`. Only the first extra plane counts as transparency.
// `scratch` holds width bytes for the result followed by one transparency row.
void TransparencyRowToMask(ImageStore* transparency, std::int32_t row, std::int32_t width,
                           std::int32_t bytesPerChannel, std::uint8_t* scratch) {
  StoreHeader header;
  GetStoreHeader(transparency, &header);
  const std::int32_t elementSize = header.elementSize;
  std::uint8_t* raw = scratch + width;
  ReadStoreRow(transparency, 0, row, elementSize * width, raw);
  for (std::int32_t x = 0; x < width; ++x) {
    const std::uint8_t* sample = raw + std::size_t(x) * std::size_t(elementSize);
    if (bytesPerChannel == 2) {
      std::uint16_t t;
      std::memcpy(&t, sample, sizeof t);
      scratch[x] = MaskByteFrom16(t);
    } else {
      scratch[x] = sample[0];
    }
  }
}

// Chooses the mask the operation honours and stores it in block->maskStore.
//
// A partial selection on a layer with transparency honours both: each mask
// byte is the smaller of the selection and the opacity, so the whitened,
// fully transparent pixels never reach the focus buffer. Returns non-zero only
// when a mask that the run needs cannot be built; running without it would
// merge those whitened pixels.
OSErr ChooseMask(RunState* state, const RunGeometry& g, ParameterBlock* block) {
  block->maskStore = nullptr;
  const bool partialSelection =
      state->haveMask != 0 && state->maskAnd != kFullySelected && state->maskStore != nullptr;
  ImageStore* transparency = state->transparencyStore;
  if (transparency == nullptr) {
    if (partialSelection) block->maskStore = state->maskStore;
    return noErr;
  }
  auto* scratch = static_cast<std::uint8_t*>(state->rowBuffer);
  if (partialSelection) {
    for (std::int32_t row = 0; row < g.height; ++row) {
      // The selection row goes behind the transparency row, out of its way.
      std::uint8_t* selection =
          scratch + std::size_t(g.width) +
          std::size_t(g.width) * std::size_t(g.bytesPerChannel) * std::size_t(g.extraPlanes);
      ReadStoreRow(state->maskStore, 0, row, g.width, selection);
      TransparencyRowToMask(transparency, row, g.width, g.bytesPerChannel, scratch);
      for (std::int32_t x = 0; x < g.width; ++x) {
        if (selection[x] < scratch[x]) scratch[x] = selection[x];
      }
      WriteStoreRow(state->maskStore, 0, row, g.width, scratch);
    }
    block->maskStore = state->maskStore;
    return noErr;
  }
  // One byte of transparency per pixel already is a mask.
  if (g.bytesPerChannel == 1 && g.extraPlanes == 1) {
    block->maskStore = transparency;
    return noErr;
  }
  // A selection that covers everything says nothing: its store makes way for
  // the mask built from the transparency.
  if (state->maskStore != nullptr) {
    DisposeMaskStore(state->maskStore);
    state->maskStore = nullptr;
  }
  if (OSErr status = CreateRunMaskStore(g, &state->maskStore); status != noErr) {
    state->maskStore = nullptr;
    return status;
  }
  for (std::int32_t row = 0; row < g.height; ++row) {
    TransparencyRowToMask(transparency, row, g.width, g.bytesPerChannel, scratch);
    WriteStoreRow(state->maskStore, 0, row, g.width, scratch);
  }
  block->maskStore = state->maskStore;
  return noErr;
}

void ApplyCalibrationDefault(ParameterBlock* block) {
  const float unit = block->params[kParamCalibrationUnit];
  if (unit == 0.0F || std::isnan(unit)) {
    block->params[kParamCalibrationUnit] = kDefaultCalibrationUnit;
    block->params[kParamCalibrationSize] = kDefaultCalibrationSize;
  }
}

// Chooses and runs the operation. Returns its status, or the reason it did not
// run (cancelled, no mask, no memory).
OSErr ChooseAndRun(RunState* state, const RunGeometry& g, ParameterBlock* block,
                   DescriptorList list, OSErr maskStatus) {
  if (list == nullptr) return memFullErr;
  if (g_processing_hook != nullptr) {
    if (OSErr status = g_processing_hook(state); status != noErr) return status;
  }
  const std::uint8_t noDialog = ReadScriptedParameters(state->filterRecord, list);
  // Without the mask it needs, the run must not ask the user for an operation
  // it cannot carry out.
  if (maskStatus != noErr) return maskStatus;
  if (OSErr status = SelectOperation(block, &state->operationChoice, list, noDialog);
      status != noErr) {
    return status;
  }
  if (g.bytesPerChannel == 1) {
    return RunOperation8(state->colorStore, block, state->operationChoice, list, noDialog);
  }
  return RunOperation16(state->colorStore, block, state->operationChoice, list, noDialog);
}

}  // namespace

void RunProcessingPhase(RunState* state) {
  RunGeometry g;
  if (DeriveGeometry(state, &g) != GeometryCheck::kUsable || state->colorStore == nullptr) {
    CleanUpRun(state);
    state->result = filterBadParameters;
    return;
  }

  auto* block = static_cast<ParameterBlock*>(NewZeroedBlock(sizeof(ParameterBlock)));
  if (block == nullptr) {
    CleanUpRun(state);
    state->result = memFullErr;
    return;
  }
  BlockGuard blockGuard(block);
  block->width = static_cast<std::int16_t>(g.width);
  block->height = static_cast<std::int16_t>(g.height);
  block->colorPlanes = static_cast<std::uint16_t>(g.colorPlanes);
  block->extraPlanes = g.extraPlanes;
  block->transparencyStore = state->transparencyStore;
  block->filterRecord = state->filterRecord;
  block->filterLeft = state->filterLeft;
  block->filterTop = state->filterTop;

  const OSErr maskStatus = ChooseMask(state, g, block);

  char* preferencesPath = nullptr;
  FileRef preferencesFile = kNoPreferencesFile;
  LoadPreferences(block, &preferencesPath, &preferencesFile);
  StringGuard pathGuard(preferencesPath);

  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  if (list != nullptr) {
    InitDescriptorList(list, FourCC("udef"), 0, 0);
    DeclareFilterParameters(list, block);
  }
  ApplyCalibrationDefault(block);

  OSErr status = noErr;
  // Whatever escapes the operation must not skip the recording steps below:
  // they close the preferences file and release the list.
  try {
    status = ChooseAndRun(state, g, block, list, maskStatus);
  } catch (const std::bad_alloc&) {
    status = memFullErr;
  } catch (...) {
    status = kUnexpectedErr;
  }
  if (status != noErr) {
    state->phase = kPhaseCleanUp;
    state->result = status;
  }

  if (list != nullptr) {
    WriteScriptedParameters(state->filterRecord, list);
    (void)WriteRunLog(state->result, list);
    (void)WriteParameterLog(block, list);
    DisposeDescriptorList(list);
  }
  SavePreferences(block, preferencesPath, preferencesFile);

  if (state->phase == kPhaseProcess) {
    state->phase = kPhaseWriteRows;
    return;
  }
  // The run is over: nothing is written back. The requests for rows are
  // emptied so that the host, or the advanceState loop, stops asking; a mask
  // request stays, and the host's next call finds the run in clean-up.
  const OSErr result = state->result;
  const Rect maskRect = state->filterRecord->maskRect;
  CleanUpRun(state);
  state->filterRecord->maskRect = maskRect;
  state->result = result;
}

namespace hosttest {

void SetProcessingHook(ProcessingHook hook) {
  g_processing_hook = hook;
}

}  // namespace hosttest
