// The processing phase. For now it hands the stores back unchanged, so a run
// returns the picture as it came in (fully transparent pixels whitened).
#include "plugin/host/processing_phase.h"

#include "plugin/host/phase_step.h"
#include "plugin/host/test_hooks.h"

namespace {

hosttest::ProcessingHook g_processing_hook = nullptr;

}  // namespace

void RunProcessingPhase(RunState* state) {
  if (g_processing_hook != nullptr) {
    if (OSErr status = g_processing_hook(state); status != noErr) {
      CleanUpRun(state);
      state->result = status;
      return;
    }
  }
  state->phase = kPhaseWriteRows;
}

namespace hosttest {

void SetProcessingHook(ProcessingHook hook) { g_processing_hook = hook; }

}  // namespace hosttest
