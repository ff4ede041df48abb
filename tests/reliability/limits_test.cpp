// Pictures at the edges of the host interface: 1 x 1, one row, one column and
// the widest row of 32767 pixels work through the entry point; wider pictures
// are refused by the host before the plug-in sees them, and the command says so.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "cli/image/image_io.h"
#include "processes.h"
#include "reliability_support.h"

namespace {

using host::Picture;
using hostsupport::PatternPicture;

class Limits : public reliability::RunFixture {
 protected:
  // After one Add into an empty set the focus buffer holds the picture itself,
  // on the buffer's scale: every pixel's measure beats the stored 0.0.
  void ExpectBufferHolds(const Picture& p) {
    std::int16_t w = 0, h = 0;
    ASSERT_TRUE(CheckFocusBufferSet(&w, &h));
    ASSERT_EQ(w, p.width);
    ASSERT_EQ(h, p.height);
    const reliability::Bytes focus = root.Read("BestFocus.xxx");
    const reliability::Bytes count = root.Read("CountVXBuffer.xxx");
    ASSERT_EQ(focus.size(), 6 + std::size_t(p.width) * p.height * 6);
    int wrong = 0;
    for (int y = 0; y < p.height; ++y) {
      for (int x = 0; x < p.width; ++x) {
        const std::size_t i = std::size_t(y) * p.width + x;
        wrong += count[6 + 2 * i] != 1 || count[7 + 2 * i] != 0;
        for (int k = 0; k < 3; ++k) {
          const std::uint32_t s = p.Get(x, y, p.colorPlanes == 3 ? k : 0);
          const std::uint32_t v = p.depth == 8 ? (257u * s + 1u) / 2u : s;
          const std::size_t at = 6 + 6 * i + 2 * std::size_t(k);
          wrong += (std::uint32_t(focus[at]) | std::uint32_t(focus[at + 1]) << 8) != v;
        }
      }
    }
    EXPECT_EQ(wrong, 0);
  }
};

TEST_F(Limits, OnePixelOneRowOneColumnAndTheWidestRowWork) {
  struct Shape {
    int w, h, planes, depth;
  };
  const Shape shapes[] = {{1, 1, 3, 8},      {1, 1, 1, 16},    {1, 37, 3, 8},   {37, 1, 1, 8},
                          {2, 2, 3, 16},     {1, 600, 1, 16},  {600, 1, 3, 8},  {32767, 1, 3, 8},
                          {32767, 1, 1, 16}, {32767, 2, 1, 8}, {3, 32767, 1, 8}};
  for (const Shape& s : shapes) {
    for (host::DriverMode mode : {host::DriverMode::kAdvanceState, host::DriverMode::kContinue}) {
      SCOPED_TRACE(std::to_string(s.w) + " x " + std::to_string(s.h) + " " +
                   std::to_string(s.depth) + "-bit " + hostsupport::ModeName(mode));
      const Picture p = PatternPicture(s.w, s.h, s.planes, 0, s.depth, std::uint32_t(s.w + s.h));
      ASSERT_EQ(Clear(), noErr);
      ASSERT_EQ(Add(p, mode), noErr);
      ExpectBufferHolds(p);
      // Show into the same shape: the stretch keeps the order of the values.
      Picture shown = PatternPicture(s.w, s.h, s.planes, 0, s.depth, 77);
      ASSERT_EQ(RunOn(&shown, kOperationShowBuffer, mode).result, noErr);
      int disordered = 0;
      for (int i = 1; i < s.w * s.h; ++i) {
        const int x0 = (i - 1) % s.w, y0 = (i - 1) / s.w, x1 = i % s.w, y1 = i / s.w;
        for (int k = 0; k < s.planes; ++k) {
          const bool before = p.Get(x0, y0, k) < p.Get(x1, y1, k);
          const bool after = shown.Get(x0, y0, k) <= shown.Get(x1, y1, k);
          disordered += before && !after;
        }
      }
      EXPECT_EQ(disordered, 0);
      if (HasFailure()) return;
    }
  }
  // A row and a column together make a set of both extents.
  ASSERT_EQ(Clear(), noErr);
  ASSERT_EQ(Add(PatternPicture(1, 50, 3, 0, 8, 1)), noErr);
  ASSERT_EQ(Add(PatternPicture(50, 1, 1, 0, 16, 2)), noErr);
  std::int16_t w = 0, h = 0;
  ASSERT_TRUE(CheckFocusBufferSet(&w, &h));
  EXPECT_EQ(w, 50);
  EXPECT_EQ(h, 50);
}

TEST_F(Limits, PicturesBeyond32767AreRefusedByTheHost) {
  for (const auto& [w, h] : {std::pair{32768, 1}, std::pair{1, 32768}, std::pair{40000, 2}}) {
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
    Picture p;
    p.Allocate(w, h, 1, 0, 8);
    host::FilterHost filter(&ENTRYPOINT);
    filter.picture = p;
    const host::RunResult r =
        filter.Run(Scripted(host::DriverMode::kAdvanceState, kOperationAddToBuffer));
    ReleaseDataSlot(filter);
    EXPECT_EQ(r.result, host::kHostBadPicture);
    EXPECT_FALSE(root.Exists("BestFocus.xxx"));
  }

  // The command refuses such a file with a message that names the limit,
  // and leaves the buffer alone.
  const std::filesystem::path scratch = root.dir() / "scratch";
  std::filesystem::create_directories(scratch);
  const std::string small = (scratch / "small.png").string();
  ASSERT_TRUE(imageio::WriteImage(small, PatternPicture(20, 10, 3, 0, 8, 4)).ok);
  ASSERT_EQ(reliability::RunCli(root.dir(), scratch, {"add", small}).code, 0);
  const reliability::DirSnapshot before = reliability::BufferFiles(Files());
  // A grey TIFF of 32768 x 1: written at 32767 and its width field raised.
  Picture big;
  big.Allocate(32767, 1, 1, 0, 8);
  const std::string tif = (scratch / "wide.tif").string();
  ASSERT_TRUE(imageio::WriteImage(tif, big).ok);
  // Widen the TIFF's width field (the strip then holds one pixel too few,
  // which the reader never reaches: it refuses the header first).
  reliability::Bytes bytes;
  {
    std::ifstream in(tif, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  bool patched = false;
  for (std::size_t i = 8; i + 12 <= bytes.size() && !patched; ++i) {
    // An IFD entry: tag 256 (ImageWidth), type SHORT (3) or LONG (4), count 1, value 32767.
    if (bytes[i] == 0x00 && bytes[i + 1] == 0x01 && (bytes[i + 2] == 3 || bytes[i + 2] == 4) &&
        bytes[i + 3] == 0 && bytes[i + 4] == 1 && bytes[i + 8] == 0xFF && bytes[i + 9] == 0x7F) {
      bytes[i + 8] = 0x00;
      bytes[i + 9] = 0x80;
      patched = true;
    }
  }
  ASSERT_TRUE(patched) << "no ImageWidth entry found";
  {
    std::ofstream out(tif, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  const reliability::CliResult r = reliability::RunCli(root.dir(), scratch, {"add", tif});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("32767"), std::string::npos) << r.err;
  EXPECT_EQ(reliability::BufferFiles(Files()), before);
}

}  // namespace
