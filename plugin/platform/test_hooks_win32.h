// Test-only controls of the Win32 platform layer: error injection. Some
// conditions cannot be provoked reliably (running out of file handles, a full
// disk, a file that refuses writing when the caller is an administrator), and
// wine reports some of them with other numbers than Windows does; injecting the
// number the system would give tests the mapping itself.
#pragma once

namespace platform::test {

enum class FailingCall { kOpen, kCreate, kRead, kWrite, kSeek, kDelete };

// Makes a coming call of that kind fail with `error` instead of reaching the
// system: a GetLastError value for open, read, write, seek and delete, the
// runtime library's error number for create. Injections queue per kind, one
// per call, so that two injected opens fail an open and its read-only retry.
void InjectError(FailingCall call, unsigned long error);
// Forgets every injection that has not been used.
void ClearInjectedErrors();

}  // namespace platform::test
