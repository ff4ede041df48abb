// Plumbing shared by the commands: every command but `run` drives the plug-in
// through its entry point with a recorded descriptor that names the operation,
// so no dialog appears.
#include "cli/app/command_support.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>

#include "cli/app/interrupt.h"
#include "cli/app/status_text.h"
#include "cli/hostlib/action_file.h"
#include "cli/image/codec.h"
#include "cli/image/image_io.h"
#include "cli/image/sample_scale.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/log/run_log.h"
#include "plugin/params/preferences.h"
#include "plugin/platform/platform.h"
#include "plugin/storage/store.h"
#include "tools/series/series.h"

namespace cli {
std::string Quote(const std::string& path) {
  return "'" + path + "'";
}

std::string BaseName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

namespace {

// The plug-in's files in its folders. It refuses to open any of them through
// a symbolic link (a link would let a run overwrite whatever it points at);
// the command says so before a run instead of failing in the middle of one.
bool RefuseLinkedFiles(const Context& context) {
  static const char* const kNames[] = {
      "TRUXPath.TXT",  "TRUXpref.xxx",     "TRUXlog.txt",       "QZLogDef.rul",
      "BestFocus.xxx", "BestVariance.xxx", "CountVXBuffer.xxx", "BestFocus.jnl",
      "BestFocus.new", "BestVariance.new", "CountVXBuffer.new", "ResizingImage.xxx",
      "BackingS.xxx",  "OpacityS.xxx",     "MaskImag.xxx"};
  std::vector<std::filesystem::path> folders = {BufferFolder()};
  char root[4096];
  if (platform::MapPath("c:\\", root, sizeof root)) folders.emplace_back(root);
  for (const std::filesystem::path& folder : folders) {
    for (const char* name : kNames) {
      std::error_code ec;
      const std::filesystem::path path = folder / name;
      if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec))) continue;
      context.Error(Quote(path.lexically_normal().string()) +
                    " is a symbolic link, and the plug-in does not follow links to its files; "
                    "remove it (TRUXPath.TXT is the way to put the files elsewhere)");
      return false;
    }
  }
  return true;
}

}  // namespace

bool LoadRunner(const Context& context, Runner* runner) {
  if (!RefuseLinkedFiles(context)) return false;
  std::string error;
  if (runner->Load(&error)) return true;
  context.Error(error);
  return false;
}

// The buffer files, whose status codes say nothing of which file failed, are
// named by their folder.
std::string BufferProblem(OSErr status) {
  return StatusText(status) + "; the focus buffer is in " + BufferFolder();
}

// Reads every input's header; one line for each that cannot be used.
bool ProbeAll(const Context& context, const std::vector<std::string>& images,
              std::vector<imageio::ImageInfo>* infos) {
  bool ok = true;
  infos->clear();
  for (const std::string& image : images) {
    imageio::ImageInfo info;
    if (imageio::Status s = imageio::ProbeImage(image, &info); !s.ok) {
      context.Error(s.message);
      ok = false;
    }
    infos->push_back(info);
  }
  return ok;
}

namespace {

// Pictures decoded at once while checking. Decoding is the longest part of a
// stack, and each decoder works on its own file; more than two would add a
// picture's worth of memory each for little gain on common machines.
constexpr std::size_t kCheckingDecoders = 2;

}  // namespace

// Decodes every picture once, so that damaged pixel data behind a good header
// are found before the buffer changes: a stack that clears the buffer and then
// fails on its third picture would lose the user's buffer. The unusable files
// are named in the order given.
bool DecodeAll(const Context& context, const std::vector<std::string>& images) {
  const std::size_t n = images.size();
  std::vector<imageio::Status> results(n);
  std::atomic<std::size_t> next{0};
  auto decode = [&] {
    host::Picture scratch;  // one buffer per decoder, reused for every picture
    for (std::size_t i = next++; i < n && !Interrupted(); i = next++) {
      results[i] = imageio::ReadImage(images[i], &scratch);
    }
  };
  std::vector<std::thread> helpers;
  try {
    for (std::size_t k = 1; k < std::min(n, kCheckingDecoders); ++k) helpers.emplace_back(decode);
  } catch (const std::system_error&) {
    // No thread to be had: this thread decodes them all.
  }
  decode();
  for (std::thread& helper : helpers) helper.join();
  if (Interrupted()) return false;
  bool ok = true;
  for (const imageio::Status& s : results) {
    if (!s.ok) {
      context.Error(s.message);
      ok = false;
    }
  }
  return ok;
}

namespace {

// Lowers the calling thread's priority (on Linux the nice value belongs to
// the thread, and the threads it starts inherit it). A decoder that runs
// beside the plug-in works for the next picture, while every Add waits on the
// host's thread: on a machine with few cores a decoder sharing that thread's
// core slowed each Add more than it sped the decoding (24 MP 8-bit stacks 5%
// slower). When the host's thread waits for the picture, the decoders have
// the machine to themselves anyway.
void YieldToHostThread() {
  (void)setpriority(PRIO_PROCESS, 0, 10);
}

// Decodes one picture on a thread of its own, below the host's thread, while
// the plug-in works on the host's thread; Wait gives the result. Without a
// thread it decodes in Wait.
// `then`, when given, runs after a successful decoding, on the same thread.
class PictureDecode {
 public:
  PictureDecode(std::string path, host::Picture* picture, std::function<void()> then = {})
      : path_(std::move(path)), picture_(picture), then_(std::move(then)) {
    try {
      result_ = std::async(std::launch::async, [this] {
        YieldToHostThread();
        return Decode();
      });
    } catch (const std::system_error&) {
    }
  }
  // Never leaves the thread running: its picture belongs to the caller.
  ~PictureDecode() {
    if (result_.valid()) result_.wait();
  }
  PictureDecode(const PictureDecode&) = delete;
  PictureDecode& operator=(const PictureDecode&) = delete;

  imageio::Status Wait() { return result_.valid() ? result_.get() : Decode(); }

 private:
  imageio::Status Decode() {
    imageio::Status s = imageio::ReadImage(path_, picture_);
    if (s.ok && then_) then_();
    return s;
  }

  std::string path_;
  host::Picture* picture_;
  std::function<void()> then_;
  std::future<imageio::Status> result_;
};

// What PictureSteps::prepareAhead made of a picture on the decoding thread.
struct PreparedAhead {
  bool ok = true;
  std::string note, reason;
  std::vector<std::uint8_t> selection;
};

}  // namespace

// An output name must have a known extension before any work is done.
bool CheckOutputName(const Context& context, const std::string& output) {
  if (imageio::FormatFromPath(output) != imageio::ImageFormat::kUnknown) return true;
  context.Error("cannot write " + Quote(output) +
                ": unsupported file type (use .png, .tif, .tiff, .jpg or .jpeg)");
  return false;
}

Job OperationJob(std::int32_t operation) {
  Job job;
  job.playback = host::OperationStep(operation);
  job.playInfo = kPlayDialogOptional;
  return job;
}

namespace {

// Where one of the plug-in's files lies (redirect file and drive root
// applied); empty when the name cannot be mapped.
std::filesystem::path PluginFilePath(const char* name) {
  char path[kStringSize];
  std::snprintf(path, sizeof path, "%s", name);
  ApplyPathRedirect(path);
  char native[4096];
  if (!platform::MapPath(path, native, sizeof native)) return {};
  return native;
}

}  // namespace

SavedFiles::~SavedFiles() {
  Discard();
}

bool SavedFiles::Keep(const std::filesystem::path& file, bool link) {
  namespace fs = std::filesystem;
  if (file.empty()) return false;
  Entry entry{file, file, false};
  entry.saved += ".sharpstack-saved";
  std::error_code error;
  fs::remove(entry.saved, error);
  entry.existed = fs::exists(entry.file, error);
  if (error) return false;
  if (entry.existed) {
    bool done = false;
    if (link) {
      fs::create_hard_link(entry.file, entry.saved, error);
      done = !error;
    }
    if (!done && !fs::copy_file(entry.file, entry.saved, error)) {
      fs::remove(entry.saved, error);
      return false;
    }
  }
  entries_.push_back(std::move(entry));
  return true;
}

bool SavedFiles::Save(bool bufferUnchanged) {
  Discard();
  bool ok = true;
  for (const char* name : {kFocusBufferPath, kVarianceBufferPath, kCountBufferPath})
    ok = ok && Keep(PluginFilePath(name), bufferUnchanged);
  for (const char* name : {kPreferencesPath, kRunLogPath})
    ok = ok && Keep(PluginFilePath(name), false);
  ok = ok && Keep(AlignmentStatePath(), false);
  if (!ok) Discard();
  return ok;
}

bool SavedFiles::Restore(const Context& context) {
  std::error_code error;
  bool ok = true;
  for (const Entry& entry : entries_) {
    if (entry.existed) {
      std::filesystem::rename(entry.saved, entry.file, error);
    } else {
      std::filesystem::remove(entry.file, error);
    }
    if (error) {
      context.Error("cannot put back " + Quote(entry.file.string()) + ": " + error.message() +
                    (entry.existed ? "; its old content is in " + Quote(entry.saved.string())
                                   : std::string()));
      ok = false;
    }
  }
  // What could not be put back stays saved.
  entries_.clear();
  return ok;
}

void SavedFiles::Discard() {
  std::error_code error;
  for (const Entry& entry : entries_)
    if (entry.existed) std::filesystem::remove(entry.saved, error);
  entries_.clear();
}

// One Add run on the picture, selection and filter area that the host holds,
// the picture read from `path`; index and count place it for the progress
// bar, `detail` follows them there.
Outcome AddHeldPicture(Runner* runner, const std::string& path, int index, int count,
                       const std::string& detail) {
  Job job = OperationJob(kOperationAddToBuffer);
  job.documentPath = path;
  job.label = BaseName(path);
  job.detail = detail;
  job.index = index;
  job.count = count;
  // Only the buffer is wanted from an Add: the picture need not be copied.
  job.inPlace = true;
  return runner->Run(job);
}

// Adds the pictures in order, one run each, holding one picture at a time.
// The last picture's buffer is released unless `keepLast` asks to keep it for
// a picture of the same size that follows (a stack's composite).
int AddPictures(const Context& context, Runner* runner, const std::vector<std::string>& images,
                bool keepLast, const PictureSteps& steps, SavedFiles* saved) {
  host::FilterHost& filter_host = runner->Host();
  std::size_t n = images.size();
  // With saved files the confirmations wait for the last picture: until then
  // a picture that cannot be read takes every change back.
  std::vector<std::string> said;
  auto say_all = [&] {
    for (const std::string& line : said) context.Say(line);
    said.clear();
  };
  auto cancelled = [&](std::size_t i, bool during) {
    say_all();
    std::string text = "cancelled ";
    text += during ? "while adding " + Quote(images[i]) : "before adding " + Quote(images[i]);
    if (n > 1) text += " (" + std::to_string(i + 1) + " of " + std::to_string(n) + ")";
    text += "; the focus buffer keeps ";
    if (during) text += "the rows of " + Quote(BaseName(images[i])) + " merged before the cancel";
    if (i > 0) {
      text += during ? " and " : "";
      text += "the " + Plural(i, "picture") + " added before it";
    } else if (!during) {
      text += "what it held before";
    }
    if (n - i - 1 > 0) text += "; " + Plural(n - i - 1, "picture") + " not added";
    context.Error(text);
    return kExitCancelled;
  };
  if (n == 0) return kExitOk;
  // The next picture is decoded (and prepared, where its preparation needs
  // nothing from the pictures before it) while the plug-in adds the current one.
  host::Picture decoded;
  PreparedAhead ahead;
  std::optional<PictureDecode> decoding;
  auto decode = [&](std::size_t k) {
    std::function<void()> then;
    if (steps.prepareAhead)
      then = [&, k] {
        ahead = PreparedAhead{};
        ahead.ok = steps.prepareAhead(k, &decoded, &ahead.selection, &ahead.note, &ahead.reason);
      };
    decoding.emplace(images[k], &decoded, std::move(then));
  };
  decode(0);
  for (std::size_t i = 0; i < n; ++i) {
    imageio::Status s = decoding->Wait();
    decoding.reset();
    PreparedAhead prepared = std::move(ahead);
    if (s.ok) std::swap(filter_host.picture, decoded);
    if (s.ok && i + 1 < n) decode(i + 1);
    if (Interrupted()) return cancelled(i, false);
    if (!s.ok && saved != nullptr) {
      const bool restored = saved->Restore(context);
      context.Error(s.message);
      filter_host.picture = host::Picture{};
      decoded = host::Picture{};
      // The later pictures are checked too, so that one attempt names them all.
      const std::vector<std::string> rest(images.begin() + std::ptrdiff_t(i) + 1, images.end());
      if (!DecodeAll(context, rest) && Interrupted() && restored) {
        context.Error("cancelled; nothing was changed");
        return kExitCancelled;
      }
      return kExitError;
    }
    if (!s.ok) {
      context.Error(s.message + (i > 0 ? "; the " + Plural(i, "picture") + " before it " +
                                             (i == 1 ? "was" : "were") + " added"
                                       : std::string("; nothing was added")));
      return kExitError;
    }
    filter_host.selection.clear();
    filter_host.filterArea = {};
    std::string note, reason;
    if (steps.prepareAhead) {
      note = std::move(prepared.note);
      reason = std::move(prepared.reason);
      filter_host.selection = std::move(prepared.selection);
    }
    if ((steps.prepareAhead && !prepared.ok) ||
        (steps.prepare && !steps.prepare(i, &filter_host, &note, &reason))) {
      if (saved != nullptr) {
        // As for a picture that cannot be read: nothing was changed.
        saved->Restore(context);
        context.Error("cannot align " + Quote(images[i]) + ": " + reason);
        return kExitError;
      }
      say_all();
      context.Error("cannot align " + Quote(images[i]) + ": " + reason +
                    (i > 0 ? "; the " + Plural(i, "picture") + " before it " +
                                 (i == 1 ? "was" : "were") + " added"
                           : std::string("; nothing was added")));
      return kExitError;
    }
    Outcome outcome = AddHeldPicture(runner, images[i], int(i) + 1, int(n), note);
    if (outcome.result == userCanceledErr) return cancelled(i, true);
    if (outcome.result != noErr) {
      say_all();
      context.Error("cannot add " + Quote(images[i]) + ": " + BufferProblem(outcome.result) +
                    (i > 0 ? "; the " + Plural(i, "picture") + " before it " +
                                 (i == 1 ? "was" : "were") + " added"
                           : std::string()));
      return kExitError;
    }
    if (steps.added && !steps.added(i)) {
      say_all();
      return kExitError;
    }
    said.push_back("added " + images[i] + " (" + std::to_string(filter_host.picture.width) + " x " +
                   std::to_string(filter_host.picture.height) + (note.empty() ? "" : "; " + note) +
                   ")");
    if (saved == nullptr) say_all();
  }
  say_all();
  // Release the last picture before anything else is allocated.
  if (!keepLast) filter_host.picture = host::Picture{};
  if (Interrupted()) {
    context.Error("cancelled after the last picture was added; the focus buffer holds it");
    return kExitCancelled;
  }
  return kExitOk;
}

namespace {

// A picture of one colour, the way a new document starts: every sample of a
// picture without transparency is written.
void FillBackground(host::Picture* picture, const std::uint8_t colour[3]) {
  if (picture->height <= 0) return;
  for (int x = 0; x < picture->width; ++x)
    for (int k = 0; k < picture->colorPlanes; ++k) {
      std::uint32_t v = colour[k];
      // 8-bit 255 is 16-bit 32768 on the host scale.
      if (picture->depth == 16) v = (v * 257u + 1u) / 2u;
      picture->Set(x, 0, k, v);
    }
  for (int y = 1; y < picture->height; ++y)
    std::memcpy(picture->Row(y), picture->Row(0), picture->RowBytes());
}

std::uint8_t Luminance(const Rgb& c) {
  return std::uint8_t((c.r * 299 + c.g * 587 + c.b * 114 + 500) / 1000);
}

}  // namespace

// Runs Show into a new picture of the given layout and writes it out.
int ShowInto(const Context& context, Runner* runner, const std::string& output, int width,
             int height, int depth, bool grey, const Rgb& background) {
  host::FilterHost& filter_host = runner->Host();
  Job job = OperationJob(kOperationShowBuffer);
  job.backColor[0] = grey ? Luminance(background) : std::uint8_t(background.r);
  job.backColor[1] = grey ? 0 : std::uint8_t(background.g);
  job.backColor[2] = grey ? 0 : std::uint8_t(background.b);
  job.label = BaseName(output);
  // The picture exists only to be written out, and only after a run that
  // succeeded: the plug-in may write into it directly.
  job.inPlace = true;
  try {
    // FillBackground writes every sample; a buffer kept from the last
    // picture added is reused without clearing.
    filter_host.picture.Allocate(width, height, grey ? 1 : 3, 0, depth, false);
  } catch (const std::bad_alloc&) {
    context.Error("cannot write " + Quote(output) + ": not enough memory for a " +
                  std::to_string(width) + " x " + std::to_string(height) + " picture");
    return kExitError;
  }
  FillBackground(&filter_host.picture, job.backColor);
  filter_host.selection.clear();
  filter_host.filterArea = {};
  Outcome outcome = runner->Run(job);
  if (outcome.result == userCanceledErr) {
    context.Error("cancelled; " + Quote(output) +
                  " was not written and the focus buffer is unchanged");
    return kExitCancelled;
  }
  if (outcome.result != noErr) {
    context.Error("cannot show the focus buffer into " + Quote(output) + ": " +
                  BufferProblem(outcome.result));
    return kExitError;
  }
  if (imageio::Status s = imageio::WriteImage(output, filter_host.picture); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  context.Say(
      "wrote " + output + " (" + std::to_string(width) + " x " + std::to_string(height) + ", " +
      std::to_string(imageio::FormatFromPath(output) == imageio::ImageFormat::kJpeg ? 8 : depth) +
      "-bit " + (grey ? "grey" : "RGB") + ")");
  filter_host.picture = host::Picture{};
  return kExitOk;
}

namespace {

// A buffer file's path as the plug-in reaches it (after the redirect file), or
// empty when it has none.
std::string NativeBufferPath(const char* path) {
  char redirected[kStringSize];
  std::snprintf(redirected, sizeof redirected, "%s", path);
  char native[4096];
  if (!ApplyPathRedirect(redirected) || !platform::MapPath(redirected, native, sizeof native))
    return {};
  return native;
}

enum class BufferCondition { kEmpty, kSound, kDamaged, kUnreadable };

struct BufferFileKind {
  const char* path;
  std::int16_t elementSize;
};

// Count first: the other two must agree with it.
constexpr BufferFileKind kBufferFiles[3] = {{kCountBufferPath, kCountElementSize},
                                            {kVarianceBufferPath, kVarianceElementSize},
                                            {kFocusBufferPath, kFocusElementSize}};

std::string Dimensions(int width, int height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

// Looks at the three buffer files as they lie on disk, without trusting any
// header before its file's length is known: each must be a regular file with a
// whole header, the element size of its kind, a size that is not empty and
// agrees with the count buffer's, and every row its header declares. *problem
// names the first file found wrong and what is wrong with it.
BufferCondition InspectBufferFiles(std::string* problem, int* width, int* height) {
  // What an interrupted add left unfinished (a growth, a band of rows) is
  // finished first: the set it leaves is the one the next run sees.
  if (OSErr status = RecoverFocusBufferSet(); status != noErr) {
    *problem = BufferProblem(status);
    return BufferCondition::kUnreadable;
  }
  int present = 0;
  std::string missing;
  StoreHeader headers[3] = {};
  for (int i = 0; i < 3; ++i) {
    const std::string path = NativeBufferPath(kBufferFiles[i].path);
    if (path.empty()) {
      *problem = "the path of the focus buffer does not fit; check the redirect file";
      return BufferCondition::kUnreadable;
    }
    const std::string name = Quote(BaseName(path));
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
      if (missing.empty()) missing = name + " is missing";
      continue;
    }
    ++present;
    int fd = -1;
    std::uint64_t length = 0;
    if (imageio::detail::Reason r = imageio::detail::OpenRegularFile(path, &fd, &length);
        !r.empty()) {
      *problem = name + " " + (r.rfind("is ", 0) == 0 ? r : "cannot be read: " + r);
      return r.rfind("is ", 0) == 0 ? BufferCondition::kDamaged : BufferCondition::kUnreadable;
    }
    std::uint8_t bytes[kStoreHeaderSize] = {};
    const ssize_t got = pread(fd, bytes, sizeof bytes, 0);
    const int read_error = errno;
    close(fd);
    if (got < 0) {
      *problem = name + " cannot be read: " + std::strerror(read_error);
      return BufferCondition::kUnreadable;
    }
    if (got < kStoreHeaderSize) {
      *problem = name + " is truncated: " + std::to_string(length) + " bytes, shorter than its " +
                 std::to_string(kStoreHeaderSize) + "-byte header";
      return BufferCondition::kDamaged;
    }
    auto field = [&](int at) {
      return std::int16_t(std::uint16_t(bytes[at] | (bytes[at + 1] << 8)));
    };
    const StoreHeader h{field(0), field(2), field(4)};
    headers[i] = h;
    if (h.elementSize != kBufferFiles[i].elementSize) {
      *problem = name + " has the wrong element size: " + std::to_string(h.elementSize) +
                 " bytes where " + std::to_string(kBufferFiles[i].elementSize) + " belong";
      return BufferCondition::kDamaged;
    }
    if (h.width <= 0 || h.height <= 0) {
      *problem = name + " declares no pixels (" + Dimensions(h.width, h.height) + ")";
      return BufferCondition::kDamaged;
    }
    const std::uint64_t needed = std::uint64_t(kStoreHeaderSize) + std::uint64_t(h.width) *
                                                                       std::uint64_t(h.height) *
                                                                       std::uint64_t(h.elementSize);
    if (length < needed) {
      *problem = name + " is truncated: " + std::to_string(length) + " bytes, but its header (" +
                 Dimensions(h.width, h.height) + ", " + std::to_string(h.elementSize) +
                 " bytes each) needs " + std::to_string(needed);
      return BufferCondition::kDamaged;
    }
    // Sizes are compared with the count buffer's, when it is there.
    if (i > 0 && headers[0].width > 0 &&
        (h.width != headers[0].width || h.height != headers[0].height)) {
      *problem = "the sizes disagree: " + name + " is " + Dimensions(h.width, h.height) + " but " +
                 Quote(BaseName(NativeBufferPath(kCountBufferPath))) + " is " +
                 Dimensions(headers[0].width, headers[0].height);
      return BufferCondition::kDamaged;
    }
  }
  if (present == 0) return BufferCondition::kEmpty;
  if (!missing.empty()) {
    *problem = missing;
    return BufferCondition::kDamaged;
  }
  *width = headers[0].width;
  *height = headers[0].height;
  return BufferCondition::kSound;
}

// The message for a damaged set: what is wrong, and the way out.
std::string DamagedBuffer(const std::string& problem) {
  return "the focus buffer in " + BufferFolder() + " is damaged: " + problem +
         "; nothing was changed ('sharpstack clear' starts a new buffer)";
}

}  // namespace

bool CheckBufferBeforeAdding(const Context& context) {
  // A recovery of the set that the plug-in can make itself (an interrupted
  // growth put right) belongs here, before the check, so that a set it can
  // mend is not refused.
  std::string problem;
  int width = 0, height = 0;
  switch (InspectBufferFiles(&problem, &width, &height)) {
    case BufferCondition::kEmpty:
    case BufferCondition::kSound:
      return true;
    case BufferCondition::kDamaged:
      context.Error(DamagedBuffer(problem));
      return false;
    case BufferCondition::kUnreadable:
      context.Error("cannot read the focus buffer: " + problem);
      return false;
  }
  return false;
}

// The focus buffer's size; false, with a message, when there is no usable buffer.
bool BufferSize(const Context& context, const std::string& output, int* width, int* height) {
  std::string problem;
  switch (InspectBufferFiles(&problem, width, height)) {
    case BufferCondition::kSound:
      return true;
    case BufferCondition::kEmpty:
      context.Error("cannot write " + Quote(output) + ": the focus buffer in " + BufferFolder() +
                    " is empty; add pictures first");
      return false;
    case BufferCondition::kDamaged:
      context.Error("cannot write " + Quote(output) + ": " + DamagedBuffer(problem));
      return false;
    case BufferCondition::kUnreadable:
      context.Error("cannot read the focus buffer: " + problem);
      return false;
  }
  return false;
}

std::string AlignmentStatePath() {
  return align::StatePath(BufferFolder());
}

bool EstimateAll(const Context& context, const std::vector<std::string>& images,
                 align::State* state, std::vector<align::Transform>* transforms) {
  const std::size_t n = images.size();
  transforms->assign(n, align::Transform{});
  bool decoded = true;
  host::Picture picture, next;
  std::optional<PictureDecode> decoding;
  if (n > 0) decoding.emplace(images[0], &next);
  for (std::size_t i = 0; i < n; ++i) {
    imageio::Status s = decoding->Wait();
    decoding.reset();
    if (s.ok) std::swap(picture, next);
    if (i + 1 < n) decoding.emplace(images[i + 1], &next);
    if (Interrupted()) return false;
    if (!s.ok) {
      context.Error(s.message);
      decoded = false;
      continue;
    }
    // Once a file is unusable the rest are only checked.
    if (!decoded) continue;
    std::string reason;
    if (!align::Estimate(picture, state, &(*transforms)[i], &reason)) {
      decoding.reset();
      context.Error("cannot align " + Quote(images[i]) + ": " + reason);
      return false;
    }
  }
  return decoded;
}

bool AlignAsAdded::Load(const Context& context) {
  std::string error;
  if (!align::LoadState(AlignmentStatePath(), &state_, &error)) {
    context.Error(error);
    return false;
  }
  std::int16_t w = 0, h = 0, element = 0;
  if (ReadImageStoreHeader(kFocusBufferPath, &w, &h, &element) != noErr ||
      !CheckFocusBufferSet(&w, &h) || w != state_.referenceWidth || h != state_.referenceHeight) {
    state_ = align::State{};
  }
  return true;
}

bool AlignAsAdded::Prepare(host::FilterHost* host, std::string* note, std::string* reason) {
  pending_ = state_;
  return align::AlignPicture(&host->picture, &pending_, &scratch_, &host->selection, note, reason);
}

bool AlignAsAdded::Added(const Context& context, const std::string& path) {
  state_ = std::move(pending_);
  if (std::string error; !align::SaveState(AlignmentStatePath(), state_, &error)) {
    context.Error(error + "; " + Quote(path) +
                  " was added, but pictures added later with --align may not match it");
    return false;
  }
  return true;
}

PictureSteps WarpSteps(const std::vector<Placement>* placements, host::Picture* scratch) {
  PictureSteps steps;
  // The resampling uses both cores: on the host's thread it fills the time
  // that thread would otherwise wait for the next picture.
  steps.prepare = [=](std::size_t i, host::FilterHost* filter_host, std::string* note,
                      std::string*) {
    const Placement& p = (*placements)[i];
    host::Picture& picture = filter_host->picture;
    *note = "aligned: " + p.transform.Describe(picture.width, picture.height);
    if (p.transform.IsIdentity()) return true;
    align::Warp(picture, p.transform, p.width, p.height, scratch, &filter_host->selection);
    std::swap(picture, *scratch);
    return true;
  };
  return steps;
}

PictureSteps AlignSteps(align::State* state, std::vector<Placement>* placements,
                        host::Picture* scratch) {
  PictureSteps steps = WarpSteps(placements, scratch);
  // Each picture's estimate starts from the last one's state: the decoding
  // thread handles the pictures one after the other.
  steps.prepareAhead = [=](std::size_t i, host::Picture* picture, std::vector<std::uint8_t>*,
                           std::string*, std::string* reason) {
    Placement& p = (*placements)[i];
    if (!align::Estimate(*picture, state, &p.transform, reason)) return false;
    p.width = state->referenceWidth;
    p.height = state->referenceHeight;
    return true;
  };
  return steps;
}

int RunClear(const Context& context, Runner* runner) {
  host::FilterHost& filter_host = runner->Host();
  // Clear looks at no pixel; the smallest picture will do.
  filter_host.picture.Allocate(1, 1, 3, 0, 8);
  filter_host.selection.clear();
  filter_host.filterArea = {};
  Job job = OperationJob(kOperationClearBuffer);
  job.label = "clear";
  Outcome outcome = runner->Run(job);
  filter_host.picture = host::Picture{};
  if (outcome.result == userCanceledErr) {
    context.Error("cancelled; the focus buffer may be partly deleted");
    return kExitCancelled;
  }
  if (outcome.result != noErr) {
    context.Error("cannot clear the focus buffer: " + BufferProblem(outcome.result));
    return kExitError;
  }
  // The alignment's reference was the buffer's first picture.
  if (std::string error; !align::RemoveState(AlignmentStatePath(), &error)) {
    context.Error(error);
    return kExitError;
  }
  return kExitOk;
}

std::string BufferFolder() {
  const std::string text = NativeBufferPath(kFocusBufferPath);
  if (text.empty()) return "(an unusable folder)";
  std::string::size_type slash = text.rfind('/');
  return slash == std::string::npos ? std::string(".") : text.substr(0, slash);
}

bool ParseSize(const std::string& text, std::pair<int, int>* size) {
  int w = 0, h = 0;
  char x = 0, extra = 0;
  if (std::sscanf(text.c_str(), "%d%c%d%c", &w, &x, &h, &extra) != 3) return false;
  if ((x != 'x' && x != 'X') || w < 1 || h < 1 || w > imageio::kMaxDimension ||
      h > imageio::kMaxDimension)
    return false;
  *size = {w, h};
  return true;
}

bool ParseRgb(const std::string& text, Rgb* colour) {
  int r = 0, g = 0, b = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%d,%d,%d%c", &r, &g, &b, &extra) != 3) return false;
  for (int v : {r, g, b})
    if (v < 0 || v > 255) return false;
  *colour = {r, g, b};
  return true;
}

bool ParseRect(const std::string& text, std::vector<int>* rect) {
  int l = 0, t = 0, r = 0, b = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%d,%d,%d,%d%c", &l, &t, &r, &b, &extra) != 4) return false;
  if (l < 0 || t < 0 || r <= l || b <= t) return false;
  *rect = {l, t, r, b};
  return true;
}

}  // namespace cli
