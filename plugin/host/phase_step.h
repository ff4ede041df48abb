// The image transfer driver: a phase machine advanced one step per exchange
// with the host. It copies the filter rectangle row by row into the run's
// stores, runs the processing phase once, then copies the rows back.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/host/run_state.h"

// The quantities every step derives afresh from the filter record and the run.
struct RunGeometry {
  std::int32_t bytesPerChannel;  // 1 or 2
  std::int32_t width;            // filterRect.right - filterRect.left
  std::int32_t height;           // filterRect.bottom - filterRect.top
  std::int32_t planes;           // samples per pixel the host delivers
  std::int32_t colorPlanes;      // 3 for RGB modes, else 1
  std::int32_t extraPlanes;      // planes - colour planes (transparency)
};

enum class GeometryCheck {
  kUsable,
  kEmpty,    // the filter rectangle holds no pixel: nothing to do
  kInvalid,  // the record describes something no store can hold
};

// Fills `geometry` from the record; says whether a run can work on it.
GeometryCheck DeriveGeometry(const RunState* state, RunGeometry* geometry);

// Asks the host for row `row` of the filter rectangle in inRect and outRect,
// and in maskRect too when `withMask`.
void RequestRow(RunState* state, std::int32_t row, bool withMask);

// True when the host reads the rectangle as a request for nothing.
bool AsksForNothing(const Rect& rect);

// Ends the run: disposes of the run's stores, empties the three row requests
// and leaves the run in the clean-up phase.
void CleanUpRun(RunState* state);

// Disposes of the run's stores, where they exist, and nulls their fields.
void DisposeRunStores(RunState* state);

// Creates the run's mask store (one byte per pixel of the filter rectangle).
[[nodiscard]] OSErr CreateRunMaskStore(const RunGeometry& g, ImageStore** store);

// One step of the phase machine. Sets state->result (0 unless the step failed)
// and the host's row requests.
void PhaseStep(RunState* state);
