// Format dispatch, file opening, the shared checks and the write-then-rename
// protocol for every image format.
#include "cli/image/image_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "cli/image/codec.h"
#include "cli/image/sample_scale.h"

namespace imageio {
namespace {

std::string Lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

// strerror's text with a lower-case first letter, to read as part of a sentence.
std::string SystemReason(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

Status ReadFailure(const std::string& path, const std::string& reason) {
  return Status::Failure("cannot read '" + path + "': " + reason);
}

Status WriteFailure(const std::string& path, const std::string& reason) {
  return Status::Failure("cannot write '" + path + "': " + reason);
}

const char* const kUnsupportedType = "unsupported file type (use .png, .tif, .tiff, .jpg or .jpeg)";

struct FileCloser {
  std::FILE* file;
  explicit FileCloser(std::FILE* f) : file(f) {}
  ~FileCloser() {
    if (file != nullptr) std::fclose(file);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
};

// Opens a file for reading as a stdio stream; *size gets its length.
detail::Reason OpenForReading(const std::string& path, std::FILE** file, std::uint64_t* size) {
  *file = nullptr;
  int fd = -1;
  if (detail::Reason r = detail::OpenRegularFile(path, &fd, size); !r.empty()) return r;
  std::FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    const int error = errno;
    close(fd);
    return SystemReason(error);
  }
  *file = f;
  return {};
}

detail::Reason CheckPicture(const host::Picture& picture) {
  if (picture.width <= 0 || picture.height <= 0) return "the picture is empty";
  if (picture.depth != 8 && picture.depth != 16) return "the picture's depth is not 8 or 16 bits";
  if (picture.colorPlanes != 1 && picture.colorPlanes != 3)
    return "the picture is neither grey nor RGB";
  int extra = picture.planes - picture.colorPlanes;
  if (extra != 0 && extra != 1) return "the picture has more than one extra plane";
  if (picture.data.size() != picture.RowBytes() * std::size_t(picture.height))
    return "the picture's data do not match its size";
  return {};
}

// A temporary file next to the target; removed unless committed.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() {
    if (fd_ >= 0) close(fd_);
    if (!name_.empty()) unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  detail::Reason Create(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // An existing target keeps its permission bits; a new file gets the usual
    // 0666 less the umask, as open() applies it.
    mode_t mode = 0666;
    struct stat st;
    bool keep_mode = stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = dir + "." + base + ".tmp" + std::to_string(getpid()) + "-" +
                         std::to_string(counter.fetch_add(1));
      int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return "cannot create a temporary file: " + SystemReason(errno);
      }
      fd_ = fd;
      name_ = name;
      if (keep_mode) fchmod(fd_, st.st_mode & 07777);
      return {};
    }
    return "cannot create a temporary file: too many names in use";
  }

  int fd() const { return fd_; }

  // Makes the written data durable, then puts the file in the target's place.
  detail::Reason Commit(const std::string& target) {
    if (fsync(fd_) != 0) return "write failed: " + SystemReason(errno);
    int result = close(fd_);
    fd_ = -1;
    if (result != 0) return "write failed: " + SystemReason(errno);
    if (rename(name_.c_str(), target.c_str()) != 0) return SystemReason(errno);
    name_.clear();
    return {};
  }

 private:
  int fd_ = -1;
  std::string name_;
};

// Opens a stdio stream on a duplicate of the temporary file's descriptor, so
// that the stream and the TempFile each close their own.
std::FILE* StreamOn(const TempFile& temp) {
  int fd = dup(temp.fd());
  if (fd < 0) return nullptr;
  std::FILE* f = fdopen(fd, "wb");
  if (f == nullptr) close(fd);
  return f;
}

detail::Reason WriteStream(const TempFile& temp, const host::Picture& picture, ImageFormat format) {
  std::FILE* f = StreamOn(temp);
  if (f == nullptr) return SystemReason(errno);
  detail::Reason reason =
      format == ImageFormat::kPng ? detail::WritePng(f, picture) : detail::WriteJpeg(f, picture);
  // Buffered data reach the file only here, so a failing close is a failed
  // write like any other.
  errno = 0;
  int flush_result = std::fflush(f);
  int flush_error = errno;
  bool stream_error = std::ferror(f) != 0;
  int close_result = std::fclose(f);
  int close_error = errno;
  if (!reason.empty()) return reason;
  if (flush_result != 0 || stream_error)
    return "write failed: " + SystemReason(flush_error != 0 ? flush_error : EIO);
  if (close_result != 0) return "write failed: " + SystemReason(close_error);
  return {};
}

}  // namespace

namespace detail {

Reason OpenRegularFile(const std::string& path, int* fd, std::uint64_t* size) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never
  // come; the descriptor is made blocking again once it is known to be a
  // regular file.
  *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (*fd < 0) return SystemReason(errno);
  struct stat st;
  Reason reason;
  if (fstat(*fd, &st) != 0) {
    reason = SystemReason(errno);
  } else if (S_ISDIR(st.st_mode)) {
    reason = "is a directory";
  } else if (!S_ISREG(st.st_mode)) {
    reason = "is not a regular file";
  } else if (const int flags = fcntl(*fd, F_GETFL);
             flags < 0 || fcntl(*fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    reason = SystemReason(errno);
  }
  if (!reason.empty()) {
    close(*fd);
    *fd = -1;
    return reason;
  }
  *size = std::uint64_t(st.st_size);
  return {};
}

Reason CheckDataFits(std::uint64_t fileSize, std::uint64_t leastSize, std::uint64_t width,
                     std::uint64_t height) {
  if (fileSize >= leastSize) return {};
  return "truncated: " + std::to_string(fileSize) + " bytes cannot hold the " +
         std::to_string(width) + " x " + std::to_string(height) +
         " picture its header declares (at least " + std::to_string(leastSize) + " are needed)";
}

Reason CheckDimensions(std::uint64_t width, std::uint64_t height) {
  if (width == 0 || height == 0) return "the picture has no pixels";
  if (width > std::uint64_t(kMaxDimension) || height > std::uint64_t(kMaxDimension)) {
    return "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels; at most " + std::to_string(kMaxDimension) + " x " +
           std::to_string(kMaxDimension) + " is supported";
  }
  return {};
}

namespace {
// Every sample of every 16-bit picture read or written passes here: plain
// loops over the short forms, which the compiler turns into vector code.
template <std::uint16_t (*convert)(std::uint16_t)>
void Convert(std::uint8_t* p, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, p += 2) Store16(p, convert(Load16(p)));
}
}  // namespace

void FileToHostScale(host::Picture* picture) {
  if (picture->depth != 16) return;
  Convert<HostFromFile16>(picture->data.data(), picture->data.size() / 2);
}

void FileToHostScale(std::uint8_t* samples, std::size_t count) {
  Convert<HostFromFile16>(samples, count);
}

void HostToFileScale(std::uint8_t* samples, std::size_t count) {
  Convert<FileFromHost16>(samples, count);
}

}  // namespace detail

ImageFormat FormatFromPath(const std::string& path) {
  std::string::size_type dot = path.rfind('.');
  std::string::size_type slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return ImageFormat::kUnknown;
  std::string ext = Lowercase(path.substr(dot + 1));
  if (ext == "png") return ImageFormat::kPng;
  if (ext == "tif" || ext == "tiff") return ImageFormat::kTiff;
  if (ext == "jpg" || ext == "jpeg") return ImageFormat::kJpeg;
  return ImageFormat::kUnknown;
}

Status ProbeImage(const std::string& path, ImageInfo* info) {
  *info = ImageInfo{};
  try {
    ImageFormat format = FormatFromPath(path);
    if (format == ImageFormat::kUnknown) return ReadFailure(path, kUnsupportedType);
    detail::Reason reason;
    if (format == ImageFormat::kTiff) {
      reason = detail::ProbeTiff(path, info);
    } else {
      std::FILE* f = nullptr;
      std::uint64_t size = 0;
      reason = OpenForReading(path, &f, &size);
      if (reason.empty()) {
        FileCloser closer(f);
        reason = format == ImageFormat::kPng ? detail::ProbePng(f, size, info)
                                             : detail::ProbeJpeg(f, size, info);
      }
    }
    if (!reason.empty()) {
      *info = ImageInfo{};
      return ReadFailure(path, reason);
    }
    info->format = format;
    return Status::Success();
  } catch (const std::bad_alloc&) {
    *info = ImageInfo{};
    return ReadFailure(path, "out of memory");
  } catch (...) {
    *info = ImageInfo{};
    return ReadFailure(path, "unexpected internal error");
  }
}

Status ReadImage(const std::string& path, host::Picture* picture) {
  // The old contents go when the new picture is allocated: at once when its
  // size differs, or reused in place when it is the same.
  detail::Reason reason;
  try {
    ImageFormat format = FormatFromPath(path);
    if (format == ImageFormat::kUnknown) return ReadFailure(path, kUnsupportedType);
    if (format == ImageFormat::kTiff) {
      reason = detail::ReadTiff(path, picture);
    } else {
      std::FILE* f = nullptr;
      std::uint64_t size = 0;
      reason = OpenForReading(path, &f, &size);
      if (reason.empty()) {
        FileCloser closer(f);
        reason = format == ImageFormat::kPng ? detail::ReadPng(f, size, picture)
                                             : detail::ReadJpeg(f, size, picture);
      }
    }
  } catch (const std::bad_alloc&) {
    reason = "not enough memory for the picture";
  } catch (...) {
    reason = "unexpected internal error";
  }
  if (!reason.empty()) {
    *picture = host::Picture{};
    return ReadFailure(path, reason);
  }
  return Status::Success();
}

Status WriteImage(const std::string& path, const host::Picture& picture,
                  const WriteOptions& options) {
  try {
    ImageFormat format = FormatFromPath(path);
    if (format == ImageFormat::kUnknown) return WriteFailure(path, kUnsupportedType);
    if (detail::Reason reason = CheckPicture(picture); !reason.empty())
      return WriteFailure(path, reason);
    TempFile temp;
    if (detail::Reason reason = temp.Create(path); !reason.empty())
      return WriteFailure(path, reason);
    detail::Reason reason;
    if (format == ImageFormat::kTiff) {
      int fd = dup(temp.fd());
      reason = fd < 0 ? SystemReason(errno)
                      : detail::WriteTiff(fd, path, picture, options.tiffCompression);
    } else {
      reason = WriteStream(temp, picture, format);
    }
    if (reason.empty()) reason = temp.Commit(path);
    if (!reason.empty()) return WriteFailure(path, reason);
    return Status::Success();
  } catch (const std::bad_alloc&) {
    return WriteFailure(path, "out of memory");
  } catch (...) {
    return WriteFailure(path, "unexpected internal error");
  }
}

}  // namespace imageio
