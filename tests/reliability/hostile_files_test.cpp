// Files that the plug-in reads from outside, made hostile: buffer headers with
// negative, zero and huge sizes, files shorter than their headers say, the
// three buffer files disagreeing, odd redirect files and preferences of every
// length. Every run ends with an error or works; none crashes, and a clean
// Clear, Add and Show afterwards always work.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "processes.h"
#include "reliability_support.h"

namespace {

using host::Picture;
using hostsupport::PatternPicture;
using reliability::Bytes;

constexpr int kW = 24;
constexpr int kH = 16;

Bytes Header(int elementSize, int width, int height) {
  auto le = [](int v) {
    return std::pair<unsigned char, unsigned char>(static_cast<unsigned char>(v & 0xFF),
                                                   static_cast<unsigned char>((v >> 8) & 0xFF));
  };
  Bytes b;
  for (int v : {elementSize, width, height}) {
    b.push_back(le(v).first);
    b.push_back(le(v).second);
  }
  return b;
}

class HostileFiles : public reliability::RunFixture {
 protected:
  void SetUp() override {
    reliability::RunFixture::SetUp();
    picture_ = PatternPicture(kW, kH, 3, 0, 8, 61);
    ASSERT_EQ(Add(picture_), noErr);
    OSErr shown = noErr;
    alone_ = Show(kW, kH, &shown);
    ASSERT_EQ(shown, noErr);
  }

  // After whatever happened, a clean Clear, Add and Show give the picture's
  // composite again.
  void ExpectRecovery() {
    std::filesystem::remove(root.File("TRUXPath.TXT"));
    ASSERT_EQ(Clear(), noErr);
    ASSERT_EQ(Add(picture_), noErr);
    OSErr shown = noErr;
    EXPECT_EQ(Show(kW, kH, &shown).data, alone_.data);
    EXPECT_EQ(shown, noErr);
  }

  // Runs Add and then Show on whatever the drive root holds. An Add that
  // works must leave a set that Show can use.
  void AddThenShow(const std::string& what) {
    SCOPED_TRACE(what);
    const OSErr added = Add(picture_);
    EXPECT_LE(added, 0);
    OSErr shown = noErr;
    const Picture got = Show(kW, kH, &shown);
    EXPECT_LE(shown, 0);
    std::int16_t w = 0, h = 0;
    if (added == noErr && CheckFocusBufferSet(&w, &h) && w == kW && h == kH) {
      // The damaged set was found invalid and started again from the picture.
      EXPECT_EQ(shown, noErr);
      EXPECT_EQ(got.data, alone_.data);
    }
  }

  Picture picture_;
  Picture alone_;
};

TEST_F(HostileFiles, BufferHeadersWithNegativeZeroAndHugeSizes) {
  const int sizes[] = {-32768, -1, 0, 1, 2, 4, 6, kW, kH, 32767};
  const char* const names[3] = {"CountVXBuffer.xxx", "BestVariance.xxx", "BestFocus.xxx"};
  const int elements[3] = {2, 4, 6};
  int cases = 0;
  std::mt19937 random(7);
  for (int file = 0; file < 3; ++file) {
    for (int e : sizes) {
      for (int w : sizes) {
        // All ten heights for the set's own element size, a sample otherwise.
        const int h = e == elements[file] ? sizes[random() % 10] : sizes[((w + e) % 10 + 10) % 10];
        ASSERT_EQ(Clear(), noErr);
        ASSERT_EQ(Add(picture_), noErr);
        Bytes bytes = Header(e, w, h);
        // As long as the header says when that is small, else a few rows.
        const long long claimed = (long long)(e)*w * h;
        bytes.resize(6 + std::size_t(claimed > 0 && claimed < 100000 ? claimed : 64), 0);
        root.Write(names[file], bytes);
        AddThenShow(std::string(names[file]) + " " + std::to_string(e) + "/" + std::to_string(w) +
                    "x" + std::to_string(h));
        ++cases;
        if (HasFailure()) return;
      }
    }
  }
  // The three headers agreeing on a huge size that the files do not hold.
  for (int file = 0; file < 3; ++file)
    root.Write(names[file], Header(elements[file], 32767, 32767));
  AddThenShow("all three 32767 x 32767, header only");
  ++cases;
  // ... and files really that long (sparse): the Add works on the huge set.
  for (int file = 0; file < 3; ++file) {
    std::error_code ec;
    std::filesystem::resize_file(root.File(names[file]),
                                 6 + std::uintmax_t(elements[file]) * 32767 * 32767, ec);
    if (ec) GTEST_SKIP() << "no room for sparse files: " << ec.message();
  }
  EXPECT_EQ(Add(picture_), noErr);
  std::int16_t w = 0, h = 0;
  EXPECT_TRUE(CheckFocusBufferSet(&w, &h));
  EXPECT_EQ(w, 32767);
  EXPECT_EQ(h, 32767);
  ++cases;
  ExpectRecovery();
  std::printf("[ hostile ] %d buffer headers\n", cases);
}

TEST_F(HostileFiles, FilesShorterThanTheirHeadersSayAndSetsThatDisagree) {
  const Bytes count = root.Read("CountVXBuffer.xxx");
  const Bytes variance = root.Read("BestVariance.xxx");
  const Bytes focus = root.Read("BestFocus.xxx");
  const Bytes* files[3] = {&count, &variance, &focus};
  const char* const names[3] = {"CountVXBuffer.xxx", "BestVariance.xxx", "BestFocus.xxx"};
  for (int file = 0; file < 3; ++file) {
    for (std::size_t keep : {std::size_t(0), std::size_t(3), std::size_t(6), std::size_t(7),
                             files[file]->size() / 2, files[file]->size() - 1}) {
      for (int i = 0; i < 3; ++i) root.Write(names[i], *files[i]);
      root.Write(names[file], Bytes(files[file]->begin(), files[file]->begin() + long(keep)));
      AddThenShow(std::string(names[file]) + " cut to " + std::to_string(keep));
      if (HasFailure()) return;
    }
    // One file of another size than the others, one missing.
    for (int i = 0; i < 3; ++i) root.Write(names[i], *files[i]);
    Bytes other = Header(file == 0 ? 2 : file == 1 ? 4 : 6, kW - 1, kH);
    other.resize(6 + std::size_t(file == 0 ? 2 : file == 1 ? 4 : 6) * (kW - 1) * kH, 0);
    root.Write(names[file], other);
    AddThenShow(std::string(names[file]) + " one column narrower");
    for (int i = 0; i < 3; ++i) root.Write(names[i], *files[i]);
    std::filesystem::remove(root.File(names[file]));
    AddThenShow(std::string(names[file]) + " missing");
    // A directory where the file should be.
    for (int i = 0; i < 3; ++i) root.Write(names[i], *files[i]);
    std::filesystem::remove(root.File(names[file]));
    std::filesystem::create_directory(root.File(names[file]));
    AddThenShow(std::string(names[file]) + " a directory");
    std::filesystem::remove(root.File(names[file]));
    if (HasFailure()) return;
  }
  ExpectRecovery();
}

TEST_F(HostileFiles, RedirectFilesThatCannotWork) {
  std::mt19937 random(3);
  Bytes binary(300);
  for (auto& b : binary) b = static_cast<unsigned char>(random() % 255 + 1);
  // Never a usable prefix: a control byte comes before the first zero.
  binary[4] = 0x01;
  binary[200] = 0;
  const std::vector<std::pair<std::string, Bytes>> redirects = {
      {"600 bytes", Bytes(600, 'a')},
      {"binary", binary},
      {"missing directory", Bytes{'/', 'n', 'o', '/', 's', 'u', 'c', 'h', '/', 'd', 'i', 'r', '/'}},
      {"line end", Bytes{'/', 't', 'm', 'p', '/', '\r', '\n'}},
      {"empty", Bytes{}},
  };
  for (const auto& [name, bytes] : redirects) {
    SCOPED_TRACE(name);
    root.Write("TRUXPath.TXT", bytes);
    AddThenShow(name);
    EXPECT_LE(Clear(), 0);
    // The command names the problem instead of failing silently.
    const std::filesystem::path scratch = root.dir() / "scratch";
    std::filesystem::create_directories(scratch);
    const reliability::CliResult r =
        reliability::RunCli(root.dir(), scratch, {"show", "-o", (scratch / "o.png").string()});
    if (r.code != 0) {
      EXPECT_EQ(r.code, 1);
      EXPECT_NE(r.err.find("sharpstack: "), std::string::npos) << r.err;
    }
    std::filesystem::remove_all(scratch);
    ExpectRecovery();
    if (HasFailure()) return;
  }
}

// Preferences of every length from empty to beyond their 17408 bytes, of
// random bytes: the settings load what they can, the run works as asked, and
// the file is written back whole without being cut.
TEST_F(HostileFiles, PreferencesOfEveryLength) {
  const reliability::DirSnapshot start = Files();
  const reliability::DirSnapshot expected = [&] {
    EXPECT_EQ(Add(picture_), noErr);
    return reliability::BufferFiles(Files());
  }();
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 17408; n += 97) lengths.push_back(n);
  for (std::size_t n : {1,    3,    4,    5,    819,  820,  821,   1019,  1020,  1021,  1023, 1024,
                        1025, 2047, 2048, 3072, 3073, 4500, 17407, 17408, 17409, 20000, 65536})
    lengths.push_back(n);
  std::mt19937 random(11);
  for (std::size_t n : lengths) {
    SCOPED_TRACE(n);
    reliability::Restore(root.dir(), start);
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    // Slot 2 names the parameter log: random bytes there would be a path
    // anywhere. The log itself is tested with a path of its own below.
    if (n > 3072) bytes[3072] = 0;
    root.Write("TRUXpref.xxx", bytes);
    ASSERT_EQ(Add(picture_), noErr);
    EXPECT_EQ(reliability::BufferFiles(Files()), expected);
    EXPECT_EQ(std::filesystem::file_size(root.File("TRUXpref.xxx")),
              std::max<std::size_t>(n, 17408));
    if (HasFailure()) return;
  }
  // A parameter log path in slot 2, every float a NaN.
  reliability::Restore(root.dir(), start);
  Bytes bytes(17408, 0xFF);
  const std::string log = "c:\\plog.txt";
  std::copy(log.begin(), log.end(), bytes.begin() + 3072);
  bytes[3072 + log.size()] = 0;
  root.Write("TRUXpref.xxx", bytes);
  ASSERT_EQ(Add(picture_), noErr);
  EXPECT_EQ(reliability::BufferFiles(Files()), expected);
  // The slot is carried through to the saved file.
  const Bytes saved = root.Read("TRUXpref.xxx");
  ASSERT_GE(saved.size(), 3072 + log.size() + 1);
  EXPECT_EQ(std::string(saved.begin() + 3072, saved.begin() + 3072 + long(log.size())), log);
  std::printf("[ hostile ] %zu preference lengths\n", lengths.size());
}

}  // namespace
