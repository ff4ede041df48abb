// The entry point, the driver and the processing phase seen from the host: run
// state, bad selectors, failed runs, stores, rows, mask, playback; whole runs
// against the independently computed composite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>

#include "focus/focus_fixture.h"
#include "host_test_support.h"
#include "plugin/storage/store.h"

namespace {

using namespace host;
using namespace hostsupport;

// What the processing hook saw of the run.
struct Seen {
  int calls = 0;
  std::vector<std::uint32_t> mask;
  RunState state{};  // its scalars as the operation saw them
};
Seen g_seen;

// The mask store's bytes, row after row.
OSErr CaptureStores(RunState* state) {
  g_seen = {g_seen.calls + 1, {}, *state};
  StoreHeader header{};
  if (state->maskStore != nullptr) GetStoreHeader(state->maskStore, &header);
  std::vector<std::uint8_t> row(std::size_t(header.width));
  for (int y = 0; y < header.height; ++y) {
    ReadStoreRow(state->maskStore, 0, y, header.width, row.data());
    g_seen.mask.insert(g_seen.mask.end(), row.begin(), row.end());
  }
  return noErr;
}

class Driver : public RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    g_seen = Seen{};
    hosttest::SetProcessingHook(&CaptureStores);
  }
};

RunState* StateOf(std::intptr_t data) {
  return data == 0 ? nullptr : reinterpret_cast<RunState*>(*reinterpret_cast<Handle>(data));
}

// The two values of the parameters handle.
std::pair<int, int> ParameterValues(Handle h) {
  std::uint16_t v[2];
  std::memcpy(v, *h, 4);
  return {v[0], v[1]};
}

// The stores and buffers of a run are all released.
void ExpectReleased(const FilterHost& host) {
  const RunState* s = StateOf(host.DataSlot());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::vector<const void*>({s->colorStore, s->transparencyStore, s->maskStore,
                                      s->rowBuffer, s->operationChoice}),
            std::vector<const void*>(5, nullptr));
}

// Every way a run fails: the code is reported, the row requests emptied (which ends
// the advanceState loop), nothing written back or kept, and the next run works.
// The parameters handle asked for before each run is made once with its first
// value; the second is set every time. (About makes an idle run state; a null
// slot and a pixel wider than a store's element can describe are refused.)
TEST_F(Driver, FailedRunsReportReleaseAndLeaveThePicture) {
  FilterRecord record{};
  std::intptr_t data = 0;
  std::int16_t result = 1;
  ENTRYPOINT(filterSelectorAbout, &record, &data, &result);
  EXPECT_EQ(result, noErr);
  EXPECT_EQ(StateOf(data)->phase, kPhaseIdle);  // a Continue before any Start does nothing
  ENTRYPOINT(filterSelectorAbout, &record, nullptr, &result);
  EXPECT_EQ(result, filterBadParameters);
  FilterHost wide(&ENTRYPOINT);
  wide.picture.Allocate(2, 1, 3, 16381, 16);
  EXPECT_EQ(wide.Run().result, filterBadParameters);
  using Set = std::function<void(FilterHost&, RunOptions&)>;
  auto store = [](hosttest::RunStore s) -> Set {
    return [s](FilterHost&, RunOptions&) { hosttest::FailStoreCreation(s, dskFulErr); };
  };
  auto hook = [](hosttest::ProcessingHook h) -> Set {
    return [h](FilterHost&, RunOptions&) { hosttest::SetProcessingHook(h); };
  };
  auto cancelAt = [](int call) -> Set {
    return [call](FilterHost&, RunOptions& o) { o.cancelBeforeContinue = call; };
  };
  const auto advance = DriverMode::kAdvanceState, either = DriverMode(-1);
  const struct {
    const char* name;
    DriverMode mode;
    OSErr status;
    int exchanges;  // advanceState or Continue calls, the failing one included
    Set set;
  } cases[] = {
      {"row buffer", either, memFullErr, 0,
       [](FilterHost&, RunOptions&) { hosttest::SetRowBufferRefused(true); }},
      {"operation", either, userCanceledErr, 5,
       hook([](RunState*) -> OSErr { return userCanceledErr; })},
      // Exceptions below the entry point come back as result codes.
      {"bad_alloc", either, memFullErr, 5,
       hook([](RunState*) -> OSErr { throw std::bad_alloc(); })},
      {"exception", either, OSErr(-1), 5,
       hook([](RunState*) -> OSErr { throw std::runtime_error("unforeseen"); })},
      {"colour store", either, dskFulErr, 1, store(hosttest::RunStore::kColor)},
      {"transparency store", either, dskFulErr, 1, store(hosttest::RunStore::kTransparency)},
      {"mask store", either, dskFulErr, 1,  // a selection, and no unmasked run
       [](FilterHost& h, RunOptions&) {
         h.selection.assign(24, 128);
         hosttest::FailStoreCreation(hosttest::RunStore::kMask, dskFulErr);
       }},
      {"editor fails a row", advance, userCanceledErr, 3,
       [](FilterHost&, RunOptions& o) {
         o.advanceFailure = [](int call) -> OSErr { return call == 3 ? userCanceledErr : noErr; };
       }},
      // An editor giving up between two exchanges calls only Finish: reading,
      // processing, writing back.
      {"finish reading", DriverMode::kContinue, userCanceledErr, 1, cancelAt(2)},
      {"finish processing", DriverMode::kContinue, userCanceledErr, 4, cancelAt(5)},
      {"finish writing", DriverMode::kContinue, userCanceledErr, 8, cancelAt(9)},
  };
  for (const auto& c : cases)
    for (DriverMode mode : kModes) {
      if (c.mode != either && c.mode != mode) continue;
      SCOPED_TRACE(std::string(c.name) + " " + ModeName(mode));
      FilterHost host(&ENTRYPOINT);
      host.picture = PatternPicture(6, 4, 3, 1, 16, 16);
      const Picture before = host.picture;
      RunOptions options = Scripted(mode);
      options.askParameters = true;
      c.set(host, options);
      const RunResult r = host.Run(options);
      ResetHooks();
      ASSERT_NE(host.ParametersHandle(), nullptr);
      EXPECT_EQ(ParameterValues(host.ParametersHandle()), std::make_pair(50, 1));
      EXPECT_EQ(r.result, c.status);
      EXPECT_EQ(r.advanceCalls + r.continueCalls, c.exchanges);
      EXPECT_FALSE(r.pictureKept);
      EXPECT_EQ(host.picture.data, before.data);
      ExpectReleased(host);
      // When the plug-in ends the run, no row was asked to be written back.
      for (const auto& p : r.progress) EXPECT_TRUE(options.cancelBeforeContinue || p.first < 20);
      EXPECT_TRUE(options.cancelBeforeContinue ||
                  (host.Record().inRect.bottom | host.Record().outRect.bottom) == 0);
      const std::uint16_t mine[2] = {7, 9};
      std::memcpy(*host.ParametersHandle(), mine, 4);
      RunOptions next = Scripted(mode);
      next.askParameters = true;
      const RunResult again = host.Run(next);
      EXPECT_EQ(again.result, noErr);
      EXPECT_TRUE(again.pictureKept);
      EXPECT_EQ(again.bufferSpace, 8192);
      EXPECT_EQ(ParameterValues(host.ParametersHandle()), std::make_pair(7, 1));
    }
}

// Rows are read top to bottom, the first asked again while processing, then
// written back; the selection's rows follow those read, then stay at the first.
// The selection inside the filter rectangle goes to the mask store, with its
// AND. Reading reports the first sixth of the bar, writing back the last.
TEST_F(Driver, RowsAndSelectionAreExchangedInOrder) {
  const int w = 7;
  for (int height : {1, 3, 9})
    for (DriverMode mode : kModes)
      for (int partial : {-1, 255, 200, 0}) {  // -1: no selection
        SCOPED_TRACE(testing::Message()
                     << ModeName(mode) << " height " << height << " selection " << partial);
        g_seen = Seen{};
        FilterHost host(&ENTRYPOINT);
        host.picture = PatternPicture(w, height + 2, 1, 0, 8, 11);
        if (partial >= 0) {
          host.selection.assign(std::size_t(w * (height + 2)), 255);
          host.selection[0] = 3;  // outside the filter rectangle: must not count
          host.selection[std::size_t(height * w + 4)] = std::uint8_t(partial);
        }
        const Picture original = host.picture;
        host.filterArea = {2, 1, 6, height + 1};
        const RunResult r = host.Run(Scripted(mode));
        ASSERT_EQ(r.result, noErr);
        EXPECT_EQ(host.picture.data, original.data);
        EXPECT_EQ(g_seen.calls, 1);
        EXPECT_EQ(g_seen.state.haveMask, partial >= 0 ? 1 : 0);
        EXPECT_EQ(g_seen.state.maskAnd, partial >= 0 ? partial : 255);
        std::vector<std::uint32_t> mask;
        for (int y = 1; y <= height && partial >= 0; ++y)
          for (int x = 2; x < 6; ++x) mask.push_back(host.selection[std::size_t(y * w + x)]);
        EXPECT_EQ(g_seen.mask, mask);
        std::vector<std::tuple<int, int, int, int>> expected, asked;
        std::vector<int> maskTops, maskAsked;
        std::vector<std::pair<int, int>> progress;
        for (int row = 0; row < 2 * height + 1; ++row) {
          const int top = 1 + (row < height ? row : row == height ? 0 : row - height - 1);
          expected.emplace_back(2, top, 6, top + 1);
          if (partial >= 0) maskTops.push_back(row <= height ? top : 1);
          if (row != height)
            progress.emplace_back(row < height ? row : 4 * height + row - 1, 6 * height);
        }
        // A selection keeps the mask asked once more after the last write;
        // without one, the advanceState loop ends right after it.
        if (partial >= 0) maskTops.push_back(1);
        for (const Area& a : r.inRequests) asked.emplace_back(a.left, a.top, a.right, a.bottom);
        for (const Area& m : r.maskRequests) maskAsked.push_back(m.top);
        EXPECT_EQ(asked, expected);
        EXPECT_EQ(maskAsked, maskTops);
        EXPECT_EQ(r.progress, progress);
        EXPECT_EQ(r.advanceCalls + r.continueCalls, 2 * height + 1 + (partial >= 0 ? 1 : 0));
        EXPECT_EQ(mode == DriverMode::kAdvanceState ? r.continueCalls : r.advanceCalls,
                  mode == DriverMode::kAdvanceState && partial >= 0 ? 1 : 0);
        if (mode == DriverMode::kAdvanceState) continue;
        // Bad selectors leave a run alone; a second Start releases the first
        // run's buffers (any leak shows in the sanitizer build), Finish
        // releases them, twice harmlessly.
        host.Rebuild(Scripted(mode));
        ASSERT_EQ(host.Call(filterSelectorStart), noErr);
        for (std::int16_t selector : {std::int16_t(6), std::int16_t(-1), std::int16_t(-32768)}) {
          EXPECT_EQ(host.Call(selector), filterBadParameters) << selector;
          EXPECT_EQ(StateOf(host.DataSlot())->phase, kPhaseReadRows);
          EXPECT_EQ(host.Record().inRect.top, 1);
        }
        ASSERT_EQ(host.Call(filterSelectorStart), noErr);
        EXPECT_EQ(host.Call(filterSelectorFinish), noErr);
        EXPECT_EQ(host.Call(filterSelectorFinish), noErr);
        ExpectReleased(host);
      }
}

// Each series through the linked entry point (advanceState) and the module loaded
// from disk (Continue; its own copy of the library, the entry point its only export).
// On layers the transparency selects: clear and faint pixels are neither counted nor
// taken, uncovered places show the background, Show keeps the layer's transparency;
// pictures added in a rectangle land at its place in the picture-sized buffer.
TEST_F(Driver, FocusSeriesGivesTheIndependentlyComputedComposite) {
  // Loaded once and never unloaded, as an editor keeps its plug-ins.
  static PluginModule& module = *new PluginModule;
  const std::string path = PluginModule::ModulePath(SHARPSTACK_BINARY_DIR "/bin");
  std::string error;
  ASSERT_TRUE(module.IsLoaded() || module.Load(path, &error)) << error;
  EXPECT_NE(module.Entry(), &ENTRYPOINT);
#if defined(__ELF__)  // every name it defines dynamically, as the toolchain reads them
  FILE* names = popen(("nm -D --defined-only --format=just-symbols " + path).c_str(), "r");
  ASSERT_NE(names, nullptr);
  std::string text(4096, '\0');
  text.resize(fread(text.data(), 1, text.size(), names));
  EXPECT_EQ(pclose(names), 0);
  EXPECT_EQ(text, "ENTRYPOINT\n");  // (the Windows module test checks the DLL's exports)
#endif
  struct Shape {
    int colourPlanes, depth, extraPlanes;
  };
  const struct {
    const char* name;
    std::vector<Shape> series;  // the last one is the shape shown
    Area added = {};            // the rectangle each picture is added in
  } scenarios[] = {
      {"grey16", {{1, 16, 0}, {1, 16, 0}, {1, 16, 0}}},
      {"mixed", {{3, 8, 0}, {1, 16, 0}, {1, 8, 0}, {3, 16, 0}, {3, 16, 0}}},
      {"mixed_shown_grey", {{3, 16, 0}, {3, 8, 0}, {1, 8, 0}, {1, 8, 0}}},
      {"layers", {{3, 8, 1}, {1, 16, 1}, {3, 8, 2}, {3, 16, 1}}},
      {"layers_added_in_a_rectangle", {{3, 8, 1}, {3, 16, 1}, {1, 8, 1}}, {3, 2, 20, 13}},
      {"layers_with_two_extra_planes", {{1, 8, 2}, {3, 16, 2}, {1, 16, 2}, {1, 8, 2}}},
  };
  std::uint32_t seed = 7;
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    std::vector<Picture> series;
    for (const Shape& shape : s.series)
      series.push_back(
          PatternPicture(23, 17, shape.colourPlanes, shape.extraPlanes, shape.depth, seed++));
    const Picture target = series.back();
    series.pop_back();
    const Picture expected =
        focustest::ReferenceComposite(series, target, s.added, {255, 255, 255});
    for (DriverMode mode : kModes) {
      FilterHost h(mode == DriverMode::kAdvanceState ? &ENTRYPOINT : module.Entry());
      auto run = [&](const Picture& picture, std::int32_t operation) {
        h.picture = picture;
        h.filterArea = operation == kOperationAddToBuffer ? s.added : Area{};
        EXPECT_EQ(h.Run(Scripted(mode, operation)).result, noErr);
        return h.picture;
      };
      run(series.front(), kOperationClearBuffer);
      for (const Picture& p : series)
        EXPECT_EQ(run(p, kOperationAddToBuffer).data, focustest::Whitened(p, s.added).data)
            << "adding leaves the picture alone";
      EXPECT_EQ(run(target, kOperationShowBuffer).data, expected.data);
    }
  }
}

constexpr char kLog[] = "TRUXlog.txt";
constexpr char kPreferences[] = "TRUXpref.xxx";
constexpr std::size_t kOperationOffset = 205 * 4;

// A played-back step runs without a dialog and is not remembered as the user's
// choice; one that names no usable operation falls back to the saved choice,
// and when none was ever confirmed the run fails instead of taking Clear. Runs
// cancelled in the dialog (which a plain file for a terminal cannot show) or
// during the operation are recorded just the same, the picture left alone.
TEST_F(Driver, PlaybackAndCancelsRecordTheRunAndKeepTheSavedChoice) {
  auto step = [](std::uint32_t value) {
    return std::vector<DescriptorItem>{
        DescriptorItem::Enumerated(kOperationKey, kOperationType, value)};
  };
  enum How { kPlayback, kDialog, kAbort };
  const struct {
    float saved;
    std::vector<DescriptorItem> step;
    OSErr result;
    int pictures;  // in the buffer afterwards (one before)
    How how = kPlayback;
  } cases[] = {{0, step(7), filterBadParameters, 1},  // (which steps name none: scripting)
               {0, step(5), noErr, 2},
               {5, {}, userCanceledErr, 1, kDialog},
               {5, step(5), userCanceledErr, 1, kAbort}};
  root.Write(kLog, std::string());
  root.Write("tty.txt", std::string("not a terminal"));
  for (int run = 0; run < 2 * int(std::size(cases)); ++run) {
    const auto& c = cases[run / 2];
    const DriverMode mode = kModes[run % 2];
    SCOPED_TRACE(testing::Message()
                 << ModeName(mode) << ", saved " << c.saved << ", result " << c.result);
    FilterHost adder(ENTRYPOINT);
    adder.picture = PatternPicture(6, 4, 3, 0, 8, 3);
    ASSERT_EQ(adder.Run(Scripted(mode, kOperationClearBuffer)).result, noErr);
    ASSERT_EQ(adder.Run(Scripted(mode, kOperationAddToBuffer)).result, noErr);
    const std::vector<unsigned char> count = root.Read("CountVXBuffer.xxx");
    std::vector<unsigned char> preferences(17408, 0);
    std::memcpy(&preferences[kOperationOffset], &c.saved, 4);
    root.Write(kPreferences, preferences);
    FilterHost host(ENTRYPOINT);
    host.picture = PatternPicture(6, 4, 3, 0, 8, 4);
    const Picture before = host.picture;
    RunOptions options = Scripted(mode);
    scripting.SetPlayback(c.step, plugInDialogOptional);
    if (c.how == kDialog) options.attach = nullptr;
    options.shouldAbort = [&c] { return c.how == kAbort; };
    const RunResult r = host.Run(options);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.pictureKept, c.result == noErr);
    EXPECT_TRUE(c.result == noErr || host.picture.data == before.data);
    preferences = root.Read(kPreferences);
    ASSERT_EQ(preferences.size(), 17408u);
    float saved[2];  // the operation, and the calibration default saved too
    std::memcpy(&saved[0], &preferences[kOperationOffset], 4);
    std::memcpy(&saved[1], &preferences[8], 4);
    EXPECT_EQ(std::vector<float>(saved, saved + 2), std::vector<float>({c.saved, 6.0F}));
    EXPECT_TRUE(root.Text(kLog).ends_with(std::string(c.how == kPlayback ? "" : "Value = 5\r\n") +
                                          "Result = " + std::to_string(c.result) + "\r\n"));
    EXPECT_EQ(root.Text("tty.txt"), "not a terminal");
    // Every pixel's count, 16 bits little-endian behind the 6-byte header.
    const std::vector<unsigned char> after = root.Read("CountVXBuffer.xxx");
    ASSERT_EQ(after.size(), count.size());
    for (std::size_t i = 6; i + 1 < after.size(); i += 2)
      ASSERT_EQ(after[i] | after[i + 1] << 8, c.pictures) << i;
  }
}

// 16-bit transparency makes the mask as t / 128.5, truncated: 16384 gives 127,
// 32768 255. A partial selection on a transparent layer honours both: the smaller.
TEST_F(Driver, TransparencyAndSelectionMakeTheMask) {
  Picture picture = PatternPicture(6, 2, 3, 1, 16, 3);
  const std::uint32_t alphas[6] = {0, 128, 129, 16384, 32767, 32768};
  const std::uint32_t fromAlpha[12] = {0, 0, 1, 127, 254, 255, 255, 254, 254, 127, 0, 0};
  std::vector<std::uint8_t> selection(12, 255);
  selection[2] = selection[6] = 100;  // the opacity smaller, then the selection
  std::vector<std::uint32_t> mask;
  for (int i = 0; i < 12; ++i) {
    picture.Set(i % 6, i / 6, 3, i < 6 ? alphas[i] : 32768 - alphas[i - 6]);
    mask.push_back(std::min<std::uint32_t>(selection[std::size_t(i)], fromAlpha[i]));
  }
  FilterHost host(ENTRYPOINT);
  host.picture = picture;
  host.selection = selection;
  ASSERT_EQ(host.Run(Scripted(DriverMode::kContinue)).result, noErr);
  EXPECT_EQ(g_seen.mask, mask);
}

}  // namespace
