// Plumbing shared by the commands: messages, the checks every command makes
// of its inputs, and the runs (add, show, clear) that several commands share.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/align/align.h"
#include "cli/app/commands.h"
#include "cli/app/runner.h"
#include "cli/image/image_io.h"

namespace cli {

std::string Quote(const std::string& path);
std::string BaseName(const std::string& path);
std::string Plural(std::size_t n, const char* word);

class Context {
 public:
  explicit Context(const Settings& settings) : settings_(settings) {}

  void Error(const std::string& line) const {
    std::fprintf(settings_.err, "sharpstack: %s\n", line.c_str());
    std::fflush(settings_.err);
  }
  void Say(const std::string& line) const {
    if (settings_.quiet) return;
    std::fprintf(settings_.out, "%s\n", line.c_str());
    std::fflush(settings_.out);
  }
  const Settings& settings() const { return settings_; }

 private:
  const Settings& settings_;
};

bool LoadRunner(const Context& context, Runner* runner);

// The buffer files, whose status codes say nothing of which file failed, are
// named by their folder.
std::string BufferProblem(OSErr status);

// Reads every input's header; one line for each that cannot be used.
bool ProbeAll(const Context& context, const std::vector<std::string>& images,
              std::vector<imageio::ImageInfo>* infos);

// Decodes every picture once, so that damaged pixel data behind a good header
// are found before the buffer changes. The unusable files are named in the
// order given.
bool DecodeAll(const Context& context, const std::vector<std::string>& images);

// An output name must have a known extension before any work is done.
bool CheckOutputName(const Context& context, const std::string& output);

// A job that plays back the given operation with "dialog optional".
Job OperationJob(std::int32_t operation);

// What a command does to each picture between decoding it and adding it.
struct PictureSteps {
  // Given picture i in the host, may replace it and set the selection; `note`
  // is shown after its size. False, with the reason, refuses the picture.
  std::function<bool(std::size_t i, host::FilterHost* host, std::string* note, std::string* reason)>
      prepare;
  // The same for a preparation (or its first part) that needs nothing from
  // the pictures added before it: given picture i as decoded, on the decoding
  // thread while the previous picture is added; `selection` starts empty.
  // `prepare`, when also given, runs after it on the host's thread.
  std::function<bool(std::size_t i, host::Picture* picture, std::vector<std::uint8_t>* selection,
                     std::string* note, std::string* reason)>
      prepareAhead;
  // Picture i is in the buffer; false, with a message given, ends the command.
  std::function<bool(std::size_t i)> added;
};

// The files a command that changes all or nothing may have to give back: the
// focus buffer, the alignment state, the preferences and the run log as they
// were before it began. Each is set aside in its own folder under a second
// name; a file that did not exist is remembered as missing. Dropping the
// object without Restore deletes the saved files.
class SavedFiles {
 public:
  SavedFiles() = default;
  ~SavedFiles();
  SavedFiles(const SavedFiles&) = delete;
  SavedFiles& operator=(const SavedFiles&) = delete;

  // `bufferUnchanged` says the command never writes into the old buffer files
  // (it clears the buffer first and so makes new ones): they are then kept by
  // a second link instead of a copy where the file system allows. False when
  // a file could not be set aside; nothing is kept then.
  bool Save(bool bufferUnchanged);
  // Puts every file back as it was; false, with a message, when one could not
  // be (its saved copy is then left where it is).
  bool Restore(const Context& context);

 private:
  struct Entry {
    std::filesystem::path file;
    std::filesystem::path saved;
    bool existed;
  };
  bool Keep(const std::filesystem::path& file, bool link);
  void Discard();
  std::vector<Entry> entries_;
};

// One Add run on the picture, selection and filter area that the host holds,
// the picture read from `path`; index and count place it for the progress
// bar, `detail` follows them there.
Outcome AddHeldPicture(Runner* runner, const std::string& path, int index, int count,
                       const std::string& detail);

// Adds the pictures in order, one run each, holding one picture at a time.
// The last picture's buffer is released unless `keepLast` asks to keep it for
// a picture of the same size that follows (a stack's composite). With `saved`
// a picture that cannot be decoded puts the saved files back and the other
// pictures are checked, so that every unusable one is named; the "added"
// lines then wait until the last picture is in.
int AddPictures(const Context& context, Runner* runner, const std::vector<std::string>& images,
                bool keepLast = false, const PictureSteps& steps = {}, SavedFiles* saved = nullptr);

// Alignment as the commands use it: the state beside the focus buffer.
std::string AlignmentStatePath();

// Decodes every picture in order and estimates where each goes, starting from
// `state`, which ends advanced past the last picture; the maps go into
// `transforms`. Like DecodeAll it names every unusable file, and it names the
// first picture that cannot be aligned (the later ones are not tried).
bool EstimateAll(const Context& context, const std::vector<std::string>& images,
                 align::State* state, std::vector<align::Transform>* transforms);

// Alignment of pictures as they come (add --align, watch --align): each onto
// the buffer's first picture, the state beside the buffer following it picture
// by picture, so that a failure leaves the two in step.
class AlignAsAdded {
 public:
  // The state kept for the buffer, or an empty one when the buffer it was made
  // for is gone or another has replaced it: the next picture is then the
  // reference, in the buffer's own geometry when the buffer already holds
  // pictures added without alignment. False, with a message.
  bool Load(const Context& context);
  // Aligns the picture the host holds and sets its selection; false, with the
  // reason, when it cannot be aligned.
  bool Prepare(host::FilterHost* host, std::string* note, std::string* reason);
  // The picture prepared last, read from `path`, is in the buffer; false, with
  // a message, when the state could not follow it.
  bool Added(const Context& context, const std::string& path);

 private:
  align::State state_, pending_;
  host::Picture scratch_;
};

// Where a picture goes: its map and the reference's size.
struct Placement {
  align::Transform transform;
  int width = 0, height = 0;
};
// Steps that resample each picture with its placement, on the host's thread,
// before it is added.
PictureSteps WarpSteps(const std::vector<Placement>* placements, host::Picture* scratch);
// The same, the placements found as the pictures come, `state` following
// them, for a command that can take back every picture added before one that
// cannot be aligned: each map is found on the decoding thread while the
// previous picture is added.
PictureSteps AlignSteps(align::State* state, std::vector<Placement>* placements,
                        host::Picture* scratch);

// Runs Show into a new picture of the given layout and writes it out.
int ShowInto(const Context& context, Runner* runner, const std::string& output, int width,
             int height, int depth, bool grey, const Rgb& background);

// Before pictures are added to the buffer as it stands: true when there is no
// buffer yet or its three files are whole and agree. A damaged set (a file
// missing, shorter than its header says, of another size or element size) is
// refused with a line naming the file and the damage, and left as it is: the
// plug-in would otherwise start a new buffer in its place without a word.
bool CheckBufferBeforeAdding(const Context& context);

// The focus buffer's size; false, with a message, when there is no usable
// buffer. No header is trusted beyond its file's length.
bool BufferSize(const Context& context, const std::string& output, int* width, int* height);

int RunClear(const Context& context, Runner* runner);

}  // namespace cli
