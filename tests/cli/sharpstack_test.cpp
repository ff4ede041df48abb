// The sharpstack executable end to end: real processes, real image files, a
// private drive root per test. Composites are checked against Add and Show
// computed independently here from the pictures as the files deliver them.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <signal.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/app/folder_watch.h"
#include "cli/app/progress.h"
#include "cli/hostlib/picture.h"
#include "cli/image/image_io.h"
#include "focus/focus_fixture.h"
#include "support/pictures.h"
#include "support/sharpstack_process.h"
#include "support/temp_root.h"
#include "tools/series/series.h"

namespace {

namespace fs = std::filesystem;
using host::Picture;
using Files = std::map<std::string, std::string>;

using testsupport::Mode;
using testsupport::Process;
using testsupport::Slurp;
using testsupport::Wait;
using testsupport::WaitForText;
using testsupport::WaitUntil;
using Result = testsupport::CliResult;

using testsupport::ExpectSamePicture;
constexpr auto& Load = testsupport::LoadPicture;

// Whether a command ended with `code`, each of `parts` in its error output,
// and (unless 0) that output `lines` lines long.
testing::AssertionResult Ended(const Result& r, int code, const std::vector<std::string>& parts,
                               std::ptrdiff_t lines = 0) {
  bool told =
      r.code == code && (lines == 0 || std::count(r.err.begin(), r.err.end(), '\n') == lines);
  for (const std::string& part : parts) told = told && r.err.find(part) != std::string::npos;
  if (told) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "exited with " << r.code << ": " << r.err;
}

class SharpstackTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir() / "root"); }

  const fs::path& dir() const { return temp_.dir(); }
  std::string Path(const std::string& name) const { return (dir() / name).string(); }

  Result Run(const std::vector<std::string>& args, Mode mode = Mode::kPlain) {
    return Wait(Spawn(args, mode));
  }
  // A command that should succeed, with `more` appended.
  testing::AssertionResult Ok(std::vector<std::string> args,
                              const std::vector<std::string>& more = {}) {
    args.insert(args.end(), more.begin(), more.end());
    const Result r = Run(args);
    if (r.code == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << args[0] << " exited with " << r.code << ": " << r.err;
  }

  Process Spawn(const std::vector<std::string>& args, Mode mode = Mode::kPlain) {
    return testsupport::Spawn(dir() / "root", dir(), args, mode);
  }

  // Writes the frames of a focus series and returns their paths; by default
  // 48 x 36, three frames, 8-bit RGB.
  std::vector<std::string> WriteSeries(const std::string& stem, const std::string& extension,
                                       std::uint32_t seed,
                                       series::SeriesOptions o = {
                                           48, 36, 3, 8, 3, false, 0, 3.0, {}}) {
    o.seed = seed;
    const series::FocusSeries s = series::MakeFocusSeries(o);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < s.frames.size(); ++i) {
      names.push_back(Path(stem + std::to_string(i) + extension));
      EXPECT_TRUE(imageio::WriteImage(names.back(), s.frames[i]).ok) << names.back();
    }
    return names;
  }

  // The composite of the files as they read back, computed independently.
  static Picture Expected(const std::vector<std::string>& names, int depth, bool grey) {
    std::vector<Picture> series;
    for (const std::string& name : names) series.push_back(Load(name));
    Picture target;
    target.Allocate(series[0].width, series[0].height, grey ? 1 : 3, 0, depth);
    return focustest::ReferenceComposite(series, target, {}, {0, 0, 0});
  }

  // The files of the root: with `all` every one, else the buffer's.
  Files RootFiles(bool all = false) const {
    Files files;
    for (const auto& entry : fs::directory_iterator(dir() / "root")) {
      const std::string name = entry.path().filename().string();
      if (all || name == "BestFocus.xxx" || name == "BestVariance.xxx" ||
          name == "CountVXBuffer.xxx")
        files[name] = Slurp(entry.path());
    }
    return files;
  }

  testsupport::TempRoot temp_;
};

// One stack per kind of file; grey pictures give a grey composite of the
// summed channels, the first picture's depth and mode.
TEST_F(SharpstackTest, StackMatchesAnIndependentComposite) {
  const struct {
    const char* extension;
    int depth, colour;
    bool alpha;
  } cases[] = {
      {".png", 8, 3, false}, {".png", 8, 1, false}, {".tif", 16, 3, true}, {".jpg", 8, 3, false}};
  std::uint32_t seed = 3;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.extension << " " << c.depth << " " << c.colour);
    const std::vector<std::string> names =
        WriteSeries("f", c.extension, ++seed, {48, 36, 3, c.depth, c.colour, c.alpha, 0, 3.0, {}});
    const std::string out = Path(std::string("out") + (c.depth == 16 ? ".tif" : ".png"));
    std::vector<std::string> args = {"stack", "-o", out};
    if (c.colour == 1) args.insert(args.begin(), "--quiet");
    args.insert(args.end(), names.begin(), names.end());
    Result r = Run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("wrote") != std::string::npos, c.colour == 3) << r.out;  // --quiet
    EXPECT_EQ(r.err, "");  // no progress bar without a terminal
    ExpectSamePicture(Expected(names, c.depth, c.colour == 1), Load(out));
  }
}

// Adds across invocations give the stack's buffer; show writes 16 bits by
// default, another size or one --like a picture's size and mode; pixels no
// picture covered take the background; a cleared buffer cannot be shown.
TEST_F(SharpstackTest, AddsEqualOneStackAndShowFollowsItsOptions) {
  const std::vector<std::string> names = WriteSeries("f", ".png", 7);
  ASSERT_TRUE(Ok({"stack", "-o", Path("one.png")}, names));
  const Files after_stack = RootFiles();
  ASSERT_EQ(after_stack.size(), 3u);
  ASSERT_TRUE(Ok({"clear"}));
  EXPECT_TRUE(RootFiles().empty());
  ASSERT_TRUE(Ok({"add", names[0]}));
  ASSERT_TRUE(Ok({"add", names[1], names[2]}));
  EXPECT_EQ(RootFiles(), after_stack);
  ASSERT_TRUE(Ok({"show", "-o", Path("separate.png"), "--depth", "8"}));
  ExpectSamePicture(Load(Path("one.png")), Load(Path("separate.png")));
  // Adding only a rectangle covers only that part of the picture-sized
  // buffer; the last pixel shows the background.
  ASSERT_TRUE(Ok({"clear"}));
  ASSERT_TRUE(Ok({"run", names[0], "-o", Path("r.png"), "--op", "add", "--rect", "0,0,10,8"}));
  Picture small;
  small.Allocate(24, 18, 1, 0, 8);
  ASSERT_TRUE(imageio::WriteImage(Path("small.png"), small).ok);
  const struct {
    std::vector<std::string> options;
    std::vector<int> size_planes_depth;
    std::vector<std::uint32_t> last;  // the last pixel's samples: the background
  } shows[] = {{{}, {48, 36, 3, 16}, {}},
               {{"--like", Path("small.png")}, {24, 18, 1, 8}, {}},
               {{"--size", "24x18", "--grey"}, {24, 18, 1, 16}, {}},
               {{"--depth", "8", "--grey", "--background", "9,9,9"}, {48, 36, 1, 8}, {9}},
               {{"--depth", "8", "--background", "10,20,30"}, {48, 36, 3, 8}, {10, 20, 30}}};
  Picture p;
  for (const auto& show : shows) {
    ASSERT_TRUE(Ok({"show", "-o", Path("s.png")}, show.options));
    p = Load(Path("s.png"));
    EXPECT_EQ(std::vector<int>({p.width, p.height, p.colorPlanes, p.depth}),
              show.size_planes_depth);
    for (std::size_t k = 0; k < show.last.size(); ++k)
      EXPECT_EQ(p.Get(p.width - 1, p.height - 1, int(k)), show.last[k]) << k;
  }
  int covered = 0;  // the corner is the composite
  for (int i = 0; i < 80; ++i) covered += p.Get(i % 10, i / 10, 2) != 30u;
  EXPECT_GT(covered, 0);
  ASSERT_TRUE(Ok({"clear"}));
  EXPECT_TRUE(Ended(Run({"show", "-o", Path("x.png")}), 1, {"empty"}));
  EXPECT_FALSE(fs::exists(Path("x.png")));
  EXPECT_TRUE(Ok({"clear"}));  // clearing an empty buffer is no error
}

TEST_F(SharpstackTest, AlignedAddsAcrossInvocationsEqualOneAlignedStack) {
  // Large enough for the match to be sure of a hundredth of a pixel. Eight
  // still pictures blurred as strongly as the generator does by default: the
  // neighbours' blur differences must not add up to a motion.
  const std::vector<std::string> still =
      WriteSeries("s", ".png", 1, {800, 600, 8, 8, 3, false, 0, 6.0, {}});
  const std::vector<std::string> moved = WriteSeries(
      "m", ".png", 1,
      {800, 600, 3, 8, 3, false, 0, 2.0, series::HandHeldMotions(3, 1.02, 4.0, 0.3, 1)});
  const fs::path state = dir() / "root" / "AlignmentState.bin";
  // Pictures that are already aligned go in unchanged.
  ASSERT_TRUE(Ok({"stack", "-o", Path("out.png")}, still));
  const Files unaligned = RootFiles();
  ASSERT_TRUE(Ok({"stack", "-o", Path("out.png"), "--align"}, still));
  EXPECT_TRUE(RootFiles() == unaligned);

  std::vector<std::string> args = {"stack", "-o", Path("out.png"), "--align"};
  args.insert(args.end(), moved.begin(), moved.end());
  Result r = Run(args);
  EXPECT_NE(r.out.find("m2.png (800 x 600; aligned: scale 0.98"), std::string::npos) << r.out;
  const Files aligned = RootFiles();
  EXPECT_FALSE(aligned == unaligned);
  EXPECT_TRUE(fs::exists(state));
  ASSERT_TRUE(Ok({"clear"}));
  EXPECT_FALSE(fs::exists(state));
  for (const std::string& name : moved) ASSERT_TRUE(Ok({"add", "--align", name}));
  EXPECT_TRUE(RootFiles() == aligned);
  // So does a stack that cannot set the old buffer aside (a folder where its
  // copy would go), which finds every map before it changes the buffer.
  fs::create_directories(dir() / "root" / "BestFocus.xxx.sharpstack-saved" / "x");
  ASSERT_TRUE(Ok(args));
  EXPECT_TRUE(RootFiles() == aligned);
  // So does a watch, here of the pictures already in its folder.
  fs::create_directory(dir() / "in");
  for (const std::string& name : moved)
    fs::copy_file(name, dir() / "in" / fs::path(name).filename());
  r = Run({"watch", Path("in"), "-o", Path("live.png"), "--clear", "--align", "--count", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("added m2.png as picture 3 in "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("; aligned: scale 0.98"), std::string::npos) << r.out;
  EXPECT_TRUE(RootFiles() == aligned);
}

// A picture's header with another size: PNG keeps it in IHDR (with its CRC),
// JPEG in the SOF0 segment.
std::string Resized(std::string bytes, std::uint32_t width, std::uint32_t height) {
  auto put = [&](std::size_t at, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) bytes[at + std::size_t(i)] = char(v >> (8 * (n - 1 - i)));
  };
  if (bytes.compare(1, 3, "PNG") == 0) {
    put(16, width, 4);
    put(20, height, 4);
    put(29, libdeflate_crc32(0, bytes.data() + 12, 17), 4);
  } else {
    const std::size_t sof = bytes.find("\xFF\xC0");
    put(sof + 5, height, 2);
    put(sof + 7, width, 2);
  }
  return bytes;
}

// Damaged, unsupported, hostile and unreadable inputs are refused with one
// line naming them, and every file of the root (buffer, preferences, run log,
// lock) stays as it was. Bombs run in an address space far below their size.
TEST_F(SharpstackTest, BadInputsLeaveTheRootUnchanged) {
  const std::vector<std::string> names = WriteSeries("f", ".png", 10);
  std::ofstream(dir() / "root" / "TRUXlog.txt").close();
  ASSERT_TRUE(Ok({"add", names[0]}));
  const Files before = RootFiles(true);
  ASSERT_EQ(before.size(), 6u);

  const std::string out = Path("s.png");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> named;  // in this order
    std::string reason;
  };
  std::vector<Case> cases;
  auto add = [&](const std::string& name, const std::string& reason) -> Case {
    return {{"add", Path(name)}, {name}, reason};
  };
  for (const char* extension : {".png", ".tif", ".jpg"}) {
    ASSERT_TRUE(imageio::WriteImage(Path(std::string("whole") + extension), Load(names[1])).ok);
    const std::string whole = Slurp(Path(std::string("whole") + extension));
    for (const std::string& bytes : {whole.substr(0, whole.size() / 2), whole.substr(0, 10),
                                     std::string(500, 'x'), std::string()}) {
      const std::string name = "bad" + std::to_string(cases.size()) + extension;
      temp_.Write(name, bytes);
      cases.push_back(add(name, ""));
    }
  }
  const std::string truncated = Path("bad0.png"), jpeg = Slurp(Path("whole.jpg"));
  temp_.Write("half.jpg", jpeg.substr(0, jpeg.size() / 2) + "\xFF\xD9");  // with an end marker
  testsupport::WriteOneStripTiff(Path("cmyk.tif"), 4, 1, 4, PHOTOMETRIC_SEPARATED);
  testsupport::WriteOneStripTiff(Path("float.tif"), 4, 1, 1, PHOTOMETRIC_MINISBLACK, 1, 32,
                                 SAMPLEFORMAT_IEEEFP);
  testsupport::WriteOneStripTiff(Path("deep.tif"), 4, 1, 3, PHOTOMETRIC_RGB, 1, 32);
  testsupport::WriteOneStripTiff(Path("wide.tif"), 40000, 1, 1, PHOTOMETRIC_MINISBLACK);
  Picture grey16;
  grey16.Allocate(16, 16, 1, 0, 16);
  ASSERT_TRUE(imageio::WriteImage(Path("grey16.png"), grey16).ok);
  temp_.Write("bomb16.png", Resized(Slurp(Path("grey16.png")), 32767, 4096));
  temp_.Write("bomb.png", Resized(Slurp(names[1]), 32767, 32767));
  temp_.Write("tall.png", Resized(Slurp(names[1]), 1, 40000));
  temp_.Write("bomb.jpg", Resized(jpeg, 32767, 32767));
  temp_.Write("sixteen.jpg", Resized(jpeg, 3000, 2000));
  testsupport::WriteOneStripTiff(Path("bomb.tif"), 32767, 32767, 3, PHOTOMETRIC_RGB,
                                 COMPRESSION_ADOBE_DEFLATE);
  testsupport::WriteOneStripTiff(Path("raw.tif"), 32767, 32767, 3, PHOTOMETRIC_RGB);
  ASSERT_EQ(mkfifo(Path("fifo.png").c_str(), 0600), 0);
  fs::create_directory(Path("folder.tif"));
  const std::string other = WriteSeries("o", ".png", 11)[0];  // another scene: cannot be aligned
  // A CMYK JPEG's header: a fourth component in SOF0 (the header is refused).
  std::string cmyk = jpeg;
  const std::size_t sof = cmyk.find("\xFF\xC0");
  cmyk[sof + 3] = char(cmyk[sof + 3] + 3);
  cmyk[sof + 9] = 4;
  temp_.Write("cmyk.jpg", cmyk.insert(sof + 19, "\x04\x11\x00", 3));
  cases.insert(cases.end(),
               {add("missing.png", "no such file"),
                add("x.bmp", "unsupported file type"),
                add("cmyk.tif", "CMYK"),
                add("cmyk.jpg", "CMYK"),
                add("float.tif", "floating-point"),
                add("deep.tif", "32-bit"),
                add("wide.tif", "32767"),
                add("tall.png", "32767"),
                add("bomb16.png", "cannot hold"),
                add("bomb.png", "cannot hold"),
                add("bomb.jpg", "cannot hold"),
                add("sixteen.jpg", "cannot hold"),
                add("bomb.tif", "cannot hold"),
                add("raw.tif", "truncated"),
                add("half.jpg", "Corrupt JPEG data"),
                add("fifo.png", "is not a regular file"),
                add("folder.tif", "is a directory"),
                {{"add", names[1], names[2], truncated}, {"bad0.png"}, "truncated"},
                {{"stack", "-o", out, truncated, names[1], Path("bad8.jpg"), names[2]},
                 {"bad0.png", "bad8.jpg"},
                 "truncated"},
                {{"run", Path("fifo.png"), "-o", out, "--op", "add"}, {"fifo.png"}, "regular file"},
                {{"stack", "--align", "-o", out, names[1], other}, {"o0.png"}, "cannot align"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.named[0]);
    Result r = Run(c.args, Mode::kHostile);
    EXPECT_TRUE(Ended(r, 1, {c.reason}, std::ptrdiff_t(c.named.size())));
    std::size_t at = 0;
    for (const std::string& name : c.named) {
      at = r.err.find(name, at);
      EXPECT_NE(at, std::string::npos) << r.err;
    }
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(RootFiles(true), before);
  }
  EXPECT_FALSE(fs::exists(out));
}

// A damaged buffer (cut short, missing a file, of another size or element
// size, or declaring more than its file holds) is refused by add, show and
// watch, naming the file and the way out, and left as it is; stack replaces it.
TEST_F(SharpstackTest, DamagedBuffersUnwritableFoldersAndLinksAreRefusedAndLeftAlone) {
  const std::vector<std::string> names = WriteSeries("f", ".png", 12);
  ASSERT_TRUE(Ok({"add", names[0]}));
  const Files good = RootFiles();
  auto header = [](int element, int width, int height) {
    const auto h = testsupport::StoreFileHeader(element, width, height);
    return std::string(h.begin(), h.end());
  };
  auto with = [&](const std::string& name, const std::string& bytes) {
    Files files = good;
    files[name] = bytes;
    return files;
  };
  const std::string focus = good.at("BestFocus.xxx");
  Files without_variance = good;
  without_variance.erase("BestVariance.xxx");
  const struct {
    std::string file, reason;
    Files files;
  } cases[] = {
      {"BestFocus.xxx", "truncated", with("BestFocus.xxx", focus.substr(0, 3))},
      {"BestVariance.xxx", "missing", without_variance},
      {"CountVXBuffer.xxx", "disagree",
       with("CountVXBuffer.xxx", header(2, 47, 36) + good.at("CountVXBuffer.xxx").substr(6))},
      {"BestFocus.xxx", "element size", with("BestFocus.xxx", header(4, 48, 36) + focus.substr(6))},
      {"CountVXBuffer.xxx",  // 18 bytes that declare 32767 x 32767
       "truncated",
       {{"CountVXBuffer.xxx", header(2, 32767, 32767)},
        {"BestVariance.xxx", header(4, 32767, 32767)},
        {"BestFocus.xxx", header(6, 32767, 32767)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + c.reason);
    for (const auto& [name, bytes] : good) fs::remove(dir() / "root" / name);
    for (const auto& [name, bytes] : c.files) temp_.Write("root/" + name, bytes);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"add", names[1]},
                                                 {"show", "-o", Path("s.png")},
                                                 {"watch", dir().string(), "-o", Path("s.png")}}) {
      EXPECT_TRUE(Ended(Run(args, Mode::kHostile), 1, {c.file, c.reason, "sharpstack clear"}, 1))
          << args[0];
      EXPECT_TRUE(RootFiles() == c.files);
    }
  }
  EXPECT_FALSE(fs::exists(Path("s.png")));
  ASSERT_TRUE(Ok({"stack", "-o", Path("s.png"), names[1], names[2]}));
  ExpectSamePicture(Expected({names[1], names[2]}, 8, false), Load(Path("s.png")));

  // A folder that cannot be written is named as such; a link among the
  // plug-in's files is refused before any run, its target untouched.
  const Files before = RootFiles();
  using fs::perms;
  const perms readable = perms::owner_read | perms::owner_exec | perms::group_read |
                         perms::group_exec | perms::others_read | perms::others_exec;
  fs::permissions(dir(), readable | perms::owner_write);
  fs::permissions(dir() / "root", readable);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"add", names[1]}, {"clear"}}) {
    EXPECT_TRUE(Ended(Run(args, Mode::kUnprivileged), 1, {"permission denied"})) << args[0];
    EXPECT_EQ(RootFiles(), before);
  }
  fs::permissions(dir() / "root", perms::owner_all, fs::perm_options::add);
  temp_.Write("target.txt", "keep");
  fs::create_symlink(Path("target.txt"), dir() / "root" / "TRUXlog.txt");
  EXPECT_TRUE(Ended(Run({"add", names[1]}), 1, {"TRUXlog.txt", "symbolic link"}));
  EXPECT_EQ(Slurp(Path("target.txt")), "keep");
  EXPECT_EQ(RootFiles(), before);
}

TEST_F(SharpstackTest, CtrlCDuringAnAddExitsWith130AndTheNextAddWorks) {
  // Pictures large enough that an add takes a while.
  std::vector<std::string> args =
      WriteSeries("big", ".tif", 20, {1600, 1200, 4, 8, 3, false, 0, 3.0, {}});
  args.insert(args.begin(), "add");
  Process p = Spawn(args);
  // Once the count file exists the first add is under way.
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(dir() / "root" / "CountVXBuffer.xxx"); }));
  kill(p.pid, SIGINT);
  EXPECT_TRUE(Ended(Wait(p), 130, {"cancelled", "not added"}));
  EXPECT_TRUE(Ok({"add", args[1]}));
  EXPECT_TRUE(Ok({"show", "-o", Path("after.png"), "--size", "16x12"}));
}

// A recorded action plays back without a dialog; a malformed one is refused.
TEST_F(SharpstackTest, RecordedActionsPlayBackAndMalformedOnesAreRefusedBeforeTheRun) {
  const std::vector<std::string> names = WriteSeries("f", ".png", 11);
  // Without an operation the dialog would ask; with no terminal it cannot.
  EXPECT_TRUE(Ended(Run({"run", names[0], "-o", Path("asked.png")}), 130, {"dialog"}));
  EXPECT_FALSE(fs::exists(Path("asked.png")));
  ASSERT_TRUE(
      Ok({"run", names[0], "-o", Path("r.png"), "--op", "add", "--record", Path("add.json")}));
  const Files one_add = RootFiles();
  ASSERT_TRUE(Ok({"clear"}));
  ASSERT_TRUE(Ok({"run", names[0], "-o", Path("p.png"), "--play", Path("add.json")}));
  EXPECT_EQ(RootFiles(), one_add);
  // A recorded Show plays back into the picture it runs on; recorded again
  // while played back, it is the same action byte for byte.
  ASSERT_TRUE(
      Ok({"run", names[1], "-o", Path("s1.png"), "--op", "show", "--record", Path("show.json")}));
  ASSERT_TRUE(Ok({"run", names[2], "-o", Path("s2.png"), "--play", Path("show.json"), "--record",
                  Path("again.json")}));
  ExpectSamePicture(Load(Path("s1.png")), Load(Path("s2.png")));
  ExpectSamePicture(Expected({names[0]}, 8, false), Load(Path("s2.png")));
  EXPECT_EQ(Slurp(Path("again.json")), Slurp(Path("show.json")));
  // An action that does not name exactly one operation 4, 5 or 6 (key EFMd,
  // type enum, enumeration rB42) is refused before the run in one line naming
  // the file and the fault; the buffer and the output stay as they were.
  const Files before = RootFiles();
  auto step = [](const std::string& items, const std::string& event = "BFcB") {
    return "{\"event\": \"" + event + "\", \"items\": [" + items + "]}";
  };
  auto item = [](const std::string& value, const std::string& key = "EFMd",
                 const std::string& type = "enum", const std::string& rest = "") {
    return "{\"key\": \"" + key + "\", \"type\": \"" + type + "\"" +
           (type == "enum" ? ", \"enumType\": \"rB42\"" : "") + rest + ", \"value\": " + value +
           "}";
  };
  const std::pair<std::string, std::string> cases[] = {
      // the action, a part of the message
      {step(item("7")), "is 7"},
      {step(item("3")), "is 3"},
      {step(item("4294967301")), "out of range"},  // 2^32 + 5
      {step(item("-1")), "out of range"},
      {step(item("5", "EFmd")), "'EFmd'"},
      {step(item("5", "EFMd", "long")), "'long'"},
      {step(""), "no operation"},
      {step(item("5"), "BFcC"), "'BFcC'"},
      {step(item("5") + ", " + item("5")), "2 items"},
      {step(item("5.5")), "integer"},
      {step(item("5", "EFMd", "enum", ", \"value\": 7")), "twice"},
      {step(item("5", "EFMd", "enum", ", \"valeu\": 7")), "valeu"},
      {step("{\"key\": \"EFMd\", \"type\": \"enum\", \"enumType\": \"rB41\", "
            "\"value\": 5}"),
       "'rB41'"},
      {step("{\"key\": \"EFMd\", \"type\": \"enum\", \"value\": 5}"), "enumType"},
      {step(item("5", "EFMdd")), "4-character"},
      {"{\"event\": \"BFcB\", \"items\": [", "not JSON"},
      {"[]", "object"},
  };
  for (const auto& [json, reason] : cases) {
    SCOPED_TRACE(json);
    temp_.Write("a.json", json);
    EXPECT_TRUE(Ended(Run({"run", names[1], "-o", Path("o.png"), "--play", Path("a.json")}), 1,
                      {"a.json", reason}, 1));
    EXPECT_EQ(RootFiles(), before);
    EXPECT_FALSE(fs::exists(Path("o.png")));
  }
}

// Inside a rectangle, the buffer resampled to its size; under a mask, the
// composite blended with the picture by the mask's value; elsewhere the
// picture untouched. A rectangle outside the picture is refused.
TEST_F(SharpstackTest, RunWithMaskAndRectangleLeavesPixelsOutsideUntouched) {
  const std::vector<std::string> names = WriteSeries("f", ".png", 12);
  ASSERT_TRUE(Ok({"add"}, names));
  Picture mask;
  mask.Allocate(48, 36, 1, 0, 8);
  for (int i = 0; i < 48 * 36; ++i) mask.data[i] = i % 48 < 20 ? 0 : i % 48 == 20 ? 128 : 255;
  ASSERT_TRUE(imageio::WriteImage(Path("mask.png"), mask).ok);
  const std::vector<std::string> show = {"run", names[0], "--op", "show", "-o"};
  ASSERT_TRUE(Ok(show, {Path("rect.png"), "--rect", "10,5,40,30"}));
  ASSERT_TRUE(Ok(show, {Path("masked.png"), "--mask", Path("mask.png")}));
  ASSERT_TRUE(Ok({"show", "-o", Path("inner.png"), "--size", "30x25", "--depth", "8"}));
  ASSERT_TRUE(Ok({"show", "-o", Path("whole.png"), "--depth", "8"}));
  const Picture original = Load(names[0]), rect = Load(Path("rect.png"));
  const Picture inner = Load(Path("inner.png")), masked = Load(Path("masked.png"));
  const Picture whole = Load(Path("whole.png"));
  for (int y = 0; y < original.height; ++y)
    for (int x = 0; x < original.width; ++x)
      for (int k = 0; k < 3; ++k) {
        const bool inside = x >= 10 && x < 40 && y >= 5 && y < 30;
        ASSERT_EQ(rect.Get(x, y, k), inside ? inner.Get(x - 10, y - 5, k) : original.Get(x, y, k))
            << x << "," << y;
        const std::uint32_t m = mask.Get(x, y, 0);
        const double blend =
            (double(whole.Get(x, y, k)) * m + original.Get(x, y, k) * (255. - m)) / 255;
        ASSERT_NEAR(masked.Get(x, y, k), blend, m % 255 ? 1.0 : 0.0) << x << "," << y;
      }
  EXPECT_EQ(
      Run({"run", names[0], "--op", "show", "-o", Path("no.png"), "--rect", "0,0,49,10"}).code, 1);
  EXPECT_FALSE(fs::exists(Path("no.png")));
}

// Help exits with 0, a usage error with 2 before anything runs, a plug-in
// that cannot be loaded with 1 and its name.
TEST_F(SharpstackTest, UsageErrorsHelpAndAMissingPlugin) {
  const std::string a = Path("a.png");
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"add", "--help"}, 0, "Usage"},
      {{}, 2, ""},
      {{"frobnicate"}, 2, ""},
      {{"show"}, 2, ""},  // -o is required
      {{"watch", Path("."), "-o", a, "--count", "0"}, 2, ""},
      {{"show", "-o", a, "--size", "12by3"}, 2, ""},
      {{"show", "-o", a, "--depth", "12"}, 2, ""},
      {{"show", "-o", Path("a.bmp")}, 2, ""},
      {{"show", "-o", a, "--background", "1,2"}, 2, ""},
      {{"run", "x.png", "-o", a, "--op", "sharpen"}, 2, ""},
      {{"run", "x.png", "-o", a, "--rect", "5,5,2,2"}, 2, ""},
      {{"--root", "", "clear"}, 2, ""},  // not the default folder
      {{"--plugin", Path("nowhere.so"), "clear"}, 1, "nowhere.so"},
  };
  for (const auto& [args, code, part] : cases) {
    const Result r = Run(args);
    EXPECT_EQ(r.code, code) << testing::PrintToString(args);
    EXPECT_NE((code == 0 ? r.out : r.err).find(part), std::string::npos) << r.out << r.err;
  }
}

TEST_F(SharpstackTest, DemoStacksASeriesAndReportsItsPsnr) {
  Result r = Run({"demo", Path("demo")});
  ASSERT_EQ(r.code, 0) << r.err;
  const Picture composite = Load(Path("demo/composite.png"));
  // Three tiles a row, each a third of the composite's width, 8 pixels apart.
  EXPECT_EQ(Load(Path("demo/side-by-side.png")).width, 3 * ((composite.width + 2) / 3) + 16);
  // Stacking is what the demo shows to be better than the best single picture.
  double stacked = 0, single = 0;
  const std::size_t at = r.out.find("matched: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, "matched: composite %lf dB, best single picture %lf dB",
                        &stacked, &single),
            2)
      << r.out;
  EXPECT_GT(stacked, single + 3.0) << r.out;
}

TEST(ProgressBar, LineShowsNamePlaceNoteAndPercentage) {
  EXPECT_EQ(cli::ProgressBar::Line("b.tif", 2, 2, 50, 4, "aligned: scale 0.990"),
            "b.tif (2 of 2) aligned: scale 0.990 [##..] 50%");
  EXPECT_EQ(cli::ProgressBar::Line("a.png", 1, 1, 140, 4), "a.png [####] 100%");
  const std::string line = cli::ProgressBar::Line(std::string(60, 'n') + ".png", 1, 1, 0, 2);
  EXPECT_EQ(line.substr(0, 3), "...");
  EXPECT_NE(line.find("n.png [..] 0%"), std::string::npos) << line;
}

// With --clear the pictures already in the folder come first, in name order;
// then each arrival once its writer is done, renamed in or written slowly; a
// damaged one is skipped; the buffer is locked meanwhile. The composite is
// the stack's. Without --clear the buffer is continued; Ctrl-C ends a watch
// with 130 and the composite so far, a folder that goes away with 1.
TEST_F(SharpstackTest, WatchAddsFinishedPicturesAndEndsAsAStackOfThem) {
  const std::vector<std::string> names =
      WriteSeries("f", ".png", 15, {48, 36, 5, 8, 3, false, 0, 3.0, {}});
  const fs::path in = dir() / "in", more = dir() / "more";
  fs::create_directory(in);
  fs::create_directory(more);
  fs::copy_file(names[1], in / "b.png");
  fs::copy_file(names[0], in / "a.png");
  fs::copy_file(names[2], in / ".hidden.png");
  std::ofstream(in / "notes.txt") << "not a picture";
  ASSERT_TRUE(Ok({"add", names[3]}));  // a buffer that --clear drops
  Process p = Spawn({"watch", in.string(), "-o", Path("out.png"), "--clear", "--count", "4"});
  testsupport::KillOnExit guard{p.pid};
  ASSERT_TRUE(WaitForText(p.out, "watching"));
  fs::copy_file(names[2], in / "c.png.part");
  fs::rename(in / "c.png.part", in / "c.png");
  ASSERT_TRUE(WaitForText(p.out, "added c.png as picture 3"));
  EXPECT_TRUE(Ended(Run({"add", names[4]}), 1, {"in use"}));
  const std::string png = Slurp(names[3]);
  std::ofstream(in / "bad.png", std::ios::binary) << png.substr(0, png.size() / 2);
  ASSERT_TRUE(WaitForText(p.err, "bad.png"));
  {
    std::ofstream slow(in / "d.png", std::ios::binary);
    for (std::size_t at = 0; at < png.size(); at += png.size() / 4 + 1) {
      slow << png.substr(at, png.size() / 4 + 1) << std::flush;
      std::this_thread::sleep_for(std::chrono::milliseconds(120));  // longer than a batch gathers
    }
  }
  Result r = Wait(p);
  ASSERT_TRUE(Ended(r, 0, {"bad.png"}, 1));
  std::size_t at = 0;
  for (const char* line :
       {"added a.png as picture 1 in ", "added b.png as picture 2 in ", "watching",
        "added c.png as picture 3 in ", "added d.png as picture 4 in "}) {
    at = r.out.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " in\n" << r.out;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5) << r.out;
  ASSERT_TRUE(Ok({"stack", "-o", Path("stack.png")}, {names[0], names[1], names[2], names[3]}));
  ExpectSamePicture(Load(Path("stack.png")), Load(Path("out.png")));

  p = Spawn({"watch", more.string(), "-o", Path("out.png")});
  testsupport::KillOnExit second{p.pid};
  ASSERT_TRUE(WaitForText(p.out, "watching"));
  fs::copy_file(names[4], more / "e.png");
  ASSERT_TRUE(WaitForText(p.out, "added e.png as picture 1"));
  kill(p.pid, SIGINT);
  EXPECT_EQ(Wait(p).code, 130);
  ASSERT_TRUE(Ok({"stack", "-o", Path("stack.png")}, names));
  ExpectSamePicture(Load(Path("stack.png")), Load(Path("out.png")));
  p = Spawn({"watch", more.string(), "-o", Path("out.png")});
  testsupport::KillOnExit third{p.pid};
  ASSERT_TRUE(WaitForText(p.out, "watching"));
  fs::remove_all(more);
  EXPECT_TRUE(Ended(Wait(p), 1, {"removed"}));
}

// The kernel's watch and the portable one by polling report the same
// finished files: a rename in, a file written and closed, an old file only
// once written again; then the end of the folder.
TEST(FolderWatch, InotifyAndPollingSeeTheSameArrivals) {
  testsupport::TempRoot temp;
  const fs::path in = temp.dir() / "in";
  fs::create_directory(in);
  std::ofstream(in / "old.png") << "old";
  std::string error;
  std::vector<std::unique_ptr<cli::FolderWatch>> watches;
  watches.push_back(cli::PollFolder(in.string(), std::chrono::milliseconds(10),
                                    std::chrono::milliseconds(200), &error));
#if defined(__linux__)
  bool unavailable = false;
  watches.push_back(cli::InotifyFolder(in.string(), &error, &unavailable));
#endif
  for (const auto& watch : watches) ASSERT_NE(watch, nullptr) << error;
  auto expect_arrivals = [&](const std::set<std::string>& expected) {  // none: the folder is gone
    for (const auto& watch : watches) {
      std::set<std::string> seen;
      do {
        std::vector<std::string> names;
        ASSERT_EQ(watch->Wait(&names, &error), expected.empty() ? cli::FolderWatch::Event::kGone
                                                                : cli::FolderWatch::Event::kArrived)
            << error;
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
        seen.insert(names.begin(), names.end());
      } while (seen.size() < expected.size());
      EXPECT_EQ(seen, expected);
    }
  };
  std::ofstream(temp.dir() / "b.png") << "b";
  fs::rename(temp.dir() / "b.png", in / "b.png");
  std::ofstream(in / "a.png") << "a";
  expect_arrivals({"a.png", "b.png"});
  std::ofstream(in / "old.png") << "written again";
  expect_arrivals({"old.png"});
  fs::remove_all(in);
  expect_arrivals({});
}

}  // namespace
