// Runs in other processes on the same focus buffer: one killed (SIGKILL)
// part-way through an add, or one holding the buffer while others try it.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "cli/image/image_io.h"
#include "reliability_support.h"

namespace {

using host::Picture;
using hostsupport::PatternPicture;
using reliability::DirSnapshot;
using reliability::PausedChild;
using Args = std::vector<std::string>;

constexpr int kW = 24, kH = 16;

using Runs = reliability::RunFixture;

// After the next command has finished what a killed add left, every pixel is
// wholly before or after that add, and add and show work again.
TEST_F(Runs, KilledAddsLeaveEveryPixelWhollyOldOrNew) {
  // The first picture is smaller, so that the adds after it enlarge the files.
  std::vector<std::string> paths;
  for (const Picture& p :
       {PatternPicture(160, 100, 3, 0, 8, 51), PatternPicture(192, 128, 3, 0, 8, 52),
        PatternPicture(192, 128, 3, 0, 16, 53), PatternPicture(192, 128, 1, 0, 8, 54)}) {
    paths.push_back((scratch_ / ("p" + std::to_string(paths.size()) + ".tif")).string());
    ASSERT_TRUE(imageio::WriteImage(paths.back(), p).ok);
  }
  ASSERT_EQ(Cli({"add", paths[0]}).code, 0);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(Cli({"add", paths[1]}).code, 0);
  const auto span =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  // Kills aim within the undisturbed time, earlier whenever the command
  // outran one, until 12 have landed while it ran.
  std::uint64_t window = std::uint64_t(span) * 3 / 4 + 1;
  std::mt19937 random(12345);
  const std::string out = (scratch_ / "out.png").string();
  int killed = 0;
  for (int round = 0; round < 100 && killed < 12; ++round) {
    SCOPED_TRACE(round);
    if (round % 4 == 0) {
      ASSERT_EQ(Cli({"clear"}).code, 0);
      ASSERT_EQ(Cli({"add", paths[0]}).code, 0);
    }
    const Args add = {"add", paths[round % 3 + 1]};
    const DirSnapshot start = Files(), before = Buffer();
    ASSERT_EQ(Cli(add).code, 0);
    const DirSnapshot after = Buffer();
    reliability::Restore(root.dir(), start);

    const testsupport::Process child = Spawn(add);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % window));
    kill(child.pid, SIGKILL);
    const bool landed = testsupport::Wait(child).code == 128 + SIGKILL;
    killed += landed;
    window = landed ? window : window * 3 / 4 + 1;
    ASSERT_EQ(RecoverFocusBufferSet(), noErr);
    EXPECT_TRUE(SetIsValid()) << "the files grow together";
    EXPECT_EQ(reliability::MixedPixels(before, after, Buffer()), 0);
    EXPECT_EQ(Cli(add).code, 0);
    EXPECT_EQ(Cli({"show", "-o", out}).code, 0);
    Picture shown;
    EXPECT_TRUE(imageio::ReadImage(out, &shown).ok);
    EXPECT_EQ(shown.width * 1000 + shown.height, 192128);
    if (HasFailure()) return;
  }
  EXPECT_EQ(killed, 12) << "the kills must land while the command runs";
}

// While an Add in another process holds the buffer, Add, Clear and Show
// through the plug-in and every buffer command are refused as "in use" and
// change nothing; the first Add then ends as if alone.
TEST_F(Runs, RunsDuringAnAddAreRefusedAndChangeNothing) {
  const Picture second = PatternPicture(kW, kH, 1, 0, 16, 2);
  const std::string third = (scratch_ / "third.png").string();
  ASSERT_TRUE(imageio::WriteImage(third, PatternPicture(kW, kH, 3, 0, 16, 3)).ok);
  ASSERT_EQ(Add(PatternPicture(kW, kH, 3, 0, 8, 1)), noErr);
  const DirSnapshot start = Files();
  ASSERT_EQ(Add(second), noErr);
  const DirSnapshot alone = Buffer();
  reliability::Restore(root.dir(), start);

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
  EXPECT_NE(Add(second), noErr);
  EXPECT_NE(Clear(), noErr);
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
    const testsupport::CliResult r = Cli(args);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
    EXPECT_EQ(Buffer(), during);
    EXPECT_FALSE(std::filesystem::exists(out));
  }
  EXPECT_EQ(child.Resume(), 0);
  EXPECT_EQ(Buffer(), alone);
}

}  // namespace
