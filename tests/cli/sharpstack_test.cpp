// The sharpstack executable end to end: real processes, real image files, a
// private drive root per test. Composites are checked against Add and Show
// computed independently here from the pictures as the files deliver them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/app/folder_watch.h"
#include "cli/app/progress.h"
#include "cli/hostlib/picture.h"
#include "cli/image/image_io.h"
#include "support/temp_root.h"
#include "tools/series/series.h"

namespace {

namespace fs = std::filesystem;
using host::Picture;

const char* const kBinary = SHARPSTACK_BINARY_DIR "/bin/sharpstack";

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Process {
  pid_t pid = -1;
  fs::path out, err;
};

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

// The address space a run on hostile files gets: far below what any of their
// declared pictures would take. The sanitizers reserve terabytes of shadow
// memory, so their builds run without the limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr rlim_t kHostileAddressSpace = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr rlim_t kHostileAddressSpace = 0;
#else
constexpr rlim_t kHostileAddressSpace = rlim_t(512) << 20;
#endif
#else
constexpr rlim_t kHostileAddressSpace = rlim_t(512) << 20;
#endif

// Starts sharpstack in its own session (no controlling terminal, so no dialog
// can appear and standard error is never a terminal). A run on hostile files
// gets kHostileAddressSpace, and is ended by an alarm should it ever hang.
// With `unprivileged`, a run as root drops to user and group 65534 first, so
// that file permissions bind.
Process Spawn(const fs::path& dir, const std::vector<std::string>& args, bool hostile = false,
              bool unprivileged = false) {
  static int counter = 0;
  Process p;
  ++counter;
  p.out = dir / ("stdout-" + std::to_string(counter));
  p.err = dir / ("stderr-" + std::to_string(counter));
  std::vector<std::string> full = {kBinary, "--root", (dir / "root").string()};
  full.insert(full.end(), args.begin(), args.end());
  p.pid = fork();
  if (p.pid == 0) {
    setsid();
    int in = open("/dev/null", O_RDONLY);
    int out = open(p.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(p.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (hostile && kHostileAddressSpace != 0) {
      const rlimit limit{kHostileAddressSpace, kHostileAddressSpace};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (hostile) alarm(300);
    if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    std::vector<char*> argv;
    for (std::string& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(kBinary, argv.data());
    _exit(127);
  }
  return p;
}

Result Wait(const Process& p) {
  Result r;
  int status = 0;
  waitpid(p.pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = Slurp(p.out);
  r.err = Slurp(p.err);
  return r;
}

// Waits until the file (a program's output) holds `text`, the sign that the
// program is ready for the test's next step; false after a minute.
bool WaitForText(const fs::path& file, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (Slurp(file).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Ends a watch that a failed step left running.
struct KillOnExit {
  pid_t pid;
  ~KillOnExit() {
    if (waitpid(pid, nullptr, WNOHANG) == 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

// --- Add and Show, computed here -------------------------------------------

struct Buffer {
  int width = 0, height = 0;
  std::vector<std::array<std::uint32_t, 3>> focus;
  std::vector<float> variance;
  std::vector<std::uint32_t> count;
};

void ReferenceAdd(Buffer* b, const Picture& p) {
  if (b->width == 0) {
    b->width = p.width;
    b->height = p.height;
    b->focus.assign(std::size_t(p.width) * std::size_t(p.height), {0, 0, 0});
    b->variance.assign(b->focus.size(), 0.0f);
    b->count.assign(b->focus.size(), 0);
  }
  ASSERT_EQ(b->width, p.width);
  ASSERT_EQ(b->height, p.height);
  auto value = [&](int x, int y, int k) {
    x = std::clamp(x, 0, p.width - 1);
    y = std::clamp(y, 0, p.height - 1);
    std::uint32_t s = p.Get(x, y, p.colorPlanes == 3 ? k : 0);
    return p.depth == 8 ? (257u * s + 1u) / 2u : s;
  };
  // The five groups of four neighbours, (row, column) offsets.
  static const int kGroups[5][4][2] = {{{-2, -1}, {-2, 0}, {-2, 1}, {-1, -2}},
                                       {{-1, -1}, {-1, 0}, {-1, 1}, {-1, 2}},
                                       {{0, -2}, {0, -1}, {0, 1}, {0, 2}},
                                       {{1, -1}, {1, 0}, {1, 1}, {1, 2}},
                                       {{2, -1}, {2, 0}, {2, 1}, {1, -2}}};
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      double v = 0;
      for (int k = 0; k < 3; ++k) {
        std::uint32_t c = value(x, y, k);
        for (const auto& group : kGroups) {
          std::uint32_t sum = 0;  // wraps, as the measure does
          for (const auto& n : group) {
            std::int64_t d = std::int64_t(c) - std::int64_t(value(x + n[1], y + n[0], k));
            sum += std::uint32_t(d * d);
          }
          v += double(sum);
        }
      }
      std::size_t i = std::size_t(y) * std::size_t(p.width) + std::size_t(x);
      ++b->count[i];
      float s = b->variance[i];
      if (s == 0.0f || double(s) < v) {
        b->variance[i] = float(v);
        b->focus[i] = {value(x, y, 0), value(x, y, 1), value(x, y, 2)};
      }
    }
}

// Show at the buffer's own size, every pixel covered.
Picture ReferenceShow(const Buffer& b, int depth, bool grey) {
  float lo = 1.0e9f, hi = -1.0e9f, sum_lo = 1.0e9f, sum_hi = -1.0e9f;
  for (const auto& c : b.focus) {
    for (std::uint32_t v : c) {
      lo = std::min(lo, float(v));
      hi = std::max(hi, float(v));
    }
    float sum = float(c[0] + c[1] + c[2]);
    sum_lo = std::min(sum_lo, sum);
    sum_hi = std::max(sum_hi, sum);
  }
  double top = depth == 8 ? double(255.49f) : double(32768.49f);
  float offset = 0, scale = 0;
  float low = grey ? sum_lo : lo, high = grey ? sum_hi : hi;
  if (low == high) {
    scale = depth == 8 ? (grey ? 0.0025940337f : 0.0077821012f) : (grey ? 0.33333334f : 1.0f);
  } else {
    offset = -low;
    scale = float(top / (double(high) - double(low)));
  }
  Picture out;
  out.Allocate(b.width, b.height, grey ? 1 : 3, 0, depth);
  for (int y = 0; y < b.height; ++y)
    for (int x = 0; x < b.width; ++x) {
      const auto& c = b.focus[std::size_t(y) * std::size_t(b.width) + std::size_t(x)];
      if (grey) {
        double g = (double(c[0]) + double(c[1]) + double(c[2]) + double(offset)) * double(scale);
        out.Set(x, y, 0, std::uint32_t(g));
      } else {
        for (int k = 0; k < 3; ++k)
          out.Set(x, y, k, std::uint32_t((double(c[k]) + double(offset)) * double(scale)));
      }
    }
  return out;
}

void ExpectSamePicture(const Picture& expected, const Picture& actual) {
  ASSERT_EQ(expected.width, actual.width);
  ASSERT_EQ(expected.height, actual.height);
  ASSERT_EQ(expected.planes, actual.planes);
  ASSERT_EQ(expected.depth, actual.depth);
  int mismatches = 0;
  for (int y = 0; y < expected.height; ++y)
    for (int x = 0; x < expected.width; ++x)
      for (int k = 0; k < expected.planes; ++k)
        if (expected.Get(x, y, k) != actual.Get(x, y, k) && ++mismatches <= 5)
          ADD_FAILURE() << "pixel " << x << "," << y << " sample " << k << ": expected "
                        << expected.Get(x, y, k) << ", got " << actual.Get(x, y, k);
  EXPECT_EQ(mismatches, 0);
}

Picture Load(const fs::path& path) {
  Picture p;
  imageio::Status s = imageio::ReadImage(path.string(), &p);
  EXPECT_TRUE(s.ok) << s.message;
  return p;
}

class SharpstackTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir() / "root"); }

  const fs::path& dir() const { return temp_.dir(); }
  std::string Path(const std::string& name) const { return (dir() / name).string(); }

  Result Run(const std::vector<std::string>& args, bool hostile = false) {
    return Wait(Spawn(dir(), args, hostile));
  }

  void WriteBytes(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
  }

  // Writes the frames of a small series and returns their names.
  std::vector<std::string> WriteSeries(const series::FocusSeries& s, const std::string& stem,
                                       const std::string& extension) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < s.frames.size(); ++i) {
      std::string name = Path(stem + std::to_string(i) + extension);
      imageio::Status st = imageio::WriteImage(name, s.frames[i]);
      EXPECT_TRUE(st.ok) << st.message;
      names.push_back(name);
    }
    return names;
  }

  // The composite of the files as they read back.
  Picture Expected(const std::vector<std::string>& names, int depth, bool grey) {
    Buffer b;
    for (const std::string& name : names) ReferenceAdd(&b, Load(name));
    return ReferenceShow(b, depth, grey);
  }

  std::map<std::string, std::string> BufferFiles() const {
    std::map<std::string, std::string> files;
    for (const char* name : {"BestFocus.xxx", "BestVariance.xxx", "CountVXBuffer.xxx"})
      if (fs::exists(dir() / "root" / name)) files[name] = Slurp(dir() / "root" / name);
    return files;
  }

  static series::FocusSeries SmallSeries(int depth, int colour, bool alpha, std::uint32_t seed) {
    series::SeriesOptions o;
    o.width = 48;
    o.height = 36;
    o.frames = 3;
    o.depth = depth;
    o.colorPlanes = colour;
    o.transparency = alpha;
    o.seed = seed;
    o.maxBlurRadius = 3.0;
    return series::MakeFocusSeries(o);
  }

  testsupport::TempRoot temp_;
};

TEST_F(SharpstackTest, StackOfPngsMatchesAnIndependentComposite) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 3), "f", ".png");
  std::vector<std::string> args = {"stack", "-o", Path("out.png")};
  args.insert(args.end(), names.begin(), names.end());
  Result r = Run(args);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("wrote"), std::string::npos);
  EXPECT_EQ(r.err, "");  // no progress bar when standard error is not a terminal
  ExpectSamePicture(Expected(names, 8, false), Load(Path("out.png")));

  // Grey pictures give a grey composite of the summed channels.
  std::vector<std::string> grey = WriteSeries(SmallSeries(8, 1, false, 4), "g", ".png");
  args = {"--quiet", "stack", "-o", Path("grey.png")};
  args.insert(args.end(), grey.begin(), grey.end());
  r = Run(args);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");  // --quiet
  ExpectSamePicture(Expected(grey, 8, true), Load(Path("grey.png")));
}

TEST_F(SharpstackTest, StackOfSixteenBitTiffsWithAlphaMatchesAnIndependentComposite) {
  series::FocusSeries s = SmallSeries(16, 3, true, 5);
  std::vector<std::string> names = WriteSeries(s, "t", ".tif");
  ASSERT_TRUE(Load(names[0]).HasAlpha());
  std::vector<std::string> args = {"stack", "-o", Path("out.tif")};
  args.insert(args.end(), names.begin(), names.end());
  Result r = Run(args);
  ASSERT_EQ(r.code, 0) << r.err;
  Picture out = Load(Path("out.tif"));
  EXPECT_EQ(out.depth, 16);  // the first picture's depth and mode
  ExpectSamePicture(Expected(names, 16, false), out);
}

TEST_F(SharpstackTest, StackOfJpegsMatchesTheCompositeOfTheDecodedPictures) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 6), "j", ".jpg");
  std::vector<std::string> args = {"stack", "-o", Path("out.png")};
  args.insert(args.end(), names.begin(), names.end());
  Result r = Run(args);
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectSamePicture(Expected(names, 8, false), Load(Path("out.png")));
}

TEST_F(SharpstackTest, AddingAcrossInvocationsEqualsOneStack) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 7), "f", ".png");
  std::vector<std::string> args = {"stack", "-o", Path("one.png")};
  args.insert(args.end(), names.begin(), names.end());
  ASSERT_EQ(Run(args).code, 0);
  std::map<std::string, std::string> after_stack = BufferFiles();
  ASSERT_EQ(after_stack.size(), 3u);

  ASSERT_EQ(Run({"clear"}).code, 0);
  EXPECT_TRUE(BufferFiles().empty());
  ASSERT_EQ(Run({"add", names[0]}).code, 0);
  ASSERT_EQ(Run({"add", names[1], names[2]}).code, 0);
  EXPECT_EQ(BufferFiles(), after_stack);
  Result r = Run({"show", "-o", Path("separate.png"), "--depth", "8"});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectSamePicture(Load(Path("one.png")), Load(Path("separate.png")));

  // By default show writes 16 bits into a PNG; the same composite at 8 bits
  // after rounding is not expected, but the size is the buffer's.
  r = Run({"show", "-o", Path("default.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  Picture d = Load(Path("default.png"));
  EXPECT_EQ(d.depth, 16);
  EXPECT_EQ(d.colorPlanes, 3);
  EXPECT_EQ(d.width, 48);
  EXPECT_EQ(d.height, 36);
}

TEST_F(SharpstackTest, AlignedAddsAcrossInvocationsEqualOneAlignedStack) {
  series::SeriesOptions o;
  // Large enough for the match to be sure of a hundredth of a pixel.
  o.width = 800;
  o.height = 600;
  // Eight pictures blurred as strongly as the generator does by default: the
  // neighbours' blur differences must not add up to a motion.
  o.frames = 8;
  const std::vector<std::string> still = WriteSeries(series::MakeFocusSeries(o), "s", ".png");
  o.frames = 3;
  o.maxBlurRadius = 2.0;
  o.motions = series::HandHeldMotions(3, 1.02, 4.0, 0.3, 1);
  const std::vector<std::string> moved = WriteSeries(series::MakeFocusSeries(o), "m", ".png");
  const fs::path state = dir() / "root" / "AlignmentState.bin";
  auto stack = [&](const std::vector<std::string>& names, bool align) {
    std::vector<std::string> args = {"stack", "-o", Path("out.png")};
    if (align) args.push_back("--align");
    args.insert(args.end(), names.begin(), names.end());
    Result r = Run(args);
    EXPECT_EQ(r.code, 0) << r.err;
    return r;
  };

  // Pictures that are already aligned go in unchanged.
  stack(still, false);
  const std::map<std::string, std::string> unaligned = BufferFiles();
  stack(still, true);
  EXPECT_TRUE(BufferFiles() == unaligned);

  Result r = stack(moved, true);
  EXPECT_NE(r.out.find("m2.png (800 x 600; aligned: scale 0.98"), std::string::npos) << r.out;
  const std::map<std::string, std::string> aligned = BufferFiles();
  EXPECT_FALSE(aligned == unaligned);
  EXPECT_TRUE(fs::exists(state));
  ASSERT_EQ(Run({"clear"}).code, 0);
  EXPECT_FALSE(fs::exists(state));
  ASSERT_EQ(Run({"add", "--align", moved[0]}).code, 0);
  ASSERT_EQ(Run({"add", "--align", moved[1]}).code, 0);
  ASSERT_EQ(Run({"add", "--align", moved[2]}).code, 0);
  EXPECT_TRUE(BufferFiles() == aligned);
  // So does a watch, here of the pictures already in its folder.
  fs::create_directory(dir() / "in");
  for (const std::string& name : moved)
    fs::copy_file(name, dir() / "in" / fs::path(name).filename());
  r = Run({"watch", Path("in"), "-o", Path("live.png"), "--clear", "--align", "--count", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("added m2.png as picture 3 in "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("; aligned: scale 0.98"), std::string::npos) << r.out;
  EXPECT_TRUE(BufferFiles() == aligned);
}

TEST_F(SharpstackTest, ShowLikeAnotherSizeResamples) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 8), "f", ".png");
  std::vector<std::string> args = {"add"};
  args.insert(args.end(), names.begin(), names.end());
  ASSERT_EQ(Run(args).code, 0);
  ASSERT_EQ(Run({"show", "-o", Path("full.png"), "--depth", "8"}).code, 0);

  Picture small;
  small.Allocate(24, 18, 1, 0, 8);
  ASSERT_TRUE(imageio::WriteImage(Path("small.png"), small).ok);
  Result r = Run({"show", "-o", Path("like.png"), "--like", Path("small.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  Picture like = Load(Path("like.png"));
  ASSERT_EQ(like.width, 24);
  ASSERT_EQ(like.height, 18);
  ASSERT_EQ(like.colorPlanes, 1);  // the mode of the picture it is like
  ASSERT_EQ(like.depth, 8);

  // Halving in colour: each output pixel is about the mean of its 2 x 2 block.
  r = Run({"show", "-o", Path("half.png"), "--size", "24x18", "--depth", "8"});
  ASSERT_EQ(r.code, 0) << r.err;
  Picture full = Load(Path("full.png"));
  Picture half = Load(Path("half.png"));
  ASSERT_EQ(half.width, 24);
  for (int y = 0; y < 18; ++y)
    for (int x = 0; x < 24; ++x)
      for (int k = 0; k < 3; ++k) {
        double mean = (full.Get(2 * x, 2 * y, k) + full.Get(2 * x + 1, 2 * y, k) +
                       full.Get(2 * x, 2 * y + 1, k) + full.Get(2 * x + 1, 2 * y + 1, k)) /
                      4.0;
        ASSERT_NEAR(double(half.Get(x, y, k)), mean, 2.0) << x << "," << y;
      }
}

TEST_F(SharpstackTest, ShowPaintsUncoveredPixelsInTheBackgroundColour) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 13), "f", ".png");
  // Adding only a rectangle covers only that part of the picture-sized buffer.
  Result r = Run({"run", names[0], "-o", Path("r.png"), "--op", "add", "--rect", "0,0,10,8"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Run({"show", "-o", Path("blue.png"), "--depth", "8", "--background", "0,0,255"});
  ASSERT_EQ(r.code, 0) << r.err;
  Picture blue = Load(Path("blue.png"));
  ASSERT_EQ(blue.width, 48);
  EXPECT_EQ(blue.Get(30, 20, 0), 0u);
  EXPECT_EQ(blue.Get(30, 20, 1), 0u);
  EXPECT_EQ(blue.Get(30, 20, 2), 255u);
  // A grey picture takes the background's grey value.
  r = Run(
      {"show", "-o", Path("grey.png"), "--depth", "8", "--grey", "--background", "100,100,100"});
  ASSERT_EQ(r.code, 0) << r.err;
  Picture grey = Load(Path("grey.png"));
  ASSERT_EQ(grey.colorPlanes, 1);
  EXPECT_EQ(grey.Get(47, 35, 0), 100u);
  // The covered corner is the stretched composite, not the background.
  bool differs = false;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) differs = differs || blue.Get(x, y, 2) != 255u;
  EXPECT_TRUE(differs);
  EXPECT_EQ(Run({"show", "-o", Path("x.png"), "--background", "1,2"}).code, 2);
}

TEST_F(SharpstackTest, ClearEmptiesTheBufferAndShowThenSaysSo) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 9), "f", ".png");
  ASSERT_EQ(Run({"add", names[0]}).code, 0);
  ASSERT_EQ(BufferFiles().size(), 3u);
  Result r = Run({"clear"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(BufferFiles().empty());
  r = Run({"show", "-o", Path("x.png")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("empty"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Path("x.png")));
  // Clearing an empty buffer is not an error.
  EXPECT_EQ(Run({"clear"}).code, 0);
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
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 12; i < 29; ++i) {
      crc ^= std::uint8_t(bytes[i]);
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    put(29, ~crc, 4);
  } else {
    const std::size_t sof = bytes.find("\xFF\xC0");
    put(sof + 5, height, 2);
    put(sof + 7, width, 2);
  }
  return bytes;
}

// A TIFF of 8-bit samples whose one strip holds 16 bytes, whatever picture
// its header declares.
void WriteOneStripTiff(const std::string& path, std::uint32_t width, std::uint32_t height,
                       std::uint16_t samples, std::uint16_t photometric,
                       std::uint16_t compression) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, std::uint16_t(8));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
  std::uint8_t data[16] = {0x78, 0x9c, 0x63, 0x60};  // the start of a zlib stream
  ASSERT_GE(TIFFWriteRawStrip(tif, 0, data, sizeof data), 0);
  TIFFClose(tif);
}

// Damaged, hostile and unreadable inputs: each is refused with one line that
// names it, before the buffer changes. Pictures that declare far more pixels
// than their data hold are refused under an address space much smaller than
// the pictures, so they are refused for what they are, not for the memory.
TEST_F(SharpstackTest, BadInputsLeaveTheBufferUnchanged) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 10), "f", ".png");
  // With the run log on, a run that got under way and was taken back would
  // show in it; every file of the root (buffer, preferences, log, anything
  // set aside and left behind) must stay as it was.
  std::ofstream(dir() / "root" / "TRUXlog.txt").close();
  ASSERT_EQ(Run({"add", names[0]}).code, 0);
  auto root_files = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir() / "root"))
      files[entry.path().filename().string()] = Slurp(entry.path());
    return files;
  };
  const std::map<std::string, std::string> before = root_files();
  ASSERT_EQ(before.size(), 6u);  // the buffer's three, preferences, log and the commands' lock

  std::string png = Slurp(names[1]);
  WriteBytes("truncated.png", png.substr(0, png.size() / 2));
  WriteBytes("corrupt.tif", std::string(300, 'z'));
  WriteOneStripTiff(Path("cmyk.tif"), 4, 1, 4, PHOTOMETRIC_SEPARATED, COMPRESSION_NONE);

  // Small true pictures whose headers then declare huge ones.
  Picture small;
  small.Allocate(16, 16, 1, 0, 16);
  ASSERT_TRUE(imageio::WriteImage(Path("grey16.png"), small).ok);
  small.Allocate(16, 16, 3, 0, 8);
  ASSERT_TRUE(imageio::WriteImage(Path("rgb.png"), small).ok);
  ASSERT_TRUE(imageio::WriteImage(Path("rgb.jpg"), small).ok);
  WriteBytes("bomb16.png", Resized(Slurp(Path("grey16.png")), 32767, 4096));
  WriteBytes("bomb.png", Resized(Slurp(Path("rgb.png")), 32767, 32767));
  WriteBytes("bomb.jpg", Resized(Slurp(Path("rgb.jpg")), 32767, 32767));
  WriteBytes("sixteen.jpg", Resized(Slurp(Path("rgb.jpg")), 3000, 2000));
  WriteOneStripTiff(Path("bomb.tif"), 32767, 32767, 3, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE);
  WriteOneStripTiff(Path("raw.tif"), 32767, 32767, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE);
  // A whole JPEG cut in half, with and without an end marker.
  ASSERT_TRUE(imageio::WriteImage(Path("whole.jpg"), Load(names[1])).ok);
  const std::string jpeg = Slurp(Path("whole.jpg"));
  WriteBytes("half.jpg", jpeg.substr(0, jpeg.size() / 2) + "\xFF\xD9");
  WriteBytes("cut.jpg", jpeg.substr(0, jpeg.size() * 2 / 3));
  ASSERT_EQ(mkfifo(Path("fifo.png").c_str(), 0600), 0);
  fs::create_directory(Path("folder.tif"));
  // Another scene cannot be aligned onto this one.
  ASSERT_TRUE(imageio::WriteImage(Path("other.png"), SmallSeries(8, 3, false, 11).frames[0]).ok);

  struct Case {
    std::vector<std::string> args;
    std::string file;
    std::string reason;
  };
  const std::string out = Path("s.png");
  const Case cases[] = {
      {{"add", Path("truncated.png")}, "truncated.png", "truncated"},
      {{"add", Path("corrupt.tif")}, "corrupt.tif", ""},
      {{"add", Path("cmyk.tif")}, "cmyk.tif", "CMYK"},
      {{"add", Path("missing.png")}, "missing.png", "no such file"},
      {{"add", names[1], Path("truncated.png")}, "truncated.png", "truncated"},
      {{"stack", "-o", out, names[1], names[2], Path("truncated.png")}, "truncated.png", ""},
      {{"stack", "-o", out, names[1], Path("cmyk.tif")}, "cmyk.tif", "CMYK"},
      {{"add", names[1], names[2], Path("truncated.png")}, "truncated.png", "truncated"},
      {{"add", Path("bomb16.png")}, "bomb16.png", "cannot hold"},
      {{"add", Path("bomb.png")}, "bomb.png", "cannot hold"},
      {{"add", Path("bomb.jpg")}, "bomb.jpg", "cannot hold"},
      {{"add", Path("sixteen.jpg")}, "sixteen.jpg", "cannot hold"},
      {{"add", Path("bomb.tif")}, "bomb.tif", "cannot hold"},
      {{"add", Path("raw.tif")}, "raw.tif", "truncated"},
      {{"add", Path("half.jpg")}, "half.jpg", "Corrupt JPEG data"},
      {{"add", Path("cut.jpg")}, "cut.jpg", "truncated"},
      {{"add", Path("fifo.png")}, "fifo.png", "is not a regular file"},
      {{"stack", "-o", out, names[1], Path("fifo.png")}, "fifo.png", "is not a regular file"},
      {{"run", Path("fifo.png"), "-o", out, "--op", "add"}, "fifo.png", "is not a regular file"},
      {{"add", Path("folder.tif")}, "folder.tif", "is a directory"},
      {{"stack", "--align", "-o", out, names[1], Path("other.png")}, "other.png", "cannot align"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.file);
    Result r = Run(c.args, true);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(c.file), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(root_files(), before);
  }
  EXPECT_FALSE(fs::exists(out));
  // Every damaged picture is named, in the order given, also those after the
  // first one found while adding, and nothing changes.
  {
    std::string other = Slurp(names[2]);
    WriteBytes("cut.png", other.substr(0, other.size() * 2 / 3));
    Result many =
        Run({"stack", "-o", out, Path("truncated.png"), names[1], Path("cut.png"), names[2]});
    EXPECT_EQ(many.code, 1);
    const std::size_t first = many.err.find("truncated.png");
    const std::size_t second = many.err.find("cut.png");
    EXPECT_NE(second, std::string::npos) << many.err;
    EXPECT_LT(first, second) << many.err;
    EXPECT_EQ(std::count(many.err.begin(), many.err.end(), '\n'), 2) << many.err;
    EXPECT_EQ(root_files(), before);
    EXPECT_FALSE(fs::exists(out));
  }
}

// A damaged buffer (a file cut short, missing, of another size or element
// size, or a header that declares more than its file holds) is refused by add,
// show and watch, naming the file and the way out, and left exactly as it is;
// show does so without setting aside the memory the headers declare. stack
// replaces it.
TEST_F(SharpstackTest, DamagedBufferSetsAreRefusedAndLeftAsTheyAre) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 12), "f", ".png");
  ASSERT_EQ(Run({"add", names[0]}).code, 0);
  const std::map<std::string, std::string> good = BufferFiles();
  const fs::path root = dir() / "root";
  auto header = [](int element, int width, int height) {
    std::string h;
    for (int v : {element, width, height}) h += {char(v & 0xFF), char(v >> 8)};
    return h;
  };
  using Files = std::map<std::string, std::string>;
  auto with = [&](const std::string& name, const std::string& bytes) {
    Files files = good;
    files[name] = bytes;
    return files;
  };
  const std::string focus = good.at("BestFocus.xxx");
  Files without_variance = good;
  without_variance.erase("BestVariance.xxx");
  const struct {
    std::string file;  // the file the message names
    std::string reason;
    Files files;
  } cases[] = {
      {"BestFocus.xxx", "truncated", with("BestFocus.xxx", focus.substr(0, focus.size() / 2))},
      {"BestFocus.xxx", "truncated", with("BestFocus.xxx", focus.substr(0, 3))},
      {"BestVariance.xxx", "missing", without_variance},
      {"CountVXBuffer.xxx", "disagree",
       with("CountVXBuffer.xxx", header(2, 47, 36) + good.at("CountVXBuffer.xxx").substr(6))},
      {"BestFocus.xxx", "element size", with("BestFocus.xxx", header(4, 48, 36) + focus.substr(6))},
      // 18 bytes that declare 32767 x 32767.
      {"CountVXBuffer.xxx",
       "truncated",
       {{"CountVXBuffer.xxx", header(2, 32767, 32767)},
        {"BestVariance.xxx", header(4, 32767, 32767)},
        {"BestFocus.xxx", header(6, 32767, 32767)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + c.reason);
    for (const char* name : {"BestFocus.xxx", "BestVariance.xxx", "CountVXBuffer.xxx"}) {
      fs::remove(root / name);
      if (c.files.count(name) != 0) WriteBytes("root/" + std::string(name), c.files.at(name));
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{"add", names[1]},
                                                 {"show", "-o", Path("s.png")},
                                                 {"watch", dir().string(), "-o", Path("s.png")}}) {
      Result r = Run(args, true);
      EXPECT_EQ(r.code, 1) << args[0];
      for (const std::string& part : {c.file, c.reason, std::string("sharpstack clear")})
        EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_TRUE(BufferFiles() == c.files);
    }
    EXPECT_FALSE(fs::exists(Path("s.png")));
  }
  // The plug-in's own Show, run as an editor runs it on the last set (three
  // headers alone), trusts no header beyond its file either.
  Result r = Run({"run", names[1], "-o", Path("r.png"), "--op", "show"}, true);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_FALSE(fs::exists(Path("r.png")));
  // stack starts a new buffer whatever the old one was.
  r = Run({"stack", "-o", Path("s.png"), names[1], names[2]});
  EXPECT_EQ(r.code, 0) << r.err;
  ExpectSamePicture(Expected({names[1], names[2]}, 8, false), Load(Path("s.png")));
}

// A refusal reaches the user with its reason: a folder that cannot be
// written is named as such, and a link among the plug-in's files is refused
// before any run, its target untouched.
TEST_F(SharpstackTest, RefusedFoldersAndLinkedFilesAreNamedForWhatTheyAre) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 12), "f", ".png");
  ASSERT_EQ(Run({"add", names[0]}).code, 0);
  const std::map<std::string, std::string> before = BufferFiles();
  using fs::perms;
  const perms readable = perms::owner_read | perms::owner_exec | perms::group_read |
                         perms::group_exec | perms::others_read | perms::others_exec;
  fs::permissions(dir(), readable | perms::owner_write);
  fs::permissions(dir() / "root", readable);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"add", names[1]}, std::vector<std::string>{"clear"}}) {
    SCOPED_TRACE(args[0]);
    Result r = Wait(Spawn(dir(), args, false, true));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(BufferFiles(), before);
  }
  fs::permissions(dir() / "root", perms::owner_all, fs::perm_options::add);

  std::ofstream(Path("target.txt")) << "keep";
  fs::create_symlink(Path("target.txt"), dir() / "root" / "TRUXlog.txt");
  Result r = Run({"add", names[1]});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("TRUXlog.txt"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
  EXPECT_EQ(Slurp(Path("target.txt")), "keep");
  EXPECT_EQ(BufferFiles(), before);
}

TEST_F(SharpstackTest, CtrlCDuringAnAddExitsWith130AndTheNextAddWorks) {
  // Pictures large enough that an add takes a while.
  Picture big;
  big.Allocate(1600, 1200, 3, 0, 8);
  std::uint32_t state = 12345;
  for (std::uint8_t& b : big.data) {
    state = state * 1664525u + 1013904223u;
    b = std::uint8_t(state >> 24);
  }
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) {
    names.push_back(Path("big" + std::to_string(i) + ".tif"));
    ASSERT_TRUE(imageio::WriteImage(names.back(), big).ok);
  }
  std::vector<std::string> args = {"add"};
  args.insert(args.end(), names.begin(), names.end());
  Process p = Spawn(dir(), args);
  // Once the count file exists the first add is under way.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(dir() / "root" / "CountVXBuffer.xxx") &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(fs::exists(dir() / "root" / "CountVXBuffer.xxx"));
  kill(p.pid, SIGINT);
  Result r = Wait(p);
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("not added"), std::string::npos) << r.err;

  Result next = Run({"add", names[0]});
  EXPECT_EQ(next.code, 0) << next.err;
  EXPECT_EQ(Run({"show", "-o", Path("after.png"), "--size", "16x12"}).code, 0);
}

TEST_F(SharpstackTest, RecordedActionPlaysBackWithoutADialog) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 11), "f", ".png");
  // Without an operation the plug-in's dialog would ask; with no terminal it
  // cannot, so the run does not succeed.
  Result r = Run({"run", names[0], "-o", Path("asked.png")});
  EXPECT_EQ(r.code, 130);
  EXPECT_NE(r.err.find("dialog"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Path("asked.png")));

  r = Run({"run", names[0], "-o", Path("r.png"), "--op", "add", "--record", Path("add.json")});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string action = Slurp(Path("add.json"));
  EXPECT_NE(action.find("\"BFcB\""), std::string::npos) << action;
  EXPECT_NE(action.find("\"EFMd\""), std::string::npos) << action;
  const std::map<std::string, std::string> one_add = BufferFiles();

  ASSERT_EQ(Run({"clear"}).code, 0);
  r = Run({"run", names[0], "-o", Path("p.png"), "--play", Path("add.json")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(BufferFiles(), one_add);

  // A recorded Show plays back into the picture it runs on.
  r = Run({"run", names[1], "-o", Path("s1.png"), "--op", "show", "--record", Path("show.json")});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Run({"run", names[2], "-o", Path("s2.png"), "--play", Path("show.json")});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectSamePicture(Load(Path("s1.png")), Load(Path("s2.png")));
  ExpectSamePicture(Expected({names[0]}, 8, false), Load(Path("s2.png")));

  // Recorded again while played back: the same action, byte for byte.
  r = Run({"run", names[2], "-o", Path("s3.png"), "--play", Path("show.json"), "--record",
           Path("again.json")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Slurp(Path("again.json")), Slurp(Path("show.json")));
}

// Every action that does not name exactly one operation 4, 5 or 6 (key EFMd,
// type enum, enumeration rB42) is refused before the run: the plug-in would
// fall back on an earlier choice, or on Clear. One line names the file and
// what is wrong; the buffer and the output stay as they were.
TEST_F(SharpstackTest, MalformedActionsAreRefusedBeforeTheRun) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 13), "f", ".png");
  ASSERT_EQ(Run({"add", names[0]}).code, 0);
  const std::map<std::string, std::string> before = BufferFiles();
  auto step = [](const std::string& items, const std::string& event = "BFcB") {
    return "{\"event\": \"" + event + "\", \"items\": [" + items + "]}";
  };
  auto item = [](const std::string& value, const std::string& key = "EFMd",
                 const std::string& type = "enum", const std::string& rest = "") {
    return "{\"key\": \"" + key + "\", \"type\": \"" + type + "\"" +
           (type == "enum" ? ", \"enumType\": \"rB42\"" : "") + rest + ", \"value\": " + value +
           "}";
  };
  struct Case {
    std::string json;
    std::string reason;  // a part of the message
  };
  const Case cases[] = {
      {step(item("7")), "is 7"},
      {step(item("0")), "is 0"},
      {step(item("3")), "is 3"},
      {step(item("4294967301")), "out of range"},  // 2^32 + 5
      {step(item("-1")), "out of range"},
      {step(item("5", "EFmd")), "'EFmd'"},
      {step(item("5", "EFMd", "long")), "'long'"},
      {step(""), "no operation"},
      {step(item("5"), "BFcC"), "'BFcC'"},
      {step(item("5") + ", " + item("5")), "2 items"},
      {step(item("5") + ", " + item("true", "AFlg", "bool")), "2 items"},
      {step(item("5.5")), "integer"},
      {step(item("\"5\"")), "integer"},
      {step(item("5", "EFMd", "enum", ", \"value\": 7")), "twice"},
      {step(item("5", "EFMd", "enum", ", \"valeu\": 7")), "valeu"},
      {step("{\"key\": \"EFMd\", \"type\": \"enum\", \"enumType\": \"rB41\", \"value\": 5}"),
       "'rB41'"},
      {step("{\"key\": \"EFMd\", \"type\": \"enum\", \"value\": 5}"), "enumType"},
      {step(item("5", "EFMdd")), "4-character"},
      {"{\"event\": \"BFcB\", \"items\": [", "not JSON"},
      {"", "not JSON"},
      {"[]", "object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::ofstream(Path("a.json"), std::ios::trunc) << c.json;
    Result r = Run({"run", names[1], "-o", Path("o.png"), "--play", Path("a.json")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("a.json"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(BufferFiles(), before);
    EXPECT_FALSE(fs::exists(Path("o.png")));
  }
}

TEST_F(SharpstackTest, RunWithMaskAndRectangleLeavesPixelsOutsideUntouched) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 12), "f", ".png");
  std::vector<std::string> args = {"add"};
  args.insert(args.end(), names.begin(), names.end());
  ASSERT_EQ(Run(args).code, 0);
  Picture original = Load(names[0]);

  // Rectangle: inside, the buffer resampled to the rectangle's size.
  Result r = Run({"run", names[0], "-o", Path("rect.png"), "--op", "show", "--rect", "10,5,40,30"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(Run({"show", "-o", Path("inner.png"), "--size", "30x25", "--depth", "8"}).code, 0);
  Picture rect = Load(Path("rect.png"));
  Picture inner = Load(Path("inner.png"));
  for (int y = 0; y < original.height; ++y)
    for (int x = 0; x < original.width; ++x)
      for (int k = 0; k < 3; ++k) {
        bool inside = x >= 10 && x < 40 && y >= 5 && y < 30;
        std::uint32_t expected = inside ? inner.Get(x - 10, y - 5, k) : original.Get(x, y, k);
        ASSERT_EQ(rect.Get(x, y, k), expected) << x << "," << y;
      }

  // Mask: 0 on the left, 255 on the right, a half-selected column between.
  Picture mask;
  mask.Allocate(original.width, original.height, 1, 0, 8);
  for (int y = 0; y < mask.height; ++y)
    for (int x = 0; x < mask.width; ++x) mask.Set(x, y, 0, x < 20 ? 0 : x == 20 ? 128 : 255);
  ASSERT_TRUE(imageio::WriteImage(Path("mask.png"), mask).ok);
  r = Run({"run", names[0], "-o", Path("masked.png"), "--op", "show", "--mask", Path("mask.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(Run({"show", "-o", Path("whole.png"), "--depth", "8"}).code, 0);
  Picture masked = Load(Path("masked.png"));
  Picture whole = Load(Path("whole.png"));
  for (int y = 0; y < original.height; ++y)
    for (int x = 0; x < original.width; ++x)
      for (int k = 0; k < 3; ++k) {
        if (x < 20) {
          ASSERT_EQ(masked.Get(x, y, k), original.Get(x, y, k)) << x << "," << y;
        } else if (x > 20) {
          ASSERT_EQ(masked.Get(x, y, k), whole.Get(x, y, k)) << x << "," << y;
        } else {
          double blend =
              (double(whole.Get(x, y, k)) * 128 + double(original.Get(x, y, k)) * 127) / 255;
          ASSERT_NEAR(double(masked.Get(x, y, k)), blend, 1.0) << x << "," << y;
        }
      }

  // A rectangle outside the picture is refused before anything runs.
  r = Run({"run", names[0], "-o", Path("no.png"), "--op", "show", "--rect", "0,0,49,10"});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(fs::exists(Path("no.png")));
}

TEST_F(SharpstackTest, UsageErrorsHelpAndAMissingPlugin) {
  for (const char* command : {"clear", "add", "show", "stack", "run", "demo", "watch"}) {
    Result r = Run({command, "--help"});
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << command;
  }
  EXPECT_EQ(Run({}).code, 2);
  EXPECT_EQ(Run({"frobnicate"}).code, 2);
  EXPECT_EQ(Run({"show"}).code, 2);  // -o is required
  EXPECT_EQ(Run({"watch", Path("."), "-o", Path("a.png"), "--count", "0"}).code, 2);
  EXPECT_EQ(Run({"show", "-o", Path("a.png"), "--size", "12by3"}).code, 2);
  EXPECT_EQ(Run({"show", "-o", Path("a.png"), "--depth", "12"}).code, 2);
  EXPECT_EQ(Run({"show", "-o", Path("a.bmp")}).code, 2);
  EXPECT_EQ(Run({"run", "x.png", "-o", Path("a.png"), "--op", "sharpen"}).code, 2);
  EXPECT_EQ(Run({"run", "x.png", "-o", Path("a.png"), "--rect", "5,5,2,2"}).code, 2);
  EXPECT_EQ(Run({"--root", "", "clear"}).code, 2);  // not the default folder

  Result r = Run({"--plugin", Path("nowhere.so"), "clear"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("nowhere.so"), std::string::npos) << r.err;
}

TEST_F(SharpstackTest, DemoStacksASeriesAndReportsItsPsnr) {
  Result r = Run({"demo", Path("demo")});
  ASSERT_EQ(r.code, 0) << r.err;
  const Picture composite = Load(Path("demo/composite.png"));
  const Picture side_by_side = Load(Path("demo/side-by-side.png"));
  // Three tiles a row, each a third of the composite's width, 8 pixels apart.
  EXPECT_EQ(side_by_side.width, 3 * ((composite.width + 2) / 3) + 16);
  // The figures printed are the composite's and the best single picture's,
  // and stacking is what the demo shows to be better.
  double stacked = 0, single = 0;
  const std::size_t at = r.out.find("matched: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, "matched: composite %lf dB, best single picture %lf dB",
                        &stacked, &single),
            2)
      << r.out;
  EXPECT_GT(stacked, single + 3.0) << r.out;
}

// Standard error on a pseudo-terminal: the bar is drawn in place, and --quiet
// keeps it away.
TEST_F(SharpstackTest, ProgressBarOnATerminalOnly) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 14), "f", ".png");
  auto run_on_terminal = [&](std::vector<std::string> args) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    std::string slave_name = ptsname(master);
    std::vector<std::string> full = {kBinary, "--root", (dir() / "root").string()};
    full.insert(full.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
      setsid();
      int slave = open(slave_name.c_str(), O_RDWR);
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(slave, 2);
      close(master);
      std::vector<char*> argv;
      for (std::string& a : full) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(kBinary, argv.data());
      _exit(127);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // EIO once the program has exited
      text.append(buffer, std::size_t(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    return text;
  };
  std::string shown = run_on_terminal({"add", names[0], names[1]});
  EXPECT_NE(shown.find("f1.png (2 of 2) ["), std::string::npos) << shown;
  EXPECT_NE(shown.find("f0.png (1 of 2) [#"), std::string::npos) << shown;
  EXPECT_NE(shown.find('\r'), std::string::npos);
  EXPECT_EQ(run_on_terminal({"--quiet", "add", names[2]}), "");
}

// With --clear the pictures already in the folder come first, in name order;
// then each arrival once its writer is done, whether renamed in or written
// slowly in pieces; a damaged one is skipped. The composite is the stack's.
TEST_F(SharpstackTest, WatchAddsFinishedPicturesAndEndsAsAStackOfThem) {
  std::vector<std::string> names = WriteSeries(SmallSeries(8, 3, false, 15), "f", ".png");
  names.push_back(WriteSeries(SmallSeries(8, 3, false, 16), "h", ".png")[0]);
  const fs::path in = dir() / "in";
  fs::create_directory(in);
  fs::copy_file(names[1], in / "b.png");
  fs::copy_file(names[0], in / "a.png");
  fs::copy_file(names[2], in / ".hidden.png");
  std::ofstream(in / "notes.txt") << "not a picture";
  ASSERT_EQ(Run({"add", names[3]}).code, 0);  // a buffer that --clear drops

  Process p = Spawn(
      dir(), {"watch", in.string(), "-o", (in / "out.png").string(), "--clear", "--count", "4"});
  ASSERT_TRUE(WaitForText(p.out, "watching"));
  fs::copy_file(names[2], in / "c.png.part");
  fs::rename(in / "c.png.part", in / "c.png");
  ASSERT_TRUE(WaitForText(p.out, "added c.png as picture 3"));
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
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  const char* const lines[] = {"added a.png as picture 1 in ", "added b.png as picture 2 in ",
                               "watching", "added c.png as picture 3 in ",
                               "added d.png as picture 4 in "};
  std::size_t at = 0;
  for (const char* line : lines) {
    at = r.out.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " in\n" << r.out;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5) << r.out;

  r = Run({"stack", "-o", Path("stack.png"), names[0], names[1], names[2], names[3]});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectSamePicture(Load(Path("stack.png")), Load(in / "out.png"));
}

// Without --clear the buffer is continued. The buffer stays locked while the
// watch waits; Ctrl-C ends it with 130 and the composite of what was added,
// a folder that goes away with 1.
TEST_F(SharpstackTest, WatchHoldsTheBufferAndEndsOnCtrlCOrWithItsFolder) {
  std::vector<std::string> names = WriteSeries(SmallSeries(16, 1, false, 17), "g", ".tif");
  ASSERT_EQ(Run({"add", names[0]}).code, 0);
  const fs::path in = dir() / "in";
  fs::create_directory(in);
  Process p = Spawn(dir(), {"watch", in.string(), "-o", Path("out.tif")});
  KillOnExit guard{p.pid};
  ASSERT_TRUE(WaitForText(p.out, "watching"));
  fs::copy_file(names[1], in / "g1.tif");
  ASSERT_TRUE(WaitForText(p.out, "added g1.tif as picture 1"));
  Result busy = Run({"add", names[2]});
  EXPECT_EQ(busy.code, 1);
  EXPECT_NE(busy.err.find("in use"), std::string::npos) << busy.err;
  kill(p.pid, SIGINT);
  Result r = Wait(p);
  EXPECT_EQ(r.code, 130) << r.err;
  r = Run({"stack", "-o", Path("stack.tif"), names[0], names[1]});
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectSamePicture(Load(Path("stack.tif")), Load(Path("out.tif")));

  p = Spawn(dir(), {"watch", in.string(), "-o", Path("out.png")});
  KillOnExit second{p.pid};
  ASSERT_TRUE(WaitForText(p.out, "watching"));
  fs::remove_all(in);
  r = Wait(p);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("removed"), std::string::npos) << r.err;
}

// The kernel's watch and the portable one by polling report the same
// finished files: a rename into the folder, a file written and closed, a
// file that was there before only once it is written again; then the end of
// the folder.
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

  auto expect_arrivals = [&](const std::set<std::string>& expected) {
    for (const auto& watch : watches) {
      std::set<std::string> seen;
      while (seen.size() < expected.size()) {
        std::vector<std::string> names;
        ASSERT_EQ(watch->Wait(&names, &error), cli::FolderWatch::Event::kArrived) << error;
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
        seen.insert(names.begin(), names.end());
      }
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
  for (const auto& watch : watches) {
    std::vector<std::string> names;
    EXPECT_EQ(watch->Wait(&names, &error), cli::FolderWatch::Event::kGone);
  }
}

TEST(ProgressBar, LineShowsNamePlaceAndPercentage) {
  EXPECT_EQ(cli::ProgressBar::Line("a.png", 2, 5, 50, 10), "a.png (2 of 5) [#####.....] 50%");
  EXPECT_EQ(cli::ProgressBar::Line("a.png", 1, 1, 100, 4), "a.png [####] 100%");
  EXPECT_EQ(cli::ProgressBar::Line("a.png", 1, 1, 140, 4), "a.png [####] 100%");
  EXPECT_EQ(cli::ProgressBar::Line("b.tif", 2, 3, 50, 4, "aligned: scale 0.990"),
            "b.tif (2 of 3) aligned: scale 0.990 [##..] 50%");
  std::string long_name(60, 'n');
  std::string line = cli::ProgressBar::Line(long_name + ".png", 1, 1, 0, 2);
  EXPECT_EQ(line.substr(0, 3), "...");
  EXPECT_NE(line.find("n.png [..] 0%"), std::string::npos) << line;
}

}  // namespace
