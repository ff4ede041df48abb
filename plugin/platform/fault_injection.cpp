// Fault injection for the platform layer: per operation, a call counter and at
// most one armed fault. The plug-in starts no threads, so plain module-wide
// counters serve. Nothing here touches the operating system.
#include "plugin/platform/fault_injection.h"

namespace platform {
namespace {

struct Fault {
  int calls = 0;   // calls counted since arming or clearing
  int first = 0;   // the first failing call, 1-based; 0: not armed
  int repeat = 1;  // failing calls from `first` on; <= 0: all of them
  int fired = 0;
  OsError error = OsError::kNone;
};

Fault g_faults[test::kOperationCount];
test::StoreAccess g_store_access = test::StoreAccess::kSystem;
double g_short_write_share = 0.5;

Fault& FaultOf(test::Operation op) {
  return g_faults[static_cast<int>(op)];
}

// Counts a call; true when this call is one that must fail.
bool Count(Fault& fault) {
  ++fault.calls;
  if (fault.first <= 0 || fault.calls < fault.first) return false;
  if (fault.repeat > 0 && fault.calls >= fault.first + fault.repeat) return false;
  ++fault.fired;
  return true;
}

}  // namespace

namespace test {

void FailNthCall(Operation op, int n, OsError error, int repeat) {
  const int index = static_cast<int>(op);
  if (index < 0 || index >= kOperationCount) return;
  Fault& fault = g_faults[index];
  fault = Fault{};
  if (n <= 0) return;
  fault.first = n;
  fault.repeat = repeat;
  fault.error = error;
}

void SetShortWriteShare(double share) {
  g_short_write_share = share < 0.0 ? 0.0 : share > 1.0 ? 1.0 : share;
}

void ClearFaults() {
  for (Fault& fault : g_faults) fault = Fault{};
  g_short_write_share = 0.5;
}

int CallCount(Operation op) {
  const int index = static_cast<int>(op);
  return index >= 0 && index < kOperationCount ? g_faults[index].calls : 0;
}

void SetStoreAccess(StoreAccess access) {
  g_store_access = access;
}

int FaultsFired(Operation op) {
  const int index = static_cast<int>(op);
  return index >= 0 && index < kOperationCount ? g_faults[index].fired : 0;
}

}  // namespace test

namespace fault {

OsError OnPlatformCall(test::Operation op) {
  Fault& fault = FaultOf(op);
  if (!Count(fault)) return OsError::kNone;
  // A fault armed with kNone would be invisible to callers that test the
  // error: report something.
  return fault.error == OsError::kNone ? OsError::kOther : fault.error;
}

bool StoresMapped(bool systemChoice) {
  switch (g_store_access) {
    case test::StoreAccess::kMapped:
      return true;
    case test::StoreAccess::kPositioned:
      return false;
    default:
      return systemChoice;
  }
}

std::int32_t WriteFault::Shortened(std::int32_t wanted) const {
  return static_cast<std::int32_t>(static_cast<double>(wanted) * g_short_write_share);
}

WriteFault OnPlatformWrite() {
  WriteFault result;
  Fault& full = FaultOf(test::Operation::kDiskFullWrite);
  Fault& partial = FaultOf(test::Operation::kShortWrite);
  const bool fullNow = Count(full);
  const bool shortNow = Count(partial);
  if (fullNow) {
    result.diskFull = true;
    result.error = full.error == OsError::kNone ? OsError::kDiskFull : full.error;
  } else if (shortNow) {
    result.shortWrite = true;
    result.error = partial.error;
  }
  return result;
}

}  // namespace fault
}  // namespace platform
