// Whole runs through the entry point, as an editor replaying a recorded action
// makes them: clear the buffer, add a focus series picture by picture, show
// the composite. The composite is computed here on its own from the rules of
// the buffer (sharpest pixel wins, measured over the 20 nearest neighbours)
// and of the stretch that shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "cli/hostlib/plugin_module.h"
#include "host_test_support.h"

namespace {

using host::DriverMode;
using host::FilterHost;
using host::Picture;
using host::RunResult;
using hostsupport::Lcg;
using hostsupport::ModeName;
using hostsupport::PatternPicture;
using hostsupport::RunFixture;

// ---------------------------------------------------------------------------
// The reference: the buffer as a plain array of 16-bit triples.
struct Triple {
  std::uint32_t c[3];
};

struct Reference {
  int width = 0;
  int height = 0;
  std::vector<Triple> focus;
  std::vector<float> variance;
  std::vector<std::uint32_t> count;
};

// A picture's samples on the buffer's scale, three channels per pixel; a
// fully transparent pixel of a layer reaches the buffer as white.
std::vector<Triple> OnBufferScale(const Picture& p) {
  std::vector<Triple> out(std::size_t(p.width) * std::size_t(p.height));
  const std::uint32_t white = p.depth == 8 ? 255u : 32768u;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const bool clear = p.HasAlpha() && p.Get(x, y, p.colorPlanes) == 0;
      Triple t{};
      for (int k = 0; k < 3; ++k) {
        const std::uint32_t s = clear ? white : p.Get(x, y, p.colorPlanes == 3 ? k : 0);
        t.c[k] = p.depth == 8 ? (257 * s + 1) / 2 : s;
      }
      out[std::size_t(y) * std::size_t(p.width) + std::size_t(x)] = t;
    }
  }
  return out;
}

// Whether Add takes a pixel: on a layer only where it is at least half
// opaque (the 16-bit test pictures keep clear of the rounding at the
// threshold, 16448).
bool Selected(const Picture& p, int x, int y) {
  if (!p.HasAlpha()) return true;
  const std::uint32_t t = p.Get(x, y, p.colorPlanes);
  return p.depth == 8 ? t >= 128 : t >= 16448;
}

// The sharpness of every pixel: squared differences to the 20 neighbours,
// summed in five groups of four per channel with 32-bit wrap-around, the
// picture's edge rows and columns repeated beyond it.
std::vector<double> Sharpness(const std::vector<Triple>& px, int w, int h) {
  static const int kGroups[5][4][2] = {
      {{-2, -1}, {-2, 0}, {-2, 1}, {-1, -2}}, {{-1, -1}, {-1, 0}, {-1, 1}, {-1, 2}},
      {{0, -2}, {0, -1}, {0, 1}, {0, 2}},     {{1, -1}, {1, 0}, {1, 1}, {1, 2}},
      {{2, -1}, {2, 0}, {2, 1}, {1, -2}},
  };
  auto at = [&](int x, int y) -> const Triple& {
    x = std::clamp(x, 0, w - 1);
    y = std::clamp(y, 0, h - 1);
    return px[std::size_t(y) * std::size_t(w) + std::size_t(x)];
  };
  std::vector<double> v(px.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint64_t total = 0;
      for (int k = 0; k < 3; ++k) {
        const std::int64_t c = at(x, y).c[k];
        for (const auto& group : kGroups) {
          std::uint32_t sum = 0;
          for (const auto& offset : group) {
            const std::int64_t d = c - std::int64_t(at(x + offset[1], y + offset[0]).c[k]);
            sum += std::uint32_t(d * d);
          }
          total += sum;
        }
      }
      v[std::size_t(y) * std::size_t(w) + std::size_t(x)] = double(total);
    }
  }
  return v;
}

void AddToReference(Reference* ref, const Picture& p) {
  if (ref->focus.empty()) {
    ref->width = p.width;
    ref->height = p.height;
    ref->focus.assign(std::size_t(p.width) * std::size_t(p.height), Triple{});
    ref->variance.assign(ref->focus.size(), 0.0F);
    ref->count.assign(ref->focus.size(), 0);
  }
  const std::vector<Triple> px = OnBufferScale(p);
  const std::vector<double> v = Sharpness(px, p.width, p.height);
  for (std::size_t i = 0; i < px.size(); ++i) {
    if (!Selected(p, int(i % std::size_t(p.width)), int(i / std::size_t(p.width)))) continue;
    ++ref->count[i];
    const float stored = ref->variance[i];
    // A measure of 0 always gives way; on equal measures the earlier image keeps the pixel.
    if (stored == 0.0F || double(stored) < v[i]) {
      ref->variance[i] = static_cast<float>(v[i]);
      ref->focus[i] = px[i];
    }
  }
}

// The composite as Show writes it into a picture of the buffer's size; pixels
// no image covered take the background, white.
Picture ShowReference(const Reference& ref, int colourPlanes, int depth) {
  Picture out;
  out.Allocate(ref.width, ref.height, colourPlanes, 0, depth);
  float lo = 1.0e9F, hi = -1.0e9F, sumLo = 1.0e9F, sumHi = -1.0e9F;
  for (std::size_t i = 0; i < ref.focus.size(); ++i) {
    if (ref.count[i] == 0) continue;
    const Triple& t = ref.focus[i];
    for (std::uint32_t c : t.c) {
      lo = std::min(lo, float(c));
      hi = std::max(hi, float(c));
    }
    const float sum = float(t.c[0] + t.c[1] + t.c[2]);
    sumLo = std::min(sumLo, sum);
    sumHi = std::max(sumHi, sum);
  }
  const double top = depth == 8 ? double(255.49F) : double(32768.49F);
  const bool grey = colourPlanes == 1;
  const float low = grey ? sumLo : lo;
  const float high = grey ? sumHi : hi;
  // The series below are never flat, so the stretch always applies.
  EXPECT_NE(low, high);
  const float offset = -low;
  const float scale = static_cast<float>(top / (double(high) - double(low)));
  for (int y = 0; y < ref.height; ++y) {
    for (int x = 0; x < ref.width; ++x) {
      const std::size_t i = std::size_t(y) * std::size_t(ref.width) + std::size_t(x);
      const Triple& t = ref.focus[i];
      if (ref.count[i] == 0) {
        // The background byte, times 128.5 and truncated at 16 bits.
        for (int k = 0; k < colourPlanes; ++k) out.Set(x, y, k, depth == 8 ? 255u : 32767u);
        continue;
      }
      if (grey) {
        const double g = (double(t.c[0] + t.c[1] + t.c[2]) + double(offset)) * double(scale);
        out.Set(x, y, 0, std::uint32_t(std::trunc(g)));
      } else {
        for (int k = 0; k < 3; ++k) {
          const double v = (double(t.c[k]) + double(offset)) * double(scale);
          out.Set(x, y, k, std::uint32_t(std::trunc(v)));
        }
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// A focus series: one texture, each picture sharp in its own vertical band and
// a box-blurred copy elsewhere.
struct Shape {
  int colourPlanes;
  int depth;
  int extraPlanes = 0;
};

std::vector<Picture> FocusSeries(int w, int h, const std::vector<Shape>& shapes,
                                 std::uint32_t seed) {
  Lcg lcg(seed);
  std::vector<double> texture(std::size_t(w) * std::size_t(h) * 3);
  for (double& t : texture) t = double(lcg.Below(1001)) / 1000.0;
  auto sharp = [&](int x, int y, int k) {
    return texture[(std::size_t(y) * std::size_t(w) + std::size_t(x)) * 3 + std::size_t(k)];
  };
  auto blurred = [&](int x, int y, int k) {
    double sum = 0;
    for (int dy = -2; dy <= 2; ++dy) {
      for (int dx = -2; dx <= 2; ++dx) {
        sum += sharp(std::clamp(x + dx, 0, w - 1), std::clamp(y + dy, 0, h - 1), k);
      }
    }
    return sum / 25.0;
  };
  std::vector<Picture> series;
  const int bands = int(shapes.size());
  for (int i = 0; i < bands; ++i) {
    Picture p;
    p.Allocate(w, h, shapes[std::size_t(i)].colourPlanes, 0, shapes[std::size_t(i)].depth);
    const double top = p.depth == 8 ? 255.0 : 32768.0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const bool inBand = x * bands / w == i;
        for (int k = 0; k < p.colorPlanes; ++k) {
          double v = 0;
          if (p.colorPlanes == 3) {
            v = inBand ? sharp(x, y, k) : blurred(x, y, k);
          } else {
            for (int c = 0; c < 3; ++c) v += (inBand ? sharp(x, y, c) : blurred(x, y, c)) / 3.0;
          }
          p.Set(x, y, k, std::uint32_t(std::lround(v * top)));
        }
      }
    }
    series.push_back(p);
  }
  return series;
}

// The picture as a run hands it back when the operation leaves the colour
// store alone: fully transparent pixels white.
Picture Whitened(const Picture& p) {
  Picture out = p;
  if (!p.HasAlpha()) return out;
  const std::uint32_t white = p.depth == 8 ? 255u : 32768u;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      if (p.Get(x, y, p.colorPlanes) != 0) continue;
      for (int k = 0; k < p.colorPlanes; ++k) out.Set(x, y, k, white);
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
      // Mostly opaque, so that the neighbourhoods stay the picture's own.
      std::uint32_t pick = lcg.Below(8);
      if (pick > 3) pick = 3;
      // The first column is clear in every picture: never covered.
      if (x == 0) pick = 0;
      out.Set(x, y, p.colorPlanes, p.depth == 8 ? levels8[pick] : levels16[pick]);
    }
  }
  return out;
}

// Over a whole run the bar only moves forward: reading fills the first sixth,
// the operation the middle four (in `passes` reports per row), writing back
// the last.
void ExpectProgressRises(const RunResult& r, int height, int passes) {
  ASSERT_FALSE(r.progress.empty());
  double last = -1.0;
  for (const auto& [done, total] : r.progress) {
    ASSERT_GT(total, 0);
    const double fraction = double(done) / double(total);
    EXPECT_GE(fraction, last) << done << " of " << total;
    EXPECT_LT(fraction, 1.0);
    last = fraction;
  }
  EXPECT_EQ(r.progress.front().first, 0);
  EXPECT_EQ(r.progress.back(), std::make_pair(6 * height - 1, 6 * height));
  // The operation reported in the middle of the bar.
  const auto middle = std::count_if(r.progress.begin(), r.progress.end(), [](const auto& p) {
    return double(p.first) / double(p.second) >= 1.0 / 6.0 &&
           double(p.first) / double(p.second) < 5.0 / 6.0;
  });
  EXPECT_EQ(middle, std::ptrdiff_t(passes * height));
}

// Where two pictures first differ, for a readable failure; empty when equal.
std::string FirstDifference(const Picture& actual, const Picture& expected) {
  if (actual.data.size() != expected.data.size()) return "sizes differ";
  for (int y = 0; y < actual.height; ++y) {
    for (int x = 0; x < actual.width; ++x) {
      for (int k = 0; k < actual.planes; ++k) {
        if (actual.Get(x, y, k) == expected.Get(x, y, k)) continue;
        return "pixel " + std::to_string(x) + "," + std::to_string(y) + " channel " +
               std::to_string(k) + ": " + std::to_string(actual.Get(x, y, k)) + " instead of " +
               std::to_string(expected.Get(x, y, k));
      }
    }
  }
  return "";
}

class EndToEnd : public RunFixture {
 protected:
  // One scripted run of `operation` on `picture` with the host `h`; the
  // picture the run leaves replaces `picture`.
  RunResult RunOn(FilterHost* h, Picture* picture, std::int32_t operation, DriverMode mode,
                  std::size_t abortAfterProgress = 0) {
    h->picture = *picture;
    host::RunOptions options = Scripted(mode, operation);
    options.abortAfterProgress = abortAfterProgress;
    const RunResult r = h->Run(options);
    *picture = h->picture;
    // The plug-in hands back the step it carried out, for the action to record.
    std::vector<host::DescriptorItem> recorded;
    EXPECT_TRUE(scripting.RecordedItems(&recorded));
    EXPECT_EQ(
        recorded,
        std::vector<host::DescriptorItem>({host::DescriptorItem::Enumerated(
            hostsupport::kOperationKey, hostsupport::kOperationType, std::uint32_t(operation))}));
    return r;
  }

  // Clears the buffer, adds every picture of the series, shows the composite
  // on `target`; returns the composite.
  Picture StackAndShow(EntryPointProc entry, const std::vector<Picture>& series, Picture target,
                       DriverMode mode) {
    FilterHost h(entry);
    Picture scratch = series.front();
    EXPECT_EQ(RunOn(&h, &scratch, kOperationClearBuffer, mode).result, noErr);
    for (const Picture& p : series) {
      Picture copy = p;
      const RunResult r = RunOn(&h, &copy, kOperationAddToBuffer, mode);
      EXPECT_EQ(r.result, noErr);
      ExpectProgressRises(r, p.height, 1);
      EXPECT_EQ(copy.data, Whitened(p).data) << "adding leaves the picture alone";
    }
    const RunResult r = RunOn(&h, &target, kOperationShowBuffer, mode);
    EXPECT_EQ(r.result, noErr);
    ExpectProgressRises(r, target.height, 2);
    return target;
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
    Reference ref;
    for (const Picture& p : series) AddToReference(&ref, p);
    const Picture target =
        PatternPicture(24, 17, s.target.colourPlanes, s.target.extraPlanes, s.target.depth, 99);
    // The composite in the colour planes; the target's own extra planes.
    const Picture composite = ShowReference(ref, s.target.colourPlanes, s.target.depth);
    Picture expected = target;
    for (int y = 0; y < 17; ++y) {
      for (int x = 0; x < 24; ++x) {
        for (int k = 0; k < s.target.colourPlanes; ++k) {
          expected.Set(x, y, k, composite.Get(x, y, k));
        }
      }
    }
    EXPECT_EQ(FirstDifference(StackAndShow(&ENTRYPOINT, series, target, DriverMode::kAdvanceState),
                              expected),
              "");
    EXPECT_EQ(FirstDifference(StackAndShow(module.Entry(), series, target, DriverMode::kContinue),
                              expected),
              "");
  }
}

// Cancelling an Add (in either of its passes) and adding the picture again
// gives the same composite; a cancelled Show leaves the picture alone and a
// second Show gives the composite, and a third the same.
TEST_F(EndToEnd, CancelledRunsLeaveThePictureAndAreRepairedByRunningAgain) {
  const int w = 20;
  const int h = 10;
  const std::vector<Picture> series = FocusSeries(w, h, {{3, 8}, {1, 16}, {3, 8}}, 11);
  Reference ref;
  for (const Picture& p : series) AddToReference(&ref, p);
  const Picture expected = ShowReference(ref, 3, 8);

  // Progress reports before the operation: one per row read. Add then
  // reports once per row it merges; Show once per row of its range pass,
  // then of its writing pass. Each run asks to cancel right after one report.
  const std::size_t early = std::size_t(h) + 3;
  const std::size_t late = std::size_t(h) + std::size_t(h) - 1;
  for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
    for (std::size_t abortAt : {early, late}) {
      SCOPED_TRACE(std::string(ModeName(mode)) + " cancel after report " + std::to_string(abortAt));
      FilterHost host(&ENTRYPOINT);
      Picture scratch = series[0];
      ASSERT_EQ(RunOn(&host, &scratch, kOperationClearBuffer, mode).result, noErr);
      for (std::size_t i = 0; i < 2; ++i) {
        Picture copy = series[i];
        ASSERT_EQ(RunOn(&host, &copy, kOperationAddToBuffer, mode).result, noErr);
      }
      Picture third = series[2];
      const RunResult cancelled = RunOn(&host, &third, kOperationAddToBuffer, mode, abortAt);
      EXPECT_EQ(cancelled.result, userCanceledErr);
      EXPECT_FALSE(cancelled.pictureKept);
      EXPECT_EQ(cancelled.progress.size(), abortAt) << "the operation stops at once";
      EXPECT_EQ(third.data, series[2].data);
      ASSERT_EQ(RunOn(&host, &third, kOperationAddToBuffer, mode).result, noErr);

      const Picture before = PatternPicture(w, h, 3, 0, 8, 5);
      Picture shown = before;
      for (std::size_t showAbort : {std::size_t(h) + 1, std::size_t(h) + std::size_t(h) + 3}) {
        EXPECT_EQ(RunOn(&host, &shown, kOperationShowBuffer, mode, showAbort).result,
                  userCanceledErr);
        EXPECT_EQ(shown.data, before.data);
      }
      for (int again = 0; again < 2; ++again) {
        shown = before;
        ASSERT_EQ(RunOn(&host, &shown, kOperationShowBuffer, mode).result, noErr);
        EXPECT_EQ(FirstDifference(shown, expected), "");
      }
    }
  }
}

}  // namespace
