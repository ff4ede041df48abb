// A whole focus stack through the built module, as an image editor on Windows
// runs it: Clear, Add for every picture of a series, then Show. The composite
// must be the one the Linux build makes of the same series (its digest was
// taken from a Linux run of this same scenario), and the module loaded by
// LoadLibrary must give exactly what the statically linked entry point gives.
//
// This file uses nothing of Windows, so the scenario builds anywhere; the
// pictures are made with integer arithmetic only, so that no library's
// floating-point functions can make the platforms' inputs differ.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/picture.h"
#include "cli/hostlib/plugin_module.h"
#include "cli/hostlib/scripting_host.h"
#include "interface/filter_record.h"
#include "plugin/core/strings.h"
#include "support/temp_root.h"

namespace {

constexpr std::uint32_t kOperationKey = FourCC("EFMd");
constexpr std::uint32_t kOperationType = FourCC("rB42");
constexpr std::uint32_t kClear = 4;
constexpr std::uint32_t kAdd = 5;
constexpr std::uint32_t kShow = 6;

// The composite digests of the 8-bit and 16-bit scenarios, from a run of
// this file built for Linux against the Linux module. A change of the
// stacking itself changes them; a difference between the platforms must not.
constexpr std::uint64_t kLinuxDigest8 = 0xd6590d040d37f5beull;
constexpr std::uint64_t kLinuxDigest16 = 0x9f93e7fcee16b4d9ull;

std::uint64_t Digest(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (std::uint8_t b : bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

// A textured scene photographed three times: picture k is sharp in the k-th
// third of its width and box-blurred elsewhere.
std::vector<host::Picture> Series(int depth) {
  const int width = 48;
  const int height = 20;
  const int planes = 3;
  const std::uint32_t top = depth == 16 ? 32768u : 255u;
  host::Picture scene;
  scene.Allocate(width, height, planes, 0, depth);
  std::uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int k = 0; k < planes; ++k) {
        state = state * 1664525u + 1013904223u;
        scene.Set(x, y, k, (state >> 8) % (top + 1));
      }
    }
  }
  std::vector<host::Picture> frames;
  for (int f = 0; f < 3; ++f) {
    host::Picture p = scene;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (x * 3 / width == f) continue;  // in focus
        for (int k = 0; k < planes; ++k) {
          std::uint32_t sum = 0;
          int n = 0;
          for (int dy = -2; dy <= 2; ++dy) {
            for (int dx = -2; dx <= 2; ++dx) {
              const int sx = x + dx;
              const int sy = y + dy;
              if (sx < 0 || sy < 0 || sx >= width || sy >= height) continue;
              sum += scene.Get(sx, sy, k);
              ++n;
            }
          }
          p.Set(x, y, k, sum / std::uint32_t(n));
        }
      }
    }
    frames.push_back(p);
  }
  return frames;
}

// Runs the whole stack through `entry` in a fresh drive root; returns the
// composite that Show wrote into a picture of the series' size.
std::vector<std::uint8_t> Stack(EntryPointProc entry, int depth, host::DriverMode mode) {
  testsupport::TempRoot root;
  host::ScriptingHost scripting;
  auto run = [&](host::Picture picture, std::uint32_t operation) {
    host::FilterHost editor(entry);
    editor.picture = std::move(picture);
    scripting.SetPlayback(
        {host::DescriptorItem::Enumerated(kOperationKey, kOperationType, operation)},
        plugInDialogOptional);
    host::RunOptions options;
    options.mode = mode;
    options.attach = [&scripting](FilterRecord* record) { scripting.Attach(record); };
    const host::RunResult result = editor.Run(options);
    EXPECT_EQ(result.result, noErr) << "operation " << operation;
    return editor.picture;
  };
  const std::vector<host::Picture> frames = Series(depth);
  run(frames[0], kClear);
  for (const host::Picture& frame : frames) run(frame, kAdd);
  host::Picture canvas = frames[0];
  return run(canvas, kShow).data;
}

std::string Hex(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(v));
  return text;
}

class EndToEnd : public ::testing::TestWithParam<int> {};

TEST_P(EndToEnd, TheLoadedModuleStacksLikeTheLinuxBuild) {
  const int depth = GetParam();
  host::PluginModule module;
  std::string error;
  ASSERT_TRUE(module.Load(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin"), &error))
      << error;
  const std::vector<std::uint8_t> loaded =
      Stack(module.Entry(), depth, host::DriverMode::kAdvanceState);
  const std::vector<std::uint8_t> linked = Stack(&ENTRYPOINT, depth, host::DriverMode::kContinue);
  EXPECT_EQ(loaded, linked);
  // The composite is a real stack, not one of the inputs handed back.
  for (const host::Picture& frame : Series(depth)) EXPECT_NE(loaded, frame.data);
  const std::uint64_t expected = depth == 8 ? kLinuxDigest8 : kLinuxDigest16;
  EXPECT_EQ(Hex(Digest(loaded)), Hex(expected))
      << "composite digest of the " << depth << "-bit stack";
}

INSTANTIATE_TEST_SUITE_P(Depths, EndToEnd, ::testing::Values(8, 16),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return std::to_string(param.param) + "bit";
                         });

}  // namespace
