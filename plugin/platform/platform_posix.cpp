// The POSIX side of the platform layer.
//
// Windows opens the plug-in's files with sharing mode 0. Here an exclusive,
// non-blocking flock() taken at open stands in for it: flock locks belong to the
// open file description, so a second open, from this process or another, is
// refused, and the lock goes away with the descriptor or the process.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>

#include "plugin/platform/fault_injection.h"
#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks.h"

namespace platform {
namespace {

using test::Operation;

bool g_mapping_refused = false;

// Descriptors 0 to 2 are never handed out as files: callers use 0 for "no file
// open", and a host that closed its standard streams must not have stray output
// land in a store.
constexpr int kFirstFileFd = 3;

OsError FromErrno(int e) {
  switch (e) {
    case 0:
      return OsError::kNone;
    case ENOENT:
    case ENOTDIR:
      return OsError::kNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
      return OsError::kAccessDenied;
    case EROFS:
      return OsError::kReadOnlyVolume;
    case ELOOP:
      return OsError::kLink;
    case EWOULDBLOCK:
      return OsError::kSharingViolation;
    case ENAMETOOLONG:
    case EILSEQ:
      return OsError::kBadName;
    case EMFILE:
    case ENFILE:
      return OsError::kTooManyFiles;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return OsError::kDiskFull;
    case EBADF:
      return OsError::kBadHandle;
    default:
      return OsError::kOther;
  }
}

int ToFd(FileHandle file) {
  if (file < kFirstFileFd || file > INT32_MAX) return -1;
  return static_cast<int>(file);
}

// Moves a fresh descriptor above the standard streams; -1 (with errno) on failure.
int AboveStdio(int fd) {
  if (fd < 0 || fd >= kFirstFileFd) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFileFd);
  const int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

// Creates every missing directory of `dir` with mode 0700.
void MakeDirectories(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return;
  for (std::size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') {
      std::string part = dir.substr(0, i);
      if (stat(part.c_str(), &st) != 0) mkdir(part.c_str(), 0700);
    }
  }
}

std::string DriveRoot() {
  const char* root = getenv("SHARPSTACK_ROOT");
  if (root != nullptr && root[0] != '\0') return root;
  const char* data = getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/sharpstack";
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* pw = getpwuid(getuid());
    home = pw != nullptr ? pw->pw_dir : "/tmp";
  }
  return std::string(home) + "/.local/share/sharpstack";
}

bool HasDrivePrefix(const char* path) {
  const char c = path[0];
  return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

// Exclusive lock of an open descriptor; false when someone else holds the file.
bool LockExclusive(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Opens `native` just to learn whether another opener holds it.
// Returns kNone (not held, lock taken on *fd), kSharingViolation, or the open error.
OsError ProbeAndLock(const char* native, int* fd) {
  *fd = open(native, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (*fd < 0) return FromErrno(errno);
  if (!LockExclusive(*fd)) {
    close(*fd);
    *fd = -1;
    return OsError::kSharingViolation;
  }
  return OsError::kNone;
}

}  // namespace

bool MapPath(const char* path, char* out, std::size_t capacity) {
  if (path == nullptr || out == nullptr || capacity == 0) return false;
  // Windows refuses control characters in names (a redirect file that ends in a
  // line end yields such paths): refuse them here too instead of creating odd files.
  for (const char* p = path; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20) return false;
  }
  std::string result;
  const char* rest = path;
  if (HasDrivePrefix(path)) {
    const std::string root = DriveRoot();
    MakeDirectories(root);
    result = root;
    if (result.empty() || result.back() != '/') result += '/';
    rest = path + 3;
  }
  for (const char* p = rest; *p != '\0'; ++p) result += (*p == '\\') ? '/' : *p;
  if (result.size() + 1 > capacity) return false;
  memcpy(out, result.c_str(), result.size() + 1);
  return true;
}

namespace {
// Maps a plug-in path into `native`; false when it cannot be represented.
bool Native(const char* path, std::string* native) {
  char buffer[4096];
  if (!MapPath(path, buffer, sizeof buffer)) return false;
  *native = buffer;
  return true;
}
}  // namespace

OsError OsOpenFile(const char* path, bool write, bool hint_sequential, FileHandle* out) {
  *out = kInvalidFile;
  if (OsError injected = fault::OnPlatformCall(Operation::kOpen); injected != OsError::kNone) {
    return injected;
  }
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  // O_NONBLOCK keeps a FIFO at the path from hanging the host; it changes
  // nothing for a regular file, and nothing else is accepted below.
  const int fd = AboveStdio(open(native.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC |
                                                     O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (fd < 0) return FromErrno(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return OsError::kAccessDenied;
  }
  if (!LockExclusive(fd)) {
    close(fd);
    return OsError::kSharingViolation;
  }
  posix_fadvise(fd, 0, 0, hint_sequential ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
  *out = fd;
  return OsError::kNone;
}

OsError OsCreateFile(const char* path) {
  if (OsError injected = fault::OnPlatformCall(Operation::kCreate); injected != OsError::kNone) {
    return injected;
  }
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  const int fd =
      open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0644);
  if (fd < 0) return FromErrno(errno);
  // Truncate only once the lock shows that nobody holds the file: emptying a
  // file another run is using would destroy its data.
  if (!LockExclusive(fd)) {
    close(fd);
    return OsError::kSharingViolation;
  }
  OsError result = OsError::kNone;
  if (ftruncate(fd, 0) != 0) result = FromErrno(errno);
  close(fd);
  return result;
}

namespace {
// One read or write call at `offset`, or at the file position when it is
// negative.
ssize_t ReadOnce(int fd, void* buffer, std::size_t count, std::int64_t offset) {
  return offset < 0 ? read(fd, buffer, count)
                    : pread(fd, buffer, count, static_cast<off_t>(offset));
}
ssize_t WriteOnce(int fd, const void* buffer, std::size_t count, std::int64_t offset) {
  return offset < 0 ? write(fd, buffer, count)
                    : pwrite(fd, buffer, count, static_cast<off_t>(offset));
}

OsError ReadFileAt(FileHandle file, void* buffer, std::int32_t* count, std::int64_t offset) {
  const int fd = ToFd(file);
  const std::int32_t wanted = *count;
  *count = 0;
  if (OsError injected = fault::OnPlatformCall(Operation::kRead); injected != OsError::kNone) {
    return injected;
  }
  if (fd < 0) return OsError::kBadHandle;
  if (wanted < 0) return OsError::kOther;
  auto* p = static_cast<char*>(buffer);
  std::int32_t done = 0;
  while (done < wanted) {
    const ssize_t n = ReadOnce(fd, p + done, static_cast<std::size_t>(wanted - done),
                               offset < 0 ? offset : offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *count = done;
      return FromErrno(errno);
    }
    if (n == 0) break;  // end of file: a short read is success
    done += static_cast<std::int32_t>(n);
  }
  *count = done;
  return OsError::kNone;
}

// Why a write to an open descriptor was refused: a file opened for reading
// only (the open fell back to it when writing was refused, or the volume is
// read-only) is not a bad handle.
OsError WriteRefused(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) return OsError::kBadHandle;
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0) return OsError::kReadOnlyVolume;
  return OsError::kAccessDenied;
}

OsError WriteFileAt(FileHandle file, const void* buffer, std::int32_t* count, std::int64_t offset) {
  const int fd = ToFd(file);
  std::int32_t wanted = *count;
  *count = 0;
  const fault::WriteFault injected = fault::OnPlatformWrite();
  if (injected.diskFull) return injected.error;
  if (fd < 0) return OsError::kBadHandle;
  if (wanted < 0) return OsError::kOther;
  if (injected.shortWrite) wanted = injected.Shortened(wanted);
  const auto* p = static_cast<const char*>(buffer);
  std::int32_t done = 0;
  while (done < wanted) {
    const ssize_t n = WriteOnce(fd, p + done, static_cast<std::size_t>(wanted - done),
                                offset < 0 ? offset : offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *count = done;
      return errno == EBADF ? WriteRefused(fd) : FromErrno(errno);
    }
    if (n == 0) break;  // no progress: report the short count rather than spin
    done += static_cast<std::int32_t>(n);
  }
  *count = done;
  return injected.shortWrite ? injected.error : OsError::kNone;
}
}  // namespace

OsError OsReadFile(FileHandle file, void* buffer, std::int32_t* count) {
  return ReadFileAt(file, buffer, count, -1);
}

OsError OsWriteFile(FileHandle file, const void* buffer, std::int32_t* count) {
  return WriteFileAt(file, buffer, count, -1);
}

OsError OsReadFileAt(FileHandle file, std::uint64_t offset, void* buffer, std::int32_t* count) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
    *count = 0;
    return OsError::kBadPosition;
  }
  return ReadFileAt(file, buffer, count, static_cast<std::int64_t>(offset));
}

OsError OsWriteFileAt(FileHandle file, std::uint64_t offset, const void* buffer,
                      std::int32_t* count) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
    *count = 0;
    return OsError::kBadPosition;
  }
  return WriteFileAt(file, buffer, count, static_cast<std::int64_t>(offset));
}

OsError OsSeekFile(FileHandle file, std::int64_t offset, int origin) {
  if (OsError injected = fault::OnPlatformCall(Operation::kSeek); injected != OsError::kNone) {
    return injected;
  }
  const int fd = ToFd(file);
  if (fd < 0) return OsError::kBadHandle;
  const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
  if (whence < 0) return OsError::kOther;
  if (lseek(fd, static_cast<off_t>(offset), whence) < 0) {
    return errno == EINVAL ? OsError::kBadPosition : FromErrno(errno);
  }
  return OsError::kNone;
}

OsError OsCloseFile(FileHandle file) {
  // An injected failure still closes: a descriptor kept open would keep its
  // lock and turn one fault into a chain of sharing violations.
  const OsError injected = fault::OnPlatformCall(Operation::kClose);
  const int fd = ToFd(file);
  if (fd < 0) return OsError::kBadHandle;
  if (close(fd) != 0 && errno == EBADF) return OsError::kBadHandle;
  return injected;
}

OsError OsDeleteFile(const char* path) {
  if (OsError injected = fault::OnPlatformCall(Operation::kDelete); injected != OsError::kNone) {
    return injected;
  }
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  int fd = -1;
  const OsError probe = ProbeAndLock(native.c_str(), &fd);
  if (probe == OsError::kSharingViolation || probe == OsError::kNotFound) return probe;
  // Unlink while we hold the lock, so no one can take the file in between.
  OsError result = OsError::kNone;
  if (unlink(native.c_str()) != 0) result = FromErrno(errno);
  if (fd >= 0) close(fd);
  return result;
}

OsError OsMoveFile(const char* from, const char* to) {
  if (OsError injected = fault::OnPlatformCall(Operation::kMove); injected != OsError::kNone) {
    return injected;
  }
  std::string native_from, native_to;
  if (!Native(from, &native_from) || !Native(to, &native_to)) return OsError::kBadName;
  int fd = -1;
  const OsError probe = ProbeAndLock(native_from.c_str(), &fd);
  if (probe == OsError::kSharingViolation || probe == OsError::kNotFound) return probe;
  // Like MoveFileA, never replace an existing target. The kernel checks and
  // renames in one step where it can; elsewhere check first.
  OsError result = OsError::kNone;
  int rc = renameat2(AT_FDCWD, native_from.c_str(), AT_FDCWD, native_to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
    struct stat st;
    if (lstat(native_to.c_str(), &st) == 0) {
      errno = EEXIST;
    } else {
      rc = rename(native_from.c_str(), native_to.c_str());
    }
  }
  // A name that is taken is no permission problem: the generic failure.
  if (rc != 0) result = errno == EEXIST ? OsError::kOther : FromErrno(errno);
  if (fd >= 0) close(fd);
  return result;
}

namespace {
// Reserves the blocks of [offset, offset + length); 0 or an errno value.
int AllocateBlocks(int fd, std::uint64_t offset, std::uint64_t length) {
#ifdef __linux__
  for (;;) {
    if (fallocate(fd, 0, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0) return 0;
    if (errno != EINTR) return errno;
  }
#else
  return posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(length));
#endif
}

// Gives the file exactly `size` bytes with its blocks allocated.
OsError ResizeFile(int fd, std::uint64_t size) {
  if (fd < 0) return OsError::kBadHandle;
  if (size > static_cast<std::uint64_t>(INT64_MAX)) return OsError::kDiskFull;
  struct stat st;
  if (fstat(fd, &st) != 0) return FromErrno(errno);
  const auto old_size = static_cast<std::uint64_t>(st.st_size);
  if (size <= old_size) {
    return ftruncate(fd, static_cast<off_t>(size)) == 0 ? OsError::kNone : FromErrno(errno);
  }
  // Allocate the blocks now: a sparse file would only find out that the disk is
  // full when a mapped page is first written, and that is a SIGBUS.
  const std::uint64_t grow = size - old_size;
  int rc = AllocateBlocks(fd, old_size, grow);
  if (rc == EOPNOTSUPP || rc == ENOSYS || rc == EINVAL) {
    // No allocation call here: write zeros, but not before knowing they fit,
    // or a huge request would fill the disk before failing.
    struct statvfs vfs;
    if (fstatvfs(fd, &vfs) == 0 &&
        std::uint64_t(vfs.f_bavail) < grow / std::uint64_t(vfs.f_frsize ? vfs.f_frsize : 1)) {
      return OsError::kDiskFull;
    }
    static const char zeros[65536] = {};
    rc = 0;
    for (std::uint64_t at = old_size; at < size && rc == 0;) {
      const std::size_t chunk =
          static_cast<std::size_t>(size - at < sizeof zeros ? size - at : sizeof zeros);
      const ssize_t n = pwrite(fd, zeros, chunk, static_cast<off_t>(at));
      if (n < 0) {
        if (errno != EINTR) rc = errno;
      } else if (n == 0) {
        rc = ENOSPC;
      } else {
        at += static_cast<std::uint64_t>(n);
      }
    }
  }
  if (rc != 0) {
    if (ftruncate(fd, static_cast<off_t>(old_size)) != 0) {
      // The file keeps the partial extension; the caller deletes it on failure.
    }
    return FromErrno(rc);
  }
  return OsError::kNone;
}
}  // namespace

OsError OsSetFileSize(FileHandle file, std::uint64_t size) {
  if (OsError injected = fault::OnPlatformCall(Operation::kSetSize); injected != OsError::kNone) {
    return injected;
  }
  return ResizeFile(ToFd(file), size);
}

namespace {
#ifdef __linux__
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif
constexpr std::size_t kLargePage = std::size_t(2) << 20;

// Private anonymous memory in large pages where the system gives them, every
// page faulted in now: a store's pages are all touched in every run, and one
// fault per 2 MB rather than per 4 KB is what makes a view cheaper than
// copies. Running out of memory shows here, not as a fault on a later touch.
// `length` is the mapped length, `size` rounded up to whole pages.
void* MapLargePages(std::size_t size, std::size_t* length) {
  // Aligned to a large page by mapping more and trimming both ends.
  const std::size_t padded = size + kLargePage;
  if (padded < size) return MAP_FAILED;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return raw;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kLargePage - 1) & ~std::uintptr_t(kLargePage - 1);
  const std::size_t head = aligned - start;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t kept = (size + page - 1) / page * page;
  if (head > 0) munmap(raw, head);
  if (padded - head > kept) munmap(reinterpret_cast<void*>(aligned + kept), padded - head - kept);
  void* view = reinterpret_cast<void*>(aligned);
  madvise(view, size, MADV_HUGEPAGE);
  if (madvise(view, size, MADV_POPULATE_WRITE) != 0 && errno != EINVAL) {
    munmap(view, kept);
    return MAP_FAILED;
  }
  *length = kept;
  return view;
}

// Anonymous memory given back by the last runs, kept for the next run's
// stores. Memory new to the process costs a fault and a clearing per page,
// and on a virtual machine that hands free memory back to its host it costs
// far more (measured: 16 ms for 144 MB at once, 180-220 ms a few seconds
// after the last release), while a store on kept memory clears only the rows
// it reads before writing them. The kept pages are marked free (MADV_FREE): the system takes them
// back whenever it needs the memory, without writing them anywhere, and a page it took comes back
// zero-filled on the next touch.
struct KeptRegion {
  void* view = nullptr;
  std::size_t length = 0;
};
constexpr int kKeptRegions = 3;  // the colour, transparency and mask stores of a run
// Given back when the library is unloaded: a host that unloads its plug-ins
// must not keep their memory.
struct KeptRegions {
  KeptRegion regions[kKeptRegions];
  ~KeptRegions() {
    for (KeptRegion& region : regions) {
      if (region.view != nullptr) munmap(region.view, region.length);
    }
  }
};
KeptRegions g_kept_regions;
KeptRegion (&g_kept)[kKeptRegions] = g_kept_regions.regions;
std::mutex g_kept_lock;

// The smallest kept region that holds `size` bytes without leaving more than
// `size` or a large page of them unused.
void* TakeKeptRegion(std::size_t size, std::size_t* length) {
  std::lock_guard<std::mutex> guard(g_kept_lock);
  KeptRegion* best = nullptr;
  for (KeptRegion& region : g_kept) {
    if (region.view == nullptr || region.length < size ||
        region.length - size > std::max(size, kLargePage))
      continue;
    if (best == nullptr || region.length < best->length) best = &region;
  }
  if (best == nullptr) return nullptr;
  void* view = best->view;
  *length = best->length;
  *best = KeptRegion{};
  return view;
}

// Keeps a released region, letting go of the oldest kept one when all are in
// use.
void KeepRegion(void* view, std::size_t length) {
  madvise(view, length, MADV_FREE);
  std::lock_guard<std::mutex> guard(g_kept_lock);
  if (g_kept[0].view != nullptr) munmap(g_kept[0].view, g_kept[0].length);
  for (int i = 0; i + 1 < kKeptRegions; ++i) g_kept[i] = g_kept[i + 1];
  g_kept[kKeptRegions - 1] = KeptRegion{view, length};
}
#endif

// Memory backed by the paging file, its pages reserved now: shared anonymous
// memory that the system cannot supply later would fault on first touch.
// `length` is what must be unmapped at the end (at least `size`); `uncleared`
// tells whether the memory is kept memory, not cleared here: its user clears
// only what it reads before writing, which a run's stores seldom do.
void* MapAnonymous(std::size_t size, std::size_t* length, bool* uncleared) {
  *uncleared = false;
#ifdef __linux__
  if (void* kept = TakeKeptRegion(size, length); kept != nullptr) {
    *uncleared = true;
    return kept;
  }
  return MapLargePages(size, length);
#else
  *length = size;
  return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
#endif
}
}  // namespace

OsError OsCreateAnonymousFile(FileHandle* out) {
  *out = kInvalidFile;
  if (OsError injected = fault::OnPlatformCall(Operation::kCreate); injected != OsError::kNone) {
    return injected;
  }
#ifdef __linux__
  const int memory = AboveStdio(memfd_create("sharpstack-store", MFD_CLOEXEC));
  if (memory >= 0) {
    *out = memory;
    return OsError::kNone;
  }
#endif
  // Elsewhere a temporary file, unlinked at once, does the same.
  const char* dir = getenv("TMPDIR");
  std::string pattern =
      std::string(dir != nullptr && dir[0] == '/' ? dir : "/tmp") + "/sharpstack-store-XXXXXX";
  const int fd = AboveStdio(mkstemp(pattern.data()));
  if (fd < 0) return FromErrno(errno);
  unlink(pattern.c_str());
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  *out = fd;
  return OsError::kNone;
}

bool OsPrefersMappedStores(bool anonymous) {
#ifdef __linux__
  return fault::StoresMapped(anonymous);
#else
  (void)anonymous;
  return fault::StoresMapped(false);
#endif
}

bool OsMapFile(FileHandle file, std::uint64_t size, Mapping* out) {
  *out = Mapping{};
  if (fault::OnPlatformCall(Operation::kMap) != OsError::kNone) return false;
  if (g_mapping_refused || size == 0 || size > static_cast<std::uint64_t>(SIZE_MAX)) return false;
  void* view = MAP_FAILED;
  if (file == kInvalidFile) {
    std::size_t length = 0;
    bool uncleared = false;
    view = MapAnonymous(static_cast<std::size_t>(size), &length, &uncleared);
    out->object = static_cast<std::intptr_t>(length);
    out->uncleared = uncleared;
  } else {
    const int fd = ToFd(file);
    if (fd < 0) return false;
    // Like a file mapping object, the mapping extends a shorter file; touching a
    // page beyond the end of a file would otherwise raise SIGBUS.
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) < size && ResizeFile(fd, size) != OsError::kNone) {
      return false;
    }
    // Populated at once: the operations touch every page of a store, and one
    // call that maps them all costs far less than a fault per page.
    view = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                MAP_SHARED | MAP_POPULATE, fd, 0);
  }
  if (view == MAP_FAILED) {
    *out = Mapping{};
    return false;
  }
  out->view = view;
  out->size = size;
  return true;
}

void OsFlushMapping(const Mapping& mapping) {
  // Dirty pages are in the page cache and survive the process; schedule the
  // write-back without waiting for the disk.
  if (mapping.view != nullptr)
    msync(mapping.view, static_cast<std::size_t>(mapping.size), MS_ASYNC);
}

void OsUnmapFile(Mapping* mapping) {
  if (mapping->view == nullptr) return;
  if (mapping->object == 0) {
    munmap(mapping->view, static_cast<std::size_t>(mapping->size));
  } else {
#ifdef __linux__
    KeepRegion(mapping->view, static_cast<std::size_t>(mapping->object));
#else
    munmap(mapping->view, static_cast<std::size_t>(mapping->object));
#endif
  }
  *mapping = Mapping{};
}

void* OsAllocZeroed(std::size_t size) {
  if (fault::OnPlatformCall(Operation::kAllocate) != OsError::kNone) return nullptr;
  return calloc(1, size == 0 ? 1 : size);
}

void OsFree(void* block) {
  free(block);
}

LocalTime OsGetLocalTime() {
  const time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

void OsShowMessage(const char* text) {
  // A terminal has no modal box: say it on standard error and go on; the host
  // decides how loud to be.
  fprintf(stderr, "Sharpstack: %s\n", text != nullptr ? text : "");
  fflush(stderr);
}

namespace test {
void SetMappingRefused(bool refused) {
  g_mapping_refused = refused;
}
}  // namespace test

}  // namespace platform
