// The preferences file: its byte layout (checked against files built by hand),
// short and long files, held and read-only files, and the rule that a run which
// could not read the settings never overwrites them.
#include "plugin/params/preferences.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/core/memory.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/platform.h"
#include "support/temp_root.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kFileName[] = "TRUXpref.xxx";
constexpr std::uint32_t kOneSeventySecondBits = 0x3C638E39;

void PutFloat(Bytes* bytes, std::size_t offset, float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  for (int k = 0; k < 4; ++k) (*bytes)[offset + k] = static_cast<unsigned char>(bits >> (8 * k));
}

std::uint32_t BitsAt(const Bytes& bytes, std::size_t offset) {
  std::uint32_t bits = 0;
  for (int k = 0; k < 4; ++k) bits |= std::uint32_t(bytes[offset + k]) << (8 * k);
  return bits;
}

float FloatAt(const Bytes& bytes, std::size_t offset) {
  return std::bit_cast<float>(BitsAt(bytes, offset));
}

void PutText(Bytes* bytes, std::size_t offset, const std::string& text) {
  std::memcpy(bytes->data() + offset, text.data(), text.size());
}

std::size_t SlotOffset(int slot) {
  return std::size_t(kPreferencesSlotBytes) * (slot + 1);
}

// The string at the start of a slot in a written file, up to its terminator.
std::string SlotText(const Bytes& bytes, int slot) {
  const char* start = reinterpret_cast<const char*>(bytes.data() + SlotOffset(slot));
  return std::string(start, strnlen(start, kPreferencesSlotBytes));
}

// The calibration default that the processing phase applies after the load.
void ApplyCalibrationDefault(ParameterBlock* block) {
  if (block->params[kParamCalibrationUnit] == 0.0f ||
      std::isnan(block->params[kParamCalibrationUnit])) {
    block->params[kParamCalibrationUnit] = 6.0f;
    block->params[kParamCalibrationSize] = std::bit_cast<float>(kOneSeventySecondBits);
  }
}

class PreferencesTest : public ::testing::Test {
 protected:
  ~PreferencesTest() override {
    if (file_ != kNoPreferencesFile) CloseDataFile(file_);
    for (char*& slot : block_.strings) {
      DisposeString(slot);
      slot = nullptr;
    }
    DisposeString(path_);
  }

  void Load() { LoadPreferences(&block_, &path_, &file_); }
  void Save() {
    SavePreferences(&block_, path_, file_);
    file_ = kNoPreferencesFile;
    DisposeString(path_);
    path_ = nullptr;
  }
  bool AllParamsZero() const {
    for (float p : block_.params) {
      if (std::bit_cast<std::uint32_t>(p) != 0) return false;
    }
    return true;
  }
  int LoadedSlots() const {
    int n = 0;
    for (const char* s : block_.strings) n += s != nullptr ? 1 : 0;
    return n;
  }
  // Puts a string of any length into a slot, as another filter of the
  // framework might leave it.
  void PutSlot(int slot, const std::string& text) {
    DisposeString(block_.strings[slot]);
    block_.strings[slot] = NewString(static_cast<std::uint32_t>(text.size() + 1));
    ASSERT_NE(block_.strings[slot], nullptr);
    std::memcpy(block_.strings[slot], text.c_str(), text.size() + 1);
  }

  testsupport::TempRoot root_;
  ParameterBlock block_{};
  char* path_ = nullptr;
  FileRef file_ = kNoPreferencesFile;
};

// A complete file built by hand: distinctive params (a NaN and a negative zero
// among them) and a few slots, with zeros after every terminator.
Bytes HandBuiltFile() {
  Bytes bytes(kPreferencesFileSize, 0);
  for (int i = 0; i < kParamCount; ++i) PutFloat(&bytes, 4 * i, float(i) * 1.25f - 17.0f);
  PutFloat(&bytes, 4 * 7, std::bit_cast<float>(0x7FC01234u));
  PutFloat(&bytes, 4 * 8, -0.0f);
  PutFloat(&bytes, 4 * kParamOperation, 6.0f);
  PutText(&bytes, SlotOffset(0), "first");
  PutText(&bytes, SlotOffset(2), "c:\\logs\\parameters.txt");
  PutText(&bytes, SlotOffset(15), std::string(513, 'z'));
  return bytes;
}

TEST_F(PreferencesTest, MissingFileIsCreatedEmptyThenWrittenWholeWithTheRunsSettings) {
  Load();
  ASSERT_NE(file_, kNoPreferencesFile);
  ASSERT_NE(path_, nullptr);
  EXPECT_STREQ(path_, "c:\\TRUXpref.xxx");
  ASSERT_TRUE(root_.Exists(kFileName));
  EXPECT_EQ(std::filesystem::file_size(root_.File(kFileName)), 0u);
  EXPECT_TRUE(AllParamsZero());
  EXPECT_EQ(LoadedSlots(), 0);

  // What the rest of the phase does: calibration default, a confirmed "Add To Buffer".
  ApplyCalibrationDefault(&block_);
  block_.params[kParamOperation] = 5.0f;
  Save();

  const Bytes written = root_.Read(kFileName);
  ASSERT_EQ(written.size(), std::size_t(kPreferencesFileSize));
  EXPECT_EQ(FloatAt(written, 8), 6.0f);
  EXPECT_EQ(BitsAt(written, 12), kOneSeventySecondBits);
  EXPECT_EQ(FloatAt(written, 820), 5.0f);
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (i >= 8 && i < 16) continue;
    if (i >= 820 && i < 824) continue;
    ASSERT_EQ(written[i], 0) << "offset " << i;
  }

  // The next run sees them.
  Load();
  EXPECT_EQ(block_.params[kParamCalibrationUnit], 6.0f);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(block_.params[kParamCalibrationSize]),
            kOneSeventySecondBits);
  EXPECT_EQ(block_.params[kParamOperation], 5.0f);
}

TEST_F(PreferencesTest, HandBuiltFileLoadsAndIsRewrittenByteForByte) {
  const Bytes original = HandBuiltFile();
  root_.Write(kFileName, original);

  Load();
  ASSERT_NE(file_, kNoPreferencesFile);
  for (int i = 0; i < kParamCount; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(block_.params[i]), BitsAt(original, 4 * i)) << i;
  }
  ASSERT_NE(block_.strings[0], nullptr);
  EXPECT_STREQ(block_.strings[0], "first");
  ASSERT_NE(block_.strings[2], nullptr);
  EXPECT_STREQ(block_.strings[2], "c:\\logs\\parameters.txt");
  ASSERT_NE(block_.strings[15], nullptr);
  EXPECT_EQ(std::string(block_.strings[15]), std::string(513, 'z'));
  EXPECT_EQ(LoadedSlots(), 3);

  Save();
  EXPECT_EQ(root_.Read(kFileName), original);
  // The save hands every slot back.
  EXPECT_EQ(LoadedSlots(), 0);
}

TEST_F(PreferencesTest, SettingsSetInMemoryComeBackFromTheFile) {
  Load();
  for (int i = 0; i < kParamCount; ++i) block_.params[i] = 1.0f / float(i + 3);
  SetStringSlot(&block_, 4, "four");
  SetStringSlot(&block_, 9, "");  // an empty string saves as an empty slot
  Save();

  ParameterBlock saved = block_;
  Load();
  for (int i = 0; i < kParamCount; ++i) EXPECT_EQ(block_.params[i], saved.params[i]) << i;
  ASSERT_NE(block_.strings[4], nullptr);
  EXPECT_STREQ(block_.strings[4], "four");
  EXPECT_EQ(LoadedSlots(), 1);
}

TEST_F(PreferencesTest, FiveHundredByteFileLoadsIntoTheStartOfParamsOnly) {
  Bytes bytes(500, 0);
  for (int i = 0; i < 125; ++i) PutFloat(&bytes, 4 * i, float(i) + 0.5f);
  root_.Write(kFileName, bytes);

  Load();
  ASSERT_NE(file_, kNoPreferencesFile);
  for (int i = 0; i < 125; ++i) EXPECT_EQ(block_.params[i], float(i) + 0.5f) << i;
  for (int i = 125; i < kParamCount; ++i) EXPECT_EQ(block_.params[i], 0.0f) << i;
  EXPECT_EQ(LoadedSlots(), 0);

  Save();
  const Bytes written = root_.Read(kFileName);
  ASSERT_EQ(written.size(), std::size_t(kPreferencesFileSize));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), written.begin()));
  for (std::size_t i = 500; i < written.size(); ++i) ASSERT_EQ(written[i], 0) << i;
}

TEST_F(PreferencesTest, FileEndingInsideSlotThreeLoadsWhatIsThere) {
  Bytes bytes(4500, 0);
  PutFloat(&bytes, 4 * kParamOperation, 4.0f);
  PutText(&bytes, SlotOffset(0), "zero");
  PutText(&bytes, SlotOffset(1), "one");
  // Longer than what slot 3 holds, so that a slot read cut short cannot pick
  // up slot 2's characters left in the scratch buffer.
  PutText(&bytes, SlotOffset(2), std::string(500, 'b'));
  const std::size_t inSlot3 = 4500 - SlotOffset(3);  // 404 bytes, no terminator
  PutText(&bytes, SlotOffset(3), std::string(inSlot3, 'c'));
  root_.Write(kFileName, bytes);

  Load();
  EXPECT_EQ(block_.params[kParamOperation], 4.0f);
  ASSERT_NE(block_.strings[0], nullptr);
  EXPECT_STREQ(block_.strings[0], "zero");
  ASSERT_NE(block_.strings[1], nullptr);
  EXPECT_STREQ(block_.strings[1], "one");
  ASSERT_NE(block_.strings[2], nullptr);
  EXPECT_EQ(std::string(block_.strings[2]), std::string(500, 'b'));
  ASSERT_NE(block_.strings[3], nullptr);
  EXPECT_EQ(std::string(block_.strings[3]), std::string(inSlot3, 'c'));
  for (int s = 4; s < kStringSlotCount; ++s) EXPECT_EQ(block_.strings[s], nullptr) << s;

  Save();
  const Bytes written = root_.Read(kFileName);
  ASSERT_EQ(written.size(), std::size_t(kPreferencesFileSize));
  EXPECT_EQ(SlotText(written, 3), std::string(inSlot3, 'c'));
  for (int s = 4; s < kStringSlotCount; ++s) EXPECT_EQ(written[SlotOffset(s)], 0) << s;
}

TEST_F(PreferencesTest, SlotStartingWithNulLoadsAsNoStringAndSavesEmpty) {
  Bytes bytes = HandBuiltFile();
  PutText(&bytes, SlotOffset(5) + 1, "hidden after the terminator");
  root_.Write(kFileName, bytes);

  Load();
  EXPECT_EQ(block_.strings[5], nullptr);
  Save();
  const Bytes written = root_.Read(kFileName);
  EXPECT_EQ(written[SlotOffset(5)], 0);
  EXPECT_EQ(SlotText(written, 0), "first");
}

TEST_F(PreferencesTest, OverlongSlotsAreCutTo513Characters) {
  // One slot as another filter might leave it in memory, one as a file carries it.
  Bytes bytes = HandBuiltFile();
  PutText(&bytes, SlotOffset(6), std::string(600, 'f'));
  root_.Write(kFileName, bytes);
  Load();
  ASSERT_NE(block_.strings[6], nullptr);
  EXPECT_EQ(std::string(block_.strings[6]), std::string(513, 'f'));
  PutSlot(1, std::string(600, 'm'));
  Save();

  const Bytes written = root_.Read(kFileName);
  ASSERT_EQ(written.size(), std::size_t(kPreferencesFileSize));
  EXPECT_EQ(SlotText(written, 1), std::string(513, 'm'));
  EXPECT_EQ(SlotText(written, 6), std::string(513, 'f'));
  EXPECT_EQ(written[SlotOffset(1) + 513], 0);
  // Nothing of the cut string spills into the next slot.
  EXPECT_EQ(SlotText(written, 2), "c:\\logs\\parameters.txt");
}

TEST_F(PreferencesTest, LongerFileKeepsItsExcessBytes) {
  Bytes bytes = HandBuiltFile();
  bytes.resize(20000);
  for (std::size_t i = kPreferencesFileSize; i < bytes.size(); ++i) {
    bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  }
  root_.Write(kFileName, bytes);

  Load();
  block_.params[kParamOperation] = 4.0f;
  Save();
  const Bytes written = root_.Read(kFileName);
  ASSERT_EQ(written.size(), bytes.size());
  EXPECT_EQ(FloatAt(written, 820), 4.0f);
  EXPECT_TRUE(std::equal(bytes.begin() + kPreferencesFileSize, bytes.end(),
                         written.begin() + kPreferencesFileSize));
}

TEST_F(PreferencesTest, PathFollowsTheRedirectFile) {
  std::filesystem::create_directory(root_.File("settings"));
  root_.Write("TRUXPath.TXT", std::string("c:\\settings\\"));
  Load();
  ASSERT_NE(path_, nullptr);
  EXPECT_STREQ(path_, "c:\\settings\\TRUXpref.xxx");
  Save();
  EXPECT_FALSE(root_.Exists(kFileName));
  EXPECT_EQ(std::filesystem::file_size(root_.File("settings/TRUXpref.xxx")),
            std::size_t(kPreferencesFileSize));
}

// --- Files this run cannot have to itself -----------------------------------

#if !defined(_WIN32)
// A child process that holds the file (opened through the platform layer, as a
// second host running the filter would) until told to let go.
class HoldingProcess {
 public:
  explicit HoldingProcess(const char* path) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      platform::FileHandle handle = platform::kInvalidFile;
      const char held =
          platform::OsOpenFile(path, true, false, &handle) == platform::OsError::kNone;
      if (write(ready[1], &held, 1) != 1) _exit(2);
      char unused;
      while (read(release[0], &unused, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char held = 0;
    holding_ = read(ready[0], &held, 1) == 1 && held == 1;
    close(ready[0]);
  }
  ~HoldingProcess() { Release(); }
  bool holding() const { return holding_; }
  void Release() {
    if (release_ >= 0) close(release_);
    release_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool holding_ = false;
};
#else
// Without fork, a second handle of this process stands in for the other run:
// files are opened without sharing, so it locks the file out just the same.
class HoldingProcess {
 public:
  explicit HoldingProcess(const char* path) {
    holding_ = platform::OsOpenFile(path, true, false, &handle_) == platform::OsError::kNone;
  }
  ~HoldingProcess() { Release(); }
  bool holding() const { return holding_; }
  void Release() {
    if (handle_ != platform::kInvalidFile) platform::OsCloseFile(handle_);
    handle_ = platform::kInvalidFile;
  }

 private:
  platform::FileHandle handle_ = platform::kInvalidFile;
  bool holding_ = false;
};
#endif

TEST_F(PreferencesTest, FileHeldByAnotherProcessGivesClearedSettingsAndIsNotSaved) {
  const Bytes original = HandBuiltFile();
  root_.Write(kFileName, original);
  HoldingProcess other(kPreferencesPath);
  ASSERT_TRUE(other.holding());

  Load();
  EXPECT_EQ(file_, kNoPreferencesFile);
  ASSERT_NE(path_, nullptr);
  EXPECT_TRUE(AllParamsZero());
  EXPECT_EQ(LoadedSlots(), 0);
  ApplyCalibrationDefault(&block_);
  block_.params[kParamOperation] = 5.0f;
  Save();
  other.Release();
  EXPECT_EQ(root_.Read(kFileName), original);
}

TEST_F(PreferencesTest, SettingsThatCouldNotBeReadAreNotOverwrittenOnceTheFileIsFree) {
  const Bytes original = HandBuiltFile();
  root_.Write(kFileName, original);
  HoldingProcess other(kPreferencesPath);
  ASSERT_TRUE(other.holding());
  Load();
  EXPECT_EQ(file_, kNoPreferencesFile);
  other.Release();  // the other run ends while this one works

  ApplyCalibrationDefault(&block_);
  Save();
  EXPECT_EQ(root_.Read(kFileName), original);
}

// What a run that may not write the file saw.
struct ReadOnlyReport {
  bool opened;
  float operation;
  char slot2[64];
};

// One run's load and save, changing a setting and a slot in between.
ReadOnlyReport LoadChangeAndSave() {
  ReadOnlyReport report{};
  ParameterBlock block{};
  char* path = nullptr;
  FileRef file = kNoPreferencesFile;
  LoadPreferences(&block, &path, &file);
  report.opened = file != kNoPreferencesFile;
  report.operation = block.params[kParamOperation];
  if (block.strings[2] != nullptr) {
    std::strncpy(report.slot2, block.strings[2], sizeof report.slot2 - 1);
  }
  block.params[kParamOperation] = 4.0f;
  SetStringSlot(&block, 3, "new");
  SavePreferences(&block, path, file);
  DisposeString(path);
  return report;
}

// Permissions bind only an unprivileged user: on POSIX the run happens in a
// child that drops any privileges this test has.
bool LoadChangeAndSaveUnprivileged(ReadOnlyReport* report) {
#if defined(_WIN32)
  *report = LoadChangeAndSave();
  return true;
#else
  int channel[2];
  if (pipe(channel) != 0) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    close(channel[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    const ReadOnlyReport sent = LoadChangeAndSave();
    _exit(write(channel[1], &sent, sizeof sent) == ssize_t(sizeof sent) ? 0 : 4);
  }
  close(channel[1]);
  const bool received = read(channel[0], report, sizeof *report) == ssize_t(sizeof *report);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}

TEST_F(PreferencesTest, ReadOnlyFileLoadsAndItsSaveFailsSilently) {
  const Bytes original = HandBuiltFile();
  root_.Write(kFileName, original);
  std::filesystem::permissions(root_.File(kFileName), std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::group_read |
                                                          std::filesystem::perms::others_read);
  ReadOnlyReport report{};
  ASSERT_TRUE(LoadChangeAndSaveUnprivileged(&report));
  EXPECT_TRUE(report.opened);
  EXPECT_EQ(report.operation, 6.0f);
  EXPECT_STREQ(report.slot2, "c:\\logs\\parameters.txt");
  EXPECT_EQ(root_.Read(kFileName), original);
  std::filesystem::permissions(root_.File(kFileName), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
}

}  // namespace
