// Recorded clear, add and show runs against the independently computed composite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "cli/hostlib/plugin_module.h"
#include "focus/reference.h"
#include "host_test_support.h"
#include "tools/series/series.h"

namespace {

using host::DriverMode;
using host::FilterHost;
using host::Picture;
using host::RunResult;
using hostsupport::Lcg;
using hostsupport::PatternPicture;
using hostsupport::RunFixture;

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

struct Shape {
  int colourPlanes;
  int depth;
  int extraPlanes = 0;
};

// The synthetic series generator's 16-bit RGB frames, each in its own shape:
// grey as the mean of the channels, 8 bits rounded from the 16-bit scale.
std::vector<Picture> FocusSeries(int w, int h, const std::vector<Shape>& shapes,
                                 std::uint32_t seed) {
  series::SeriesOptions options;
  options.width = w;
  options.height = h;
  options.frames = int(shapes.size());
  options.depth = 16;
  options.seed = seed;
  const series::FocusSeries made = series::MakeFocusSeries(options);
  std::vector<Picture> out;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    const Picture& f = made.frames[i];
    Picture& p = out.emplace_back();
    p.Allocate(w, h, shapes[i].colourPlanes, 0, shapes[i].depth);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        for (int k = 0; k < p.colorPlanes; ++k) {
          const double v = p.colorPlanes == 3
                               ? f.Get(x, y, k)
                               : (f.Get(x, y, 0) + f.Get(x, y, 1) + f.Get(x, y, 2)) / 3.0;
          p.Set(x, y, k, std::uint32_t(std::lround(p.depth == 8 ? v * 255 / 32768 : v)));
        }
      }
    }
  }
  return out;
}

// A layer made from `p`: the same colour, and a transparency plane whose
// values are clear, faint, mostly opaque or opaque.
Picture AsLayer(const Picture& p, std::uint32_t seed) {
  Picture out;
  out.Allocate(p.width, p.height, p.colorPlanes, 1, p.depth);
  const std::uint32_t levels8[4] = {0, 100, 200, 255};
  const std::uint32_t levels16[4] = {0, 5000, 30000, 32768};
  Lcg lcg(seed);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      for (int k = 0; k < p.colorPlanes; ++k) out.Set(x, y, k, p.Get(x, y, k));
      // Mostly opaque, so that the neighbourhoods stay the picture's own; the
      // first column is clear in every picture: never covered.
      const std::uint32_t pick = x == 0 ? 0 : std::min(lcg.Below(8), 3u);
      out.Set(x, y, p.colorPlanes, p.depth == 8 ? levels8[pick] : levels16[pick]);
    }
  }
  return out;
}

// Over a whole run the bar only moves forward: reading fills the first sixth,
// the operation the middle four (`passes` reports a row), writing back the last.
void ExpectProgressRises(const RunResult& r, int height, int passes) {
  ASSERT_FALSE(r.progress.empty());
  std::vector<double> fractions;
  for (const auto& [done, total] : r.progress) fractions.push_back(double(done) / double(total));
  EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
  EXPECT_EQ(r.progress.front().first, 0);
  EXPECT_EQ(r.progress.back(), std::make_pair(6 * height - 1, 6 * height));
  EXPECT_EQ(std::count_if(fractions.begin(), fractions.end(),
                          [](double f) { return f >= 1.0 / 6.0 && f < 5.0 / 6.0; }),
            std::ptrdiff_t(passes * height));
}

class EndToEnd : public RunFixture {
 protected:
  // Clears the buffer, adds every picture of the series, shows the composite
  // on `target`; returns the composite.
  Picture StackAndShow(EntryPointProc entry, const std::vector<Picture>& series,
                       const Picture& target, DriverMode mode) {
    FilterHost h(entry);
    auto run = [&](const Picture& picture, std::int32_t operation) {
      h.picture = picture;
      const RunResult r = h.Run(Scripted(mode, operation));
      EXPECT_EQ(r.result, noErr);
      if (operation != kOperationClearBuffer) {
        ExpectProgressRises(r, picture.height, operation == kOperationShowBuffer ? 2 : 1);
      }
      // The plug-in hands back the step it carried out, for the action to record.
      std::vector<host::DescriptorItem> recorded;
      EXPECT_TRUE(scripting.RecordedItems(&recorded));
      EXPECT_EQ(
          recorded,
          std::vector<host::DescriptorItem>({host::DescriptorItem::Enumerated(
              hostsupport::kOperationKey, hostsupport::kOperationType, std::uint32_t(operation))}));
      return h.picture;
    };
    run(series.front(), kOperationClearBuffer);
    for (const Picture& p : series) {
      EXPECT_EQ(run(p, kOperationAddToBuffer).data, hostsupport::Whitened(p).data)
          << "adding leaves the picture alone";
    }
    return run(target, kOperationShowBuffer);
  }
};

// Each series shown through the linked entry point driven with advanceState
// and through the module loaded from disk driven with Continue. On layers the
// transparency is the selection of Add: clear and faint pixels are neither
// counted nor taken, places no picture covers show the background, and Show
// on a layer keeps the layer's transparency.
TEST_F(EndToEnd, FocusSeriesGivesTheIndependentlyComputedComposite) {
  std::string error;
  host::PluginModule& module = hostsupport::LoadedModule(&error);
  ASSERT_TRUE(module.IsLoaded()) << error;
  const struct {
    const char* name;
    std::vector<Shape> series;
    Shape target;
    bool layers = false;
  } scenarios[] = {
      {"rgb8", {{3, 8}, {3, 8}, {3, 8}}, {3, 8}},
      {"grey16", {{1, 16}, {1, 16}, {1, 16}}, {1, 16}},
      {"mixed", {{3, 8}, {1, 16}, {1, 8}, {3, 16}}, {3, 16}},
      {"mixed_shown_grey", {{3, 16}, {3, 8}, {1, 8}}, {1, 8}},
      {"layers", {{3, 8}, {1, 16}, {3, 8}}, {3, 8, 1}, true},
  };
  std::uint32_t seed = 7;
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    std::vector<Picture> series = FocusSeries(24, 17, s.series, seed++);
    for (std::size_t i = 0; s.layers && i < series.size(); ++i) {
      series[i] = AsLayer(series[i], 40 + std::uint32_t(i));
    }
    const Picture target =
        PatternPicture(24, 17, s.target.colourPlanes, s.target.extraPlanes, s.target.depth, 99);
    const Picture expected = ReferenceComposite(series, target);
    EXPECT_EQ(StackAndShow(&ENTRYPOINT, series, target, DriverMode::kAdvanceState).data,
              expected.data);
    EXPECT_EQ(StackAndShow(module.Entry(), series, target, DriverMode::kContinue).data,
              expected.data);
  }
}

}  // namespace
