// The folder watch through inotify: the kernel reports a file closed after
// writing or renamed into the folder, so a picture is taken only once its
// writer is done, and waiting blocks in poll() without using the processor.
#if defined(__linux__)

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "cli/app/folder_watch.h"
#include "cli/app/interrupt.h"

namespace cli {
namespace {

constexpr std::uint32_t kEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Delivered whatever was asked for: the watch has ended.
constexpr std::uint32_t kEnded = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

// After a first arrival, files that follow within this gap are handed over
// with it (a copy of several pictures, a camera writing a burst), up to the
// limit, so that they are added in name order.
constexpr int kGatherGapMs = 50;
constexpr auto kGatherLimit = std::chrono::milliseconds(500);

class InotifyWatch final : public FolderWatch {
 public:
  ~InotifyWatch() override {
    if (fd_ >= 0) close(fd_);
  }

  bool Start(const std::string& folder, std::string* error, bool* unavailable) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && inotify_add_watch(fd_, folder.c_str(), kEvents) >= 0) return true;
    const int e = errno;
    *error = std::strerror(e);
    *unavailable = e == ENOSYS || e == EMFILE || e == ENFILE || e == ENOSPC;
    return false;
  }

  Event Wait(std::vector<std::string>* names, std::string* error) override {
    names->clear();
    std::set<std::string> found;
    int timeout = -1;
    std::chrono::steady_clock::time_point limit;
    for (;;) {
      if (Interrupted()) return Event::kInterrupted;
      pollfd fds[2] = {{fd_, POLLIN, 0}, {InterruptWakeFd(), POLLIN, 0}};
      const int ready = poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
      if (ready < 0) {
        if (errno == EINTR) continue;
        *error = std::strerror(errno);
        return Event::kFailed;
      }
      if (ready == 0) break;  // the gap after the last arrival has passed
      if (Interrupted()) return Event::kInterrupted;
      if ((fds[0].revents & POLLIN) != 0) {
        if (Event e = ReadEvents(&found, error); e != Event::kArrived) return e;
      }
      if (found.empty()) continue;
      const auto now = std::chrono::steady_clock::now();
      if (timeout < 0) limit = now + kGatherLimit;
      if (now >= limit) break;
      timeout = kGatherGapMs;
    }
    names->assign(found.begin(), found.end());
    return Event::kArrived;
  }

 private:
  // Everything queued now; kGone or kFailed end the watch.
  Event ReadEvents(std::set<std::string>* found, std::string* error) {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t length = read(fd_, buffer, sizeof buffer);
      if (length < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return Event::kArrived;
        *error = std::strerror(errno);
        return Event::kFailed;
      }
      for (const char* p = buffer; p < buffer + length;) {
        inotify_event event;
        std::memcpy(&event, p, sizeof event);
        const char* name = p + sizeof event;
        p += sizeof event + event.len;
        if ((event.mask & kEnded) != 0) return Event::kGone;
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
          // Only thousands of files finished at once get here.
          *error = "too many files arrived at once to follow them all";
          return Event::kFailed;
        }
        if ((event.mask & IN_ISDIR) == 0 && event.len > 0) found->insert(name);
      }
    }
  }

  int fd_ = -1;
};

}  // namespace

std::unique_ptr<FolderWatch> InotifyFolder(const std::string& folder, std::string* error,
                                           bool* unavailable) {
  *unavailable = false;
  auto watch = std::make_unique<InotifyWatch>();
  if (!watch->Start(folder, error, unavailable)) return nullptr;
  return watch;
}

}  // namespace cli

#endif  // __linux__
