// The focus buffer set: three file-backed image stores of one size that hold,
// per image pixel, the sharpest colour seen so far (on the 0..32768 scale), its
// sharpness, and how many added pictures covered the pixel. The set outlives
// every run; it is only ever deleted whole, never repaired file by file.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/storage/store.h"

inline constexpr char kFocusBufferPath[] = "C:\\BestFocus.xxx";
inline constexpr char kVarianceBufferPath[] = "C:\\BestVariance.xxx";
inline constexpr char kCountBufferPath[] = "C:\\CountVXBuffer.xxx";

// A set grows by building each file anew beside the old one under these
// names; only when all three are complete do they replace the old ones.
inline constexpr char kFocusGrowthPath[] = "C:\\BestFocus.new";
inline constexpr char kVarianceGrowthPath[] = "C:\\BestVariance.new";
inline constexpr char kCountGrowthPath[] = "C:\\CountVXBuffer.new";

// The redo journal of an Add: the new rows of the band of rows being merged,
// written and committed before the three files are, so that a band is merged
// in all three files or in none whatever interrupts the run.
inline constexpr char kJournalPath[] = "C:\\BestFocus.jnl";

// Bytes per pixel: three unsigned 16-bit channels; one float; one unsigned 16-bit count.
inline constexpr std::int16_t kFocusElementSize = 6;
inline constexpr std::int16_t kVarianceElementSize = 4;
inline constexpr std::int16_t kCountElementSize = 2;

// Deletes the count, variance and focus files, in that order, then the
// journal and any files of an unfinished growth; missing files are no error.
void DeleteFocusBufferSet();

// What a look at the set, or at one of its files, found.
enum class FocusBufferState {
  kValid,        // present and consistent
  kInvalid,      // a file missing, too short for its header, or inconsistent
  kUnavailable,  // a file exists but cannot be opened or read now (another
                 // run holds it, or the disk fails): it must be left alone
};

// One buffer file's header. kInvalid when the file is missing or shorter than
// a header; kUnavailable, with the open or read status in *status, when it
// exists but cannot be read now.
FocusBufferState ReadFocusBufferHeader(const char* path, StoreHeader* header, OSErr* status);

// The set check: kValid when all three headers can be read, the element sizes
// are 2, 4 and 6, the three sizes agree and the size is not empty; *width and
// *height then receive the set's size (otherwise 0 x 0). A file that exists
// but cannot be read makes the whole set kUnavailable (status in *status)
// even when another file is missing: deleting a set that another run is
// using, or that a passing disk fault hides, would lose the user's stack.
FocusBufferState InspectFocusBufferSet(std::int16_t* width, std::int16_t* height, OSErr* status);

// True when InspectFocusBufferSet finds the set valid.
bool CheckFocusBufferSet(std::int16_t* width, std::int16_t* height);

// Gives each file at least width x height (count, then variance, then focus),
// keeping its content at the top left; stops at the first failure and returns
// its status. On an empty set this creates the three files, zero-filled.
[[nodiscard]] OSErr GrowFocusBufferSet(std::int16_t width, std::int16_t height);

// Finishes what an interrupted run left: completes the growth of a set whose
// three new files were all built (or drops the new files of one that was not),
// then replays a committed journal into the set. Replaying twice gives the
// same files. Every run that uses the set calls it first; 0 when nothing was
// pending or all was finished, else the status that stopped it (a file held
// by another run, say), with the set left as it was found.
[[nodiscard]] OSErr RecoverFocusBufferSet();

// The journal's band of rows: a header, then the band's count, variance and
// focus rows, each part a multiple of 8 bytes long. The header is filled in by
// CommitJournal.
struct JournalBand {
  std::uint8_t* bytes = nullptr;  // kJournalHeaderSize + the three parts
  std::int16_t width = 0, height = 0;
  std::int32_t capacity = 0;  // rows each part holds
  bool countsOnly = false;    // no measure or colour changed: only counts are written
  bool inJournal = false;     // `bytes` is the journal's own mapped view: the parts are
                              // in the journal as they are merged
  std::uint16_t* counts() const;
  float* variances() const;
  std::uint16_t* focus() const;
  std::uint64_t size() const;  // header and the parts written
};
inline constexpr int kJournalHeaderSize = 32;
// The bytes of a band of `capacity` rows of `width` pixels.
std::uint64_t JournalBandSize(std::int16_t width, std::int32_t capacity);

// Withdraws the journal's committed band, before a new band is read into it.
[[nodiscard]] OSErr BeginJournalBand(platform::FileHandle journal);
// Writes rows first .. first + rows - 1 of the band (the band's first `rows`
// rows) to the journal and commits them, then to the three open stores.
[[nodiscard]] OSErr CommitJournal(platform::FileHandle journal, const JournalBand& band,
                                  std::int32_t first, std::int32_t rows, ImageStore* count,
                                  ImageStore* variance, ImageStore* focus);
