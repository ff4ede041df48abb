// Two processes on one focus buffer. While one run holds the buffer, a second
// Add, Clear or Show (through the plug-in, or through the sharpstack command)
// is refused with an error that says the buffer is in use, and changes
// nothing; the first run then completes exactly as if it had been alone.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "cli/image/image_io.h"
#include "processes.h"
#include "reliability_support.h"

namespace {

using host::Picture;
using hostsupport::PatternPicture;
using reliability::BufferFiles;
using reliability::DirSnapshot;
using reliability::PausedChild;

constexpr int kW = 24;
constexpr int kH = 16;

class Concurrency : public reliability::ScratchFixture {
 protected:
  // Adds `p` in a child process that stops once its Add is under way (every
  // buffer file open) until the test resumes it. Exit code 0: the Add worked.
  std::unique_ptr<PausedChild> StartPausedAdd(const Picture& p) {
    return std::make_unique<PausedChild>([this, p](PausedChild& self) {
      host::FilterHost h(&ENTRYPOINT);
      h.picture = p;
      host::RunOptions options = Scripted(host::DriverMode::kAdvanceState, kOperationAddToBuffer);
      bool paused = false;
      // Reading the picture reports the first sixth of the bar; beyond it
      // the operation runs with the buffer files open.
      options.onProgress = [&](std::int32_t done, std::int32_t total) {
        if (!paused && std::int64_t(done) * 6 > total) {
          paused = true;
          self.Pause();
        }
      };
      const host::RunResult r = h.Run(options);
      return r.result == noErr && paused ? 0 : 1;
    });
  }
};

TEST_F(Concurrency, AnAddClearOrShowDuringAnAddIsRefusedAndChangesNothing) {
  const Picture first = PatternPicture(kW, kH, 3, 0, 8, 1);
  const Picture second = PatternPicture(kW, kH, 1, 0, 16, 2);
  const Picture third = PatternPicture(kW, kH, 3, 0, 16, 3);
  ASSERT_EQ(Add(first), noErr);
  const DirSnapshot start = Files();
  ASSERT_EQ(Add(second), noErr);
  const DirSnapshot alone = BufferFiles(Files());
  reliability::Restore(root.dir(), start);

  auto child = StartPausedAdd(second);
  ASSERT_TRUE(child->WaitUntilPaused());
  const DirSnapshot during = BufferFiles(Files());

  EXPECT_NE(Add(third), noErr);
  EXPECT_EQ(BufferFiles(Files()), during);
  EXPECT_NE(Clear(), noErr);
  EXPECT_EQ(BufferFiles(Files()), during);
  Picture shown = PatternPicture(kW, kH, 3, 0, 8, 9);
  const Picture untouched = shown;
  const host::RunResult show = RunOn(&shown, kOperationShowBuffer);
  EXPECT_NE(show.result, noErr);
  EXPECT_FALSE(show.pictureKept);
  EXPECT_EQ(shown.data, untouched.data);
  EXPECT_EQ(BufferFiles(Files()), during);

  EXPECT_EQ(child->Resume(), 0);
  EXPECT_EQ(BufferFiles(Files()), alone) << "the first Add completes as if alone";
}

TEST_F(Concurrency, TheCommandSaysTheBufferIsInUse) {
  const Picture first = PatternPicture(kW, kH, 3, 0, 8, 11);
  const Picture second = PatternPicture(kW, kH, 3, 0, 8, 12);
  const std::string third = (scratch_ / "third.png").string();
  ASSERT_TRUE(imageio::WriteImage(third, PatternPicture(kW, kH, 3, 0, 8, 13)).ok);
  ASSERT_EQ(Add(first), noErr);
  const DirSnapshot start = Files();
  ASSERT_EQ(Add(second), noErr);
  const DirSnapshot alone = BufferFiles(Files());
  reliability::Restore(root.dir(), start);

  auto child = StartPausedAdd(second);
  ASSERT_TRUE(child->WaitUntilPaused());
  const DirSnapshot during = BufferFiles(Files());
  const std::string out = (scratch_ / "out.png").string();
  for (const std::vector<std::string>& args : {std::vector<std::string>{"add", third},
                                               {"clear"},
                                               {"show", "-o", out},
                                               {"stack", "-o", out, third}}) {
    SCOPED_TRACE(args.front());
    const reliability::CliResult r = reliability::RunCli(root.dir(), scratch_, args);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
    EXPECT_EQ(BufferFiles(Files()), during);
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  EXPECT_EQ(child->Resume(), 0);
  EXPECT_EQ(BufferFiles(Files()), alone);
}

// Two Adds started together, many times: each either works or fails cleanly,
// and the buffer ends as one of them alone or both in either order would
// leave it, never mixed or damaged.
TEST_F(Concurrency, TwoAddsAtOnceEndAsOneOrBothInSomeOrder) {
  const Picture first = PatternPicture(kW, kH, 3, 0, 8, 21);
  const Picture a = PatternPicture(kW, kH, 3, 0, 8, 22);
  const Picture b = PatternPicture(kW, kH, 1, 0, 8, 23);
  ASSERT_EQ(Add(first), noErr);
  const DirSnapshot start = Files();
  auto outcome = [&](std::vector<const Picture*> order) {
    reliability::Restore(root.dir(), start);
    for (const Picture* p : order) EXPECT_EQ(Add(*p), noErr);
    return BufferFiles(Files());
  };
  const DirSnapshot onlyA = outcome({&a}), onlyB = outcome({&b});
  const DirSnapshot ab = outcome({&a, &b}), ba = outcome({&b, &a});

  int bothWorked = 0, oneRefused = 0, bothRefused = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    reliability::Restore(root.dir(), start);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t pids[2];
    const Picture* pictures[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      pids[i] = fork();
      if (pids[i] == 0) {
        close(go[1]);
        char c;
        (void)!read(go[0], &c, 1);  // both start at the same moment
        _exit(Add(*pictures[i]) == noErr ? 0 : 1);
      }
    }
    close(go[0]);
    close(go[1]);
    const int codes[2] = {reliability::WaitCode(pids[0]), reliability::WaitCode(pids[1])};
    const DirSnapshot now = BufferFiles(Files());
    if (codes[0] == 0 && codes[1] == 0) {
      ++bothWorked;
      EXPECT_TRUE(now == ab || now == ba);
    } else if (codes[0] == 0) {
      ++oneRefused;
      EXPECT_EQ(codes[1], 1);
      EXPECT_TRUE(now == onlyA);
    } else if (codes[1] == 0) {
      ++oneRefused;
      EXPECT_EQ(codes[0], 1);
      EXPECT_TRUE(now == onlyB);
    } else {
      // Each may take a buffer file the other needs: then both are refused
      // as "in use", and the buffer must be exactly as it was.
      ++bothRefused;
      EXPECT_EQ(codes[0], 1);
      EXPECT_EQ(codes[1], 1);
      EXPECT_TRUE(now == BufferFiles(start));
    }
    if (HasFailure()) return;
  }
  std::printf("[ race ] both worked %d times, one refused %d times, both refused %d times\n",
              bothWorked, oneRefused, bothRefused);
}

}  // namespace
