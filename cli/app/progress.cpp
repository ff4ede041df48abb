#include "cli/app/progress.h"

#include <algorithm>

namespace cli {
namespace {

constexpr int kBarWidth = 30;
constexpr int kLabelWidth = 32;

}  // namespace

std::string ProgressBar::Line(const std::string& label, int index, int count, int percent,
                              int width, const std::string& detail) {
  percent = std::clamp(percent, 0, 100);
  std::string name = label;
  // Long names keep their end, where the distinguishing part usually is.
  if (int(name.size()) > kLabelWidth) name = "..." + name.substr(name.size() - (kLabelWidth - 3));
  std::string line = name;
  if (count > 1) line += " (" + std::to_string(index) + " of " + std::to_string(count) + ")";
  if (!detail.empty()) line += " " + detail;
  int filled = percent * width / 100;
  line += " [" + std::string(std::size_t(filled), '#') +
          std::string(std::size_t(width - filled), '.') + "] " + std::to_string(percent) + "%";
  return line;
}

void ProgressBar::Begin(const std::string& label, int index, int count, const std::string& detail) {
  label_ = label;
  detail_ = detail;
  index_ = index;
  count_ = count;
  lastPercent_ = -1;
  Update(0, 1);
}

void ProgressBar::Update(std::int32_t done, std::int32_t total) {
  if (!enabled_ || total <= 0) return;
  int percent = int(std::clamp<std::int64_t>(std::int64_t(done) * 100 / total, 0, 100));
  if (percent == lastPercent_) return;  // redraw only when the text changes
  lastPercent_ = percent;
  std::fprintf(out_, "\r%s\033[K",
               Line(label_, index_, count_, percent, kBarWidth, detail_).c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::Clear() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
  lastPercent_ = -1;
}

}  // namespace cli
