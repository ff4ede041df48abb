// The exchange with the host's scripting interface: before the dialog the
// recorded descriptor fills the descriptor list (and says whether the dialog
// may be skipped); after the operation the list becomes a new descriptor for
// the host to record.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/params/descriptor_list.h"

// True when the read and write descriptor suites may be used: version 0 of the
// parameters, suites of version 0 or later with at least 18 read and 16 write
// procedures, and every procedure that the exchange calls present.
bool DescriptorSuitesAvailable(const PIDescriptorParameters* parameters);

// True when the host's handle suite is version 1 with its four basic
// procedures (new, dispose, get size, set size).
bool HandleSuiteAvailable(const HandleProcs* procs);

// Disposes of a host handle through the host's handle suite; does nothing when
// the suite is unavailable or the handle is null.
void DisposeHostHandle(const HandleProcs* procs, Handle handle);

// Fills the list's inputs from the host's descriptor, which is consumed (the
// host's `descriptor` is null afterwards). Returns 1 when the host replays
// without dialogs, so the operation dialog may be skipped, else 0.
std::uint8_t ReadScriptedParameters(FilterRecord* record, DescriptorList list);

// Turns the list's inputs into a new descriptor in the host's `descriptor` and
// marks the dialog as optional for the recorded step. Always returns 0.
OSErr WriteScriptedParameters(FilterRecord* record, DescriptorList list);
