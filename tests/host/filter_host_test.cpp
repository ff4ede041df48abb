// The in-memory host driven by a stand-in plug-in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "host_test_support.h"

namespace {

using namespace host;

// Flips the low bytes of g_rows rows at a time, planes g_lo..g_hi; with
// g_stuck asks for the first row for ever. (Failed runs are the entry tests'.)
int g_rows = 1, g_lo = 0, g_hi = 0, g_finish_calls = 0;
bool g_stuck = false;
constexpr std::uint32_t kFlip = 0x5A;

void AskRows(FilterRecord* r, int top) {
  const int bottom = g_stuck ? top + 1 : std::min<int>(top + g_rows, r->filterRect.bottom);
  r->inRect = {std::int16_t(top), r->filterRect.left, std::int16_t(bottom), r->filterRect.right};
  r->outRect = g_stuck ? Rect{} : r->inRect;
  r->inLoPlane = r->outLoPlane = std::int16_t(g_lo);
  r->inHiPlane = r->outHiPlane = std::int16_t(g_hi);
}

// Flips the delivered rows; false when the run is over.
bool FlipStep(FilterRecord* r) {
  if (g_stuck) {
    AskRows(r, r->filterRect.top);
    return true;
  }
  const int bytes = r->depth / 8;
  const int count = (r->outRect.right - r->outRect.left) * (g_hi - g_lo + 1);
  for (int y = 0; y < r->outRect.bottom - r->outRect.top; ++y) {
    const auto* in = static_cast<const std::uint8_t*>(r->inData) + y * r->inRowBytes;
    auto* out = static_cast<std::uint8_t*>(r->outData) + y * r->outRowBytes;
    std::memcpy(out, in, std::size_t(count * bytes));
    for (int i = 0; i < count; ++i) out[bytes * i] ^= kFlip;  // the low byte comes first
  }
  const int next = r->outRect.bottom;
  if (next >= r->filterRect.bottom) {
    r->inRect = r->outRect = Rect{};
    return false;
  }
  AskRows(r, next);
  return true;
}

void FlipPlugin(std::int16_t selector, FilterRecord* r, intptr_t*, std::int16_t* result) {
  *result = noErr;
  if (selector == filterSelectorStart) {
    AskRows(r, r->filterRect.top);
    while (r->advanceState != nullptr && r->advanceState() == noErr && FlipStep(r)) continue;
  } else if (selector == filterSelectorContinue) {
    FlipStep(r);
  } else if (selector == filterSelectorFinish) {
    ++g_finish_calls;
  }
}

// `original` with planes lo..hi in `area` flipped `times` times, blended by selection.
Picture Expected(const Picture& original, const Area& area, int lo, int hi, int times,
                 const std::vector<std::uint8_t>& selection) {
  Picture e = original;
  for (int t = 0; t < times; ++t)
    for (int y = area.top; y < area.bottom; ++y)
      for (int x = area.left; x < area.right; ++x) {
        const std::uint32_t w =
            selection.empty() ? 255u : selection[std::size_t(y) * std::size_t(e.width) + x];
        for (int k = lo; k <= hi; ++k) {
          const std::uint32_t old = e.Get(x, y, k);
          e.Set(x, y, k, ((old ^ kFlip) * w + old * (255 - w) + 127) / 255);
        }
      }
  return e;
}

TEST(FilterHost, WrittenRowsReachThePictureTheRestStaysAndRunawaysAreCutOff) {
  const struct {
    const char* name;
    Area area;  // empty: the whole picture
    int rows, lo, hi;
    bool selection;
  } cases[] = {
      {"whole rows", Area{}, 1, 0, 3, false},
      {"band of rows, two at a time", Area{0, 2, 9, 5}, 2, 0, 3, false},
      {"part of each row", Area{2, 1, 6, 5}, 2, 0, 3, false},
      {"rows from the left edge", Area{0, 1, 6, 5}, 1, 0, 3, false},
      {"one plane", Area{}, 1, 1, 1, false},
      {"selection", Area{1, 0, 9, 6}, 1, 0, 3, true},
  };
  for (DriverMode mode : hostsupport::kModes)
    for (int depth : {8, 16})
      for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " depth " + std::to_string(depth));
        // In place or through a copy, a successful run leaves the same picture.
        const bool in_place = (depth == 16) != (mode == hostsupport::kModes[0]);
        std::tie(g_rows, g_lo, g_hi) = std::tie(c.rows, c.lo, c.hi);
        FilterHost host(&FlipPlugin);
        const Picture original = hostsupport::PatternPicture(9, 6, 3, 1, depth, 5);
        host.picture = original;
        host.filterArea = c.area;
        for (int i = 0; c.selection && i < 54; ++i)
          host.selection.push_back(std::uint8_t(i % 3 == 0 ? 0 : i % 3 == 1 ? 255 : 100));
        const Area area = c.area.Empty() ? Area{0, 0, 9, 6} : c.area;
        RunOptions options;
        options.mode = mode;
        options.inPlace = in_place;
        // Two runs in a row: the second starts from the first one's result.
        for (int run = 1; run <= 2; ++run) {
          const RunResult r = host.Run(options);
          ASSERT_EQ(r.result, noErr);
          EXPECT_TRUE(r.pictureKept);
          EXPECT_EQ(host.picture.data,
                    Expected(original, area, c.lo, c.hi, run, host.selection).data);
          EXPECT_EQ(int(r.outRequests.size()), (area.Height() + c.rows - 1) / c.rows);
        }
      }
  // By hand: 40 flips to 114; (114 x 128 + 40 x 127 + 127) / 255 = 77 and
  // (114 x 143 + 40 x 112 + 127) / 255 = 81.
  FilterHost host(&FlipPlugin);
  host.picture.Allocate(4, 1, 1, 0, 8);
  host.picture.data.assign(4, 40);
  host.selection = {0, 255, 128, 143};
  g_lo = g_hi = 0;
  ASSERT_EQ(host.Run().result, noErr);
  EXPECT_EQ(host.picture.data, PictureData({40, 114, 77, 81}));

  // A plug-in that never stops asking is cut off.
  g_finish_calls = 0;
  g_stuck = true;
  FilterHost stuck(&FlipPlugin);
  stuck.picture.Allocate(3, 4, 1, 0, 8);
  RunOptions options;
  options.mode = DriverMode::kContinue;
  options.maxContinueCalls = 25;
  const RunResult r = stuck.Run(options);
  g_stuck = false;
  EXPECT_EQ(r.result, kHostRunaway);
  EXPECT_EQ(r.continueCalls, 25);
  EXPECT_EQ(g_finish_calls, 1);
  EXPECT_FALSE(r.pictureKept);

  // Unusable pictures are refused before the plug-in is called.
  FilterHost h(&FlipPlugin);
  h.picture.Allocate(3, 2, 3, 0, 8);
  h.picture.data.pop_back();
  EXPECT_EQ(h.Run().result, kHostBadPicture);
  h.picture.Allocate(3, 2, 3, 0, 12);
  EXPECT_EQ(h.Run().result, kHostBadPicture);
  for (const auto& [w, hh] : {std::pair{32768, 1}, std::pair{1, 32768}}) {  // beyond the interface
    h.picture.Allocate(w, hh, 1, 0, 8);
    EXPECT_EQ(h.Run().result, kHostBadPicture) << w << " x " << hh;
  }
  h.picture.Allocate(3, 2, 1, 0, 8);
  h.selection.assign(5, 255);
  EXPECT_EQ(h.Run().result, kHostBadPicture);
  EXPECT_EQ(g_finish_calls, 1);
  EXPECT_EQ(FilterHost(nullptr).Run().result, kHostNoPlugin);
}

}  // namespace
