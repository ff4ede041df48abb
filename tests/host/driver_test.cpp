// The image transfer driver seen from the host: what reaches the stores, what
// comes back, in which order, with which progress, and how failures end a run.
#include <gtest/gtest.h>

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
using hostsupport::ModeName;
using hostsupport::PatternPicture;
using hostsupport::StoreSamples;

const DriverMode kModes[] = {DriverMode::kAdvanceState, DriverMode::kContinue};

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
        std::uint16_t v = 0;
        std::memcpy(&v, row.data() + i, std::size_t(bytes));
        v = std::uint16_t((bytes == 1 ? 255 : 32768) - v);
        std::memcpy(row.data() + i, &v, std::size_t(bytes));
      }
      WriteStoreRow(state->colorStore, 0, y, rowBytes, row.data());
    }
  }
  return g_hook_result;
}

class Driver : public hostsupport::RunFixture {
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
// re-interleaved, whichever way the host drives the run. What the operation
// writes into the colour store reaches the picture next to the extra samples
// that the pixel came with.
TEST_P(DriverLayouts, PlanesAreSplitIntoTheStoresAndPutBackTogether) {
  const auto [depth, colour, extra] = GetParam();
  const Picture original = PatternPicture(13, 7, colour, extra, depth, 100 + depth + extra);
  const Area area{3, 2, 11, 7};
  const std::uint32_t top = depth == 16 ? 32768u : 255u;
  for (bool invert : {false, true}) {
    for (DriverMode mode : kModes) {
      SCOPED_TRACE(std::string(ModeName(mode)) + (invert ? " inverted" : ""));
      g_seen = Seen{};
      g_invert_colour = invert;
      FilterHost host(&ENTRYPOINT);
      host.picture = original;
      host.filterArea = area;
      ASSERT_EQ(host.Run(Scripted(mode)).result, noErr);
      ASSERT_EQ(g_seen.calls, 1);
      const std::vector<std::uint32_t> colourIn = ExpectedColour(original, area);
      EXPECT_EQ(g_seen.colour, colourIn);
      EXPECT_EQ(g_seen.hadTransparencyStore, extra != 0);
      EXPECT_EQ(g_seen.extra, hostsupport::ExpectedExtra(original, area));
      EXPECT_EQ(g_seen.filterLeft, 3);
      EXPECT_EQ(g_seen.filterTop, 2);
      // Inside the filter rectangle the colour the store held, everything
      // else untouched.
      Picture expected = original;
      std::size_t i = 0;
      for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
          for (int k = 0; k < colour; ++k, ++i) {
            expected.Set(x, y, k, invert ? top - colourIn[i] : colourIn[i]);
          }
        }
      }
      EXPECT_EQ(host.picture.data, expected.data);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(DepthsAndPlanes, DriverLayouts,
                         ::testing::Combine(::testing::Values(8, 16), ::testing::Values(1, 3),
                                            ::testing::Values(0, 1, 2)),
                         [](const ::testing::TestParamInfo<Layout>& p) {
                           return "d" + std::to_string(std::get<0>(p.param)) + "_c" +
                                  std::to_string(std::get<1>(p.param)) + "_x" +
                                  std::to_string(std::get<2>(p.param));
                         });

// Rows are read top to bottom one per request, the first asked again while
// processing, then written back; reading reports the first sixth of the bar
// and writing the last (the operation's own reports lie in between).
TEST_F(Driver, RowsAreExchangedInOrderWithProgressInSixths) {
  for (int height : {1, 3, 9}) {
    for (DriverMode mode : kModes) {
      SCOPED_TRACE(std::string(ModeName(mode)) + " height " + std::to_string(height));
      FilterHost host(&ENTRYPOINT);
      host.picture = PatternPicture(6, height + 2, 1, 1, 8, 11);
      host.filterArea = {1, 1, 5, height + 1};
      const RunResult r = host.Run(Scripted(mode));
      ASSERT_EQ(r.result, noErr);
      std::vector<int> expected;
      for (int row = 0; row < 2 * height + 1; ++row) {
        expected.push_back(1 + (row < height ? row : row == height ? 0 : row - height - 1));
      }
      std::vector<int> tops;
      for (const Area& a : r.inRequests) {
        EXPECT_EQ(a.Height(), 1);
        EXPECT_EQ(a.left, 1);
        EXPECT_EQ(a.right, 5);
        tops.push_back(a.top);
      }
      EXPECT_EQ(tops, expected);
      // The advanceState loop ends right after the last write; nothing is left.
      EXPECT_EQ(mode == DriverMode::kAdvanceState ? r.advanceCalls : r.continueCalls,
                2 * height + 1);
      EXPECT_EQ(mode == DriverMode::kAdvanceState ? r.continueCalls : r.advanceCalls, 0);
      ASSERT_GE(r.progress.size(), std::size_t(2 * height));
      for (int row = 0; row < height; ++row) {
        const auto back = r.progress[r.progress.size() - std::size_t(height) + std::size_t(row)];
        EXPECT_EQ(r.progress[std::size_t(row)], std::make_pair(row, 6 * height));
        EXPECT_EQ(back, std::make_pair(5 * height + row, 6 * height));
      }
    }
  }
}

// The selection inside the filter rectangle goes to the mask store, and the
// AND of its bytes says whether it is partial; without one there is no mask.
TEST_F(Driver, SelectionGoesToTheMaskStoreAndItsAndIsKept) {
  const int w = 7;
  for (int partial : {-1, 255, 200, 0}) {  // -1: no selection
    SCOPED_TRACE(partial);
    g_seen = Seen{};
    FilterHost host(&ENTRYPOINT);
    host.picture = PatternPicture(w, 6, 1, 0, 8, 14);
    if (partial >= 0) {
      host.selection.assign(std::size_t(w * 6), 255);
      host.selection[0] = 3;  // outside the filter rectangle: must not count
      host.selection[std::size_t(4 * w + 5)] = std::uint8_t(partial);
    }
    host.filterArea = {1, 1, 7, 6};
    const RunResult r = host.Run(Scripted(DriverMode::kAdvanceState));
    ASSERT_EQ(r.result, noErr);
    EXPECT_EQ(g_seen.hadMaskStore, partial >= 0);
    EXPECT_EQ(g_seen.haveMask, partial >= 0 ? 1 : 0);
    EXPECT_EQ(g_seen.maskAnd, partial >= 0 ? partial : 255);
    std::vector<std::uint32_t> expected;
    for (int y = 1; y < 6 && partial >= 0; ++y) {
      for (int x = 1; x < 7; ++x) expected.push_back(host.selection[std::size_t(y * w + x)]);
    }
    EXPECT_EQ(g_seen.mask, expected);
    // The mask follows the rows being read, then stays at the first row while
    // processing and writing back; that last request brings the clean-up step.
    std::vector<int> tops;
    for (const Area& m : r.maskRequests) tops.push_back(m.top);
    EXPECT_EQ(tops, partial < 0 ? std::vector<int>()
                                : std::vector<int>({1, 2, 3, 4, 5, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(r.continueCalls, partial >= 0 ? 1 : 0);
  }
}

// A failing operation or store: nothing is written back, the row requests are
// emptied (which ends the advanceState loop) and the host hears the code.
TEST_F(Driver, FailuresEndTheRunWithTheirStatus) {
  const struct {
    hosttest::RunStore store;  // kNone: the operation fails
    bool selection;
    OSErr status;
    std::size_t exchanges;  // rows read before the run ended, with the failing step
  } cases[] = {{hosttest::RunStore::kNone, false, userCanceledErr, 5},
               {hosttest::RunStore::kColor, false, dskFulErr, 1},
               {hosttest::RunStore::kTransparency, false, dskFulErr, 1},
               // A missing mask store would let the operation work on
               // unselected pixels, so it fails the run like the other two.
               {hosttest::RunStore::kMask, true, dskFulErr, 1}};
  for (const auto& c : cases) {
    for (DriverMode mode : kModes) {
      SCOPED_TRACE(std::string(ModeName(mode)) + " store " + std::to_string(int(c.store)));
      g_seen = Seen{};
      g_hook_result = c.store == hosttest::RunStore::kNone ? c.status : OSErr(noErr);
      FilterHost host(&ENTRYPOINT);
      host.picture = PatternPicture(6, 4, 3, 1, 16, 16);
      if (c.selection) host.selection.assign(24, 128);
      const Picture before = host.picture;
      hosttest::FailStoreCreation(c.store, c.status);
      const RunResult r = host.Run(Scripted(mode));
      hosttest::FailStoreCreation(hosttest::RunStore::kNone, noErr);
      EXPECT_EQ(r.result, c.status);
      EXPECT_EQ(mode == DriverMode::kAdvanceState ? r.startResult : r.continueResult, c.status);
      EXPECT_FALSE(r.pictureKept);
      EXPECT_EQ(host.picture.data, before.data);
      EXPECT_EQ(g_seen.calls, c.store == hosttest::RunStore::kNone ? 1 : 0);
      EXPECT_EQ(r.inRequests.size(), c.exchanges);
      EXPECT_EQ(r.advanceCalls + r.continueCalls, int(c.exchanges));
      EXPECT_EQ(host.Record().inRect.bottom | host.Record().outRect.bottom, 0);
      // Every write-back progress report is missing.
      for (const auto& p : r.progress) EXPECT_LT(p.first, 4);
    }
  }
}

}  // namespace
