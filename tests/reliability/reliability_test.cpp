// Whole runs through the entry point on a private drive root, made to fail.
// Every run succeeds or says it failed, and the set the next run sees is the
// old one, the new one (each pixel wholly one or the other), or damaged so
// that the next Add starts it again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "cli/image/image_io.h"
#include "focus/focus_fixture.h"
#include "fuzz/fuzz_support.h"
#include "host/host_test_support.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/platform/test_hooks.h"
#include "support/sharpstack_process.h"

#define SHARPSTACK_FUZZ_TARGETS(X) \
  X(store)                         \
  X(buffer_set) X(preferences) X(redirect) X(rule_file) X(descriptor) X(recorded_step) X(image)
#define SHARPSTACK_DECLARE_FUZZ(name) \
  extern "C" int Fuzz_##name(const std::uint8_t* data, std::size_t size);
SHARPSTACK_FUZZ_TARGETS(SHARPSTACK_DECLARE_FUZZ)

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using DirSnapshot = std::map<std::string, Bytes>;  // regular files by name
using host::Picture;
using hostsupport::PatternPicture;
using platform::OsError;
using platform::test::Operation;
using testsupport::StoreFileHeader;
using Args = std::vector<std::string>;

constexpr int kW = 24, kH = 16;
constexpr int kElements[3] = {2, 4, 6};

const char* const kBufferFiles[3] = {"CountVXBuffer.xxx", "BestVariance.xxx", "BestFocus.xxx"};

// The regular files of `dir`, or the buffer files of them alone.
DirSnapshot Snapshot(const fs::path& dir, bool bufferOnly = false) {
  DirSnapshot out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string(),
                      bytes = testsupport::Slurp(entry.path());
    if (entry.is_regular_file() &&
        (!bufferOnly || std::count(kBufferFiles, kBufferFiles + 3, name)))
      out[name] = Bytes(bytes.begin(), bytes.end());
  }
  return out;
}

// Makes the directory hold exactly the snapshot's files.
void Restore(const fs::path& dir, const DirSnapshot& snapshot) {
  for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
  for (const auto& [name, bytes] : snapshot)
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Pixels of `now` whose count, measure and colour together are neither those
// of `before` nor of `after`. A smaller set (or none) reads as zero beyond
// its edges, which is what growing it adds.
int MixedPixels(const DirSnapshot& before, const DirSnapshot& after, const DirSnapshot& now) {
  auto field = [](const Bytes& b, std::size_t at) { return int(b[at]) | int(b[at + 1]) << 8; };
  auto tuple = [&](const DirSnapshot& set, int x, int y) {
    std::string t;
    for (int f = 0; f < 3; ++f) {
      const auto it = set.find(kBufferFiles[f]);
      const int w = it == set.end() ? 0 : field(it->second, 2);
      const int h = it == set.end() ? 0 : field(it->second, 4);
      for (int k = 0; k < 2 * f + 2; ++k) {
        const std::size_t at = 6 + (std::size_t(y) * w + x) * (2 * f + 2) + k;
        t += x < w && y < h && at < it->second.size() ? char(it->second[at]) : '\0';
      }
    }
    return t;
  };
  const Bytes& count = after.at(kBufferFiles[0]);
  int mixed = 0;
  for (int y = 0; y < field(count, 4); ++y) {
    for (int x = 0; x < field(count, 2); ++x) {
      const std::string t = tuple(now, x, y);
      mixed += t != tuple(before, x, y) && t != tuple(after, x, y);
    }
  }
  return mixed;
}

// A forked copy of the test that runs `body` (its exit code), which stops
// itself with Pause() where the test wants to act in between.
class PausedChild {
 public:
  explicit PausedChild(const std::function<int()>& body) : pid_(fork()) {
    if (pid_ == 0) _exit(body());
  }
  ~PausedChild() {
    if (pid_ > 0) {
      const testsupport::KillOnExit stop{pid_};  // ends a child still paused
    }
  }
  PausedChild(const PausedChild&) = delete;
  PausedChild& operator=(const PausedChild&) = delete;
  static void Pause() { raise(SIGSTOP); }
  // In the test: true once the child has paused.
  bool WaitUntilPaused() {
    int status = 0;
    return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
  }
  // In the test: lets the child go on; its exit code.
  int Resume() {
    kill(pid_, SIGCONT);
    return testsupport::Wait({pid_, {}, {}}).code;
  }

 private:
  pid_t pid_;
};

// A host with its own drive root, a scratch folder beside it for picture
// files, and a scripting host that runs one operation without any dialog.
class RunFixture : public hostsupport::RunFixture {
 protected:
  void SetUp() override {
    hostsupport::RunFixture::SetUp();
    scratch_ = root.dir().string() + "-scratch";
    fs::create_directories(scratch_);
  }
  void TearDown() override {  // every test of this program starts clean
    platform::test::ClearFaults();
    platform::test::SetStoreAccess(platform::test::StoreAccess::kSystem);
    std::error_code ec;
    fs::remove_all(scratch_, ec);
    hostsupport::RunFixture::TearDown();
  }

  // Runs `operation` on `picture`; the picture the run leaves replaces it.
  host::RunResult RunOn(Picture* picture, std::int32_t operation,
                        host::DriverMode mode = host::DriverMode::kAdvanceState) {
    host::FilterHost h(&ENTRYPOINT);
    h.picture = *picture;
    const host::RunResult r = h.Run(Scripted(mode, operation));
    *picture = h.picture;
    // An editor keeps the plug-in's run state in its data slot until it
    // quits; a test's editor quits after every run.
    if (h.DataSlot() != 0) DisposeHandleBlock(reinterpret_cast<Handle>(h.DataSlot()));
    return r;
  }
  OSErr Add(Picture p, host::DriverMode mode = host::DriverMode::kAdvanceState) {
    return RunOn(&p, kOperationAddToBuffer, mode).result;
  }
  OSErr Clear() {
    Picture p = PatternPicture(1, 1, 3, 0, 8, 1);
    return RunOn(&p, kOperationClearBuffer).result;
  }
  // Shows the buffer into a fresh w x h RGB picture; `result` gets the
  // status, or else it must succeed.
  Picture Show(int w, int h, OSErr* result = nullptr, int depth = 8) {
    Picture p = PatternPicture(w, h, 3, 0, depth, 5);
    const OSErr shown = RunOn(&p, kOperationShowBuffer).result;
    if (result != nullptr) *result = shown;
    EXPECT_TRUE(result != nullptr || shown == noErr) << shown;
    return p;
  }
  bool SetIsValid(std::int16_t* w = nullptr, std::int16_t* h = nullptr) {
    std::int16_t sw = 0, sh = 0;
    return CheckFocusBufferSet(w != nullptr ? w : &sw, h != nullptr ? h : &sh);
  }

  DirSnapshot Files() const { return Snapshot(root.dir()); }
  DirSnapshot Buffer() const { return Snapshot(root.dir(), true); }

  fs::path scratch_;
};

// ---------------------------------------------------------------------------
// An injected fault walked over every platform call of whole Add, Show and
// Clear runs.

using focustest::kFaults;
constexpr std::size_t kMap = 9;  // where mapping calls are counted

class FaultWalk : public RunFixture {
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
        Restore(root.dir(), start);
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
          EXPECT_EQ(valid ? MixedPixels(before, after, Buffer()) : 0, 0) << result;
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
  Restore(root.dir(), start);
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
    Restore(root.dir(), start);
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

// ---------------------------------------------------------------------------
// A run in another process holding the focus buffer while others try it. (A
// run killed part-way is the fault walk's stranded case: every call it makes
// fails once with nothing deleted, as a kill there would leave it.)
using Runs = RunFixture;

// While an Add in another process holds the buffer, a Show through the
// plug-in and every buffer command are refused as "in use" and change
// nothing; the first Add then ends as if alone.
TEST_F(Runs, RunsDuringAnAddAreRefusedAndChangeNothing) {
  const Picture second = PatternPicture(kW, kH, 1, 0, 16, 2);
  const std::string third = (scratch_ / "third.png").string();
  ASSERT_TRUE(imageio::WriteImage(third, PatternPicture(kW, kH, 3, 0, 16, 3)).ok);
  ASSERT_EQ(Add(PatternPicture(kW, kH, 3, 0, 8, 1)), noErr);
  const DirSnapshot start = Files();
  ASSERT_EQ(Add(second), noErr);
  const DirSnapshot alone = Buffer();
  Restore(root.dir(), start);

  // Stops once reading the picture (the first sixth of the bar) is done and
  // the buffer files are open.
  PausedChild child([this, second] {
    host::FilterHost h(&ENTRYPOINT);
    h.picture = second;
    host::RunOptions options = Scripted(host::DriverMode::kAdvanceState, kOperationAddToBuffer);
    bool paused = false;
    options.onProgress = [&](std::int32_t done, std::int32_t total) {
      if (!paused && std::int64_t(done) * 6 > total) {
        paused = true;
        PausedChild::Pause();
      }
    };
    return h.Run(options).result == noErr && paused ? 0 : 1;
  });
  ASSERT_TRUE(child.WaitUntilPaused());
  const DirSnapshot during = Buffer();
  Picture shown = PatternPicture(kW, kH, 3, 0, 8, 9);
  const Picture untouched = shown;
  const host::RunResult show = RunOn(&shown, kOperationShowBuffer);
  EXPECT_NE(show.result, noErr);
  EXPECT_FALSE(show.pictureKept);
  EXPECT_EQ(shown.data, untouched.data);
  EXPECT_EQ(Buffer(), during);
  const std::string out = (scratch_ / "out.png").string();
  for (const Args& args :
       {Args{"add", third}, {"clear"}, {"show", "-o", out}, {"stack", "-o", out, third}}) {
    SCOPED_TRACE(args.front());
    const auto r = testsupport::Wait(testsupport::Spawn(root.dir(), scratch_, args));
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
    EXPECT_EQ(Buffer(), during);
    EXPECT_FALSE(fs::exists(out));
  }
  EXPECT_EQ(child.Resume(), 0);
  EXPECT_EQ(Buffer(), alone);
}

// ---------------------------------------------------------------------------
// Files the plug-in reads from outside made hostile, pictures at the edges of
// the host interface, and the fuzz targets' corpora: every run ends with an
// error or works, and a clean Clear, Add and Show afterwards always work.
class HostileInputs : public RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    picture_ = PatternPicture(kW, kH, 3, 0, 8, 61);
    ASSERT_EQ(Add(picture_), noErr);
    alone_ = Show(kW, kH);
  }
  void TearDown() override {
    // Whatever happened, a clean Clear, Add and Show give the picture again.
    EXPECT_EQ(Clear(), noErr);
    EXPECT_EQ(Add(picture_), noErr);
    EXPECT_EQ(Show(kW, kH).data, alone_.data);
    RunFixture::TearDown();
  }

  Picture picture_, alone_;
};

// Buffer headers with negative, zero and huge sizes, files shorter than their
// headers or disagreeing, and preferences of random bytes: Add, Show and Clear
// end with a status; an Add that made a set of the picture's size leaves one
// that Show uses; preferences change no Add. (Unusable redirect files: the
// store tests and the fuzz corpus.)
TEST_F(HostileInputs, HostileFilesEndEveryRunWithAStatus) {
  const DirSnapshot start = Files(), whole = Buffer();
  ASSERT_EQ(Add(picture_), noErr);
  const DirSnapshot twice = Buffer();
  // Files written over the drive root: "-" before a name removes the file, "/"
  // puts a directory in its place.
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, Bytes>>>> rows;
  const int sizes[] = {-32768, -1, 0, 1, 2, 4, 6, kW, kH, 32767};
  std::mt19937 random(7);
  for (int file = 0; file < 3; ++file) {
    const std::string name = kBufferFiles[file];
    for (int e : sizes) {
      for (int w : sizes) {
        // Every height for the file's own element size, a sample otherwise.
        const int h = sizes[e == kElements[file] ? random() % 10 : ((w + e) % 10 + 10) % 10];
        const long long claimed = (long long)(e)*w * h;
        rows.push_back(
            {name + " " + std::to_string(e) + "/" + std::to_string(w) + "x" + std::to_string(h),
             {{name, StoreFileHeader(e, w, h, claimed > 0 && claimed < 100000 ? claimed : 64)}}});
      }
    }
    const Bytes& b = whole.at(name);
    for (std::size_t keep : {0ul, 3ul, 6ul, 7ul, b.size() / 2, b.size() - 1})
      rows.push_back({name + " cut to " + std::to_string(keep),
                      {{name, Bytes(b.begin(), b.begin() + long(keep))}}});
    rows.push_back({name + " missing", {{"-" + name, {}}}});
    rows.push_back({name + " a directory", {{"-" + name, {}}, {"/" + name, {}}}});
  }
  for (std::size_t n : {0, 1, 5, 820, 1021, 2048, 3073, 4500, 17407, 17408, 17409, 65536}) {
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    if (n > 3072) bytes[3072] = 0;  // slot 2 names the log: no path anywhere
    rows.push_back({"preferences " + std::to_string(n), {{"TRUXpref.xxx", bytes}}});
  }

  for (const auto& [what, files] : rows) {
    SCOPED_TRACE(what);
    Restore(root.dir(), start);
    for (const auto& [name, bytes] : files) {
      if (name[0] == '-') fs::remove(root.File(name.substr(1)));
      if (name[0] == '/') fs::create_directory(root.File(name.substr(1)));
      if (name[0] != '-' && name[0] != '/') root.Write(name, bytes);
    }
    const OSErr added = Add(picture_);
    if (files[0].first == "TRUXpref.xxx") {
      EXPECT_EQ(added, noErr);
      EXPECT_EQ(Buffer(), twice);
    }
    OSErr shown = noErr;
    const Picture got = Show(kW, kH, &shown);
    EXPECT_LE(added, 0);
    EXPECT_LE(shown, 0);
    std::int16_t w = 0, h = 0;
    if (added == noErr && SetIsValid(&w, &h) && w == kW && h == kH) {
      EXPECT_EQ(shown, noErr);
      EXPECT_EQ(got.data, alone_.data);
    }
    EXPECT_LE(Clear(), 0);
    if (HasFailure()) return;
  }
  // Files really as long as three huge headers say (sparse): Add works.
  Restore(root.dir(), start);
  for (int file = 0; file < 3; ++file) {
    root.Write(kBufferFiles[file], StoreFileHeader(kElements[file], 32767, 32767));
    std::error_code ec;
    fs::resize_file(root.File(kBufferFiles[file]),
                    6 + std::uintmax_t(kElements[file]) * 32767 * 32767, ec);
    if (ec) GTEST_SKIP() << "no room for sparse files: " << ec.message();
  }
  EXPECT_EQ(Add(picture_), noErr);
  std::int16_t w = 0, h = 0;
  EXPECT_TRUE(SetIsValid(&w, &h) && w == 32767 && h == 32767) << w << " x " << h;
}

// 1 x 1, one row, one column and the widest row of 32767 work: one Add into
// an empty set holds the picture itself, and Show keeps the order of values.
TEST_F(HostileInputs, OnePixelOneRowOneColumnAndTheWidestRowWork) {
  const int shapes[][4] = {{1, 1, 3, 8},     {1, 1, 1, 16},   {1, 37, 3, 8},    {37, 1, 1, 8},
                           {1, 600, 1, 16},  {600, 1, 3, 8},  {32767, 1, 3, 8}, {32767, 1, 1, 16},
                           {32767, 2, 1, 8}, {3, 32767, 1, 8}};
  for (const auto& [w, h, planes, depth] : shapes) {
    for (host::DriverMode mode : {host::DriverMode::kAdvanceState, host::DriverMode::kContinue}) {
      SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + " " + std::to_string(depth) +
                   "-bit " + hostsupport::ModeName(mode));
      const Picture p = PatternPicture(w, h, planes, 0, depth, std::uint32_t(w + h));
      ASSERT_EQ(Clear(), noErr);
      ASSERT_EQ(Add(p, mode), noErr);
      std::int16_t sw = 0, sh = 0;
      ASSERT_TRUE(SetIsValid(&sw, &sh) && sw == w && sh == h) << sw << " x " << sh;
      const Bytes focus = root.Read("BestFocus.xxx"), count = root.Read("CountVXBuffer.xxx");
      Picture shown = PatternPicture(w, h, planes, 0, depth, 77);
      ASSERT_EQ(RunOn(&shown, kOperationShowBuffer, mode).result, noErr);
      int wrong = 0;
      for (int i = 0; i < w * h; ++i) {
        wrong += count[6 + 2 * i] != 1 || count[7 + 2 * i] != 0;
        for (int k = 0; k < 3; ++k) {
          const std::uint32_t s = p.Get(i % w, i / w, planes == 3 ? k : 0);
          const std::size_t at = 6 + 6 * std::size_t(i) + 2 * std::size_t(k);
          wrong += std::uint32_t(focus[at] | focus[at + 1] << 8) !=
                   (depth == 8 ? (257u * s + 1u) / 2u : s);
        }
        for (int k = 0; k < planes && i > 0; ++k) {
          wrong += p.Get((i - 1) % w, (i - 1) / w, k) < p.Get(i % w, i / w, k) &&
                   shown.Get((i - 1) % w, (i - 1) / w, k) > shown.Get(i % w, i / w, k);
        }
      }
      EXPECT_EQ(wrong, 0);
      if (HasFailure()) return;
    }
  }
}

// Every corpus file of every fuzz target, fed to the target's own entry in a
// child process of its own, as the fuzzer would run a reproducer: an abort
// there is a failure here, and the targets' lasting state stays there.
TEST_F(HostileInputs, FuzzCorporaRunCleanly) {
  fuzzsupport::Root() = root.dir().string();
  const DirSnapshot start = Files();
  using Entry = int (*)(const std::uint8_t*, std::size_t);
#define SHARPSTACK_FUZZ_ROW(name) {#name, &Fuzz_##name},
  const std::pair<const char*, Entry> targets[] = {SHARPSTACK_FUZZ_TARGETS(SHARPSTACK_FUZZ_ROW)};
  for (const auto& [name, entry] : targets) {
    int files = 0;
    for (const auto& f :
         fs::directory_iterator(fs::path(SHARPSTACK_SOURCE_DIR) / "fuzz" / "corpus" / name)) {
      const std::string bytes = testsupport::Slurp(f.path());
      const pid_t pid = fork();
      if (pid == 0) _exit(entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
      EXPECT_EQ(testsupport::Wait({pid, {}, {}}).code, 0) << f.path();
      Restore(root.dir(), start);
      ++files;
    }
    EXPECT_GT(files, 0) << name;
  }
}

}  // namespace
