// The counting side of the platform's fault injection, and the other test
// controls, shared by every platform implementation. A platform function calls
// OnPlatformCall once per call, first thing, and fails in the way its operation
// describes (test_hooks.h) when the answer is not kNone.
#pragma once

#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks.h"

namespace platform::fault {

// Counts one call of `op`; returns the error to inject into it, or kNone.
// Writes are counted with OnPlatformWrite instead.
OsError OnPlatformCall(test::Operation op);

// Counts one write: whether it must come out short, and with which error.
struct WriteFault {
  bool diskFull = false;    // write nothing, return `error`
  bool shortWrite = false;  // write part, return `error`
  OsError error = OsError::kNone;
  // The bytes of a write of `wanted` bytes that a short write lets through.
  std::int32_t Shortened(std::int32_t wanted) const;
};
WriteFault OnPlatformWrite();

// The side's own choice between mapped and positioned stores, unless a test
// overrides it (test::SetStoreAccess).
bool StoresMapped(bool systemChoice);

}  // namespace platform::fault
