// The sharpstack command killed (SIGKILL) at random moments while it adds
// pictures: afterwards add and show still work, and every covered pixel of the
// buffer holds the colour of one of the pictures at that place.
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

  // Counts the covered pixels of the buffer whose colour is none of the
  // pictures' colours at that place (on the buffer's 0..32768 scale).
  //
  // With `unmerged`, a pixel that an interrupted Add counted but had not yet
  // merged (colour 0, measure 0.0, which the next Add always replaces) is
  // no foreign colour: an Add counts every pixel before it merges any.
  int ForeignPixels(const std::vector<Picture>& pictures, int* covered, bool unmerged = false) {
    const reliability::Bytes focus = root.Read("BestFocus.xxx");
    const reliability::Bytes count = root.Read("CountVXBuffer.xxx");
    const reliability::Bytes variance = root.Read("BestVariance.xxx");
    auto field = [](const reliability::Bytes& b, std::size_t at) {
      return int(b[at]) | int(b[at + 1]) << 8;
    };
    const int w = field(count, 2), h = field(count, 4);
    if (focus.size() != 6 + std::size_t(w) * h * 6 || count.size() != 6 + std::size_t(w) * h * 2 ||
        variance.size() != 6 + std::size_t(w) * h * 4) {
      ADD_FAILURE() << "buffer files of other lengths than their headers say";
      return -1;
    }
    int foreign = 0;
    *covered = 0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::size_t i = std::size_t(y) * w + x;
        if (field(count, 6 + 2 * i) == 0) continue;
        ++*covered;
        bool found = false;
        if (unmerged) {
          bool blank = true;
          for (int b = 0; b < 6; ++b) blank &= focus[6 + 6 * i + std::size_t(b)] == 0;
          for (int b = 0; b < 4; ++b) blank &= variance[6 + 4 * i + std::size_t(b)] == 0;
          found = blank;
        }
        for (const Picture& p : pictures) {
          if (x >= p.width || y >= p.height) continue;
          bool same = true;
          for (int k = 0; k < 3; ++k) {
            const std::uint32_t s = p.Get(x, y, p.colorPlanes == 3 ? k : 0);
            const std::uint32_t v = p.depth == 8 ? (257u * s + 1u) / 2u : s;
            same &= int(v) == field(focus, 6 + 6 * i + 2 * std::size_t(k));
          }
          found |= same;
        }
        if (!found) {
          // A kill in the middle of a row copy may leave the one pixel being
          // written with some channels old and some new: each channel then
          // still comes from a picture.
          bool channels = true;
          for (int k = 0; k < 3; ++k) {
            bool any = false;
            for (const Picture& p : pictures) {
              if (x >= p.width || y >= p.height) continue;
              const std::uint32_t s = p.Get(x, y, p.colorPlanes == 3 ? k : 0);
              const std::uint32_t v = p.depth == 8 ? (257u * s + 1u) / 2u : s;
              any |= int(v) == field(focus, 6 + 6 * i + 2 * std::size_t(k));
            }
            channels &= any;
          }
          if (channels) {
            ++torn_;
          } else {
            ++foreign;
          }
        }
      }
    }
    return foreign;
  }

  int torn_ = 0;  // pixels mixed channel by channel, counted by ForeignPixels
};

TEST_F(CrashSafety, KilledAddsLeaveABufferThatStillWorksAndHoldsOnlyPictureColours) {
  // The first picture is smaller, so that an Add after it enlarges the files.
  const std::vector<Picture> pictures = {
      PatternPicture(160, 100, 3, 0, 8, 51), PatternPicture(192, 128, 3, 0, 8, 52),
      PatternPicture(192, 128, 3, 0, 16, 53), PatternPicture(192, 128, 1, 0, 8, 54)};
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    paths.push_back(WritePicture("p" + std::to_string(i) + ".tif", pictures[i]));
  }
  // What the pictures hold once read back (a file may store them slightly
  // differently from how they were made).
  std::vector<Picture> delivered(pictures.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    ASSERT_TRUE(imageio::ReadImage(paths[i], &delivered[i]).ok);
  }
  const std::vector<std::string> addRest = {"add", paths[1], paths[2], paths[3]};

  // How long adding the rest takes undisturbed: the kills fall within it.
  ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, {"add", paths[0]}).code, 0);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, addRest).code, 0);
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
    const pid_t pid = reliability::SpawnCli(root.dir(), scratch_, addRest, 1000 + round);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % window));
    kill(pid, SIGKILL);
    if (reliability::WaitCode(pid) == 128 + SIGKILL) {
      ++killedRunning;
    } else {
      window = window * 3 / 4 + 1;
    }

    int covered = 0;
    std::int16_t w = 0, h = 0;
    if (CheckFocusBufferSet(&w, &h)) {
      EXPECT_EQ(ForeignPixels(delivered, &covered, true), 0) << "right after the kill";
    } else {
      // A kill while the files grew one after another can leave them of
      // different sizes: add refuses that set, naming the damage, and clear
      // starts again.
      const reliability::CliResult refused =
          reliability::RunCli(root.dir(), scratch_, {"add", paths[1]});
      EXPECT_EQ(refused.code, 1);
      EXPECT_NE(refused.err.find("damaged"), std::string::npos) << refused.err;
      ASSERT_EQ(reliability::RunCli(root.dir(), scratch_, {"clear"}).code, 0);
    }
    // Afterwards the command works: adding and showing succeed.
    const reliability::CliResult add =
        reliability::RunCli(root.dir(), scratch_, {"add", paths[round % 3 + 1]});
    EXPECT_EQ(add.code, 0) << add.err;
    const reliability::CliResult show =
        reliability::RunCli(root.dir(), scratch_, {"show", "-o", out});
    EXPECT_EQ(show.code, 0) << show.err;
    Picture shown;
    EXPECT_TRUE(imageio::ReadImage(out, &shown).ok);
    EXPECT_EQ(shown.width, 192);
    EXPECT_EQ(shown.height, 128);
    ASSERT_TRUE(CheckFocusBufferSet(&w, &h));
    EXPECT_EQ(ForeignPixels(delivered, &covered), 0);
    EXPECT_EQ(covered, 192 * 128) << "the picture just added covers every pixel";
    // At most the one pixel being copied when a kill lands can be torn.
    EXPECT_LE(torn_, 2 * (round + 1));
    if (HasFailure()) return;
  }
  std::printf(
      "[ kill ] %d of %d adds killed while running (add took %lld us), %d torn pixel(s) seen\n",
      killedRunning, round, static_cast<long long>(span), torn_);
  EXPECT_EQ(killedRunning, kKills) << "the kills must land while the command runs";
}

}  // namespace
