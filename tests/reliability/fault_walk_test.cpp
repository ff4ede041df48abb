// Walks an injected fault over every platform call of whole Add, Show and
// Clear runs through the entry point. Whatever call fails, the run either
// succeeds or reports an error, and the focus buffer afterwards is the old
// one, the new one, or recognisably damaged so that the next Add starts it
// again: never a valid buffer with the wrong content.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "reliability_support.h"

namespace {

using host::Picture;
using hostsupport::PatternPicture;
using platform::OsError;
using platform::test::Operation;
using reliability::BufferFiles;
using reliability::DirSnapshot;

struct OperationFault {
  Operation op;
  const char* name;
  OsError error;
};

// One realistic error for each kind of call.
const OperationFault kFaults[] = {
    {Operation::kOpen, "open", OsError::kOther},
    {Operation::kCreate, "create", OsError::kAccessDenied},
    {Operation::kRead, "read", OsError::kOther},
    {Operation::kShortWrite, "short write", OsError::kDiskFull},
    {Operation::kDiskFullWrite, "disk-full write", OsError::kDiskFull},
    {Operation::kSeek, "seek", OsError::kOther},
    {Operation::kClose, "close", OsError::kOther},
    {Operation::kDelete, "delete", OsError::kAccessDenied},
    {Operation::kMove, "move", OsError::kAccessDenied},
    {Operation::kMap, "map", OsError::kNone},
    {Operation::kAllocate, "allocate", OsError::kNone},
    {Operation::kSetSize, "set size", OsError::kDiskFull},
};

// Where the mapping calls are counted in a CountCalls result.
constexpr std::size_t MapIndex() {
  for (std::size_t k = 0; k < std::size(kFaults); ++k) {
    if (kFaults[k].op == Operation::kMap) return k;
  }
  return std::size(kFaults);
}

constexpr int kWidth = 24;
constexpr int kHeight = 16;

class FaultWalk : public reliability::RunFixture {
 protected:
  // What one faulted run left.
  enum class Left { kOld, kNew, kDamaged, kOther };

  Left Classify(const DirSnapshot& before, const DirSnapshot& after) {
    const DirSnapshot now = BufferFiles(Files());
    if (now == before) return Left::kOld;
    // Files enlarged before a later step failed hold the old content at their
    // top left and nothing (zero: never covered) elsewhere: still the old set.
    // A set created for the Add that then failed holds nothing: no pixel is
    // covered, as in no set at all.
    if (before.empty() && now.size() == 3) {
      bool blank = true;
      for (const auto& entry : now) {
        blank &=
            entry.second.size() > 6 && std::all_of(entry.second.begin() + 6, entry.second.end(),
                                                   [](unsigned char b) { return b == 0; });
      }
      if (blank) return Left::kOld;
    }
    if (now.size() == 3 && before.size() == 3) {
      bool enlarged = true;
      for (const auto& [name, bytes] : before) enlarged &= EnlargedCopy(bytes, now.at(name));
      std::int16_t w = 0, h = 0;
      if (enlarged && CheckFocusBufferSet(&w, &h)) return Left::kOld;
    }
    if (now == after) return Left::kNew;
    std::int16_t w = 0, h = 0;
    return CheckFocusBufferSet(&w, &h) ? Left::kOther : Left::kDamaged;
  }

  // True when `grown` is a store file of at least the size of `old`, of the
  // same element size, with old's rows at its top left and zero bytes elsewhere.
  static bool EnlargedCopy(const reliability::Bytes& old, const reliability::Bytes& grown) {
    if (old.size() < 6 || grown.size() < 6) return false;
    auto field = [](const reliability::Bytes& b, int at) {
      return int(b[at]) | int(b[at + 1]) << 8;
    };
    const int e = field(old, 0), ow = field(old, 2), oh = field(old, 4);
    const int nw = field(grown, 2), nh = field(grown, 4);
    if (field(grown, 0) != e || nw < ow || nh < oh) return false;
    if (grown.size() != 6 + std::size_t(e) * nw * nh || old.size() != 6 + std::size_t(e) * ow * oh)
      return false;
    for (int y = 0; y < nh; ++y) {
      for (int x = 0; x < nw * e; ++x) {
        const unsigned char want = y < oh && x < ow * e ? old[6 + std::size_t(y) * ow * e + x] : 0;
        if (grown[6 + std::size_t(y) * nw * e + x] != want) return false;
      }
    }
    return true;
  }

  // Calls of every kind that a fault-free `run` makes.
  template <typename Run>
  std::vector<int> CountCalls(Run run) {
    platform::test::ClearFaults();
    run();
    std::vector<int> counts;
    for (const OperationFault& f : kFaults) counts.push_back(platform::test::CallCount(f.op));
    platform::test::ClearFaults();
    return counts;
  }

  // Every store, the run's own and the buffer files, mapped or worked
  // through positioned reads and writes, where rows go through seeks, reads
  // and writes that can fail too.
  static void UseFileMode(bool fileMode) {
    platform::test::SetStoreAccess(fileMode ? platform::test::StoreAccess::kPositioned
                                            : platform::test::StoreAccess::kMapped);
  }
};

// An Add into a set that holds one picture already: of the same size, or
// smaller so that the Add must enlarge all three files first, or no set at
// all. Also with every store in its positioned-file mode, where rows go
// through reads, writes and seeks that can fail too.
TEST_F(FaultWalk, AddLeavesTheOldOrTheNewBufferOrADamagedOneThatTheNextAddRebuilds) {
  struct Case {
    const char* name;
    int firstWidth, firstHeight;  // 0: start from no set
    bool fileMode;
    host::DriverMode mode;
  };
  const Case cases[] = {
      {"same size", kWidth, kHeight, false, host::DriverMode::kAdvanceState},
      {"enlarging", 20, 12, false, host::DriverMode::kContinue},
      {"empty set", 0, 0, false, host::DriverMode::kAdvanceState},
      {"file mode", kWidth, kHeight, true, host::DriverMode::kAdvanceState},
  };
  const Picture second = PatternPicture(kWidth, kHeight, 3, 0, 8, 22);
  int totalFaults = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseFileMode(c.fileMode);
    ASSERT_EQ(Clear(), noErr);
    if (c.firstWidth > 0) {
      ASSERT_EQ(Add(PatternPicture(c.firstWidth, c.firstHeight, 1, 0, 16, 21)), noErr);
    }
    const DirSnapshot start = Files();
    const DirSnapshot before = BufferFiles(start);

    // The fault-free outcome, and what a clean Add and Show give afterwards
    // from it and from a set rebuilt with the second picture alone.
    const std::vector<int> calls = CountCalls([&] { ASSERT_EQ(Add(second, c.mode), noErr); });
    // In file mode the one view is the journal's, where Add merges its bands.
    ASSERT_EQ(calls[MapIndex()] == 1, c.fileMode) << "store views only in the mapped cases";
    const DirSnapshot after = BufferFiles(Files());
    ASSERT_NE(before, after);
    ASSERT_EQ(Add(second), noErr);
    OSErr shown = noErr;
    const Picture expectedKept = Show(kWidth, kHeight, &shown);
    ASSERT_EQ(shown, noErr);
    ASSERT_EQ(Clear(), noErr);
    ASSERT_EQ(Add(second), noErr);
    const Picture expectedRebuilt = Show(kWidth, kHeight, &shown);
    ASSERT_EQ(shown, noErr);

    for (std::size_t k = 0; k < std::size(kFaults); ++k) {
      const OperationFault& f = kFaults[k];
      for (int n = 1; n <= calls[k]; ++n) {
        SCOPED_TRACE(std::string(f.name) + " call " + std::to_string(n) + " of " +
                     std::to_string(calls[k]));
        reliability::Restore(root.dir(), start);
        platform::test::FailNthCall(f.op, n, f.error);
        const OSErr result = Add(second, c.mode);
        const int fired = platform::test::FaultsFired(f.op);
        platform::test::ClearFaults();
        ASSERT_EQ(fired, 1) << "the walk must reach every call it counted";
        ++totalFaults;

        // What the next run sees: the set once an unfinished growth or band
        // is finished.
        ASSERT_EQ(RecoverFocusBufferSet(), noErr);
        const Left left = Classify(before, after);
        if (result == noErr) {
          EXPECT_EQ(left, Left::kNew) << "a successful Add must leave exactly the new buffer";
        } else if (left == Left::kOther) {
          // A failure part-way ends the Add with the bands before it merged,
          // as a cancel does: each pixel wholly old or new.
          EXPECT_EQ(reliability::MixedPixels(before, after, BufferFiles(Files())), 0)
              << "failed Add (" << result << ")";
        }
        // A clean Add and Show afterwards give the composite of both pictures,
        // or of the second alone when the set was damaged and started again.
        ASSERT_EQ(Add(second), noErr);
        const Picture got = Show(kWidth, kHeight, &shown);
        ASSERT_EQ(shown, noErr);
        if (left == Left::kDamaged) {
          EXPECT_EQ(got.data, expectedRebuilt.data);
        } else {
          EXPECT_EQ(got.data, expectedKept.data) << "status " << result;
        }
        if (HasFailure()) return;
      }
    }
  }
  RecordProperty("injected_faults", totalFaults);
  std::printf("[ walk ] %d faults injected into Add runs\n", totalFaults);
}

// Show reads the set and writes the composite: whatever fails, the run
// either gives the right composite or reports an error with the picture
// untouched, and the set stays as it was.
TEST_F(FaultWalk, ShowGivesTheCompositeOrAnErrorAndNeverChangesTheBuffer) {
  ASSERT_EQ(Add(PatternPicture(kWidth, kHeight, 3, 0, 8, 31)), noErr);
  ASSERT_EQ(Add(PatternPicture(kWidth, kHeight, 1, 0, 16, 32)), noErr);
  const DirSnapshot start = Files();
  const DirSnapshot before = BufferFiles(start);
  const Picture untouched = PatternPicture(kWidth - 4, kHeight + 3, 3, 0, 16, 5);
  int totalFaults = 0;
  for (bool fileMode : {false, true}) {
    SCOPED_TRACE(fileMode ? "file mode" : "mapped");
    UseFileMode(fileMode);
    OSErr shown = noErr;
    Picture expected;
    const std::vector<int> calls =
        CountCalls([&] { expected = Show(kWidth - 4, kHeight + 3, &shown, 16); });
    ASSERT_EQ(shown, noErr);
    ASSERT_NE(expected.data, untouched.data);
    ASSERT_EQ(calls[MapIndex()] == 0, fileMode) << "views only when mapped";

    for (std::size_t k = 0; k < std::size(kFaults); ++k) {
      const OperationFault& f = kFaults[k];
      for (int n = 1; n <= calls[k]; ++n) {
        SCOPED_TRACE(std::string(f.name) + " call " + std::to_string(n));
        reliability::Restore(root.dir(), start);
        platform::test::FailNthCall(f.op, n, f.error);
        const Picture got = Show(kWidth - 4, kHeight + 3, &shown, 16);
        const int fired = platform::test::FaultsFired(f.op);
        platform::test::ClearFaults();
        ASSERT_EQ(fired, 1);
        ++totalFaults;
        if (shown == noErr) {
          EXPECT_EQ(got.data, expected.data) << "a successful Show must give the composite";
        } else {
          EXPECT_EQ(got.data, untouched.data);
        }
        EXPECT_EQ(BufferFiles(Files()), before) << "Show must never change the buffer";
        if (HasFailure()) return;
      }
    }
  }
  RecordProperty("injected_faults", totalFaults);
  std::printf("[ walk ] %d faults injected into Show runs\n", totalFaults);
}

// Clear deletes the set: a successful Clear leaves no usable set, a failed one
// the old set or a damaged one that the next Add starts again.
TEST_F(FaultWalk, ClearEitherClearsOrSaysSo) {
  const Picture first = PatternPicture(kWidth, kHeight, 3, 0, 8, 41);
  const Picture second = PatternPicture(kWidth, kHeight, 3, 0, 8, 42);
  ASSERT_EQ(Add(first), noErr);
  const DirSnapshot start = Files();
  const DirSnapshot before = BufferFiles(start);
  const std::vector<int> calls = CountCalls([&] { ASSERT_EQ(Clear(), noErr); });
  EXPECT_TRUE(BufferFiles(Files()).empty());
  OSErr shown = noErr;
  ASSERT_EQ(Add(second), noErr);
  const Picture onlySecond = Show(kWidth, kHeight, &shown);
  ASSERT_EQ(shown, noErr);
  reliability::Restore(root.dir(), start);
  ASSERT_EQ(Add(second), noErr);
  const Picture both = Show(kWidth, kHeight, &shown);
  ASSERT_EQ(shown, noErr);

  int totalFaults = 0;
  for (std::size_t k = 0; k < std::size(kFaults); ++k) {
    const OperationFault& f = kFaults[k];
    for (int n = 1; n <= calls[k]; ++n) {
      SCOPED_TRACE(std::string(f.name) + " call " + std::to_string(n));
      reliability::Restore(root.dir(), start);
      platform::test::FailNthCall(f.op, n, f.error);
      const OSErr result = Clear();
      const int fired = platform::test::FaultsFired(f.op);
      platform::test::ClearFaults();
      ASSERT_EQ(fired, 1);
      ++totalFaults;
      const DirSnapshot now = BufferFiles(Files());
      std::int16_t w = 0, h = 0;
      const bool valid = CheckFocusBufferSet(&w, &h);
      if (result == noErr) {
        EXPECT_FALSE(valid) << "a successful Clear must not leave a usable buffer";
      } else {
        EXPECT_TRUE(now == before || !valid) << "status " << result;
      }
      ASSERT_EQ(Add(second), noErr);
      const Picture got = Show(kWidth, kHeight, &shown);
      ASSERT_EQ(shown, noErr);
      EXPECT_EQ(got.data, valid ? both.data : onlySecond.data);
      if (HasFailure()) return;
    }
  }
  RecordProperty("injected_faults", totalFaults);
  std::printf("[ walk ] %d faults injected into Clear runs\n", totalFaults);
}

}  // namespace
