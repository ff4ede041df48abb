// The sharpstack command killed (SIGKILL) at random moments while it adds a
// picture: afterwards every pixel of the buffer is wholly before or wholly
// after that picture, and add and show still work.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "cli/image/image_io.h"
#include "processes.h"
#include "reliability_support.h"

namespace {

using host::Picture;
using hostsupport::PatternPicture;

class CrashSafety : public reliability::ScratchFixture {
 protected:
  std::string WritePicture(const std::string& name, const Picture& p) {
    const std::string path = (scratch_ / name).string();
    EXPECT_TRUE(imageio::WriteImage(path, p).ok);
    return path;
  }
};

// Every pixel of the buffer is wholly before or wholly after the picture that
// a killed add was adding, once the next command has finished what it left.
TEST_F(CrashSafety, KilledAddsLeaveEveryPixelWhollyOldOrNew) {
  // The first picture is smaller, so that an Add after it enlarges the files.
  const std::vector<Picture> pictures = {
      PatternPicture(160, 100, 3, 0, 8, 51), PatternPicture(192, 128, 3, 0, 8, 52),
      PatternPicture(192, 128, 3, 0, 16, 53), PatternPicture(192, 128, 1, 0, 8, 54)};
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    paths.push_back(WritePicture("p" + std::to_string(i) + ".tif", pictures[i]));
  }

  // How long one add takes undisturbed: the kills fall within it.
  ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, {"add", paths[0]}).code, 0);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, {"add", paths[1]}).code, 0);
  const auto span =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  ASSERT_GT(span, 0);

  std::mt19937 random(12345);
  const std::string out = (scratch_ / "out.png").string();
  // Kills aim at a random moment within the undisturbed time; when the command
  // outruns one (the machine got faster), later kills aim earlier, until 20
  // have landed while it ran.
  constexpr int kKills = 20;
  std::uint64_t window = std::uint64_t(span) * 3 / 4 + 1;
  int killedRunning = 0;
  int round = 0;
  for (; round < 10 * kKills && killedRunning < kKills; ++round) {
    SCOPED_TRACE(round);
    if (round % 4 == 0) {
      // From time to time start again from the small first picture alone.
      ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, {"clear"}).code, 0);
      ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, {"add", paths[0]}).code, 0);
    }
    const std::vector<std::string> add = {"add", paths[round % 3 + 1]};
    const reliability::DirSnapshot start = Files();
    ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, add).code, 0);
    const reliability::DirSnapshot after = reliability::BufferFiles(Files());
    reliability::Restore(root.dir(), start);

    const pid_t pid = reliability::SpawnCli(root.dir(), scratch_, add, 1000 + round);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % window));
    kill(pid, SIGKILL);
    if (reliability::WaitCode(pid) == 128 + SIGKILL) {
      ++killedRunning;
    } else {
      window = window * 3 / 4 + 1;
    }
    ASSERT_EQ(RecoverFocusBufferSet(), noErr);
    // The files grow together, so the set is always whole.
    std::int16_t w = 0, h = 0;
    EXPECT_TRUE(CheckFocusBufferSet(&w, &h));
    EXPECT_EQ(reliability::MixedPixels(reliability::BufferFiles(start), after,
                                       reliability::BufferFiles(Files())),
              0);

    // Afterwards the command works: adding and showing succeed.
    const reliability::CliResult again = reliability::RunCli(root.dir(), scratch_, add);
    EXPECT_EQ(again.code, 0) << again.err;
    const reliability::CliResult show =
        reliability::RunCli(root.dir(), scratch_, {"show", "-o", out});
    EXPECT_EQ(show.code, 0) << show.err;
    Picture shown;
    EXPECT_TRUE(imageio::ReadImage(out, &shown).ok);
    EXPECT_EQ(shown.width, 192);
    EXPECT_EQ(shown.height, 128);
    if (HasFailure()) return;
  }
  std::printf("[ kill ] %d of %d adds killed while running (add took %lld us)\n", killedRunning,
              round, static_cast<long long>(span));
  EXPECT_EQ(killedRunning, kKills) << "the kills must land while the command runs";
}

}  // namespace
