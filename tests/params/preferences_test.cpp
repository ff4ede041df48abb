// The preferences file against a model of its layout, and the parameter block's slots.
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
#include "support/unprivileged.h"
#endif

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kFileName[] = "TRUXpref.xxx";
constexpr std::size_t kSlot = kPreferencesSlotBytes;

// The settings in the file's layout: little-endian singles (a little-endian
// host, as every one this builds for), then a text at the start of each
// 1024-byte slot after them.
Bytes Layout(const void* params, const std::string (&slots)[kStringSlotCount]) {
  Bytes b(kPreferencesFileSize, 0);
  std::memcpy(b.data(), params, kParamCount * 4);
  for (std::size_t s = 0; s < kStringSlotCount; ++s)
    std::copy(slots[s].begin(), slots[s].end(), b.begin() + std::ptrdiff_t(kSlot * (s + 1)));
  return b;
}

// What a load of `b` holds: the singles of its first 1020 bytes (missing bytes
// zero) and, when all of them are there, each slot's text before its
// terminator in the slot's first 1020 bytes, at most 513 characters.
Bytes Loadable(const Bytes& b) {
  Bytes params(kParamCount * 4, 0);
  std::copy_n(b.begin(), std::min(b.size(), params.size()), params.begin());
  std::string slots[kStringSlotCount];
  for (std::size_t s = 0; b.size() >= params.size() && s < kStringSlotCount; ++s) {
    const std::size_t start = std::min(b.size(), kSlot * (s + 1));
    const std::string raw(b.begin() + std::ptrdiff_t(start),
                          b.begin() + std::ptrdiff_t(std::min(b.size(), start + 1020)));
    slots[s] = raw.substr(0, std::min<std::size_t>(raw.find('\0'), 513));
  }
  return Layout(params.data(), slots);
}

// The block's settings in the layout; an empty slot must hold no string at all.
Bytes Held(const ParameterBlock& block) {
  std::string slots[kStringSlotCount];
  for (int s = 0; s < kStringSlotCount; ++s) {
    EXPECT_TRUE(block.strings[s] == nullptr || block.strings[s][0] != 0) << "slot " << s;
    if (block.strings[s] != nullptr) slots[s] = block.strings[s];
  }
  return Layout(block.params, slots);
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
  testsupport::TempRoot root_;
  ParameterBlock block_{};
  char* path_ = nullptr;
  FileRef file_ = kNoPreferencesFile;
};

// Files where the redirect points; a missing one is made there, empty. (A
// missing file at the root is made by every run of the host tests.)
TEST_F(PreferencesTest, FilesOfEveryLengthLoadAndAreRewrittenAsTheLayoutSays) {
  std::filesystem::create_directory(root_.File("settings"));
  root_.Write("TRUXPath.TXT", std::string("c:\\settings\\"));
  const std::string name = "settings/TRUXpref.xxx";
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
  } files[] = {{"missing", {}},
               {"empty", {}},
               {"short", Bytes(502, 0x12)},  // ends in the middle of a single
               {"params only", Bytes(1020, 1)},
               {"cut in slot 3", cutFile},
               {"whole", HandBuiltFile()},
               {"longer", longFile}};
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    std::filesystem::remove(root_.File(name));
    if (f.name != std::string("missing")) root_.Write(name, f.bytes);
    Load();
    ASSERT_NE(file_, kNoPreferencesFile);
    EXPECT_STREQ(path_, "c:\\settings\\TRUXpref.xxx");
#if !defined(_WIN32)                       // Windows holds the file unshared until the save
    EXPECT_EQ(root_.Read(name), f.bytes);  // loading changes nothing
#endif
    EXPECT_EQ(Loadable(f.bytes), Held(block_));
    // The run changes a setting and two slots, one of them too long; the save
    // writes what a load of it gives, and keeps what the file held beyond.
    block_.params[kParamOperation] = 5.0f;
    SetStringSlot(&block_, 3, "new");
    DisposeString(block_.strings[1]);
    block_.strings[1] = NewString(601);
    std::memset(block_.strings[1], 'm', 600);
    Bytes expected = Loadable(Held(block_));
    if (f.bytes.size() > expected.size())
      expected.insert(expected.end(), f.bytes.begin() + kPreferencesFileSize, f.bytes.end());
    Save();
    for (const char* slot : block_.strings) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(root_.Read(name), expected);
    Load();
    EXPECT_EQ(Loadable(expected), Held(block_));
    Save();
  }
  EXPECT_FALSE(root_.Exists(kFileName));
}

// Another run holds the file (files are opened without sharing, so a second
// handle of this process locks it out just the same): this run works with
// cleared settings and, even once the file is free again, never saves them.
// A read-only file loads, and its save fails silently.
TEST_F(PreferencesTest, SettingsThatCouldNotBeReadAreNeverSavedNorAreReadOnlyOnes) {
  const Bytes original = HandBuiltFile();
  root_.Write(kFileName, original);
  platform::FileHandle other = platform::kInvalidFile;
  ASSERT_EQ(platform::OsOpenFile(kPreferencesPath, true, false, &other), platform::OsError::kNone);
  Load();
  EXPECT_EQ(file_, kNoPreferencesFile);
  ASSERT_NE(path_, nullptr);
  EXPECT_EQ(Bytes(kPreferencesFileSize, 0), Held(block_));
  platform::OsCloseFile(other);
  block_.params[kParamOperation] = 5.0f;
  Save();
  EXPECT_EQ(root_.Read(kFileName), original);
  namespace fs = std::filesystem;
  fs::permissions(root_.File(kFileName),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // Permissions bind only an unprivileged user: on POSIX the run happens in a
  // child that drops any privileges this test has.
  const auto run = [this] {
    Load();
    const bool loaded = file_ != kNoPreferencesFile && block_.params[kParamOperation] == 6.0f &&
                        block_.strings[2] != nullptr;
    block_.params[kParamOperation] = 4.0f;
    SetStringSlot(&block_, 3, "new");
    Save();
    return loaded ? 0 : 1;
  };
#if defined(_WIN32)
  EXPECT_EQ(run(), 0);
#else
  EXPECT_EQ(testsupport::RunUnprivileged(run), 0);
#endif
  EXPECT_EQ(root_.Read(kFileName), original);
  fs::permissions(root_.File(kFileName), fs::perms::owner_write, fs::perm_options::add);
}

// Slots outside the block are ignored (the strings longer than a slot may hold: the
// file test), and the document path the host gives is cut at the capacity.
TEST(ParameterBlock, SlotsOutsideAreIgnoredAndTheDocumentPathIsCut) {
  ParameterBlock block{};
  block.filterLeft = block.filterTop = -1;  // what follows the slots: a read past them shows
  for (int outside : {-1, 16}) {
    SetStringSlot(&block, outside, "ignored");
    EXPECT_EQ(nullptr, GetStringSlot(&block, outside));
  }
  FilterRecord record{};
  ReadImageDocumentDesc document{0, 0, "/photos/stack_01.tif"};
  record.documentInfo = &document;
  block.filterRecord = &record;
  char path[16];
  EXPECT_EQ(noErr, GetDocumentPath(&block, path, sizeof path));
  EXPECT_STREQ("/photos/stack_0", path);
}

}  // namespace
