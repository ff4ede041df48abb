// The Win32 side of the platform layer: the calls the plug-in was designed
// around. Files are opened with sharing mode 0; memory comes from movable,
// zero-initialised global memory locked at once; stores map with file-mapping
// objects (the paging file for anonymous stores).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first, so that the lean define reaches it before anything else includes it.

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <deque>
#include <string>

#include "plugin/platform/fault_injection.h"
#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks.h"
#include "plugin/platform/test_hooks_win32.h"

namespace {
HINSTANCE g_module = nullptr;
bool g_mapping_refused = false;

// Errors queued by the tests, one list per kind of call (test_hooks_win32.h).
constexpr int kFailingCallKinds = 6;
std::deque<unsigned long> g_injected[kFailingCallKinds];

// True when the tests queued an error for this call; it is then taken off the
// queue into *error.
bool Injected(platform::test::FailingCall call, unsigned long* error) {
  auto& queue = g_injected[static_cast<int>(call)];
  if (queue.empty()) return false;
  *error = queue.front();
  queue.pop_front();
  return true;
}
}  // namespace

// Records the module handle: the dialog's resources are loaded from it.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

namespace platform {

namespace win32 {
// The module that holds the plug-in's resources. Recorded at load when the
// plug-in is a DLL; when its code is linked into a program (the tests), the
// module that contains this code, which then carries the resources itself.
HINSTANCE PluginModule() {
  if (g_module != nullptr) return g_module;
  HMODULE self = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&PluginModule), &self);
  return self;
}
}  // namespace win32

namespace {

using test::FailingCall;
using test::Operation;

HANDLE ToHandle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// GetLastError of a failed open. The plug-in's historical table also knows
// 13, 22 and 24 (numbers that coincide with the runtime library's EACCES,
// EINVAL and EMFILE); the system's own numbers for the same conditions are
// mapped alike.
OsError FromOpenError(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
      return OsError::kNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_DATA:
      return OsError::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OsError::kSharingViolation;
    case ERROR_BAD_COMMAND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return OsError::kBadName;
    case ERROR_BAD_LENGTH:
    case ERROR_TOO_MANY_OPEN_FILES:
      return OsError::kTooManyFiles;
    default:
      return OsError::kOther;
  }
}

OsError FromWriteError(DWORD e) {
  switch (e) {
    case ERROR_OUT_OF_PAPER:  // 28: the historical "disk full" number
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return OsError::kDiskFull;
    case ERROR_INVALID_HANDLE:
      return OsError::kBadHandle;
    default:
      return OsError::kOther;
  }
}

OsError FromSeekError(DWORD e) {
  switch (e) {
    case ERROR_INVALID_BLOCK:  // 9
    case ERROR_INVALID_HANDLE:
      return OsError::kBadHandle;
    case ERROR_BAD_COMMAND:  // 22
    case ERROR_NEGATIVE_SEEK:
      return OsError::kBadPosition;
    default:
      return OsError::kOther;
  }
}

// The runtime library's error numbers, as create and delete report them.
OsError FromErrno(int e) {
  switch (e) {
    case ENOENT:
      return OsError::kNotFound;
    case EACCES:
      return OsError::kAccessDenied;
    case EMFILE:
    case ENFILE:  // wine reports running out of handles with ENFILE
      return OsError::kTooManyFiles;
    case ENOSPC:
      return OsError::kDiskFull;
    default:
      return OsError::kOther;
  }
}

// DeleteFileA's error as the runtime library maps it to an error number. Only
// the numbers that the file layer tells apart matter here; the rest become
// EINVAL, as the runtime library's own table does for unknown errors.
int ErrnoFromDeleteError(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_NOT_LOCKED:
      return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_DISK_FULL:
      return ENOSPC;
    default:
      // The write-protect to sharing-buffer range (sharing and lock
      // violations among them) reads as EACCES.
      if (e >= ERROR_WRITE_PROTECT && e <= ERROR_SHARING_BUFFER_EXCEEDED) return EACCES;
      return EINVAL;
  }
}

// Whether the open file carries the read-only attribute.
bool IsReadOnly(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool HasDrivePrefix(const char* path) {
  const char c = path[0];
  return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

bool Native(const char* path, std::string* native) {
  char buffer[4096];
  if (!MapPath(path, buffer, sizeof buffer)) return false;
  *native = buffer;
  return true;
}

}  // namespace

bool MapPath(const char* path, char* out, std::size_t capacity) {
  if (path == nullptr || out == nullptr || capacity == 0) return false;
  std::string result;
  // SHARPSTACK_ROOT moves the drive root, as on POSIX, so that tests and
  // portable installations keep their files in one folder.
  const char* root = getenv("SHARPSTACK_ROOT");
  if (root != nullptr && root[0] != '\0' && HasDrivePrefix(path)) {
    CreateDirectoryA(root, nullptr);
    result = root;
    if (result.back() != '\\' && result.back() != '/') result += '\\';
    result += path + 3;
  } else {
    result = path;
  }
  if (result.size() + 1 > capacity) return false;
  memcpy(out, result.c_str(), result.size() + 1);
  return true;
}

OsError OsOpenFile(const char* path, bool write, bool hint_sequential, FileHandle* out) {
  *out = kInvalidFile;
  if (OsError injected = fault::OnPlatformCall(Operation::kOpen); injected != OsError::kNone) {
    return injected;
  }
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  if (unsigned long injected = 0; Injected(FailingCall::kOpen, &injected)) {
    return FromOpenError(injected);
  }
  const DWORD access = write ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
  const DWORD hint = hint_sequential ? FILE_FLAG_SEQUENTIAL_SCAN : FILE_FLAG_RANDOM_ACCESS;
  HANDLE h = CreateFileA(native.c_str(), access, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | hint, nullptr);
  if (h != INVALID_HANDLE_VALUE && write && IsReadOnly(h)) {
    // Windows refuses to open a read-only file for writing; wine lets an
    // administrator do it. Refuse it everywhere, as Windows does.
    CloseHandle(h);
    SetLastError(ERROR_ACCESS_DENIED);
    h = INVALID_HANDLE_VALUE;
  }
  *out = reinterpret_cast<FileHandle>(h);
  if (h == INVALID_HANDLE_VALUE) return FromOpenError(GetLastError());
  return OsError::kNone;
}

// A refusal that the runtime library reports as EACCES, told apart by the
// system's own error: another opener holds the file, or the volume is
// write-protected, or permission is refused.
OsError FromAccessError(DWORD e) {
  switch (e) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return OsError::kSharingViolation;
    case ERROR_WRITE_PROTECT:
      return OsError::kReadOnlyVolume;
    default:
      return OsError::kAccessDenied;
  }
}

OsError FromDeleteError(DWORD e) {
  const int number = ErrnoFromDeleteError(e);
  return number == EACCES ? FromAccessError(e) : FromErrno(number);
}

OsError OsCreateFile(const char* path) {
  if (OsError injected = fault::OnPlatformCall(Operation::kCreate); injected != OsError::kNone) {
    return injected;
  }
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  if (unsigned long injected = 0; Injected(FailingCall::kCreate, &injected)) {
    return FromErrno(static_cast<int>(injected));
  }
  // Creating over a read-only file is refused on Windows (EACCES); wine lets
  // an administrator empty it. Refuse it everywhere.
  const DWORD attributes = GetFileAttributesA(native.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return FromErrno(EACCES);
  }
  const int fd =
      _open(native.c_str(), _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    const int number = errno;
    return number == EACCES ? FromAccessError(static_cast<DWORD>(_doserrno)) : FromErrno(number);
  }
  _close(fd);
  return OsError::kNone;
}

OsError OsReadFile(FileHandle file, void* buffer, std::int32_t* count) {
  DWORD done = 0;
  const std::int32_t wanted = *count;
  *count = 0;
  if (OsError injected = fault::OnPlatformCall(Operation::kRead); injected != OsError::kNone) {
    return injected;
  }
  if (wanted < 0) return OsError::kOther;
  if (unsigned long injected = 0; Injected(FailingCall::kRead, &injected)) {
    return injected == ERROR_INVALID_HANDLE ? OsError::kBadHandle : OsError::kOther;
  }
  if (!ReadFile(ToHandle(file), buffer, static_cast<DWORD>(wanted), &done, nullptr)) {
    return GetLastError() == ERROR_INVALID_HANDLE ? OsError::kBadHandle : OsError::kOther;
  }
  *count = static_cast<std::int32_t>(done);
  return OsError::kNone;
}

OsError OsWriteFile(FileHandle file, const void* buffer, std::int32_t* count) {
  DWORD done = 0;
  std::int32_t wanted = *count;
  *count = 0;
  const fault::WriteFault fault = fault::OnPlatformWrite();
  if (fault.diskFull) return fault.error;
  if (wanted < 0) return OsError::kOther;
  if (unsigned long injected = 0; Injected(FailingCall::kWrite, &injected)) {
    return FromWriteError(injected);
  }
  if (fault.shortWrite) wanted = fault.Shortened(wanted);
  if (!WriteFile(ToHandle(file), buffer, static_cast<DWORD>(wanted), &done, nullptr)) {
    *count = static_cast<std::int32_t>(done);
    return FromWriteError(GetLastError());
  }
  *count = static_cast<std::int32_t>(done);
  return fault.shortWrite ? fault.error : OsError::kNone;
}

OsError OsSeekFile(FileHandle file, std::int64_t offset, int origin) {
  if (OsError injected = fault::OnPlatformCall(Operation::kSeek); injected != OsError::kNone) {
    return injected;
  }
  if (unsigned long injected = 0; Injected(FailingCall::kSeek, &injected)) {
    return FromSeekError(injected);
  }
  // 0, 1 and 2 are FILE_BEGIN, FILE_CURRENT and FILE_END; any other value goes
  // to the system as it is (and is refused there).
  const auto method = static_cast<DWORD>(origin);
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  if (!SetFilePointerEx(ToHandle(file), distance, nullptr, method)) {
    return FromSeekError(GetLastError());
  }
  return OsError::kNone;
}

// Positioned access as a seek and a read or write: the way stores were
// designed here, where they are normally mapped anyway.
OsError OsReadFileAt(FileHandle file, std::uint64_t offset, void* buffer, std::int32_t* count) {
  if (OsError e = OsSeekFile(file, static_cast<std::int64_t>(offset), 0); e != OsError::kNone) {
    *count = 0;
    return e;
  }
  return OsReadFile(file, buffer, count);
}

OsError OsWriteFileAt(FileHandle file, std::uint64_t offset, const void* buffer,
                      std::int32_t* count) {
  if (OsError e = OsSeekFile(file, static_cast<std::int64_t>(offset), 0); e != OsError::kNone) {
    *count = 0;
    return e;
  }
  return OsWriteFile(file, buffer, count);
}

OsError OsCloseFile(FileHandle file) {
  // An injected failure still closes: a handle kept open would keep the file
  // locked against every other opener.
  const OsError injected = fault::OnPlatformCall(Operation::kClose);
  if (file == kInvalidFile || file == 0) return OsError::kBadHandle;
  if (!CloseHandle(ToHandle(file))) return OsError::kBadHandle;
  return injected;
}

OsError OsDeleteFile(const char* path) {
  if (OsError injected = fault::OnPlatformCall(Operation::kDelete); injected != OsError::kNone) {
    return injected;
  }
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  if (unsigned long injected = 0; Injected(FailingCall::kDelete, &injected)) {
    return FromDeleteError(injected);
  }
  if (DeleteFileA(native.c_str())) return OsError::kNone;
  return FromDeleteError(GetLastError());
}

OsError OsMoveFile(const char* from, const char* to) {
  if (OsError injected = fault::OnPlatformCall(Operation::kMove); injected != OsError::kNone) {
    return injected;
  }
  std::string native_from, native_to;
  if (!Native(from, &native_from) || !Native(to, &native_to)) return OsError::kBadName;
  if (MoveFileA(native_from.c_str(), native_to.c_str())) return OsError::kNone;
  return FromOpenError(GetLastError());
}

OsError OsSetFileSize(FileHandle file, std::uint64_t size) {
  if (OsError injected = fault::OnPlatformCall(Operation::kSetSize); injected != OsError::kNone) {
    return injected;
  }
  // SetEndOfFile works at the file pointer; the caller's position is kept, as
  // a plain change of length would keep it.
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(ToHandle(file), zero, &position, FILE_CURRENT)) {
    return FromWriteError(GetLastError());
  }
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  OsError result = OsError::kNone;
  if (!SetFilePointerEx(ToHandle(file), at, nullptr, FILE_BEGIN) || !SetEndOfFile(ToHandle(file))) {
    result = FromWriteError(GetLastError());
  }
  SetFilePointerEx(ToHandle(file), position, nullptr, FILE_BEGIN);
  return result;
}

OsError OsCreateAnonymousFile(FileHandle* out) {
  *out = kInvalidFile;
  if (OsError injected = fault::OnPlatformCall(Operation::kCreate); injected != OsError::kNone) {
    return injected;
  }
  char dir[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof dir, dir);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(dir, "sst", 0, name) == 0) {
    return FromOpenError(GetLastError());
  }
  // Deleted when the handle closes; the temporary attribute keeps it in the
  // cache rather than on the disk where memory allows.
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    DeleteFileA(name);
    return FromOpenError(error);
  }
  *out = reinterpret_cast<FileHandle>(h);
  return OsError::kNone;
}

// Windows keeps mapped views, the way stores were designed there; the cost of
// first touches that makes POSIX prefer positioned access was measured on
// POSIX systems only.
bool OsPrefersMappedStores(bool /*anonymous*/) {
  return fault::StoresMapped(true);
}

bool OsMapFile(FileHandle file, std::uint64_t size, Mapping* out) {
  *out = Mapping{};
  if (fault::OnPlatformCall(Operation::kMap) != OsError::kNone) return false;
  if (g_mapping_refused || size == 0) return false;
  HANDLE object =
      CreateFileMappingA(ToHandle(file), nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                         static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr);
  if (object == nullptr) return false;
  void* view = MapViewOfFile(object, FILE_MAP_WRITE, 0, 0, 0);
  if (view == nullptr) {
    CloseHandle(object);
    return false;
  }
  out->view = view;
  out->object = reinterpret_cast<std::intptr_t>(object);
  out->size = size;
  return true;
}

void OsFlushMapping(const Mapping& mapping) {
  if (mapping.view != nullptr) FlushViewOfFile(mapping.view, static_cast<SIZE_T>(mapping.size));
}

void OsUnmapFile(Mapping* mapping) {
  if (mapping->view != nullptr) UnmapViewOfFile(mapping->view);
  if (mapping->object != 0) CloseHandle(reinterpret_cast<HANDLE>(mapping->object));
  *mapping = Mapping{};
}

void* OsAllocZeroed(std::size_t size) {
  if (fault::OnPlatformCall(Operation::kAllocate) != OsError::kNone) return nullptr;
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size == 0 ? 1 : size);
  if (h == nullptr) return nullptr;
  void* p = GlobalLock(h);
  if (p == nullptr) GlobalFree(h);
  return p;
}

void OsFree(void* block) {
  if (block == nullptr) return;
  HGLOBAL h = GlobalHandle(block);
  if (h == nullptr) return;
  GlobalUnlock(h);
  GlobalFree(h);
}

LocalTime OsGetLocalTime() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void OsShowMessage(const char* text) {
  // The caption is 36 spaces: the box carries no title of its own.
  MessageBoxA(nullptr, text != nullptr ? text : "", "                                    ",
              MB_OK | MB_ICONEXCLAMATION);
}

namespace test {
void SetMappingRefused(bool refused) {
  g_mapping_refused = refused;
}

void InjectError(FailingCall call, unsigned long error) {
  g_injected[static_cast<int>(call)].push_back(error);
}

void ClearInjectedErrors() {
  for (auto& queue : g_injected) queue.clear();
}
}  // namespace test

}  // namespace platform
