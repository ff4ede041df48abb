// An injected fault walked over every platform call of whole Add, Show and
// Clear runs: the run succeeds or says it failed, and the set the next run
// sees is the old one, the new one (each pixel wholly one or the other), or
// damaged so that the next Add starts it again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "focus/focus_fixture.h"
#include "reliability_support.h"

namespace {

using host::Picture;
using hostsupport::PatternPicture;
using platform::OsError;
using platform::test::Operation;
using reliability::DirSnapshot;

using focustest::kFaults;
constexpr std::size_t kMap = 9;  // where mapping calls are counted
constexpr int kW = 24, kH = 16;

class FaultWalk : public reliability::RunFixture {
 protected:
  // Calls of every kind that a fault-free `run` makes.
  template <typename Run>
  std::vector<int> CountCalls(Run run) {
    platform::test::ClearFaults();
    run();
    std::vector<int> counts;
    for (const auto& f : kFaults) counts.push_back(platform::test::CallCount(f.first));
    platform::test::ClearFaults();
    return counts;
  }
  // Fails each counted call in turn on a root restored to `start`; `check`
  // judges what the run returned and left. With `stranded`, no file can be
  // deleted either: the run leaves behind what it made, as one killed at
  // that call would, and the calls past its first delete go unwalked.
  template <typename Run, typename Check>
  void Walk(const DirSnapshot& start, const std::vector<int>& calls, Run run, Check check,
            bool stranded = false) {
    for (std::size_t k = 0; k < std::size(kFaults); ++k) {
      for (int n = 1; n <= calls[k] && !(stranded && kFaults[k].first == Operation::kDelete); ++n) {
        SCOPED_TRACE("fault " + std::to_string(k) + " at call " + std::to_string(n));
        reliability::Restore(root.dir(), start);
        if (stranded) platform::test::FailNthCall(Operation::kDelete, 1, OsError::kOther, 0);
        platform::test::FailNthCall(kFaults[k].first, n, kFaults[k].second);
        const auto result = run();
        const int fired = platform::test::FaultsFired(kFaults[k].first);
        platform::test::ClearFaults();
        if (stranded && fired == 0) continue;
        ASSERT_EQ(fired, 1) << "the walk must reach every call it counted";
        check(result);
        if (HasFailure()) return;
      }
    }
  }
  // Every store mapped, or worked through positioned reads, writes and seeks.
  static void UseFileMode(bool on) {
    platform::test::SetStoreAccess(on ? platform::test::StoreAccess::kPositioned
                                      : platform::test::StoreAccess::kMapped);
  }
};

// An Add into a set of the same size, one it must enlarge first, or none:
// a set that was there survives every failure.
TEST_F(FaultWalk, AddLeavesEachPixelOldOrNewAndNeverLosesTheSet) {
  struct Case {
    int firstW, firstH;  // 0: no set
    bool fileMode, stranded;
    host::DriverMode mode;
  } const cases[] = {{kW, kH, false, false, host::DriverMode::kAdvanceState},
                     {20, 12, false, false, host::DriverMode::kContinue},
                     {20, 12, false, true, host::DriverMode::kAdvanceState},
                     {0, 0, false, false, host::DriverMode::kAdvanceState},
                     {kW, kH, true, false, host::DriverMode::kAdvanceState}};
  const Picture second = PatternPicture(kW, kH, 3, 0, 8, 22);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.firstW) + (c.fileMode ? " file mode" : " mapped") +
                 (c.stranded ? " stranded" : ""));
    UseFileMode(c.fileMode);
    ASSERT_EQ(Clear(), noErr);
    ASSERT_EQ(c.firstW > 0 ? Add(PatternPicture(c.firstW, c.firstH, 1, 0, 16, 21)) : OSErr(noErr),
              noErr);
    const DirSnapshot start = Files(), before = Buffer();
    const std::vector<int> calls = CountCalls([&] { ASSERT_EQ(Add(second, c.mode), noErr); });
    // In file mode the one view is the journal's, where Add merges its bands.
    ASSERT_EQ(calls[kMap] == 1, c.fileMode);
    const DirSnapshot after = Buffer();
    ASSERT_NE(before, after);
    ASSERT_EQ(Add(second), noErr);
    const Picture kept = Show(kW, kH);
    ASSERT_EQ(Clear(), noErr);
    ASSERT_EQ(Add(second), noErr);
    const Picture rebuilt = Show(kW, kH);

    Walk(
        start, calls, [&] { return Add(second, c.mode); },
        [&](OSErr result) {
          ASSERT_EQ(RecoverFocusBufferSet(), noErr);
          const bool valid = SetIsValid();
          EXPECT_TRUE(valid || c.firstW == 0) << "a set that was there is never lost";
          EXPECT_TRUE(result != noErr || Buffer() == after)
              << "a successful Add leaves the new set";
          EXPECT_EQ(valid ? reliability::MixedPixels(before, after, Buffer()) : 0, 0) << result;
          ASSERT_EQ(Add(second), noErr);
          EXPECT_EQ(Show(kW, kH).data, valid ? kept.data : rebuilt.data) << result;
        },
        c.stranded);
  }
}

// A Show gives the composite or an error with the picture untouched, and
// never changes the set. A successful Clear leaves no usable set, a failed
// one the old set or a damaged one.
TEST_F(FaultWalk, ShowNeverChangesTheSetAndClearClearsOrSaysSo) {
  const Picture second = PatternPicture(kW, kH, 3, 0, 8, 42);
  ASSERT_EQ(Add(PatternPicture(kW, kH, 3, 0, 8, 31)), noErr);
  ASSERT_EQ(Add(PatternPicture(kW, kH, 1, 0, 16, 32)), noErr);
  const DirSnapshot start = Files(), before = Buffer();
  const auto clearCalls = CountCalls([&] { ASSERT_EQ(Clear(), noErr); });
  EXPECT_TRUE(Buffer().empty());
  ASSERT_EQ(Add(second), noErr);
  const Picture onlySecond = Show(kW, kH);
  reliability::Restore(root.dir(), start);
  ASSERT_EQ(Add(second), noErr);
  const Picture all = Show(kW, kH);
  Walk(
      start, clearCalls, [&] { return Clear(); },
      [&](OSErr result) {
        const bool valid = SetIsValid();
        EXPECT_TRUE(result == noErr ? !valid : Buffer() == before || !valid) << result;
        ASSERT_EQ(Add(second), noErr);
        EXPECT_EQ(Show(kW, kH).data, valid ? all.data : onlySecond.data);
      });

  const Picture untouched = PatternPicture(kW - 4, kH + 3, 3, 0, 16, 5);
  for (bool fileMode : {false, true}) {
    UseFileMode(fileMode);
    reliability::Restore(root.dir(), start);
    OSErr shown = noErr;
    Picture expected;
    const auto calls = CountCalls([&] { expected = Show(kW - 4, kH + 3, &shown, 16); });
    ASSERT_EQ(shown, noErr);
    ASSERT_NE(expected.data, untouched.data);
    ASSERT_EQ(calls[kMap] == 0, fileMode);
    Walk(
        start, calls, [&] { return Show(kW - 4, kH + 3, &shown, 16); },
        [&](const Picture& got) {
          EXPECT_EQ(got.data, shown == noErr ? expected.data : untouched.data) << shown;
          EXPECT_EQ(Buffer(), before);
        });
  }
}

}  // namespace
