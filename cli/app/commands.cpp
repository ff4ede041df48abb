// The commands: every one runs the plug-in through its entry point with a
// recorded descriptor that names the operation (so no dialog appears), except
// `run`, which does exactly what the user asks of an editor's filter run.
#include "cli/app/commands.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>

#include "cli/app/interrupt.h"
#include "cli/app/status_text.h"
#include "cli/image/image_io.h"
#include "cli/image/sample_scale.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/platform/platform.h"
#include "plugin/storage/store.h"
#include "tools/series/series.h"

namespace cli {
namespace {

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

bool LoadRunner(const Context& context, Runner* runner) {
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

// Pictures decoded at once while checking. Decoding is the longest part of a
// stack, and each decoder works on its own file; more than two would add a
// picture's worth of memory each for little gain on common machines.
constexpr std::size_t kCheckingDecoders = 2;

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

// Decodes one picture on a thread of its own while the plug-in works on the
// host's thread; Wait gives the result. Without a thread it decodes in Wait.
class PictureDecode {
 public:
  PictureDecode(std::string path, host::Picture* picture)
      : path_(std::move(path)), picture_(picture) {
    try {
      result_ =
          std::async(std::launch::async, [this] { return imageio::ReadImage(path_, picture_); });
    } catch (const std::system_error&) {
    }
  }
  // Never leaves the thread running: its picture belongs to the caller.
  ~PictureDecode() {
    if (result_.valid()) result_.wait();
  }
  PictureDecode(const PictureDecode&) = delete;
  PictureDecode& operator=(const PictureDecode&) = delete;

  imageio::Status Wait() {
    return result_.valid() ? result_.get() : imageio::ReadImage(path_, picture_);
  }

 private:
  std::string path_;
  host::Picture* picture_;
  std::future<imageio::Status> result_;
};

// An output name must have a known extension before any work is done.
bool CheckOutputName(const Context& context, const std::string& output) {
  if (imageio::FormatFromPath(output) != imageio::ImageFormat::kUnknown) return true;
  context.Error("cannot write " + Quote(output) +
                ": unsupported file type (use .png, .tif, .tiff, .jpg or .jpeg)");
  return false;
}

Job OperationJob(std::int32_t operation) {
  Job job;
  job.playback = OperationDescriptor(operation);
  job.playInfo = kPlayDialogOptional;
  return job;
}

// Adds the pictures in order, one run each, holding one picture at a time.
// The last picture's buffer is released unless `keepLast` asks to keep it for
// a picture of the same size that follows (a stack's composite).
int AddPictures(const Context& context, Runner* runner, const std::vector<std::string>& images,
                bool keepLast = false) {
  host::FilterHost& filter_host = runner->Host();
  std::size_t n = images.size();
  auto cancelled = [&](std::size_t i, bool during) {
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
  // The next picture is decoded while the plug-in adds the current one.
  host::Picture decoded;
  std::optional<PictureDecode> decoding;
  decoding.emplace(images[0], &decoded);
  for (std::size_t i = 0; i < n; ++i) {
    imageio::Status s = decoding->Wait();
    decoding.reset();
    if (s.ok) std::swap(filter_host.picture, decoded);
    if (s.ok && i + 1 < n) decoding.emplace(images[i + 1], &decoded);
    if (Interrupted()) return cancelled(i, false);
    if (!s.ok) {
      context.Error(s.message + (i > 0 ? "; the " + Plural(i, "picture") + " before it " +
                                             (i == 1 ? "was" : "were") + " added"
                                       : std::string("; nothing was added")));
      return kExitError;
    }
    filter_host.selection.clear();
    filter_host.filterArea = {};
    Job job = OperationJob(kOperationAddToBuffer);
    job.documentPath = images[i];
    job.label = BaseName(images[i]);
    job.index = int(i) + 1;
    job.count = int(n);
    Outcome outcome = runner->Run(job);
    if (outcome.result == userCanceledErr) return cancelled(i, true);
    if (outcome.result != noErr) {
      context.Error("cannot add " + Quote(images[i]) + ": " + BufferProblem(outcome.result) +
                    (i > 0 ? "; the " + Plural(i, "picture") + " before it " +
                                 (i == 1 ? "was" : "were") + " added"
                           : std::string()));
      return kExitError;
    }
    context.Say("added " + images[i] + " (" + std::to_string(filter_host.picture.width) + " x " +
                std::to_string(filter_host.picture.height) + ")");
  }
  // Release the last picture before anything else is allocated.
  if (!keepLast) filter_host.picture = host::Picture{};
  if (Interrupted()) {
    context.Error("cancelled after the last picture was added; the focus buffer holds it");
    return kExitCancelled;
  }
  return kExitOk;
}

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

// Runs Show into a new picture of the given layout and writes it out.
int ShowInto(const Context& context, Runner* runner, const std::string& output, int width,
             int height, int depth, bool grey, const Rgb& background) {
  host::FilterHost& filter_host = runner->Host();
  Job job = OperationJob(kOperationShowBuffer);
  job.backColor[0] = grey ? Luminance(background) : std::uint8_t(background.r);
  job.backColor[1] = grey ? 0 : std::uint8_t(background.g);
  job.backColor[2] = grey ? 0 : std::uint8_t(background.b);
  job.label = BaseName(output);
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

// The focus buffer's size; false, with a message, when there is no usable buffer.
bool BufferSize(const Context& context, const std::string& output, int* width, int* height) {
  std::int16_t w = 0, h = 0, element = 0;
  OSErr status = ReadImageStoreHeader(kFocusBufferPath, &w, &h, &element);
  if (status == fnfErr) {
    context.Error("cannot write " + Quote(output) + ": the focus buffer in " + BufferFolder() +
                  " is empty; add pictures first");
    return false;
  }
  if (status != noErr) {
    context.Error("cannot read the focus buffer: " + BufferProblem(status));
    return false;
  }
  if (!CheckFocusBufferSet(&w, &h)) {
    context.Error("the focus buffer in " + BufferFolder() +
                  " is incomplete or in use; clear it and add the pictures again");
    return false;
  }
  *width = w;
  *height = h;
  return true;
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
  return kExitOk;
}

bool ReadText(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  *text = buffer.str();
  return true;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = std::strerror(errno);
      return false;
    }
    out << text;
    out.flush();
    if (!out) {
      *error = "write failed";
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

// A selection from any picture of the same size: grey as it is, colour by its
// luminance, 16-bit rounded to 8 bits; transparency is ignored.
bool LoadMask(const Context& context, const std::string& path, const host::Picture& picture,
              std::vector<std::uint8_t>* selection) {
  host::Picture mask;
  if (imageio::Status s = imageio::ReadImage(path, &mask); !s.ok) {
    context.Error(s.message);
    return false;
  }
  if (mask.width != picture.width || mask.height != picture.height) {
    context.Error("cannot use the mask " + Quote(path) + ": it is " + std::to_string(mask.width) +
                  " x " + std::to_string(mask.height) + " pixels, the picture " +
                  std::to_string(picture.width) + " x " + std::to_string(picture.height));
    return false;
  }
  selection->assign(std::size_t(mask.width) * std::size_t(mask.height), 0);
  for (int y = 0; y < mask.height; ++y)
    for (int x = 0; x < mask.width; ++x) {
      std::uint32_t v[3];
      for (int k = 0; k < mask.colorPlanes; ++k) {
        v[k] = mask.Get(x, y, k);
        if (mask.depth == 16) v[k] = imageio::Host16To8(std::uint16_t(v[k]));
      }
      std::uint32_t value =
          mask.colorPlanes == 1 ? v[0] : (v[0] * 299u + v[1] * 587u + v[2] * 114u + 500u) / 1000u;
      (*selection)[std::size_t(y) * std::size_t(mask.width) + std::size_t(x)] = std::uint8_t(value);
    }
  return true;
}

}  // namespace

std::string BufferFolder() {
  char path[kStringSize];
  std::snprintf(path, sizeof path, "%s", kFocusBufferPath);
  ApplyPathRedirect(path);
  char native[4096];
  if (!platform::MapPath(path, native, sizeof native)) return "(an unusable folder)";
  std::string text = native;
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

int ClearCommand(const Settings& settings) {
  Context context(settings);
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  int code = RunClear(context, &runner);
  if (code == kExitOk) context.Say("cleared the focus buffer in " + BufferFolder());
  return code;
}

int AddCommand(const Settings& settings, const std::vector<std::string>& images) {
  Context context(settings);
  std::vector<imageio::ImageInfo> infos;
  if (!ProbeAll(context, images, &infos)) return kExitError;
  // One picture is checked by reading it just before its run.
  if (images.size() > 1 && !DecodeAll(context, images)) {
    // Each unusable file has had its line; nothing else needs saying.
    if (Interrupted()) {
      context.Error("cancelled; nothing was added");
      return kExitCancelled;
    }
    return kExitError;
  }
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  return AddPictures(context, &runner, images);
}

int ShowCommand(const Settings& settings, const ShowOptions& options) {
  Context context(settings);
  if (!CheckOutputName(context, options.output)) return kExitUsage;
  bool jpeg = imageio::FormatFromPath(options.output) == imageio::ImageFormat::kJpeg;
  int width = 0, height = 0;
  int depth = jpeg ? 8 : 16;
  bool grey = options.grey;
  if (options.like) {
    imageio::ImageInfo info;
    if (imageio::Status s = imageio::ProbeImage(*options.like, &info); !s.ok) {
      context.Error(s.message);
      return kExitError;
    }
    width = info.width;
    height = info.height;
    depth = info.depth;
    grey = grey || info.colorPlanes == 1;
  }
  // Even with a size given, an empty buffer has nothing to show.
  int buffer_width = 0, buffer_height = 0;
  if (!BufferSize(context, options.output, &buffer_width, &buffer_height)) return kExitError;
  if (options.size) {
    width = options.size->first;
    height = options.size->second;
  } else if (!options.like) {
    width = buffer_width;
    height = buffer_height;
  }
  if (options.depth) depth = *options.depth;
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  return ShowInto(context, &runner, options.output, width, height, depth, grey, options.background);
}

int StackCommand(const Settings& settings, const std::string& output,
                 const std::vector<std::string>& images) {
  Context context(settings);
  if (!CheckOutputName(context, output)) return kExitUsage;
  std::vector<imageio::ImageInfo> infos;
  if (!ProbeAll(context, images, &infos) || !DecodeAll(context, images)) {
    if (Interrupted()) {
      context.Error("cancelled; nothing was changed");
      return kExitCancelled;
    }
    return kExitError;
  }
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  if (Interrupted()) {
    context.Error("cancelled; nothing was changed");
    return kExitCancelled;
  }
  if (int code = RunClear(context, &runner); code != kExitOk) return code;
  if (int code = AddPictures(context, &runner, images, true); code != kExitOk) return code;
  int width = 0, height = 0;
  if (!BufferSize(context, output, &width, &height)) return kExitError;
  return ShowInto(context, &runner, output, width, height, infos[0].depth,
                  infos[0].colorPlanes == 1, Rgb{});
}

int RunCommand(const Settings& settings, const RunCommandOptions& options) {
  Context context(settings);
  if (!CheckOutputName(context, options.output)) return kExitUsage;
  Job job;
  job.playInfo = options.dialog ? kPlayDialogDisplay : kPlayDialogOptional;
  if (options.play) {
    std::string text, error;
    if (!ReadText(*options.play, &text, &error)) {
      context.Error("cannot read the action " + Quote(*options.play) + ": " + error);
      return kExitError;
    }
    std::uint32_t event = 0;
    std::vector<host::DescriptorItem> items;
    if (!host::DescriptorFromJson(text, &event, &items, &error)) {
      context.Error("cannot read the action " + Quote(*options.play) + ": " + error);
      return kExitError;
    }
    if (event != FilterEvent()) {
      context.Error("cannot play the action " + Quote(*options.play) + ": it records event '" +
                    host::CodeToString(event) + "', not this filter's '" +
                    host::CodeToString(FilterEvent()) + "'");
      return kExitError;
    }
    job.playback = items;
  } else if (options.operation) {
    job.playback = OperationDescriptor(*options.operation);
  }

  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  host::FilterHost& filter_host = runner.Host();
  if (imageio::Status s = imageio::ReadImage(options.image, &filter_host.picture); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  filter_host.selection.clear();
  if (options.mask &&
      !LoadMask(context, *options.mask, filter_host.picture, &filter_host.selection))
    return kExitError;
  filter_host.filterArea = {};
  if (options.rect) {
    const std::vector<int>& r = *options.rect;
    if (r[2] > filter_host.picture.width || r[3] > filter_host.picture.height) {
      context.Error("the rectangle " + std::to_string(r[0]) + "," + std::to_string(r[1]) + "," +
                    std::to_string(r[2]) + "," + std::to_string(r[3]) + " does not fit in " +
                    Quote(options.image) + " (" + std::to_string(filter_host.picture.width) +
                    " x " + std::to_string(filter_host.picture.height) + ")");
      return kExitError;
    }
    filter_host.filterArea = {r[0], r[1], r[2], r[3]};
  }
  job.documentPath = options.image;
  job.label = BaseName(options.image);
  Outcome outcome = runner.Run(job);
  if (outcome.result == userCanceledErr) {
    // Without a played-back operation the plug-in asks in its dialog, which
    // also ends the run this way when there is no terminal to show it on.
    bool dialog = !job.playback || job.playInfo == kPlayDialogDisplay;
    context.Error(std::string(dialog ? "cancelled (the operation dialog was closed or could not "
                                       "be shown; use --op or --play without a terminal); "
                                     : "cancelled; ") +
                  Quote(options.output) + " was not written");
    return kExitCancelled;
  }
  if (outcome.result != noErr) {
    context.Error("the filter run on " + Quote(options.image) +
                  " failed: " + BufferProblem(outcome.result));
    return kExitError;
  }
  if (imageio::Status s = imageio::WriteImage(options.output, filter_host.picture); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  context.Say("wrote " + options.output);
  if (options.record) {
    if (!outcome.recorded) {
      context.Error("cannot record " + Quote(*options.record) +
                    ": the plug-in handed back no descriptor");
      return kExitError;
    }
    std::string error;
    if (!WriteText(*options.record, host::DescriptorToJson(FilterEvent(), outcome.recordedItems),
                   &error)) {
      context.Error("cannot write the action " + Quote(*options.record) + ": " + error);
      return kExitError;
    }
    context.Say("recorded " + *options.record);
  }
  return kExitOk;
}

int DemoCommand(const Settings& settings, const std::string& directory) {
  Context context(settings);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    context.Error("cannot create the folder " + Quote(directory) + ": " + ec.message());
    return kExitError;
  }
  series::SeriesOptions series_options;
  series::FocusSeries focus_series = series::MakeFocusSeries(series_options);
  std::vector<std::string> frames;
  for (std::size_t i = 0; i < focus_series.frames.size(); ++i) {
    std::string path = directory + "/frame-" + std::to_string(i + 1) + ".png";
    if (imageio::Status s = imageio::WriteImage(path, focus_series.frames[i]); !s.ok) {
      context.Error(s.message);
      return kExitError;
    }
    frames.push_back(path);
  }
  std::string original = directory + "/all-in-focus.png";
  if (imageio::Status s = imageio::WriteImage(original, focus_series.sharp); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  context.Say("wrote a focus series of " + Plural(frames.size(), "picture") + " (" +
              std::to_string(series_options.width) + " x " + std::to_string(series_options.height) +
              ") and " + original);
  std::string composite = directory + "/composite.png";
  if (int code = StackCommand(settings, composite, frames); code != kExitOk) return code;

  host::Picture stacked;
  if (imageio::Status s = imageio::ReadImage(composite, &stacked); !s.ok) {
    context.Error(s.message);
    return kExitError;
  }
  double best_frame = -INFINITY;
  for (const host::Picture& frame : focus_series.frames)
    best_frame = std::max(best_frame, series::Psnr(frame, focus_series.sharp));
  double psnr = series::Psnr(stacked, focus_series.sharp);
  char line[200];
  std::snprintf(line, sizeof line,
                "PSNR of %s against the all-in-focus original: %.2f dB (best single picture: "
                "%.2f dB)",
                composite.c_str(), psnr, best_frame);
  // The result is what the demo is for: printed even with --quiet.
  std::fprintf(settings.out, "%s\n", line);
  return kExitOk;
}

}  // namespace cli
