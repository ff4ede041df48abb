// The preferences file against a model of its layout.
#include "plugin/params/preferences.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/core/memory.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/platform.h"
#include "support/temp_root.h"
#if !defined(_WIN32)
#include "storage/unprivileged.h"
#endif

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kFileName[] = "TRUXpref.xxx";
constexpr std::size_t kSlot = kPreferencesSlotBytes;

// Little-endian singles in the first 1020 bytes (missing bytes count as zero),
// then, in a file with every single, a string of at most 513 characters at the
// start of each 1024-byte slot.
struct Settings {
  std::uint32_t params[kParamCount] = {};
  std::string slots[kStringSlotCount];
};

Settings Decode(const Bytes& b) {
  Settings s;
  // (A little-endian host, as every one this builds for.)
  std::copy_n(b.begin(), std::min(b.size(), sizeof s.params), reinterpret_cast<char*>(s.params));
  for (std::size_t slot = 0; b.size() >= sizeof s.params && slot < kStringSlotCount; ++slot) {
    const std::size_t start = std::min(b.size(), kSlot * (slot + 1));
    const std::string raw(b.begin() + std::ptrdiff_t(start),
                          b.begin() + std::ptrdiff_t(std::min(b.size(), start + 1020)));
    s.slots[slot] = raw.substr(0, std::min<std::size_t>(raw.find('\0'), 513));
  }
  return s;
}

// A save leaves the whole layout and whatever the old file held beyond it.
Bytes Encode(const Settings& s, Bytes b) {
  b.resize(std::max<std::size_t>(b.size(), kPreferencesFileSize));
  std::fill_n(b.begin(), kPreferencesFileSize, 0);
  std::memcpy(b.data(), s.params, sizeof s.params);
  for (std::size_t slot = 0; slot < kStringSlotCount; ++slot) {
    std::copy(s.slots[slot].begin(), s.slots[slot].end(), b.begin() + kSlot * (slot + 1));
  }
  return b;
}

void PutFloat(Bytes* bytes, std::size_t offset, float value) {
  std::memcpy(bytes->data() + offset, &value, sizeof value);
}

void PutText(Bytes* bytes, std::size_t slot, const std::string& text, std::size_t skip = 0) {
  std::memcpy(bytes->data() + kSlot * (slot + 1) + skip, text.data(), text.size());
}

// Distinctive params (a NaN and a negative zero among them), slots of every kind.
Bytes HandBuiltFile() {
  Bytes bytes(kPreferencesFileSize, 0);
  for (int i = 0; i < kParamCount; ++i) PutFloat(&bytes, 4 * i, float(i) * 1.25f - 17.0f);
  PutFloat(&bytes, 4 * 7, std::bit_cast<float>(0x7FC01234u));
  PutFloat(&bytes, 4 * 8, -0.0f);
  PutFloat(&bytes, 4 * kParamOperation, 6.0f);
  PutText(&bytes, 0, "first");
  PutText(&bytes, 2, "c:\\logs\\parameters.txt");
  PutText(&bytes, 5, "hidden after the terminator", 1);
  PutText(&bytes, 6, std::string(600, 'f'));  // longer than a string may be
  PutText(&bytes, 15, std::string(513, 'z'));
  return bytes;
}

class PreferencesTest : public ::testing::Test {
 protected:
  ~PreferencesTest() override {
    if (file_ != kNoPreferencesFile) CloseDataFile(file_);
    for (char*& slot : block_.strings) DisposeString(slot);
    DisposeString(path_);
  }

  void Load() { LoadPreferences(&block_, &path_, &file_); }
  void Save() {
    SavePreferences(&block_, path_, file_);
    file_ = kNoPreferencesFile;
    DisposeString(path_);
    path_ = nullptr;
  }
  void ExpectLoaded(const Settings& s) {
    for (int i = 0; i < kParamCount; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(block_.params[i]), s.params[i]) << "param " << i;
    }
    for (int slot = 0; slot < kStringSlotCount; ++slot) {
      EXPECT_EQ(std::string(block_.strings[slot] ? block_.strings[slot] : ""), s.slots[slot]);
      // An empty slot loads as no string at all.
      EXPECT_EQ(block_.strings[slot] != nullptr, !s.slots[slot].empty()) << "slot " << slot;
    }
  }

  testsupport::TempRoot root_;
  ParameterBlock block_{};
  char* path_ = nullptr;
  FileRef file_ = kNoPreferencesFile;
};

TEST_F(PreferencesTest, FilesOfEveryLengthLoadAndAreRewrittenAsTheLayoutSays) {
  Bytes shortFile(502, 0x12);  // ends in the middle of a single
  for (int i = 0; i < 125; ++i) PutFloat(&shortFile, 4 * i, float(i) + 0.5f);
  // Ends inside slot 3, whose 404 bytes have no terminator; slot 2 is longer,
  // so that a slot read cut short cannot pick up its characters.
  Bytes cutFile(4500, 0);
  PutFloat(&cutFile, 4 * kParamOperation, 4.0f);
  PutText(&cutFile, 0, "zero");
  PutText(&cutFile, 2, std::string(500, 'b'));
  PutText(&cutFile, 3, std::string(4500 - 4 * kSlot, 'c'));
  Bytes longFile = HandBuiltFile();
  longFile.resize(20000);
  for (std::size_t i = kPreferencesFileSize; i < longFile.size(); ++i)
    longFile[i] = static_cast<unsigned char>(i * 7 + 1);
  const struct {
    const char* name;
    Bytes bytes;
  } files[] = {{"empty", {}},
               {"short", shortFile},
               {"params only", Bytes(1020, 1)},
               {"cut in slot 3", cutFile},
               {"whole", HandBuiltFile()},
               {"longer", longFile}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    root_.Write(kFileName, f.bytes);
    Load();
    ASSERT_NE(file_, kNoPreferencesFile);
    Settings expected = Decode(f.bytes);
    ExpectLoaded(expected);

    // The run changes a setting and two slots, one of them too long.
    block_.params[kParamOperation] = 5.0f;
    expected.params[kParamOperation] = std::bit_cast<std::uint32_t>(5.0f);
    SetStringSlot(&block_, 3, "new");
    expected.slots[3] = "new";
    DisposeString(block_.strings[1]);
    block_.strings[1] = NewString(601);
    std::memset(block_.strings[1], 'm', 600);
    expected.slots[1] = std::string(513, 'm');
    Save();
    for (const char* slot : block_.strings) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(root_.Read(kFileName), Encode(expected, f.bytes));

    // The next run sees them.
    Load();
    ExpectLoaded(expected);
    Save();
  }
}

// (A missing file at the root is made by every run of the host tests.)
TEST_F(PreferencesTest, MissingFileIsCreatedEmptyWhereTheRedirectPoints) {
  std::filesystem::create_directory(root_.File("settings"));
  root_.Write("TRUXPath.TXT", std::string("c:\\settings\\"));
  Load();
  ASSERT_NE(file_, kNoPreferencesFile);
  EXPECT_STREQ(path_, "c:\\settings\\TRUXpref.xxx");
  EXPECT_EQ(root_.Read("settings/TRUXpref.xxx").size(), 0u);
  ExpectLoaded(Settings());
  block_.params[kParamCalibrationUnit] = 6.0f;
  Save();
  Settings expected;
  expected.params[kParamCalibrationUnit] = std::bit_cast<std::uint32_t>(6.0f);
  EXPECT_EQ(root_.Read("settings/TRUXpref.xxx"), Encode(expected, {}));
  EXPECT_FALSE(root_.Exists(kFileName));
}

// Another run holds the file (files are opened without sharing, so a second
// handle of this process locks it out just the same): this run works with
// cleared settings and, even once the file is free again, never saves them.
TEST_F(PreferencesTest, SettingsThatCouldNotBeReadAreNeverSaved) {
  const Bytes original = HandBuiltFile();
  root_.Write(kFileName, original);
  platform::FileHandle other = platform::kInvalidFile;
  ASSERT_EQ(platform::OsOpenFile(kPreferencesPath, true, false, &other), platform::OsError::kNone);
  Load();
  EXPECT_EQ(file_, kNoPreferencesFile);
  ASSERT_NE(path_, nullptr);
  ExpectLoaded(Settings());
  platform::OsCloseFile(other);
  block_.params[kParamOperation] = 5.0f;
  Save();
  EXPECT_EQ(root_.Read(kFileName), original);
}

TEST_F(PreferencesTest, ReadOnlyFileLoadsAndItsSaveFailsSilently) {
  const Bytes original = HandBuiltFile();
  root_.Write(kFileName, original);
  namespace fs = std::filesystem;
  fs::permissions(root_.File(kFileName),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // Permissions bind only an unprivileged user: on POSIX the run happens in a
  // child that drops any privileges this test has.
  const auto run = [] {
    ParameterBlock block{};
    char* path = nullptr;
    FileRef file = kNoPreferencesFile;
    LoadPreferences(&block, &path, &file);
    const bool loaded = file != kNoPreferencesFile && block.params[kParamOperation] == 6.0f &&
                        block.strings[2] != nullptr;
    block.params[kParamOperation] = 4.0f;
    SetStringSlot(&block, 3, "new");
    SavePreferences(&block, path, file);
    DisposeString(path);
    return loaded ? 0 : 1;
  };
#if defined(_WIN32)
  EXPECT_EQ(run(), 0);
#else
  EXPECT_EQ(storagetest::RunUnprivileged(run), 0);
#endif
  EXPECT_EQ(root_.Read(kFileName), original);
  fs::permissions(root_.File(kFileName), fs::perms::owner_write, fs::perm_options::add);
}

}  // namespace
