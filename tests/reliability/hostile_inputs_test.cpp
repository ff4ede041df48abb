// Files the plug-in reads from outside made hostile, pictures at the edges of
// the host interface, and the fuzz targets' corpora: every run ends with an
// error or works, and a clean Clear, Add and Show afterwards always work.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fuzz/fuzz_support.h"
#include "reliability_support.h"

#define SHARPSTACK_FUZZ_TARGETS(X) \
  X(store)                         \
  X(buffer_set) X(preferences) X(redirect) X(rule_file) X(descriptor) X(recorded_step) X(image)
#define SHARPSTACK_DECLARE_FUZZ(name) \
  extern "C" int Fuzz_##name(const std::uint8_t* data, std::size_t size);
SHARPSTACK_FUZZ_TARGETS(SHARPSTACK_DECLARE_FUZZ)

namespace {

using host::Picture;
using hostsupport::PatternPicture;
using reliability::Bytes;
using reliability::kBufferFiles;

constexpr int kW = 24, kH = 16;
constexpr int kElements[3] = {2, 4, 6};

using testsupport::StoreFileHeader;

class HostileInputs : public reliability::RunFixture {
 protected:
  void SetUp() override {
    reliability::RunFixture::SetUp();
    picture_ = PatternPicture(kW, kH, 3, 0, 8, 61);
    ASSERT_EQ(Add(picture_), noErr);
    alone_ = Show(kW, kH);
  }
  void TearDown() override {
    // Whatever happened, a clean Clear, Add and Show give the picture again.
    std::filesystem::remove(root.File("TRUXPath.TXT"));
    EXPECT_EQ(Clear(), noErr);
    EXPECT_EQ(Add(picture_), noErr);
    EXPECT_EQ(Show(kW, kH).data, alone_.data);
    reliability::RunFixture::TearDown();
  }

  Picture picture_, alone_;
};

// Buffer headers with negative, zero and huge sizes, files shorter than their
// headers or disagreeing, unusable redirect files and preferences of random
// bytes: Add, Show and Clear end with a status; an Add that made a set of
// the picture's size leaves one that Show uses; preferences change no Add.
TEST_F(HostileInputs, HostileFilesEndEveryRunWithAStatus) {
  const reliability::DirSnapshot start = Files(), whole = Buffer();
  ASSERT_EQ(Add(picture_), noErr);
  const reliability::DirSnapshot twice = Buffer();
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
    rows.push_back(
        {name + " narrower",
         {{name, StoreFileHeader(kElements[file], kW - 1, kH, kElements[file] * (kW - 1) * kH)}}});
    rows.push_back({name + " missing", {{"-" + name, {}}}});
    rows.push_back({name + " a directory", {{"-" + name, {}}, {"/" + name, {}}}});
  }
  rows.push_back({"huge header only", {}});
  for (int file = 0; file < 3; ++file)
    rows.back().second.push_back(
        {kBufferFiles[file], StoreFileHeader(kElements[file], 32767, 32767)});
  Bytes binary(300);
  for (auto& b : binary) b = static_cast<unsigned char>(random() % 255 + 1);
  binary[4] = 0x01;  // a control byte before the first zero: never a usable prefix
  binary[200] = 0;
  for (const std::string& t : {std::string(600, 'a'), std::string("/no/such/dir/"),
                               std::string("/tmp/\r\n"), std::string()})
    rows.push_back({"redirect " + t.substr(0, 20), {{"TRUXPath.TXT", Bytes(t.begin(), t.end())}}});
  rows.push_back({"redirect binary", {{"TRUXPath.TXT", binary}}});
  for (std::size_t n : {0, 1, 5, 820, 1021, 2048, 3073, 4500, 17407, 17408, 17409, 65536}) {
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    if (n > 3072) bytes[3072] = 0;  // slot 2 names the log: no path anywhere
    rows.push_back({"preferences " + std::to_string(n), {{"TRUXpref.xxx", bytes}}});
  }

  for (const auto& [what, files] : rows) {
    SCOPED_TRACE(what);
    reliability::Restore(root.dir(), start);
    for (const auto& [name, bytes] : files) {
      if (name[0] == '-') std::filesystem::remove(root.File(name.substr(1)));
      if (name[0] == '/') std::filesystem::create_directory(root.File(name.substr(1)));
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
    if (files[0].first == "TRUXPath.TXT") {  // the command names the problem
      const testsupport::CliResult r = Cli({"show", "-o", (scratch_ / "o.png").string()});
      EXPECT_TRUE(r.code == 0 || (r.code == 1 && r.err.find("sharpstack: ") != std::string::npos))
          << r.err;
    }
    EXPECT_LE(Clear(), 0);
    if (HasFailure()) return;
  }
  // Files really as long as three huge headers say (sparse): Add works.
  reliability::Restore(root.dir(), start);
  for (int file = 0; file < 3; ++file) {
    root.Write(kBufferFiles[file], StoreFileHeader(kElements[file], 32767, 32767));
    std::error_code ec;
    std::filesystem::resize_file(root.File(kBufferFiles[file]),
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
  ASSERT_EQ(Clear(), noErr);  // a row and a column make a set of both extents
  ASSERT_EQ(Add(PatternPicture(1, 50, 3, 0, 8, 1)), noErr);
  ASSERT_EQ(Add(PatternPicture(50, 1, 1, 0, 16, 2)), noErr);
  std::int16_t w = 0, h = 0;
  EXPECT_TRUE(SetIsValid(&w, &h) && w == 50 && h == 50) << w << " x " << h;
}

// Every corpus file of every fuzz target, fed to the target's own entry in a
// child process of its own, as the fuzzer would run a reproducer: an abort
// there is a failure here, and the targets' lasting state stays there.
TEST_F(HostileInputs, FuzzCorporaRunCleanly) {
  fuzzsupport::Root() = root.dir().string();
  const reliability::DirSnapshot start = Files();
  using Entry = int (*)(const std::uint8_t*, std::size_t);
#define SHARPSTACK_FUZZ_ROW(name) {#name, &Fuzz_##name},
  const std::pair<const char*, Entry> targets[] = {SHARPSTACK_FUZZ_TARGETS(SHARPSTACK_FUZZ_ROW)};
  for (const auto& [name, entry] : targets) {
    int files = 0;
    for (const auto& f : std::filesystem::directory_iterator(
             std::filesystem::path(SHARPSTACK_SOURCE_DIR) / "fuzz" / "corpus" / name)) {
      const std::string bytes = testsupport::Slurp(f.path());
      const pid_t pid = fork();
      if (pid == 0) _exit(entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
      EXPECT_EQ(testsupport::Wait({pid, {}, {}}).code, 0) << f.path();
      reliability::Restore(root.dir(), start);
      ++files;
    }
    EXPECT_GT(files, 0) << name;
  }
}

}  // namespace
