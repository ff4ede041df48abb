// The test host itself, driven by small stand-in plug-ins: the row exchange,
// the selection weighting of what comes back, the handle suite, and a plug-in
// that never stops asking for rows.
#include "cli/hostlib/filter_host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using host::DriverMode;
using host::FilterHost;
using host::Picture;

// A stand-in plug-in that inverts every sample of every plane, asking for two
// rows at a time with all planes, in either driver mode. Its data slot counts
// the selectors it has seen.
int g_finishCalls = 0;

void AskRows(FilterRecord* r, int top) {
  const int bottom = std::min<int>(top + 2, r->filterRect.bottom);
  r->inRect = {std::int16_t(top), r->filterRect.left, std::int16_t(bottom), r->filterRect.right};
  r->outRect = r->inRect;
  r->inLoPlane = r->outLoPlane = 0;
  r->inHiPlane = r->outHiPlane = std::int16_t(r->planes - 1);
}

void InvertDelivered(FilterRecord* r) {
  const int rows = r->outRect.bottom - r->outRect.top;
  const int bytes = r->depth / 8;
  const int count = (r->outRect.right - r->outRect.left) * r->planes;
  auto* in = static_cast<std::uint8_t*>(r->inData);
  auto* out = static_cast<std::uint8_t*>(r->outData);
  for (int y = 0; y < rows; ++y) {
    for (int i = 0; i < count; ++i) {
      if (bytes == 1) {
        out[y * r->outRowBytes + i] = std::uint8_t(255 - in[y * r->inRowBytes + i]);
      } else {
        std::uint16_t v;
        std::memcpy(&v, in + y * r->inRowBytes + 2 * i, 2);
        v = std::uint16_t(32768 - v);
        std::memcpy(out + y * r->outRowBytes + 2 * i, &v, 2);
      }
    }
  }
}

// Returns true while there are rows left.
bool InvertStep(FilterRecord* r) {
  InvertDelivered(r);
  const int next = r->outRect.bottom;
  if (next >= r->filterRect.bottom) {
    r->inRect = r->outRect = Rect{};
    return false;
  }
  AskRows(r, next);
  return true;
}

void InvertingPlugin(std::int16_t selector, FilterRecord* r, intptr_t*, std::int16_t* result) {
  *result = noErr;
  switch (selector) {
    case filterSelectorStart:
      AskRows(r, r->filterRect.top);
      if (r->advanceState != nullptr) {
        while (r->advanceState() == noErr && InvertStep(r)) {
        }
      }
      return;
    case filterSelectorContinue:
      InvertStep(r);
      return;
    case filterSelectorFinish:
      ++g_finishCalls;
      return;
    default:
      return;
  }
}

TEST(FilterHost, BothModesExchangeRowsAndHonourTheFilterRectangle) {
  for (int depth : {8, 16}) {
    Picture p;
    p.Allocate(5, 7, 3, 1, depth);
    for (int y = 0; y < 7; ++y) {
      for (int x = 0; x < 5; ++x) {
        for (int k = 0; k < 4; ++k) p.Set(x, y, k, std::uint32_t((x * 7 + y * 3 + k) * 5));
      }
    }
    for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
      FilterHost h(&InvertingPlugin);
      h.picture = p;
      h.filterArea = {1, 1, 4, 6};
      host::RunOptions options;
      options.mode = mode;
      const host::RunResult r = h.Run(options);
      ASSERT_EQ(r.result, noErr);
      const std::uint32_t top = depth == 16 ? 32768u : 255u;
      for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 5; ++x) {
          const bool inside = x >= 1 && x < 4 && y >= 1 && y < 6;
          for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(h.picture.Get(x, y, k), inside ? top - p.Get(x, y, k) : p.Get(x, y, k))
                << depth << " " << x << "," << y << "," << k;
          }
        }
      }
      // Rows 1-2, 3-4 and 5.
      EXPECT_EQ(r.outRequests.size(), 3u);
    }
  }
}

TEST(FilterHost, SelectionWeightsWhatComesBack) {
  Picture p;
  p.Allocate(4, 1, 1, 0, 8);
  for (int x = 0; x < 4; ++x) p.Set(x, 0, 0, 40);
  FilterHost h(&InvertingPlugin);
  h.picture = p;
  h.selection = {0, 255, 128, 51};
  const host::RunResult r = h.Run();
  ASSERT_EQ(r.result, noErr);
  EXPECT_EQ(h.picture.Get(0, 0, 0), 40u);
  EXPECT_EQ(h.picture.Get(1, 0, 0), 215u);
  // (215 x 128 + 40 x 127 + 127) / 255 and (215 x 51 + 40 x 204 + 127) / 255.
  EXPECT_EQ(h.picture.Get(2, 0, 0), 128u);
  EXPECT_EQ(h.picture.Get(3, 0, 0), 75u);
  EXPECT_EQ(h.Record().haveMask, 1);
}

// A plug-in that asks for row 0 for ever.
void StuckPlugin(std::int16_t selector, FilterRecord* r, intptr_t*, std::int16_t* result) {
  *result = noErr;
  if (selector == filterSelectorStart || selector == filterSelectorContinue) {
    r->inRect = {r->filterRect.top, r->filterRect.left, std::int16_t(r->filterRect.top + 1),
                 r->filterRect.right};
  }
  if (selector == filterSelectorContinue) {
    std::memset(r->inData, 0, std::size_t(r->inRowBytes));
  }
  if (selector == filterSelectorFinish) ++g_finishCalls;
}

TEST(FilterHost, APlugInThatNeverStopsIsCutOffAndFinished) {
  g_finishCalls = 0;
  FilterHost h(&StuckPlugin);
  h.picture.Allocate(3, 4, 1, 0, 8);
  host::RunOptions options;
  options.mode = DriverMode::kContinue;
  options.maxContinueCalls = 25;
  const host::RunResult r = h.Run(options);
  EXPECT_EQ(r.result, host::kHostRunaway);
  EXPECT_EQ(r.continueCalls, 25);
  EXPECT_EQ(g_finishCalls, 1);
  EXPECT_FALSE(r.pictureKept);
}

TEST(FilterHost, UnusablePicturesAreRefusedBeforeThePlugInIsCalled) {
  g_finishCalls = 0;
  FilterHost h(&InvertingPlugin);
  h.picture.Allocate(3, 2, 3, 0, 8);
  h.picture.data.pop_back();
  EXPECT_EQ(h.Run().result, host::kHostBadPicture);
  h.picture.Allocate(3, 2, 3, 0, 12);
  EXPECT_EQ(h.Run().result, host::kHostBadPicture);
  h.picture.Allocate(3, 2, 1, 0, 8);
  h.selection.assign(5, 255);
  EXPECT_EQ(h.Run().result, host::kHostBadPicture);
  EXPECT_EQ(g_finishCalls, 0);
  EXPECT_EQ(FilterHost(nullptr).Run().result, host::kHostNoPlugin);
}

TEST(FilterHost, HandleSuiteKeepsSizesAndContents) {
  FilterHost h(&InvertingPlugin);
  h.picture.Allocate(2, 2, 1, 0, 8);
  h.Rebuild();
  HandleProcs* procs = h.Record().handleProcs;
  ASSERT_NE(procs, nullptr);
  EXPECT_EQ(procs->handleProcsVersion, 1);
  Handle a = procs->newProc(5);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(procs->getSizeProc(a), 5);
  std::memcpy(procs->lockProc(a, 0), "abcde", 5);
  ASSERT_EQ(procs->setSizeProc(a, 9), noErr);
  EXPECT_EQ(procs->getSizeProc(a), 9);
  EXPECT_EQ(std::memcmp(*a, "abcde", 5), 0) << "resizing keeps the contents";
  EXPECT_EQ(h.LiveHandles(), 1u);
  int foreign = 0;
  EXPECT_EQ(procs->setSizeProc(reinterpret_cast<Handle>(&foreign), 3), nilHandleErr);
  procs->disposeProc(a);
  EXPECT_EQ(h.LiveHandles(), 0u);
}

TEST(FilterHost, RecordDescribesThePictureAndTheDocument) {
  FilterHost h(&InvertingPlugin);
  h.picture.Allocate(6, 4, 3, 1, 16);
  h.filterArea = {1, 2, 9, 3};  // clipped to the picture
  host::RunOptions options;
  options.documentPath = "/photos/a.tif";
  options.ownerWindow = 77;
  options.mode = DriverMode::kContinue;
  h.Rebuild(options);
  const FilterRecord& r = h.Record();
  EXPECT_EQ(r.imageMode, plugInModeRGB48);
  EXPECT_EQ(r.depth, 16);
  EXPECT_EQ(r.planes, 4);
  EXPECT_EQ(r.imageSize.h, 6);
  EXPECT_EQ(r.imageSize.v, 4);
  EXPECT_EQ(r.filterRect.left, 1);
  EXPECT_EQ(r.filterRect.top, 2);
  EXPECT_EQ(r.filterRect.right, 6);
  EXPECT_EQ(r.filterRect.bottom, 3);
  EXPECT_EQ(r.advanceState, nullptr);
  ASSERT_NE(r.documentInfo, nullptr);
  EXPECT_STREQ(r.documentInfo->fileSpec, "/photos/a.tif");
  ASSERT_NE(r.platformData, nullptr);
  EXPECT_EQ(r.platformData->hwnd, 77);
  h.Rebuild();
  EXPECT_EQ(h.Record().documentInfo, nullptr);
  EXPECT_NE(h.Record().advanceState, nullptr);
}

}  // namespace
