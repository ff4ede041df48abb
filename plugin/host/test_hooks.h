// Test-only controls of the run driver. They are compiled into the static
// library that the tests link; nothing in the plug-in module calls them.
#pragma once

#include "interface/filter_record.h"
#include "plugin/host/run_state.h"

namespace hosttest {

// Called by the processing phase, when set, with the run's state after every
// row has been read. A non-zero return is handled as a failed operation.
using ProcessingHook = OSErr (*)(RunState* state);
void SetProcessingHook(ProcessingHook hook);

// While set, the scratch row of filterSelectorStart cannot be allocated.
void SetRowBufferRefused(bool refused);

// Makes every creation of one of the run's stores fail with `status` until
// switched off with kNone.
enum class RunStore { kNone, kColor, kTransparency, kMask };
void FailStoreCreation(RunStore store, OSErr status);

}  // namespace hosttest
