// Shared pieces of the run tests.
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
#include "support/temp_root.h"

namespace hostsupport {

inline constexpr std::uint32_t kOperationKey = FourCC("EFMd");
inline constexpr std::uint32_t kOperationType = FourCC("rB42");
inline constexpr host::DriverMode kModes[] = {host::DriverMode::kAdvanceState,
                                              host::DriverMode::kContinue};

// Varied samples; with extra planes, about one pixel in five fully transparent
// and one in five fully opaque.
inline host::Picture PatternPicture(int width, int height, int colourPlanes, int extraPlanes,
                                    int depth, std::uint32_t seed) {
  host::Picture p;
  p.Allocate(width, height, colourPlanes, extraPlanes, depth);
  const std::uint32_t top = depth == 16 ? 32768u : 255u;
  // A generator of its own: the library's random engines differ by platform.
  std::uint32_t state = seed * 2654435761u + 12345u;
  auto below = [&state](std::uint32_t n) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % n;
  };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < p.planes; ++k) {
        std::uint32_t v = below(top + 1);
        if (k == colourPlanes) {
          const std::uint32_t pick = below(5);
          if (pick == 0) v = 0;
          if (pick == 1) v = top;
        }
        p.Set(x, y, k, v);
      }
  return p;
}

// A private drive root, hooks off before and after, and (on POSIX) a terminal path
// naming no terminal, so that a dialog nobody asked for fails instead of waiting.
class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    setenv("SHARPSTACK_TTY", root.File("tty.txt").string().c_str(), 1);
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

  // A run playing back `operation` without a dialog. Clear leaves the samples
  // alone: such a run hands back what the driver made of the picture.
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

inline const char* ModeName(host::DriverMode mode) {
  return mode == host::DriverMode::kAdvanceState ? "advanceState" : "continue";
}

}  // namespace hostsupport
