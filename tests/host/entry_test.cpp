// The entry point: run state, parameters handle, bad selectors, failed runs.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "host_test_support.h"

namespace {

using namespace host;
using namespace hostsupport;

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

class EntryRun : public RunFixture {};

// About makes an idle run state; null slots and unusable pictures are refused.
// Bad selectors leave a run alone; a second Start releases the first run's
// buffers, Finish releases them, twice harmlessly, and a full run follows.
TEST_F(EntryRun, AboutBadSelectorsAndRepeatedStartsAndFinishesDoNoHarm) {
  FilterRecord record{};
  std::intptr_t data = 0;
  std::int16_t result = 1;
  ENTRYPOINT(filterSelectorAbout, &record, &data, &result);
  EXPECT_EQ(result, noErr);
  EXPECT_EQ(StateOf(data)->phase, kPhaseIdle);  // a Continue before any Start does nothing
  ENTRYPOINT(filterSelectorAbout, &record, nullptr, &result);
  EXPECT_EQ(result, filterBadParameters);
  // A pixel wider than a store's element can describe is refused at Start.
  FilterHost wide(&ENTRYPOINT);
  wide.picture.Allocate(2, 1, 3, 16381, 16);
  EXPECT_EQ(wide.Run().result, filterBadParameters);
  for (bool withMask : {false, true}) {
    FilterHost host(&ENTRYPOINT);
    host.picture = PatternPicture(9, 6, 3, 1, 8, 3);
    host.filterArea = {2, 1, 8, 5};
    if (withMask) host.selection.assign(9 * 6, 255);
    RunOptions options;
    options.mode = DriverMode::kContinue;
    host.Rebuild(options);
    ASSERT_EQ(host.Call(filterSelectorStart), noErr);
    const Rect firstRow{1, 2, 2, 8};
    EXPECT_NE(StateOf(host.DataSlot())->rowBuffer, nullptr);
    for (std::int16_t selector : {std::int16_t(6), std::int16_t(-1), std::int16_t(-32768)}) {
      EXPECT_EQ(host.Call(selector), filterBadParameters) << selector;
      EXPECT_EQ(StateOf(host.DataSlot())->phase, kPhaseReadRows);
      EXPECT_EQ(std::memcmp(&host.Record().inRect, &firstRow, sizeof(Rect)), 0);
    }
    ASSERT_EQ(host.Call(filterSelectorStart), noErr);  // any leak shows in the sanitizer build
    EXPECT_EQ(host.Call(filterSelectorFinish), noErr);
    EXPECT_EQ(host.Call(filterSelectorFinish), noErr);
    ExpectReleased(host);
    const RunResult run = host.Run(Scripted(DriverMode::kContinue));
    EXPECT_EQ(run.result, noErr);
    EXPECT_TRUE(run.pictureKept);
  }
}

// Every way a run fails: the code is reported, the row requests emptied (which ends
// the advanceState loop), nothing written back or kept, and the next run works.
// The parameters handle asked for before each run is made once with its first
// value; the second is set every time.
TEST_F(EntryRun, FailedRunsReportReleaseAndLeaveThePicture) {
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

}  // namespace
