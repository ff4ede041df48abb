// Clear, add and show runs against the independently computed composite.
#include <gtest/gtest.h>

#include <string>

#include "focus/reference.h"
#include "host_test_support.h"

namespace {

using host::DriverMode;
using host::FilterHost;
using host::Picture;
using hostsupport::PatternPicture;

// The composite by the focus tests' whole-picture statement of Add and Show:
// transparent pixels whitened, those under half opaque not selected, white
// where nothing was added; the target keeps its extra planes.
Picture ReferenceComposite(const std::vector<Picture>& series, const Picture& target) {
  focustest::BufferSet set;
  for (const Picture& p : series) {
    const Picture whitened = hostsupport::Whitened(p);
    focustest::Picture f(p.width, p.height, p.colorPlanes, p.depth);
    std::vector<std::uint8_t> mask;
    for (int y = 0; y < p.height; ++y) {
      for (int x = 0; x < p.width; ++x) {
        for (int k = 0; k < p.colorPlanes; ++k)
          f.at(x, y, k) = std::uint16_t(whitened.Get(x, y, k));
        const std::uint32_t t = p.HasAlpha() ? p.Get(x, y, p.colorPlanes) : 0;
        if (p.HasAlpha()) mask.push_back(std::uint8_t(p.depth == 8 ? t : t * 2 / 257));
      }
    }
    focustest::ReferenceAdd(&set, f, 0, 0, p.width, p.height, mask);
  }
  const std::uint8_t white[3] = {255, 255, 255};
  const focustest::Picture shown =
      focustest::ReferenceShow(set, target.colorPlanes, target.depth, white);
  Picture expected = target;
  for (int y = 0; y < target.height; ++y) {
    for (int x = 0; x < target.width; ++x) {
      for (int k = 0; k < target.colorPlanes; ++k) expected.Set(x, y, k, shown.at(x, y, k));
    }
  }
  return expected;
}

class EndToEnd : public hostsupport::RunFixture {};

// Each series shown through the linked entry point driven with advanceState
// and through the module loaded from disk driven with Continue. On layers the
// transparency is the selection of Add: clear and faint pixels are neither
// counted nor taken, places no picture covers show the background, and Show
// on a layer keeps the layer's transparency.
TEST_F(EndToEnd, FocusSeriesGivesTheIndependentlyComputedComposite) {
  // Loaded once and never unloaded, as an editor keeps its plug-ins.
  static host::PluginModule& module = *new host::PluginModule;
  std::string error;
  ASSERT_TRUE(module.IsLoaded() ||
              module.Load(host::PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin"), &error))
      << error;
  struct Shape {
    int colourPlanes, depth, extraPlanes;
  };
  const struct {
    const char* name;
    std::vector<Shape> series;  // the last one is the shape shown
  } scenarios[] = {
      {"rgb8", {{3, 8, 0}, {3, 8, 0}, {3, 8, 0}, {3, 8, 0}}},
      {"grey16", {{1, 16, 0}, {1, 16, 0}, {1, 16, 0}}},
      {"mixed", {{3, 8, 0}, {1, 16, 0}, {1, 8, 0}, {3, 16, 0}, {3, 16, 0}}},
      {"mixed_shown_grey", {{3, 16, 0}, {3, 8, 0}, {1, 8, 0}, {1, 8, 0}}},
      {"layers", {{3, 8, 1}, {1, 16, 1}, {3, 8, 2}, {3, 16, 1}}},
  };
  std::uint32_t seed = 7;
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    std::vector<Picture> series;
    for (const Shape& shape : s.series) {
      series.push_back(
          PatternPicture(23, 17, shape.colourPlanes, shape.extraPlanes, shape.depth, seed++));
    }
    const Picture target = series.back();
    series.pop_back();
    const Picture expected = ReferenceComposite(series, target);
    for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
      FilterHost h(mode == DriverMode::kAdvanceState ? &ENTRYPOINT : module.Entry());
      auto run = [&](const Picture& picture, std::int32_t operation) {
        h.picture = picture;
        EXPECT_EQ(h.Run(Scripted(mode, operation)).result, noErr);
        return h.picture;
      };
      run(series.front(), kOperationClearBuffer);
      for (const Picture& p : series) {
        EXPECT_EQ(run(p, kOperationAddToBuffer).data, hostsupport::Whitened(p).data)
            << "adding leaves the picture alone";
      }
      EXPECT_EQ(run(target, kOperationShowBuffer).data, expected.data);
    }
  }
}

}  // namespace
