// Whole runs through the entry point on a private drive root, snapshots of
// that root, and the buffer files' states.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "host/host_test_support.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/platform/test_hooks.h"

namespace reliability {

using Bytes = std::vector<unsigned char>;
using DirSnapshot = std::map<std::string, Bytes>;  // regular files by name

inline const char* const kBufferFiles[3] = {"CountVXBuffer.xxx", "BestVariance.xxx",
                                            "BestFocus.xxx"};

inline DirSnapshot Snapshot(const std::filesystem::path& dir) {
  DirSnapshot out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    out[entry.path().filename().string()] = Bytes(std::istreambuf_iterator<char>(in), {});
  }
  return out;
}

// Makes the directory hold exactly the snapshot's files.
inline void Restore(const std::filesystem::path& dir, const DirSnapshot& snapshot) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::filesystem::remove_all(entry.path());
  }
  for (const auto& [name, bytes] : snapshot) {
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
}

// The buffer files alone (absent files are left out).
inline DirSnapshot BufferFiles(const DirSnapshot& all) {
  DirSnapshot out;
  for (const char* name : kBufferFiles) {
    if (all.count(name) != 0) out[name] = all.at(name);
  }
  return out;
}

// Pixels of `now` whose count, measure and colour together are neither those
// of `before` nor of `after`. A smaller set (or none) reads as zero beyond
// its edges, which is what growing it adds.
inline int MixedPixels(const DirSnapshot& before, const DirSnapshot& after,
                       const DirSnapshot& now) {
  const int sizes[3] = {2, 4, 6};
  auto field = [](const Bytes& b, std::size_t at) { return int(b[at]) | int(b[at + 1]) << 8; };
  auto tuple = [&](const DirSnapshot& set, int x, int y) {
    std::string t;
    for (int f = 0; f < 3; ++f) {
      const auto it = set.find(kBufferFiles[f]);
      const int w = it == set.end() ? 0 : field(it->second, 2);
      const int h = it == set.end() ? 0 : field(it->second, 4);
      for (int k = 0; k < sizes[f]; ++k) {
        const std::size_t at = 6 + (std::size_t(y) * w + x) * sizes[f] + k;
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

// A host with its own drive root, a scratch folder beside it for picture
// files, and a scripting host that runs one operation without any dialog.
class RunFixture : public hostsupport::RunFixture {
 protected:
  void SetUp() override {
    hostsupport::RunFixture::SetUp();
    ResetPlatform();
    scratch_ = root.dir().parent_path() / (root.dir().filename().string() + "-scratch");
    std::filesystem::create_directories(scratch_);
  }
  void TearDown() override {
    ResetPlatform();
    std::error_code ec;
    std::filesystem::remove_all(scratch_, ec);
    hostsupport::RunFixture::TearDown();
  }
  static void ResetPlatform() {
    platform::test::ClearFaults();
    platform::test::SetMappingRefused(false);
    platform::test::SetStoreAccess(platform::test::StoreAccess::kSystem);
  }

  // Runs `operation` on `picture`; the picture the run leaves replaces it.
  host::RunResult RunOn(host::Picture* picture, std::int32_t operation,
                        host::DriverMode mode = host::DriverMode::kAdvanceState) {
    host::FilterHost h(&ENTRYPOINT);
    h.picture = *picture;
    const host::RunResult r = h.Run(Scripted(mode, operation));
    *picture = h.picture;
    ReleaseDataSlot(h);
    return r;
  }
  // An editor keeps the plug-in's run state in its data slot until it quits;
  // a test's editor quits after every run.
  static void ReleaseDataSlot(const host::FilterHost& h) {
    if (h.DataSlot() != 0) DisposeHandleBlock(reinterpret_cast<Handle>(h.DataSlot()));
  }
  OSErr Add(const host::Picture& p, host::DriverMode mode = host::DriverMode::kAdvanceState) {
    host::Picture copy = p;
    return RunOn(&copy, kOperationAddToBuffer, mode).result;
  }
  OSErr Clear() {
    host::Picture p = hostsupport::PatternPicture(1, 1, 3, 0, 8, 1);
    return RunOn(&p, kOperationClearBuffer).result;
  }
  // Shows the buffer into a fresh w x h RGB picture; `result` gets the status.
  host::Picture Show(int w, int h, OSErr* result, int depth = 8) {
    host::Picture p = hostsupport::PatternPicture(w, h, 3, 0, depth, 5);
    *result = RunOn(&p, kOperationShowBuffer).result;
    return p;
  }
  bool SetIsValid() {
    std::int16_t w = 0, h = 0;
    return CheckFocusBufferSet(&w, &h);
  }

  DirSnapshot Files() const { return Snapshot(root.dir()); }
  DirSnapshot Buffer() const { return BufferFiles(Snapshot(root.dir())); }

  std::filesystem::path scratch_;
};

}  // namespace reliability
