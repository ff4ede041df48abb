// The commands of `sharpstack`. Each returns the process's exit code and
// prints its own messages: results on the settings' `out` stream (unless
// quiet), one line per problem on `err`.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/app/runner.h"

namespace cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;

struct Rgb {
  int r = 255, g = 255, b = 255;
};

struct ShowOptions {
  std::string output;
  std::optional<std::string> like;
  std::optional<std::pair<int, int>> size;  // width, height
  std::optional<int> depth;                 // 8 or 16
  bool grey = false;
  Rgb background;
};

struct RunCommandOptions {
  std::string image;
  std::string output;
  std::optional<int> operation;  // 4, 5 or 6
  std::optional<std::string> mask;
  std::optional<std::vector<int>> rect;  // left, top, right, bottom
  std::optional<std::string> play;
  std::optional<std::string> record;
  bool dialog = false;
};

struct WatchOptions {
  std::string folder;
  std::string output;
  bool clear = false;  // clear the buffer and add the pictures already there first
  bool align = false;
  std::optional<int> count;  // end after this many added pictures
};

int ClearCommand(const Settings& settings);
// With `alignPictures`, each picture is first aligned onto the buffer's first.
int AddCommand(const Settings& settings, const std::vector<std::string>& images,
               bool alignPictures = false);
int ShowCommand(const Settings& settings, const ShowOptions& options);
int StackCommand(const Settings& settings, const std::string& output,
                 const std::vector<std::string>& images, bool alignPictures = false);
int RunCommand(const Settings& settings, const RunCommandOptions& options);
int WatchCommand(const Settings& settings, const WatchOptions& options);
int DemoCommand(const Settings& settings, const std::string& directory);

// Parsers for option values; false when the text is malformed.
bool ParseSize(const std::string& text, std::pair<int, int>* size);
bool ParseRgb(const std::string& text, Rgb* colour);
bool ParseRect(const std::string& text, std::vector<int>* rect);

// The folder that holds the focus buffer files (after the redirect file).
std::string BufferFolder();

}  // namespace cli
