// Whole runs through the entry point on a private drive root, snapshots of
// that root, the buffer files' states, and a forked copy of the test that
// stops part-way until the test lets it go on.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "host/host_test_support.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/platform/test_hooks.h"
#include "support/sharpstack_process.h"

namespace reliability {

using Bytes = std::vector<unsigned char>;
using DirSnapshot = std::map<std::string, Bytes>;  // regular files by name

inline const char* const kBufferFiles[3] = {"CountVXBuffer.xxx", "BestVariance.xxx",
                                            "BestFocus.xxx"};

// The regular files of `dir`, or the buffer files of them alone.
inline DirSnapshot Snapshot(const std::filesystem::path& dir, bool bufferOnly = false) {
  DirSnapshot out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string(),
                      bytes = testsupport::Slurp(entry.path());
    if (entry.is_regular_file() &&
        (!bufferOnly || std::count(kBufferFiles, kBufferFiles + 3, name)))
      out[name] = Bytes(bytes.begin(), bytes.end());
  }
  return out;
}

// Makes the directory hold exactly the snapshot's files.
inline void Restore(const std::filesystem::path& dir, const DirSnapshot& snapshot) {
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    std::filesystem::remove_all(entry.path());
  for (const auto& [name, bytes] : snapshot)
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Pixels of `now` whose count, measure and colour together are neither those
// of `before` nor of `after`. A smaller set (or none) reads as zero beyond
// its edges, which is what growing it adds.
inline int MixedPixels(const DirSnapshot& before, const DirSnapshot& after,
                       const DirSnapshot& now) {
  auto field = [](const Bytes& b, std::size_t at) { return int(b[at]) | int(b[at + 1]) << 8; };
  auto tuple = [&](const DirSnapshot& set, int x, int y) {
    std::string t;
    for (int f = 0; f < 3; ++f) {
      const auto it = set.find(kBufferFiles[f]);
      const int w = it == set.end() ? 0 : field(it->second, 2);
      const int h = it == set.end() ? 0 : field(it->second, 4);
      for (int k = 0; k < 2 * f + 2; ++k) {
        const std::size_t at = 6 + (std::size_t(y) * w + x) * (2 * f + 2) + k;
        t += x < w && y < h && at < it->second.size() ? char(it->second[at]) : '\0';
      }
    }
    return t;
  };
  const Bytes& count = after.at(kBufferFiles[0]);
  int mixed = 0;
  for (int y = 0; y < field(count, 4); ++y) {
    for (int x = 0; x < field(count, 2); ++x) {
      const std::string t = tuple(now, x, y);
      mixed += t != tuple(before, x, y) && t != tuple(after, x, y);
    }
  }
  return mixed;
}

// A forked copy of the test that runs `body` (its exit code), which stops
// itself with Pause() where the test wants to act in between.
class PausedChild {
 public:
  explicit PausedChild(const std::function<int()>& body) : pid_(fork()) {
    if (pid_ == 0) _exit(body());
  }
  ~PausedChild() {
    if (pid_ > 0) {
      const testsupport::KillOnExit stop{pid_};  // ends a child still paused
    }
  }
  PausedChild(const PausedChild&) = delete;
  PausedChild& operator=(const PausedChild&) = delete;
  static void Pause() { raise(SIGSTOP); }
  // In the test: true once the child has paused.
  bool WaitUntilPaused() {
    int status = 0;
    return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
  }
  // In the test: lets the child go on; its exit code.
  int Resume() {
    kill(pid_, SIGCONT);
    return testsupport::Wait({pid_, {}, {}}).code;
  }

 private:
  pid_t pid_;
};

// A host with its own drive root, a scratch folder beside it for picture
// files, and a scripting host that runs one operation without any dialog.
class RunFixture : public hostsupport::RunFixture {
 protected:
  void SetUp() override {
    hostsupport::RunFixture::SetUp();
    scratch_ = root.dir().string() + "-scratch";
    std::filesystem::create_directories(scratch_);
  }
  void TearDown() override {  // every test of this program starts clean
    platform::test::ClearFaults();
    platform::test::SetStoreAccess(platform::test::StoreAccess::kSystem);
    std::error_code ec;
    std::filesystem::remove_all(scratch_, ec);
    hostsupport::RunFixture::TearDown();
  }

  // Runs `operation` on `picture`; the picture the run leaves replaces it.
  host::RunResult RunOn(host::Picture* picture, std::int32_t operation,
                        host::DriverMode mode = host::DriverMode::kAdvanceState) {
    host::FilterHost h(&ENTRYPOINT);
    h.picture = *picture;
    const host::RunResult r = h.Run(Scripted(mode, operation));
    *picture = h.picture;
    // An editor keeps the plug-in's run state in its data slot until it
    // quits; a test's editor quits after every run.
    if (h.DataSlot() != 0) DisposeHandleBlock(reinterpret_cast<Handle>(h.DataSlot()));
    return r;
  }
  OSErr Add(host::Picture p, host::DriverMode mode = host::DriverMode::kAdvanceState) {
    return RunOn(&p, kOperationAddToBuffer, mode).result;
  }
  OSErr Clear() {
    host::Picture p = hostsupport::PatternPicture(1, 1, 3, 0, 8, 1);
    return RunOn(&p, kOperationClearBuffer).result;
  }
  // Shows the buffer into a fresh w x h RGB picture; `result` gets the
  // status, or else it must succeed.
  host::Picture Show(int w, int h, OSErr* result = nullptr, int depth = 8) {
    host::Picture p = hostsupport::PatternPicture(w, h, 3, 0, depth, 5);
    const OSErr shown = RunOn(&p, kOperationShowBuffer).result;
    if (result != nullptr) *result = shown;
    EXPECT_TRUE(result != nullptr || shown == noErr) << shown;
    return p;
  }
  bool SetIsValid(std::int16_t* w = nullptr, std::int16_t* h = nullptr) {
    std::int16_t sw = 0, sh = 0;
    return CheckFocusBufferSet(w != nullptr ? w : &sw, h != nullptr ? h : &sh);
  }
  // The sharpstack command on this root.
  testsupport::Process Spawn(const std::vector<std::string>& args) const {
    return testsupport::Spawn(root.dir(), scratch_, args);
  }
  testsupport::CliResult Cli(const std::vector<std::string>& args) const {
    return testsupport::Wait(Spawn(args));
  }

  DirSnapshot Files() const { return Snapshot(root.dir()); }
  DirSnapshot Buffer() const { return Snapshot(root.dir(), true); }

  std::filesystem::path scratch_;
};

}  // namespace reliability
