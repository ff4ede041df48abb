// Arrivals in one folder: the names of the files whose writer has finished
// with them. On Linux the kernel says so (a close after writing, or a rename
// into the folder) and waiting costs no processor time; elsewhere the folder
// is looked at a few times a second and a file counts as finished once its
// size and time stamp have stayed the same for a while.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace cli {

class FolderWatch {
 public:
  enum class Event {
    kArrived,      // *names holds one or more finished files
    kInterrupted,  // Ctrl-C
    kGone,         // the folder was deleted, moved away or unmounted
    kFailed,       // *error says why
  };
  virtual ~FolderWatch() = default;

  // Blocks until files have been finished, Ctrl-C or the end of the folder.
  // The names are those of regular files in the folder, in name order, every
  // one that was finished (the caller chooses the pictures among them); files
  // finished close together come in one call.
  virtual Event Wait(std::vector<std::string>* names, std::string* error) = 0;
};

// The system's best watch of `folder`, an existing folder; null, with the
// reason in *error, when it cannot be watched. Files already there when it
// starts count only once they are written again.
std::unique_ptr<FolderWatch> WatchFolder(const std::string& folder, std::string* error);

// The portable watch: looks every `interval` and takes a file whose size and
// time stamp have not changed for `steady`.
std::unique_ptr<FolderWatch> PollFolder(const std::string& folder,
                                        std::chrono::milliseconds interval,
                                        std::chrono::milliseconds steady, std::string* error);

#if defined(__linux__)
// The watch through inotify. *unavailable says that the failure is the
// system's (no inotify, or its limits reached), so that polling may stand in.
std::unique_ptr<FolderWatch> InotifyFolder(const std::string& folder, std::string* error,
                                           bool* unavailable);
#endif

}  // namespace cli
