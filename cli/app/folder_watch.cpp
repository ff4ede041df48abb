// The portable folder watch, and the choice of watch for the system.
#include "cli/app/folder_watch.h"

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "cli/app/interrupt.h"

namespace cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class PollingWatch final : public FolderWatch {
 public:
  PollingWatch(std::string folder, std::chrono::milliseconds interval,
               std::chrono::milliseconds steady)
      : folder_(std::move(folder)), interval_(interval), steady_(steady) {}

  bool Start(std::string* error) {
    struct stat st;
    if (stat(folder_.c_str(), &st) != 0) {
      *error = std::strerror(errno);
      return false;
    }
    if (!S_ISDIR(st.st_mode)) {
      *error = std::strerror(ENOTDIR);
      return false;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    Files now;
    if (Scan(&now, error) != Event::kArrived) return false;
    // What is there already counts only once it changes.
    for (auto& [name, file] : now) file.taken = true;
    files_ = std::move(now);
    return true;
  }

  Event Wait(std::vector<std::string>* names, std::string* error) override {
    names->clear();
    for (;;) {
      if (Interrupted()) return Event::kInterrupted;
      pollfd wake{InterruptWakeFd(), POLLIN, 0};
      if (poll(&wake, wake.fd >= 0 ? 1 : 0, int(interval_.count())) < 0 && errno != EINTR) {
        *error = std::strerror(errno);
        return Event::kFailed;
      }
      if (Interrupted()) return Event::kInterrupted;
      Files now;
      if (Event e = Scan(&now, error); e != Event::kArrived) return e;
      const Clock::time_point t = Clock::now();
      for (auto& [name, file] : now) {
        auto old = files_.find(name);
        if (old == files_.end() || old->second.size != file.size || old->second.time != file.time) {
          file.since = t;  // new or changed: its clock starts again
          continue;
        }
        file.since = old->second.since;
        file.taken = old->second.taken;
        // An empty file is one whose writer has not begun.
        if (!file.taken && file.size > 0 && t - file.since >= steady_) {
          file.taken = true;
          names->push_back(name);  // the map keeps them in name order
        }
      }
      files_ = std::move(now);  // files that went away are forgotten
      if (!names->empty()) return Event::kArrived;
    }
  }

 private:
  struct File {
    std::uintmax_t size = 0;
    fs::file_time_type time;
    Clock::time_point since;
    bool taken = false;
  };
  using Files = std::map<std::string, File>;

  // The regular files in the folder; kGone when the folder is no longer the
  // one watched.
  Event Scan(Files* files, std::string* error) const {
    struct stat st;
    if (stat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != device_ ||
        st.st_ino != inode_)
      return Event::kGone;
    std::error_code ec;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code file_ec;
      if (!it->is_regular_file(file_ec)) continue;
      File file;
      file.size = it->file_size(file_ec);
      if (!file_ec) file.time = it->last_write_time(file_ec);
      if (!file_ec) (*files)[it->path().filename().string()] = file;
    }
    if (!ec) return Event::kArrived;
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory)
      return Event::kGone;
    *error = ec.message();
    return Event::kFailed;
  }

  std::string folder_;
  std::chrono::milliseconds interval_, steady_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  Files files_;
};

}  // namespace

std::unique_ptr<FolderWatch> PollFolder(const std::string& folder,
                                        std::chrono::milliseconds interval,
                                        std::chrono::milliseconds steady, std::string* error) {
  auto watch = std::make_unique<PollingWatch>(folder, interval, steady);
  if (!watch->Start(error)) return nullptr;
  return watch;
}

std::unique_ptr<FolderWatch> WatchFolder(const std::string& folder, std::string* error) {
#if defined(__linux__)
  bool unavailable = false;
  if (auto watch = InotifyFolder(folder, error, &unavailable); watch || !unavailable) return watch;
#endif
  // A file counts as finished once it has kept its size for a second.
  return PollFolder(folder, std::chrono::milliseconds(250), std::chrono::seconds(1), error);
}

}  // namespace cli
