// The in-memory host's copy of the picture: rows the plug-in writes, whole
// or in part, reach the picture; rows it leaves alone stay; a failed run
// changes nothing, and the run after it starts from the picture again.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cli/hostlib/filter_host.h"

namespace {

using host::Area;
using host::FilterHost;
using host::Picture;

// A plug-in that asks for every row of the filter rectangle in turn, planes
// g_lo..g_hi out, adds 1 to every sample delivered and, when g_fail_row is
// reached, fails the run after that row was written.
int g_lo = 0;
int g_hi = 0;
int g_fail_row = -1;

void RequestRow(FilterRecord* r, int row) {
  r->outRect.left = r->filterRect.left;
  r->outRect.right = r->filterRect.right;
  r->outRect.top = std::int16_t(row);
  r->outRect.bottom = std::int16_t(row + 1);
  r->outLoPlane = std::int16_t(g_lo);
  r->outHiPlane = std::int16_t(g_hi);
}

void AddOne(std::int16_t selector, FilterRecord* r, std::intptr_t*, std::int16_t* result) {
  *result = noErr;
  if (selector == filterSelectorStart) {
    RequestRow(r, r->filterRect.top);
  } else if (selector == filterSelectorContinue) {
    const int row = r->outRect.top;
    const int samples = (r->outRect.right - r->outRect.left) * (g_hi - g_lo + 1);
    auto* out = static_cast<std::uint8_t*>(r->outData);
    for (int i = 0; i < samples; ++i) {
      if (r->depth == 16) {
        std::uint16_t v;
        std::memcpy(&v, out + 2 * i, 2);
        v = std::uint16_t(v + 1);
        std::memcpy(out + 2 * i, &v, 2);
      } else {
        out[i] = std::uint8_t(out[i] + 1);
      }
    }
    if (row == g_fail_row) {
      *result = 1;
      return;
    }
    if (row + 1 < r->filterRect.bottom) {
      RequestRow(r, row + 1);
    } else {
      r->outRect = Rect{0, 0, 0, 0};
    }
  }
}

Picture Pattern(int depth) {
  Picture p;
  p.Allocate(9, 6, 3, 1, depth);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      for (int k = 0; k < p.planes; ++k)
        p.Set(x, y, k, std::uint32_t(7 * x + 13 * y + 29 * k) % 200);
  return p;
}

// `original` with `times` added to planes lo..hi of every pixel in `area`,
// blended with the selection weight when there is one.
Picture Expected(const Picture& original, const Area& area, int lo, int hi, int times,
                 const std::vector<std::uint8_t>& selection) {
  Picture e = original;
  for (int t = 0; t < times; ++t) {
    for (int y = area.top; y < area.bottom; ++y) {
      for (int x = area.left; x < area.right; ++x) {
        const std::uint32_t w =
            selection.empty() ? 255u : selection[std::size_t(y) * std::size_t(e.width) + x];
        if (w == 0) continue;
        for (int k = lo; k <= hi; ++k) {
          const std::uint32_t old = e.Get(x, y, k);
          e.Set(x, y, k, ((old + 1) * w + old * (255 - w) + 127) / 255);
        }
      }
    }
  }
  return e;
}

struct Case {
  const char* name;
  Area area;  // empty: the whole picture
  int lo, hi;
  bool selection;
};

TEST(FilterHostRows, WrittenRowsReachThePictureAndTheRestStays) {
  const Case cases[] = {
      {"whole rows", Area{}, 0, 3, false},
      {"band of rows", Area{0, 2, 9, 5}, 0, 3, false},
      {"part of each row", Area{2, 1, 6, 5}, 0, 3, false},
      {"one plane", Area{}, 1, 1, false},
      {"selection", Area{1, 0, 9, 6}, 0, 3, true},
  };
  for (int depth : {8, 16}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " depth " + std::to_string(depth));
      g_lo = c.lo;
      g_hi = c.hi;
      g_fail_row = -1;
      FilterHost host(&AddOne);
      const Picture original = Pattern(depth);
      host.picture = original;
      host.filterArea = c.area;
      if (c.selection) {
        host.selection.resize(std::size_t(original.width) * std::size_t(original.height));
        for (std::size_t i = 0; i < host.selection.size(); ++i)
          host.selection[i] = std::uint8_t(i % 3 == 0 ? 0 : i % 3 == 1 ? 255 : 100);
      }
      const Area area = c.area.Empty() ? Area{0, 0, original.width, original.height} : c.area;
      // Two runs in a row: the second starts from the first one's result.
      for (int run = 1; run <= 2; ++run) {
        const host::RunResult r = host.Run();
        ASSERT_EQ(r.result, noErr);
        EXPECT_TRUE(r.pictureKept);
        EXPECT_EQ(host.picture.data, Expected(original, area, c.lo, c.hi, run, host.selection).data)
            << "run " << run;
      }
    }
  }
}

TEST(FilterHostRows, AFailedRunLeavesThePictureAndTheNextRunStartsFromIt) {
  for (int depth : {8, 16}) {
    SCOPED_TRACE(depth);
    g_lo = 0;
    g_hi = 3;
    FilterHost host(&AddOne);
    const Picture original = Pattern(depth);
    host.picture = original;
    g_fail_row = 3;  // rows 0..2 written back before the failure
    const host::RunResult failed = host.Run();
    EXPECT_NE(failed.result, noErr);
    EXPECT_FALSE(failed.pictureKept);
    EXPECT_EQ(host.picture.data, original.data);

    g_fail_row = -1;
    ASSERT_EQ(host.Run().result, noErr);
    EXPECT_EQ(host.picture.data,
              Expected(original, Area{0, 0, original.width, original.height}, 0, 3, 1, {}).data);
  }
}

}  // namespace
