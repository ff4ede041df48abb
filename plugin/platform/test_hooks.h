// Test-only controls of the platform layer. They are compiled into the static
// library that the tests link; the plug-in module never calls them, and while
// nothing is armed the layer behaves exactly as without them.
#pragma once

#include "plugin/platform/platform.h"

namespace platform::test {

// While set, every attempt to map a file or anonymous memory fails, so that the
// stores run in their positioned-file mode.
void SetMappingRefused(bool refused);

// Overrides the system's choice between mapped and positioned stores
// (OsPrefersMappedStores), so that both ways can be tested on every system.
enum class StoreAccess { kSystem, kMapped, kPositioned };
void SetStoreAccess(StoreAccess access);

// --- Fault injection ----------------------------------------------------------
// The platform calls that can be made to fail. Every call of the platform
// function named is counted under its operation; both write operations count
// every OsWriteFile call.
enum class Operation {
  kOpen,           // OsOpenFile: fails with the error, no handle
  kCreate,         // OsCreateFile: fails with the error, the file is untouched
  kRead,           // OsReadFile: fails with the error, nothing read
  kShortWrite,     // OsWriteFile: writes half of the bytes (rounded down; see
                   // SetShortWriteShare) and
                   // returns the error; kNone makes a silent short write
  kDiskFullWrite,  // OsWriteFile: writes nothing and fails with the error
  kSeek,           // OsSeekFile: fails with the error, the position is unchanged
  kClose,          // OsCloseFile: the file is closed but the error is returned
  kDelete,         // OsDeleteFile: fails with the error, the file stays
  kMove,           // OsMoveFile: fails with the error, nothing moves
  kMap,            // OsMapFile: no view (the error is not reported by that call)
  kAllocate,       // OsAllocZeroed: null (the error is not reported)
  kSetSize,        // OsSetFileSize: fails with the error, the size is unchanged
};
inline constexpr int kOperationCount = 12;

// Arms a fault: counting from this call, the nth call (1 = the next one) of
// `op` fails with `error`, and so do the `repeat` - 1 calls after it (repeat 0
// or less: every call from the nth on). n of 0 or less disarms `op`. Arming
// resets that operation's call count.
void FailNthCall(Operation op, int n, OsError error, int repeat = 1);
// How much of its bytes a faulted short write (kShortWrite) writes, as a
// share of them (rounded down): 0.5 until set; ClearFaults restores it.
void SetShortWriteShare(double share);
// Disarms every operation and resets every count.
void ClearFaults();
// Calls of `op` since it was last armed or cleared: a first, fault-free pass of
// a run tells a test how many places there are to fail.
int CallCount(Operation op);
// How many calls of `op` the armed fault has failed so far.
int FaultsFired(Operation op);

}  // namespace platform::test
