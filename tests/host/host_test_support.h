// Shared pieces of the run-driver tests: deterministic pictures, the fixture
// that gives every test a private drive root and a scripting host, and what a
// processing hook saw of the run's stores.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/picture.h"
#include "cli/hostlib/plugin_module.h"
#include "cli/hostlib/scripting_host.h"
#include "interface/filter_record.h"
#include "plugin/core/strings.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/host/run_state.h"
#include "plugin/host/test_hooks.h"
#include "plugin/storage/store.h"
#include "support/temp_root.h"

namespace hostsupport {

inline constexpr std::uint32_t kOperationKey = FourCC("EFMd");
inline constexpr std::uint32_t kOperationType = FourCC("rB42");

// A small deterministic generator (the tests must not depend on the library's
// random engines).
class Lcg {
 public:
  explicit Lcg(std::uint32_t seed) : state_(seed * 2654435761u + 12345u) {}
  std::uint32_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }
  std::uint32_t Below(std::uint32_t n) { return Next() % n; }

 private:
  std::uint32_t state_;
};

// A picture with varied samples. When it has extra planes, about one pixel in
// five has its first extra sample at 0 (fully transparent) and one in five at
// full opacity.
inline host::Picture PatternPicture(int width, int height, int colourPlanes, int extraPlanes,
                                    int depth, std::uint32_t seed) {
  host::Picture p;
  p.Allocate(width, height, colourPlanes, extraPlanes, depth);
  const std::uint32_t top = depth == 16 ? 32768u : 255u;
  Lcg lcg(seed);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int k = 0; k < p.planes; ++k) {
        std::uint32_t v = lcg.Below(top + 1);
        if (k == colourPlanes) {
          const std::uint32_t pick = lcg.Below(5);
          if (pick == 0) v = 0;
          if (pick == 1) v = top;
        }
        p.Set(x, y, k, v);
      }
    }
  }
  return p;
}

// The picture as the plug-in's colour store should hold it: the colour
// samples of the area, packed, with fully transparent pixels white.
inline std::vector<std::uint32_t> ExpectedColour(const host::Picture& p, const host::Area& a) {
  const std::uint32_t white = p.depth == 16 ? 32768u : 255u;
  std::vector<std::uint32_t> out;
  for (int y = a.top; y < a.bottom; ++y) {
    for (int x = a.left; x < a.right; ++x) {
      const bool clear = p.HasAlpha() && p.Get(x, y, p.colorPlanes) == 0;
      for (int k = 0; k < p.colorPlanes; ++k) out.push_back(clear ? white : p.Get(x, y, k));
    }
  }
  return out;
}

inline std::vector<std::uint32_t> ExpectedExtra(const host::Picture& p, const host::Area& a) {
  std::vector<std::uint32_t> out;
  for (int y = a.top; y < a.bottom; ++y) {
    for (int x = a.left; x < a.right; ++x) {
      for (int k = p.colorPlanes; k < p.planes; ++k) out.push_back(p.Get(x, y, k));
    }
  }
  return out;
}

// Every sample of a store, row after row, as integers of `bytes` bytes.
inline std::vector<std::uint32_t> StoreSamples(ImageStore* store, int bytes) {
  std::vector<std::uint32_t> out;
  if (store == nullptr) return out;
  StoreHeader header;
  GetStoreHeader(store, &header);
  const std::int32_t rowBytes = std::int32_t(header.width) * header.elementSize;
  std::vector<std::uint8_t> row(static_cast<std::size_t>(rowBytes));
  for (int y = 0; y < header.height; ++y) {
    ReadStoreRow(store, 0, y, rowBytes, row.data());
    for (std::size_t i = 0; i + std::size_t(bytes) <= row.size(); i += std::size_t(bytes)) {
      if (bytes == 1) {
        out.push_back(row[i]);
      } else {
        std::uint16_t v;
        std::memcpy(&v, row.data() + i, 2);
        out.push_back(v);
      }
    }
  }
  return out;
}

// Every run gets a private drive root, hooks switched off before and after,
// and (on POSIX) no terminal, so that a dialog nobody asked for fails instead
// of waiting.
class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    setenv("SHARPSTACK_TTY", "/dev/null", 1);
#endif
    ResetHooks();
  }
  void TearDown() override {
    ResetHooks();
  }

  static void ResetHooks() {
    hosttest::SetProcessingHook(nullptr);
    hosttest::SetRowBufferRefused(false);
    hosttest::FailStoreCreation(hosttest::RunStore::kNone, noErr);
  }

  // Options of a run that plays back a recorded step choosing `operation`
  // without a dialog. "Clear Buffer" leaves the picture's samples alone, so a
  // run with it hands back what the driver made of the picture.
  host::RunOptions Scripted(host::DriverMode mode, std::int32_t operation = kOperationClearBuffer) {
    scripting.SetPlayback({host::DescriptorItem::Enumerated(kOperationKey, kOperationType,
                                                            static_cast<std::uint32_t>(operation))},
                          plugInDialogOptional);
    host::RunOptions options;
    options.mode = mode;
    options.attach = [this](FilterRecord* record) { scripting.Attach(record); };
    return options;
  }

  testsupport::TempRoot root;
  host::ScriptingHost scripting;
};

// The module built next to the tests, loaded once and kept loaded for the
// whole test program as an editor keeps its plug-ins. Never unloaded, so that
// what the module keeps for the editor can still be told apart at exit.
inline host::PluginModule& LoadedModule(std::string* error) {
  static host::PluginModule* module = new host::PluginModule;
  if (!module->IsLoaded()) {
    module->Load(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin"), error);
  }
  return *module;
}

inline const char* ModeName(host::DriverMode mode) {
  return mode == host::DriverMode::kAdvanceState ? "advanceState" : "continue";
}

}  // namespace hostsupport
