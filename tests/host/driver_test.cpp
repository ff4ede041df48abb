// The image transfer driver seen from the host: what reaches the stores, what
// comes back, in which order, with which progress, and how failures end a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "host_test_support.h"

namespace {

using host::Area;
using host::DriverMode;
using host::FilterHost;
using host::Picture;
using host::RunResult;
using hostsupport::ExpectedColour;
using hostsupport::ExpectedExtra;
using hostsupport::ModeName;
using hostsupport::PatternPicture;
using hostsupport::RunFixture;
using hostsupport::StoreSamples;

// What the processing hook saw of the run.
struct Seen {
  int calls = 0;
  std::vector<std::uint32_t> colour;
  std::vector<std::uint32_t> extra;
  std::vector<std::uint32_t> mask;
  bool hadTransparencyStore = false;
  bool hadMaskStore = false;
  std::uint8_t haveMask = 0;
  std::uint8_t maskAnd = 0;
  std::int32_t filterLeft = -1;
  std::int32_t filterTop = -1;
  std::size_t progressBeforeProcessing = 0;
};
Seen g_seen;
OSErr g_hook_result = noErr;
bool g_invert_colour = false;  // the hook inverts the colour store in place

OSErr CaptureStores(RunState* state) {
  ++g_seen.calls;
  const int bytes = state->bitsPerChannel / 8;
  g_seen.colour = StoreSamples(state->colorStore, bytes);
  g_seen.extra = StoreSamples(state->transparencyStore, bytes);
  g_seen.mask = StoreSamples(state->maskStore, 1);
  g_seen.hadTransparencyStore = state->transparencyStore != nullptr;
  g_seen.hadMaskStore = state->maskStore != nullptr;
  g_seen.haveMask = state->haveMask;
  g_seen.maskAnd = state->maskAnd;
  g_seen.filterLeft = state->filterLeft;
  g_seen.filterTop = state->filterTop;
  if (g_invert_colour) {
    StoreHeader header;
    GetStoreHeader(state->colorStore, &header);
    const std::int32_t rowBytes = std::int32_t(header.width) * header.elementSize;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(rowBytes));
    for (int y = 0; y < header.height; ++y) {
      ReadStoreRow(state->colorStore, 0, y, rowBytes, row.data());
      for (std::size_t i = 0; i < row.size(); i += std::size_t(bytes)) {
        if (bytes == 1) {
          row[i] = std::uint8_t(255 - row[i]);
        } else {
          std::uint16_t v;
          std::memcpy(&v, row.data() + i, 2);
          v = std::uint16_t(32768 - v);
          std::memcpy(row.data() + i, &v, 2);
        }
      }
      WriteStoreRow(state->colorStore, 0, y, rowBytes, row.data());
    }
  }
  return g_hook_result;
}

class Driver : public RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    g_seen = Seen{};
    g_hook_result = noErr;
    g_invert_colour = false;
    hosttest::SetProcessingHook(&CaptureStores);
  }
};

// Depth, colour planes, extra planes.
using Layout = std::tuple<int, int, int>;

class DriverLayouts : public Driver, public ::testing::WithParamInterface<Layout> {};

// The stores receive the colour planes (transparent pixels white) and the
// extra planes apart; the picture comes back exactly as the stores hold it,
// re-interleaved, whichever way the host drives the run.
TEST_P(DriverLayouts, PlanesAreSplitIntoTheStoresAndPutBackTogether) {
  const auto [depth, colour, extra] = GetParam();
  const Picture original = PatternPicture(13, 7, colour, extra, depth, 100 + depth + extra);
  const Area area{3, 2, 11, 7};
  std::vector<Picture> results;
  for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
    SCOPED_TRACE(ModeName(mode));
    g_seen = Seen{};
    FilterHost host(&ENTRYPOINT);
    host.picture = original;
    host.filterArea = area;
    const RunResult r = host.Run(Scripted(mode));
    ASSERT_EQ(r.result, noErr);
    ASSERT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.colour, ExpectedColour(original, area));
    EXPECT_EQ(g_seen.hadTransparencyStore, extra != 0);
    EXPECT_EQ(g_seen.extra, ExpectedExtra(original, area));
    EXPECT_EQ(g_seen.filterLeft, 3);
    EXPECT_EQ(g_seen.filterTop, 2);

    // Back in the picture: whitened colour and the original extra samples
    // inside the filter rectangle, everything else untouched.
    Picture expected = original;
    const std::vector<std::uint32_t> colourBack = ExpectedColour(original, area);
    std::size_t i = 0;
    for (int y = area.top; y < area.bottom; ++y) {
      for (int x = area.left; x < area.right; ++x) {
        for (int k = 0; k < colour; ++k) expected.Set(x, y, k, colourBack[i++]);
      }
    }
    EXPECT_EQ(host.picture.data, expected.data);
    results.push_back(host.picture);
  }
  EXPECT_EQ(results[0].data, results[1].data) << "both driver modes give one picture";
}

INSTANTIATE_TEST_SUITE_P(DepthsAndPlanes, DriverLayouts,
                         ::testing::Combine(::testing::Values(8, 16), ::testing::Values(1, 3),
                                            ::testing::Values(0, 1, 2)),
                         [](const ::testing::TestParamInfo<Layout>& p) {
                           return "d" + std::to_string(std::get<0>(p.param)) + "_c" +
                                  std::to_string(std::get<1>(p.param)) + "_x" +
                                  std::to_string(std::get<2>(p.param));
                         });

// What the operation writes into the colour store reaches the picture, pixel
// by pixel, next to the extra samples that the pixel came with.
TEST_F(Driver, ColourWrittenByTheOperationComesBackWithItsTransparency) {
  for (int depth : {8, 16}) {
    SCOPED_TRACE(depth);
    const Picture original = PatternPicture(10, 5, 3, 1, depth, 7 + depth);
    FilterHost host(&ENTRYPOINT);
    host.picture = original;
    g_invert_colour = true;
    const RunResult r = host.Run(Scripted(DriverMode::kContinue));
    ASSERT_EQ(r.result, noErr);
    const std::uint32_t top = depth == 16 ? 32768u : 255u;
    const std::vector<std::uint32_t> whitened = ExpectedColour(original, {0, 0, 10, 5});
    std::size_t i = 0;
    for (int y = 0; y < 5; ++y) {
      for (int x = 0; x < 10; ++x) {
        for (int k = 0; k < 3; ++k) ASSERT_EQ(host.picture.Get(x, y, k), top - whitened[i++]);
        ASSERT_EQ(host.picture.Get(x, y, 3), original.Get(x, y, 3));
      }
    }
  }
}

TEST_F(Driver, RowsAreExchangedTopToBottomOnePerRequest) {
  FilterHost host(&ENTRYPOINT);
  host.picture = PatternPicture(6, 5, 1, 1, 8, 11);
  host.filterArea = {1, 1, 5, 4};
  const RunResult r = host.Run(Scripted(DriverMode::kAdvanceState));
  ASSERT_EQ(r.result, noErr);
  // Three rows read, the first asked again while processing, three written back.
  std::vector<int> tops;
  for (const Area& a : r.inRequests) {
    EXPECT_EQ(a.Height(), 1);
    EXPECT_EQ(a.left, 1);
    EXPECT_EQ(a.right, 5);
    tops.push_back(a.top);
  }
  EXPECT_EQ(tops, std::vector<int>({1, 2, 3, 1, 1, 2, 3}));
  EXPECT_EQ(r.advanceCalls, 7);
  // The advanceState loop ends right after the last write; nothing is left.
  EXPECT_EQ(r.continueCalls, 0);
}

TEST_F(Driver, OneRowPictureGoesStraightToProcessing) {
  for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
    FilterHost host(&ENTRYPOINT);
    host.picture = PatternPicture(8, 1, 3, 0, 16, 12);
    const Picture before = host.picture;
    const RunResult r = host.Run(Scripted(mode));
    ASSERT_EQ(r.result, noErr) << ModeName(mode);
    EXPECT_EQ(g_seen.calls, 1);
    EXPECT_EQ(host.picture.data, before.data);
    // Read row 0, process with row 0 asked again, write row 0.
    const std::size_t exchanges = mode == DriverMode::kAdvanceState ? std::size_t(r.advanceCalls)
                                                                    : std::size_t(r.continueCalls);
    EXPECT_EQ(exchanges, 3u) << ModeName(mode);
    g_seen = Seen{};
  }
}

// Reading reports the first sixth of the bar, writing the last.
TEST_F(Driver, ProgressIsReportedInSixths) {
  const int height = 9;
  for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
    SCOPED_TRACE(ModeName(mode));
    FilterHost host(&ENTRYPOINT);
    host.picture = PatternPicture(5, height, 1, 0, 8, 13);
    const RunResult r = host.Run(Scripted(mode));
    ASSERT_EQ(r.result, noErr);
    ASSERT_GE(r.progress.size(), std::size_t(2 * height));
    // The operation's own reports, if any, lie in between on its own scale.
    for (int row = 0; row < height; ++row) {
      const auto& in = r.progress[std::size_t(row)];
      EXPECT_EQ(in.first, row);
      EXPECT_EQ(in.second, 6 * height);
      const auto& back = r.progress[r.progress.size() - std::size_t(height) + std::size_t(row)];
      EXPECT_EQ(back.first, 5 * height + row);
      EXPECT_EQ(back.second, 6 * height);
    }
  }
}

TEST_F(Driver, SelectionGoesToTheMaskStoreAndItsAndIsKept) {
  const int w = 7;
  const int h = 6;
  struct Case {
    const char* name;
    std::uint8_t partialValue;  // 255: everything selected
  };
  for (const Case& c : {Case{"full", 255}, Case{"partial", 200}, Case{"one unselected", 0}}) {
    SCOPED_TRACE(c.name);
    g_seen = Seen{};
    FilterHost host(&ENTRYPOINT);
    host.picture = PatternPicture(w, h, 1, 0, 8, 14);
    host.selection.assign(std::size_t(w * h), 255);
    // Outside the filter rectangle the selection must not count.
    host.selection[0] = 3;
    host.selection[std::size_t(4 * w + 5)] = c.partialValue;
    host.filterArea = {1, 1, 7, 6};
    const RunResult r = host.Run(Scripted(DriverMode::kAdvanceState));
    ASSERT_EQ(r.result, noErr);
    ASSERT_TRUE(g_seen.hadMaskStore);
    EXPECT_EQ(g_seen.haveMask, 1);
    EXPECT_EQ(g_seen.maskAnd, c.partialValue);
    std::vector<std::uint32_t> expected;
    for (int y = 1; y < 6; ++y) {
      for (int x = 1; x < 7; ++x) expected.push_back(host.selection[std::size_t(y * w + x)]);
    }
    EXPECT_EQ(g_seen.mask, expected);
    // The mask follows the rows being read, then stays at the first row
    // while processing and writing back; that last request brings the
    // clean-up step.
    std::vector<int> tops;
    for (const Area& m : r.maskRequests) tops.push_back(m.top);
    EXPECT_EQ(tops, std::vector<int>({1, 2, 3, 4, 5, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(r.continueCalls, 1) << "the clean-up step answers the last mask request";
  }
}

TEST_F(Driver, WithoutSelectionThereIsNoMaskStoreAndNoMaskRequest) {
  FilterHost host(&ENTRYPOINT);
  host.picture = PatternPicture(5, 4, 3, 0, 8, 15);
  const RunResult r = host.Run(Scripted(DriverMode::kContinue));
  ASSERT_EQ(r.result, noErr);
  EXPECT_FALSE(g_seen.hadMaskStore);
  EXPECT_EQ(g_seen.haveMask, 0);
  EXPECT_EQ(g_seen.maskAnd, 255);
  EXPECT_TRUE(r.maskRequests.empty());
}

// A failing operation: nothing is written back, the row requests are emptied
// (which ends the advanceState loop) and the host hears the code.
TEST_F(Driver, ProcessingErrorEmptiesTheRequestsAndEndsTheRun) {
  for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
    SCOPED_TRACE(ModeName(mode));
    g_seen = Seen{};
    g_hook_result = userCanceledErr;
    FilterHost host(&ENTRYPOINT);
    host.picture = PatternPicture(6, 4, 3, 1, 8, 16);
    const Picture before = host.picture;
    const RunResult r = host.Run(Scripted(mode));
    EXPECT_EQ(r.result, userCanceledErr);
    EXPECT_FALSE(r.pictureKept);
    EXPECT_EQ(host.picture.data, before.data);
    // Four rows read, then the processing step; no row written back.
    EXPECT_EQ(r.outRequests.size(), 5u);
    if (mode == DriverMode::kAdvanceState) {
      EXPECT_EQ(r.startResult, userCanceledErr);
      EXPECT_EQ(r.advanceCalls, 5);
      EXPECT_EQ(r.continueCalls, 0);
    } else {
      EXPECT_EQ(r.continueResult, userCanceledErr);
      EXPECT_EQ(r.continueCalls, 5);
    }
    EXPECT_EQ(host.Record().inRect.bottom, 0);
    EXPECT_EQ(host.Record().outRect.bottom, 0);
    // Every write-back progress report is missing.
    for (const auto& p : r.progress) EXPECT_LT(p.first, 4);
  }
}

TEST_F(Driver, StoreCreationFailuresEndTheRunWithTheirStatus) {
  struct Case {
    hosttest::RunStore store;
    bool selection;
  };
  for (const Case& c :
       {Case{hosttest::RunStore::kColor, false}, Case{hosttest::RunStore::kTransparency, false},
        Case{hosttest::RunStore::kMask, true}}) {
    for (DriverMode mode : {DriverMode::kAdvanceState, DriverMode::kContinue}) {
      SCOPED_TRACE(std::string(ModeName(mode)) + " store " + std::to_string(int(c.store)));
      g_seen = Seen{};
      FilterHost host(&ENTRYPOINT);
      host.picture = PatternPicture(5, 4, 1, 1, 16, 17);
      if (c.selection) host.selection.assign(20, 128);
      const Picture before = host.picture;
      hosttest::FailStoreCreation(c.store, dskFulErr);
      const RunResult r = host.Run(Scripted(mode));
      hosttest::FailStoreCreation(hosttest::RunStore::kNone, noErr);
      // A missing mask store would let the operation work on unselected
      // pixels, so it fails the run like the other two.
      EXPECT_EQ(r.result, dskFulErr);
      EXPECT_EQ(g_seen.calls, 0) << "the operation never runs";
      EXPECT_EQ(host.picture.data, before.data);
      EXPECT_EQ(r.inRequests.size(), 1u) << "the run ends at its first row";
    }
  }
}

}  // namespace
