// Phase 2 of the image transfer driver: runs once, after every row of the
// filter rectangle has been read into the stores and before any is written back.
#pragma once

#include "plugin/host/run_state.h"

// Leaves the run in the write-back phase on success; on failure sets the
// result, disposes of the run's stores and ends the run.
void RunProcessingPhase(RunState* state);
