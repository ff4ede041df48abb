// The progress bar of the command-line host: one line on standard error,
// redrawn in place, with the file name, the picture's place in the command
// and the percentage that the plug-in reports through progressProc.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

class ProgressBar {
 public:
  // Draws nothing when `enabled` is false (--quiet, or standard error is not
  // a terminal).
  ProgressBar(std::FILE* out, bool enabled) : out_(out), enabled_(enabled) {}
  ~ProgressBar() { Clear(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // A new picture: `label` names it, index counts from 1; `detail`, if any,
  // follows the count.
  void Begin(const std::string& label, int index, int count, const std::string& detail = "");
  void Update(std::int32_t done, std::int32_t total);
  // Erases the line, so that messages print on a clean line.
  void Clear();

  // The text of the line for a given state, without the carriage return;
  // exposed for tests.
  static std::string Line(const std::string& label, int index, int count, int percent, int width,
                          const std::string& detail = "");

 private:
  std::FILE* out_;
  bool enabled_;
  std::string label_;
  std::string detail_;
  int index_ = 0;
  int count_ = 0;
  int lastPercent_ = -1;
  bool drawn_ = false;
};

}  // namespace cli
