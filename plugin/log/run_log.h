// The run log: one record per processing phase appended to "c:\TRUXlog.txt"
// (the descriptor list's signature and flags, every parameter with its type,
// key, range and value, and the run's result). The log is switched on by the
// file's presence; the plug-in never creates it.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/params/descriptor_list.h"

inline constexpr char kRunLogPath[] = "c:\\TRUXlog.txt";

// Appends the record for a run that ended with `result`. Returns the status of
// opening the log (fnfErr when it does not exist: nothing is written), else the
// status of closing it. Write failures are not examined.
OSErr WriteRunLog(std::int16_t result, DescriptorList list);
