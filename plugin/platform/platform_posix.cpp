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
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "plugin/platform/platform.h"
#include "plugin/platform/test_hooks.h"

namespace platform {
namespace {

bool g_mapping_refused = false;

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
    case EROFS:
    case ETXTBSY:
      return OsError::kAccessDenied;
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
  if (file < 0 || file > INT32_MAX) return -1;
  return static_cast<int>(file);
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
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  const int fd = open(native.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return FromErrno(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
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
  std::string native;
  if (!Native(path, &native)) return OsError::kBadName;
  const int fd = open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
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

OsError OsReadFile(FileHandle file, void* buffer, std::int32_t* count) {
  const int fd = ToFd(file);
  const std::int32_t wanted = *count;
  *count = 0;
  if (fd < 0) return OsError::kBadHandle;
  if (wanted < 0) return OsError::kOther;
  auto* p = static_cast<char*>(buffer);
  std::int32_t done = 0;
  while (done < wanted) {
    const ssize_t n = read(fd, p + done, static_cast<std::size_t>(wanted - done));
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

OsError OsWriteFile(FileHandle file, const void* buffer, std::int32_t* count) {
  const int fd = ToFd(file);
  const std::int32_t wanted = *count;
  *count = 0;
  if (fd < 0) return OsError::kBadHandle;
  if (wanted < 0) return OsError::kOther;
  const auto* p = static_cast<const char*>(buffer);
  std::int32_t done = 0;
  while (done < wanted) {
    const ssize_t n = write(fd, p + done, static_cast<std::size_t>(wanted - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *count = done;
      return FromErrno(errno);
    }
    done += static_cast<std::int32_t>(n);
  }
  *count = done;
  return OsError::kNone;
}

OsError OsSeekFile(FileHandle file, std::int64_t offset, int origin) {
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
  const int fd = ToFd(file);
  if (fd < 0) return OsError::kBadHandle;
  if (close(fd) != 0 && errno == EBADF) return OsError::kBadHandle;
  return OsError::kNone;
}

OsError OsDeleteFile(const char* path) {
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
  std::string native_from, native_to;
  if (!Native(from, &native_from) || !Native(to, &native_to)) return OsError::kBadName;
  int fd = -1;
  const OsError probe = ProbeAndLock(native_from.c_str(), &fd);
  if (probe == OsError::kSharingViolation || probe == OsError::kNotFound) return probe;
  // Like MoveFileA, never replace an existing target.
  struct stat st;
  OsError result = OsError::kNone;
  if (lstat(native_to.c_str(), &st) == 0) {
    result = OsError::kAccessDenied;
  } else if (rename(native_from.c_str(), native_to.c_str()) != 0) {
    result = FromErrno(errno);
  }
  if (fd >= 0) close(fd);
  return result;
}

OsError OsSetFileSize(FileHandle file, std::uint64_t size) {
  const int fd = ToFd(file);
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
  int rc = posix_fallocate(fd, static_cast<off_t>(old_size), static_cast<off_t>(size - old_size));
  if (rc == EOPNOTSUPP || rc == EINVAL) {
    static const char zeros[65536] = {};
    rc = 0;
    for (std::uint64_t at = old_size; at < size && rc == 0;) {
      const std::size_t chunk =
          static_cast<std::size_t>(size - at < sizeof zeros ? size - at : sizeof zeros);
      const ssize_t n = pwrite(fd, zeros, chunk, static_cast<off_t>(at));
      if (n < 0) {
        if (errno != EINTR) rc = errno;
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

bool OsMapFile(FileHandle file, std::uint64_t size, Mapping* out) {
  *out = Mapping{};
  if (g_mapping_refused || size == 0 || size > static_cast<std::uint64_t>(SIZE_MAX)) return false;
  void* view = MAP_FAILED;
  if (file == kInvalidFile) {
    view = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  } else {
    const int fd = ToFd(file);
    if (fd < 0) return false;
    // Like a file mapping object, the mapping extends a shorter file; touching a
    // page beyond the end of a file would otherwise raise SIGBUS.
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) < size &&
        OsSetFileSize(file, size) != OsError::kNone) {
      return false;
    }
    view = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (view == MAP_FAILED) return false;
  out->view = view;
  out->size = size;
  return true;
}

void OsFlushMapping(const Mapping& mapping) {
  // Dirty pages are in the page cache and survive the process; schedule the
  // write-back without waiting for the disk.
  if (mapping.view != nullptr) msync(mapping.view, static_cast<std::size_t>(mapping.size), MS_ASYNC);
}

void OsUnmapFile(Mapping* mapping) {
  if (mapping->view != nullptr) munmap(mapping->view, static_cast<std::size_t>(mapping->size));
  *mapping = Mapping{};
}

void* OsAllocZeroed(std::size_t size) { return calloc(1, size == 0 ? 1 : size); }

void OsFree(void* block) { free(block); }

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
void SetMappingRefused(bool refused) { g_mapping_refused = refused; }
}  // namespace test

}  // namespace platform
